#include "dragdrop/DragTestSupport.h"

#include <mutex>

namespace dragtest {
namespace {

struct WatchState {
    std::mutex mutex;
    std::set<HGLOBAL> live;
    std::size_t allocations = 0;
    decltype(&::GlobalAlloc) alloc = nullptr;
    decltype(&::GlobalFree) free = nullptr;
} g_state;

HGLOBAL WINAPI WatchedAlloc(UINT flags, SIZE_T size)
{
    const HGLOBAL block = g_state.alloc(flags, size);
    if (block != nullptr) {
        std::lock_guard<std::mutex> lock(g_state.mutex);
        g_state.live.insert(block);
        ++g_state.allocations;
    }
    return block;
}

HGLOBAL WINAPI WatchedFree(HGLOBAL block)
{
    {
        std::lock_guard<std::mutex> lock(g_state.mutex);
        g_state.live.erase(block);
    }
    return g_state.free(block);
}

} // namespace

GlobalMemoryWatch::GlobalMemoryWatch()
{
    const auto resolve = [](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
    };
    g_state.alloc = reinterpret_cast<decltype(&::GlobalAlloc)>(resolve("GlobalAlloc"));
    g_state.free = reinterpret_cast<decltype(&::GlobalFree)>(resolve("GlobalFree"));
    g_state.live.clear();
    g_state.allocations = 0;
    for (const HMODULE module :
         {GetModuleHandleW(nullptr), GetModuleHandleW(L"ole32.dll"), GetModuleHandleW(L"combase.dll")}) {
        for (const char* dll : {"kernel32.dll", "kernelbase.dll"}) {
            if (module != nullptr) {
                patches_.push_back(std::make_unique<testsupport::ImportPatch>(
                    module, dll, "GlobalAlloc", reinterpret_cast<void*>(&WatchedAlloc)));
                patches_.push_back(std::make_unique<testsupport::ImportPatch>(
                    module, dll, "GlobalFree", reinterpret_cast<void*>(&WatchedFree)));
            }
        }
    }
}

std::size_t GlobalMemoryWatch::allocations() const
{
    std::lock_guard<std::mutex> lock(g_state.mutex);
    return g_state.allocations;
}

std::set<HGLOBAL> GlobalMemoryWatch::live() const
{
    std::lock_guard<std::mutex> lock(g_state.mutex);
    return g_state.live;
}

} // namespace dragtest
