// Shared pieces of the drag tests: byte blocks built independently of the bridge, one read
// of a format as drop targets make it, and a watch on the global memory blocks of a drag.
#pragma once

#include "support/DropTargetWindow.h"
#include "support/ImportPatch.h"

#include <windows.h>
#include <ole2.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace dragtest {

using testsupport::BlockBytes;
using testsupport::Bytes;
using testsupport::DropTargetWindow;

inline Bytes Ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

// UTF-16 units, little-endian, with a terminating zero unit.
inline Bytes Utf16z(const std::wstring& text)
{
    Bytes out;
    for (const wchar_t unit : text + L'\0') {
        out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        out.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
    return out;
}

// The file-drop header (offset 20, point 0,0, not client area, wide names), each name with
// its zero, and the zero that ends the list.
inline Bytes FileDropBlock(const std::vector<std::wstring>& paths)
{
    Bytes block = {20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    for (const std::wstring& path : paths) {
        const Bytes name = Utf16z(path);
        block.insert(block.end(), name.begin(), name.end());
    }
    block.push_back(0);
    block.push_back(0);
    return block;
}

inline ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// GetData of one format into a global block; the medium is released at once.
inline HRESULT Ask(IDataObject* data, UINT cf, Bytes* bytes = nullptr, DWORD tymed = TYMED_HGLOBAL)
{
    FORMATETC format{static_cast<CLIPFORMAT>(cf), nullptr, DVASPECT_CONTENT, -1, tymed};
    STGMEDIUM medium{};
    const HRESULT hr = data->GetData(&format, &medium);
    if (hr == S_OK && bytes != nullptr) {
        *bytes = medium.hGlobal != nullptr ? BlockBytes(medium.hGlobal) : Bytes{};
    }
    ReleaseStgMedium(&medium);
    return hr;
}

// Every GlobalAlloc/GlobalFree made by the test executable (where the bridge's code lives)
// and by OLE while the watch is alive.
class GlobalMemoryWatch {
public:
    GlobalMemoryWatch();
    std::size_t allocations() const;
    std::set<HGLOBAL> live() const;

private:
    std::vector<std::unique_ptr<testsupport::ImportPatch>> patches_;
};

} // namespace dragtest
