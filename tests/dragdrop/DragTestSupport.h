// Shared pieces of the drag tests: independent byte blocks, a drop-target window of our
// own class, and a watch on every global memory block that changes hands during a drag.
#pragma once

#include "support/DropTargetWindow.h"
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

using testsupport::DropTargetWindow;

using testsupport::Bytes;

void Put32(Bytes& out, std::uint32_t value);
void PutUtf16(Bytes& out, const std::wstring& text); // units, little-endian, no terminator
Bytes Ascii(const std::string& text);
Bytes FileDropBlock(const std::vector<std::wstring>& paths);
Bytes Utf16z(const std::wstring& text);

using testsupport::BlockBytes;
ULONG RefCount(IUnknown* object);
UINT Registered(const wchar_t* name);

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
