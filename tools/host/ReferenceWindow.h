// The reference window: one plain Win32 window that uses FerrydockUITrans.dll the way the
// interface must. Callbacks arrive on the IPC client's delivery thread; they copy what they
// receive and post the copy to the window, whose thread alone touches the controls. A drag
// starts from the window's own mouse handling, on its OLE single-threaded apartment thread.
// Closing posts SendWindowClose, stops delivery with UninitIPCModule, then destroys the window.
#pragma once

#include "Host.h"

#include <windows.h>

#include <string>

namespace host {

constexpr wchar_t kReferenceWindowClass[] = L"FerrydockReferenceWindow";

struct ReferenceWindowOptions {
    std::wstring pipe;       // shown in the connection state
    std::wstring screenshot; // PNG written after screenshotAfterMs, or at close if earlier; empty: none
    unsigned long screenshotAfterMs = 0;
};

struct ReferenceWindowResult {
    int exitCode = 0; // 0 after a normal close
    int posts = 0;    // notifications the window posted
};

// Runs on the calling thread, which must already be an OLE single-threaded apartment:
// registers the callbacks, initialises the module, shows the window, prints "ready" and
// pumps messages until the window is gone.
ReferenceWindowResult RunReferenceWindow(Api& api, const ReferenceWindowOptions& options);

} // namespace host
