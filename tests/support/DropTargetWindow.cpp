#include "support/DropTargetWindow.h"

namespace testsupport {

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
        // Targets commonly ask again for the interface they were handed.
        IDataObject* asked = nullptr;
        if (SUCCEEDED(data->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&asked)))) {
            asked->Release();
        }
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

namespace {

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

} // namespace

void DropTargetWindow::PutCursorInside() const { MoveCursor(kLeft + kSize / 2, kTop + kSize / 2); }

void DropTargetWindow::PutCursorOutside() { MoveCursor(kLeft + kSize * 2, kTop + kSize * 2); }

} // namespace testsupport
