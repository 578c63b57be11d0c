#include "dragdrop/DropSource.h"

#include <shlwapi.h>

#include <new>

namespace FerrydockIpc {

FerrydockDropSource* FerrydockDropSource::Create() { return new (std::nothrow) FerrydockDropSource(); }

STDMETHODIMP FerrydockDropSource::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB table[] = {
        // QITABENT's offset is a DWORD in an int field: a narrowing that clang refuses in a
        // braced initialiser, so the entry is spelled out with the conversion made explicit.
        {&__uuidof(IDropSource), static_cast<int>(OFFSETOFCLASS(IDropSource, FerrydockDropSource))},
        {nullptr, 0},
    };
    return QISearch(this, table, riid, ppv);
}

STDMETHODIMP_(ULONG) FerrydockDropSource::AddRef() { return ++refCount; }

STDMETHODIMP_(ULONG) FerrydockDropSource::Release()
{
    const ULONG remaining = --refCount;
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}

STDMETHODIMP FerrydockDropSource::QueryContinueDrag(BOOL fEscapePressed, DWORD grfKeyState)
{
    if (fEscapePressed) {
        return DRAGDROP_S_CANCEL;
    }
    // Only the left button carries the drag; without it the data goes where the cursor is.
    if ((grfKeyState & MK_LBUTTON) != 0) {
        return S_OK;
    }
    return DRAGDROP_S_DROP;
}

STDMETHODIMP FerrydockDropSource::GiveFeedback(DWORD) { return DRAGDROP_S_USEDEFAULTCURSORS; }

} // namespace FerrydockIpc
