// The drop source of one drag: tells the system's drag loop when to drop or cancel.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <atomic>

namespace FerrydockIpc {

class FerrydockDropSource final : public IDropSource {
public:
    // Reference count 1; null when the heap is exhausted.
    static FerrydockDropSource* Create();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP QueryContinueDrag(BOOL fEscapePressed, DWORD grfKeyState) override;
    STDMETHODIMP GiveFeedback(DWORD dwEffect) override;

private:
    FerrydockDropSource() = default;
    ~FerrydockDropSource() = default;

    std::atomic<ULONG> refCount{1};
};

} // namespace FerrydockIpc
