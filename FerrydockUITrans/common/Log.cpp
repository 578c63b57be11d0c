#include "common/Log.h"

#include "ferrydock/Resource.h"

#include <windows.h>

namespace FerrydockIpc::logdetail {

void Emit(LogLevel level, std::wostringstream& line, const char* where)
{
    const LastErrorKeeper keep;
    line.put(L'(');
    Put(line, where);
    line.put(L')');
    KdLogger::GetInstance()->Log(static_cast<LOG_MESSAGE_LEVEL>(level), line);
}

} // namespace FerrydockIpc::logdetail
