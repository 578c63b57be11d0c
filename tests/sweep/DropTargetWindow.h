// A visible window of its own class, registered as an OLE drop target, with the cursor
// placed over it: a drag started on this thread then drops here at once (no button held).
#pragma once

#include <windows.h>

#include <ole2.h>

#include <string>
#include <vector>

namespace testsupport {

class DropTargetWindow {
public:
    DropTargetWindow(); // the calling thread must have called OleInitialize
    ~DropTargetWindow();
    DropTargetWindow(const DropTargetWindow&) = delete;
    DropTargetWindow& operator=(const DropTargetWindow&) = delete;

    bool ready() const { return registered_; }
    void PlaceCursorOver() const;
    // Clipboard format names (or numbers for the predefined ones) of the last drop.
    const std::vector<std::wstring>& droppedFormats() const;
    void Reset();

private:
    class Target;
    HWND window_ = nullptr;
    Target* target_ = nullptr;
    bool registered_ = false;
};

} // namespace testsupport
