// A visible top-level window of its own class, registered as an OLE drop target, with
// the cursor placed over it: a drag started on this thread without a button held drops
// here at once. The calling thread must have called OleInitialize.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

// The whole block, GlobalSize bytes of it.
Bytes BlockBytes(HGLOBAL block);

// Drop reads every format the data object enumerates, as a real target would.
class DropTargetWindow {
public:
    DropTargetWindow();
    ~DropTargetWindow();
    bool ready() const { return ready_; }
    void PutCursorInside() const;
    static void PutCursorOutside();
    void Forget()
    {
        drops = 0;
        offered.clear();
    }

    int drops = 0;
    std::vector<UINT> offered; // in enumeration order

private:
    class Target;
    HWND window_ = nullptr;
    Target* target_ = nullptr;
    bool ready_ = false;
};

} // namespace testsupport
