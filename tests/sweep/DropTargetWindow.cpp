#include "sweep/DropTargetWindow.h"

#include <atomic>

namespace testsupport {

class DropTargetWindow::Target final : public IDropTarget {
public:
    std::vector<std::wstring> formats;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDropTarget)) {
            *out = static_cast<IDropTarget*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject*, DWORD, POINTL, DWORD* effect) override
    {
        *effect = DROPEFFECT_COPY;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DragOver(DWORD, POINTL, DWORD* effect) override
    {
        *effect = DROPEFFECT_COPY;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DragLeave() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) override
    {
        formats.clear();
        IEnumFORMATETC* formatsEnum = nullptr;
        if (SUCCEEDED(data->EnumFormatEtc(DATADIR_GET, &formatsEnum)) && formatsEnum != nullptr) {
            FORMATETC format;
            while (formatsEnum->Next(1, &format, nullptr) == S_OK) {
                STGMEDIUM medium = {};
                if (SUCCEEDED(data->GetData(&format, &medium))) {
                    ReleaseStgMedium(&medium);
                }
                wchar_t name[128] = {};
                if (GetClipboardFormatNameW(format.cfFormat, name, 128) == 0) {
                    wsprintfW(name, L"%u", format.cfFormat);
                }
                formats.push_back(name);
            }
            formatsEnum->Release();
        }
        *effect = DROPEFFECT_COPY;
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
};

namespace {

const wchar_t kClassName[] = L"FerrydockSweepDropTarget";

void RegisterWindowClass()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    RegisterClassW(&windowClass);
}

} // namespace

DropTargetWindow::DropTargetWindow()
{
    RegisterWindowClass();
    window_ = CreateWindowExW(WS_EX_TOPMOST, kClassName, L"drop here", WS_POPUP | WS_VISIBLE, 0, 0, 300, 300,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr) {
        return;
    }
    target_ = new Target;
    registered_ = SUCCEEDED(RegisterDragDrop(window_, target_));
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
}

DropTargetWindow::~DropTargetWindow()
{
    if (registered_) {
        RevokeDragDrop(window_);
    }
    if (target_ != nullptr) {
        target_->Release();
    }
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
}

void DropTargetWindow::PlaceCursorOver() const { SetCursorPos(150, 150); }

const std::vector<std::wstring>& DropTargetWindow::droppedFormats() const { return target_->formats; }

void DropTargetWindow::Reset()
{
    if (target_ != nullptr) {
        target_->formats.clear();
    }
}

} // namespace testsupport
