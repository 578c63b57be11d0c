#include "CryptBase.h"

#include <mutex>

namespace {

std::mutex g_sinkMutex;
CryptBaseResetSink g_sink = nullptr;
void* g_sinkContext = nullptr;

} // namespace

// No member of these classes creates a hash, and copies share the handle bit for bit,
// so the stand-in only forgets it: destroying it here would destroy it once per copy.
void DE::CryptBase::Reset()
{
    {
        std::lock_guard<std::mutex> lock(g_sinkMutex);
        if (g_sink != nullptr) {
            g_sink(this, hash_, g_sinkContext);
        }
    }
    hash_ = 0;
}

void __stdcall CryptBaseSetResetSink(CryptBaseResetSink sink, void* context)
{
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sink = sink;
    g_sinkContext = context;
}
