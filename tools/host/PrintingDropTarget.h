// The host's drop target: a topmost window of its own class, registered with OLE, whose
// target prints every format a drop offers and what GetData returned for each. Used by
// `drag --to-own-window` (same process) and `drop-target` (a process of its own).
#pragma once

#include "ferrydock/Resource.h"

#include <windows.h>
#include <ole2.h>

namespace host {

constexpr wchar_t kDropTargetClass[] = L"FerrydockHostDropTarget";

using Window = FerrydockIpc::UniqueWindow;
using DataObjectRef = FerrydockIpc::UniqueInterface<IDataObject>;

// OLE on this thread for the scope of a command (a single-threaded apartment).
struct OleScope {
    HRESULT result = OleInitialize(nullptr);
    FerrydockIpc::UniqueCall<::OleUninitialize> uninitialize{SUCCEEDED(result)};
};

// A visible topmost popup of 300 x 300 pixels at (left, 200). Windows that take drops need
// a class of their own: a STATIC window lets mouse hits through to the window below.
Window MakeTopmostWindow(const wchar_t* className, const wchar_t* title, int left);

// Puts the cursor in the middle of the window and drains the mouse messages the move queued:
// the drag loop takes its position from them.
void MoveCursorInto(HWND window);

// Prints "<heading>: N formats offered", then one entry per format in enumeration order.
void PrintDataObject(const wchar_t* heading, IDataObject* data);

// Accepts a copy and prints the drop. With keep, the data object of the first drop is held
// (kept) after Drop returns, as a target that reads it later would.
class PrintingDropTarget final : public IDropTarget {
public:
    explicit PrintingDropTarget(bool keep = false) : keep_(keep) {}

    int drops = 0;
    DataObjectRef kept;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    // Lives on the stack of the command that registers it and outlives the registration.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP DragEnter(IDataObject*, DWORD, POINTL, DWORD* effect) override;
    STDMETHODIMP DragOver(DWORD, POINTL, DWORD* effect) override;
    STDMETHODIMP DragLeave() override { return S_OK; }
    STDMETHODIMP Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) override;

private:
    bool keep_;
};

// A window registered as a drop target, revoked when the owner goes; empty when
// RegisterDragDrop failed.
using DropRegistration = FerrydockIpc::UniqueResource<HWND, ::RevokeDragDrop>;

inline DropRegistration RegisterDropTarget(HWND window, IDropTarget* target)
{
    const bool registered = window != nullptr && SUCCEEDED(RegisterDragDrop(window, target));
    return DropRegistration(registered ? window : nullptr);
}

} // namespace host
