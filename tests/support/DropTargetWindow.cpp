#include "support/DropTargetWindow.h"

namespace testsupport {

Bytes BlockBytes(HGLOBAL block)
{
    const auto* data = static_cast<const std::uint8_t*>(GlobalLock(block));
    if (data == nullptr) {
        return {};
    }
    Bytes bytes(data, data + GlobalSize(block));
    GlobalUnlock(block);
    return bytes;
}

// Owned by the window object, so its reference count is only for show.
class DropTargetWindow::Target final : public IDropTarget {
public:
    explicit Target(DropTargetWindow& owner) : owner_(owner) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool ours = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDropTarget);
        *ppv = ours ? static_cast<IDropTarget*>(this) : nullptr;
        return ours ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP DragEnter(IDataObject*, DWORD, POINTL, DWORD* effect) override { return DragOver(0, {}, effect); }
    STDMETHODIMP DragOver(DWORD, POINTL, DWORD* effect) override
    {
        *effect &= DROPEFFECT_COPY;
        return S_OK;
    }
    STDMETHODIMP DragLeave() override { return S_OK; }
    STDMETHODIMP Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) override
    {
        ++owner_.drops;
        IEnumFORMATETC* formats = nullptr;
        if (SUCCEEDED(data->EnumFormatEtc(DATADIR_GET, &formats))) {
            for (FORMATETC format{}; formats->Next(1, &format, nullptr) == S_OK;) {
                owner_.offered.push_back(format.cfFormat);
                // Real targets ask with every medium they can read.
                format.tymed = TYMED_HGLOBAL | TYMED_ISTREAM | TYMED_ISTORAGE;
                STGMEDIUM medium{};
                if (data->GetData(&format, &medium) == S_OK) {
                    ReleaseStgMedium(&medium);
                }
            }
            formats->Release();
        }
        *effect = DROPEFFECT_COPY;
        return S_OK;
    }

private:
    DropTargetWindow& owner_;
};

namespace {

constexpr wchar_t kClassName[] = L"FerrydockTestDropTarget";
constexpr int kLeft = 200, kTop = 200, kSize = 300;

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

DropTargetWindow::DropTargetWindow() : target_(new Target(*this))
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass); // a second registration fails harmlessly
    window_ = CreateWindowExW(WS_EX_TOPMOST, kClassName, L"drop target", WS_POPUP, kLeft, kTop, kSize, kSize, nullptr,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    // Shown without activation: Wine hands an activated window to the window manager and, there
    // being none under Xvfb, waits two seconds for it when the window is destroyed.
    ready_ = window_ != nullptr &&
             SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW) &&
             UpdateWindow(window_) && SUCCEEDED(RegisterDragDrop(window_, target_));
    PutCursorInside();
}

DropTargetWindow::~DropTargetWindow()
{
    if (ready_) {
        RevokeDragDrop(window_);
    }
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
    delete target_;
}

void DropTargetWindow::PutCursorInside() const { MoveCursor(kLeft + kSize / 2, kTop + kSize / 2); }

void DropTargetWindow::PutCursorOutside() { MoveCursor(kLeft + kSize * 2, kTop + kSize * 2); }

} // namespace testsupport
