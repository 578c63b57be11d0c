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

Bytes BlockBytes(HGLOBAL block)
{
    const SIZE_T size = GlobalSize(block);
    const auto* data = static_cast<const std::uint8_t*>(GlobalLock(block));
    if (data == nullptr) {
        return {};
    }
    Bytes bytes(data, data + size);
    GlobalUnlock(block);
    return bytes;
}

ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

UINT Registered(const wchar_t* name) { return RegisterClipboardFormatW(name); }

class DropTargetWindow::Target final : public IDropTarget {
public:
    explicit Target(DropTargetWindow& owner, bool hold) : owner_(owner), hold_(hold) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDropTarget)) {
            *ppv = static_cast<IDropTarget*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; } // owned by the window object
    STDMETHODIMP DragEnter(IDataObject*, DWORD, POINTL, DWORD* effect) override
    {
        *effect &= DROPEFFECT_COPY;
        return S_OK;
    }
    STDMETHODIMP DragOver(DWORD, POINTL, DWORD* effect) override
    {
        *effect &= DROPEFFECT_COPY;
        return S_OK;
    }
    STDMETHODIMP DragLeave() override { return S_OK; }
    STDMETHODIMP Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) override
    {
        ++owner_.drops;
        ReadEveryFormat(data);
        if (hold_) {
            data->AddRef();
            owner_.held = data;
        }
        *effect = DROPEFFECT_COPY;
        return S_OK;
    }

private:
    void ReadEveryFormat(IDataObject* data)
    {
        IEnumFORMATETC* formats = nullptr;
        if (FAILED(data->EnumFormatEtc(DATADIR_GET, &formats))) {
            return;
        }
        FORMATETC format{};
        while (formats->Next(1, &format, nullptr) == S_OK) {
            owner_.offered.push_back(format.cfFormat);
            // Real targets ask with every medium they can read.
            format.tymed = TYMED_HGLOBAL | TYMED_ISTREAM | TYMED_ISTORAGE;
            STGMEDIUM medium{};
            if (data->GetData(&format, &medium) == S_OK) {
                owner_.received[format.cfFormat] = BlockBytes(medium.hGlobal);
                ReleaseStgMedium(&medium);
            }
        }
        formats->Release();
    }

    DropTargetWindow& owner_;
    bool hold_;
    ULONG refs_ = 1;
};

namespace {

constexpr wchar_t kClassName[] = L"FerrydockTestDropTarget";
constexpr int kLeft = 200, kTop = 200, kSize = 300;

void RegisterTargetClass()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    RegisterClassW(&windowClass); // a second registration fails harmlessly
}

} // namespace

DropTargetWindow::DropTargetWindow(bool hold)
{
    RegisterTargetClass();
    window_ = CreateWindowExW(WS_EX_TOPMOST, kClassName, L"drop target", WS_POPUP | WS_VISIBLE, kLeft, kTop, kSize,
                              kSize, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr) {
        return;
    }
    UpdateWindow(window_);
    target_ = new Target(*this, hold);
    ready_ = SUCCEEDED(RegisterDragDrop(window_, target_));
    PutCursorInside();
}

DropTargetWindow::~DropTargetWindow()
{
    if (held != nullptr) {
        held->Release();
    }
    if (ready_) {
        RevokeDragDrop(window_);
    }
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
    delete target_;
}

// The drag loop takes its position from queued mouse messages, so the ones that an earlier
// move left behind must go before the next drag starts.
void MoveCursor(int x, int y)
{
    SetCursorPos(x, y);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
}

void DropTargetWindow::PutCursorInside() const { MoveCursor(kLeft + kSize / 2, kTop + kSize / 2); }

void DropTargetWindow::PutCursorOutside() { MoveCursor(kLeft + kSize * 2, kTop + kSize * 2); }

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
