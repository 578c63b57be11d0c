#include "dragdrop/DragTestSupport.h"

#include <mutex>

namespace dragtest {

void Put32(Bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void PutUtf16(Bytes& out, const std::wstring& text)
{
    for (const wchar_t unit : text) {
        out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        out.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
}

Bytes Ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes FileDropBlock(const std::vector<std::wstring>& paths)
{
    Bytes block;
    for (const std::uint32_t field : {20u, 0u, 0u, 0u, 1u}) {
        Put32(block, field);
    }
    for (const std::wstring& path : paths) {
        PutUtf16(block, path + L'\0');
    }
    PutUtf16(block, std::wstring(1, L'\0'));
    return block;
}

Bytes Utf16z(const std::wstring& text)
{
    Bytes out;
    PutUtf16(out, text + L'\0');
    return out;
}

ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

UINT Registered(const wchar_t* name) { return RegisterClipboardFormatW(name); }

namespace {

struct WatchState {
    std::mutex mutex;
    std::set<HGLOBAL> live;
    std::size_t allocations = 0;
    decltype(&::GlobalAlloc) alloc = nullptr;
    decltype(&::GlobalFree) free = nullptr;
};

WatchState& State()
{
    static WatchState state;
    return state;
}

HGLOBAL WINAPI WatchedAlloc(UINT flags, SIZE_T size)
{
    WatchState& state = State();
    const HGLOBAL block = state.alloc(flags, size);
    if (block != nullptr) {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.live.insert(block);
        ++state.allocations;
    }
    return block;
}

HGLOBAL WINAPI WatchedFree(HGLOBAL block)
{
    WatchState& state = State();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.live.erase(block);
    }
    return state.free(block);
}

} // namespace

GlobalMemoryWatch::GlobalMemoryWatch()
{
    WatchState& state = State();
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto resolve = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(kernel, name)); };
    state.alloc = reinterpret_cast<decltype(&::GlobalAlloc)>(resolve("GlobalAlloc"));
    state.free = reinterpret_cast<decltype(&::GlobalFree)>(resolve("GlobalFree"));
    state.live.clear();
    state.allocations = 0;
    const HMODULE modules[] = {GetModuleHandleW(nullptr), GetModuleHandleW(L"ole32.dll"),
                               GetModuleHandleW(L"combase.dll")};
    for (const HMODULE module : modules) {
        if (module == nullptr) {
            continue;
        }
        for (const char* dll : {"kernel32.dll", "kernelbase.dll"}) {
            patches_.push_back(std::make_unique<testsupport::ImportPatch>(module, dll, "GlobalAlloc",
                                                                         reinterpret_cast<void*>(&WatchedAlloc)));
            patches_.push_back(std::make_unique<testsupport::ImportPatch>(module, dll, "GlobalFree",
                                                                         reinterpret_cast<void*>(&WatchedFree)));
        }
    }
}

GlobalMemoryWatch::~GlobalMemoryWatch() = default;

std::size_t GlobalMemoryWatch::allocations() const
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().allocations;
}

std::set<HGLOBAL> GlobalMemoryWatch::live() const
{
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().live;
}

} // namespace dragtest
