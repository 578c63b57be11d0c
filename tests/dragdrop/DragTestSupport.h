// Shared pieces of the drag tests: byte blocks built independently of the bridge, one read
// of a format as drop targets make it, and a watch on the global memory blocks of a drag.
#pragma once

#include "support/DropTargetWindow.h"
#include "support/ImportPatch.h"
#include "support/LogCapture.h"

#include <windows.h>
#include <ole2.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace dragtest {

using testsupport::BlockBytes;
using testsupport::Bytes;

inline Bytes Ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

// UTF-16 units, little-endian, with a terminating zero unit.
inline Bytes Utf16z(const std::wstring& text)
{
    Bytes out;
    for (const wchar_t unit : text + L'\0') {
        out.insert(out.end(), {static_cast<std::uint8_t>(unit & 0xFF), static_cast<std::uint8_t>(unit >> 8)});
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
    return block.insert(block.end(), {0, 0}), block;
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

// The records of a capture, each as "level line".
inline std::vector<std::wstring> Logged(const testsupport::LogCapture& capture)
{
    std::vector<std::wstring> lines;
    for (const auto& record : capture.Records()) {
        lines.push_back(std::to_wstring(record.level) + L" " + record.line);
    }
    return lines;
}

// The global memory blocks allocated and not yet freed by the test executable (where the
// bridge's code lives) and by OLE while the watch is alive; single-threaded use only.
class GlobalMemoryWatch {
public:
    GlobalMemoryWatch()
    {
        Live().clear();
        for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L"ole32.dll", L"combase.dll"}) {
            const HMODULE module = GetModuleHandleW(name);
            for (const char* dll : {"kernel32.dll", "kernelbase.dll"}) {
                if (module == nullptr) {
                    continue;
                }
                patches_.push_back(std::make_unique<testsupport::ImportPatch>(module, dll, "GlobalAlloc",
                                                                              reinterpret_cast<void*>(&Alloc)));
                patches_.push_back(std::make_unique<testsupport::ImportPatch>(module, dll, "GlobalFree",
                                                                              reinterpret_cast<void*>(&Free)));
            }
        }
    }
    static std::set<HGLOBAL>& Live()
    {
        static std::set<HGLOBAL> live;
        return live;
    }

private:
    static HGLOBAL WINAPI Alloc(UINT flags, SIZE_T size)
    {
        const HGLOBAL block = reinterpret_cast<decltype(&::GlobalAlloc)>(Real("GlobalAlloc"))(flags, size);
        return block != nullptr ? *Live().insert(block).first : nullptr;
    }
    static HGLOBAL WINAPI Free(HGLOBAL block)
    {
        Live().erase(block);
        return reinterpret_cast<decltype(&::GlobalFree)>(Real("GlobalFree"))(block);
    }
    // Past the patched import tables, straight to the system's functions.
    static void* Real(const char* name)
    {
        return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
    }
    std::vector<std::unique_ptr<testsupport::ImportPatch>> patches_;
};

} // namespace dragtest
