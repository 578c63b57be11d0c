#include "common/Log.h"

#include "ferrydock/Resource.h"

#include <windows.h>

#include <sstream>

namespace FerrydockIpc::logdetail {

void Emit(LogLevel level, std::wstring& line, const char* where)
{
    const LastErrorKeeper keep;
    line += L'(';
    Put(line, where);
    line += L')';
    std::wostringstream stream(std::move(line));
    KdLogger::GetInstance()->Log(static_cast<LOG_MESSAGE_LEVEL>(level), stream);
}

} // namespace FerrydockIpc::logdetail
