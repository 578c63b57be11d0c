// Shared pieces of the drag tests: independent byte blocks, a drop-target window of our
// own class, and a watch on every global memory block that changes hands during a drag.
#pragma once

#include "support/ImportPatch.h"

#include <windows.h>
#include <ole2.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace dragtest {

using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& out, std::uint32_t value);
void PutUtf16(Bytes& out, const std::wstring& text); // units, little-endian, no terminator
Bytes Ascii(const std::string& text);
Bytes FileDropBlock(const std::vector<std::wstring>& paths);
Bytes Utf16z(const std::wstring& text);

// The whole block, GlobalSize bytes of it.
Bytes BlockBytes(HGLOBAL block);
ULONG RefCount(IUnknown* object);
UINT Registered(const wchar_t* name);

// A visible top-level window of its own class registered with RegisterDragDrop. Drop
// reads every format the data object enumerates; hold=true keeps a reference to it.
class DropTargetWindow {
public:
    explicit DropTargetWindow(bool hold = false);
    ~DropTargetWindow();
    bool ready() const { return ready_; }
    void PutCursorInside() const;
    static void PutCursorOutside();
    void Forget()
    {
        drops = 0;
        offered.clear();
        received.clear();
    }

    int drops = 0;
    std::vector<UINT> offered;          // in enumeration order
    std::map<UINT, Bytes> received;     // format -> bytes of GetData
    IDataObject* held = nullptr;        // the data object, when hold was asked for

private:
    class Target;
    HWND window_ = nullptr;
    Target* target_ = nullptr;
    bool ready_ = false;
};

// Every GlobalAlloc/GlobalFree made by the test executable (where the bridge's code lives)
// and by OLE while the watch is alive.
class GlobalMemoryWatch {
public:
    GlobalMemoryWatch();
    ~GlobalMemoryWatch();
    std::size_t allocations() const;
    std::set<HGLOBAL> live() const;

private:
    std::vector<std::unique_ptr<testsupport::ImportPatch>> patches_;
};

} // namespace dragtest
