// Shared pieces of the drag tests: expected bytes, one read of a format as drop targets make
// it, and a watch on what a drag allocates.
#pragma once

#include "support/DropTargetWindow.h"
#include "support/ImportPatch.h"
#include "support/LogCapture.h"

#include <windows.h>
#include <ole2.h>

#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace dragtest {

using testsupport::BlockBytes;
using testsupport::Bytes;

// GetData of one format into a global block; the medium is released at once.
inline HRESULT Ask(IDataObject* data, UINT cf, Bytes* bytes = nullptr)
{
    FORMATETC format{static_cast<CLIPFORMAT>(cf), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    const HRESULT hr = data->GetData(&format, &medium);
    if (bytes != nullptr) {
        *bytes = hr == S_OK ? BlockBytes(medium.hGlobal) : Bytes{};
    }
    return ReleaseStgMedium(&medium), hr;
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

// Counts the global memory blocks that the test executable (where the bridge's code lives) and
// OLE allocate and do not free while the watch is alive, and with objects also what the test
// executable's non-throwing new allocates; then no other thread may run the executable's code.
class LeakWatch {
public:
    explicit LeakWatch(bool objects = false)
    {
        Live().clear();
        const auto patch = [this](HMODULE module, const char* dll, const char* function, void* replacement) {
            if (module != nullptr) {
                patches_.push_back(std::make_unique<testsupport::ImportPatch>(module, dll, function, replacement));
            }
        };
        const HMODULE self = GetModuleHandleW(nullptr);
        for (const HMODULE module : {self, GetModuleHandleW(L"ole32.dll"), GetModuleHandleW(L"combase.dll")}) {
            for (const char* dll : {"kernel32.dll", "kernelbase.dll"}) {
                patch(module, dll, "GlobalAlloc", reinterpret_cast<void*>(&Alloc));
                patch(module, dll, "GlobalFree", reinterpret_cast<void*>(&Free));
            }
        }
        for (const auto& [function, replacement] : {std::pair{"_ZnwyRKSt9nothrow_t", reinterpret_cast<void*>(&New)},
                                                    {"_ZnayRKSt9nothrow_t", reinterpret_cast<void*>(&New)},
                                                    {"_ZdlPvy", reinterpret_cast<void*>(&Delete)},
                                                    {"_ZdaPv", reinterpret_cast<void*>(&DeleteArray)}}) {
            patch(objects ? self : nullptr, "libstdc++-6.dll", function, replacement);
        }
    }
    static std::size_t Left() { return Live().size(); }

private:
    static std::set<void*>& Live()
    {
        static std::set<void*> live;
        return live;
    }
    // The set frees its own nodes through the patched entries too; the flag lets them pass.
    static void* Note(void* p, bool allocated)
    {
        static bool inside = false;
        if (p != nullptr && !inside) {
            inside = true;
            allocated ? static_cast<void>(Live().insert(p)) : static_cast<void>(Live().erase(p));
            inside = false;
        }
        return p;
    }
    // The system's functions and the plain operators, past the patched import entries.
    static HGLOBAL WINAPI Alloc(UINT flags, SIZE_T size)
    {
        return Note(Kernel<decltype(&::GlobalAlloc)>("GlobalAlloc")(flags, size), true);
    }
    static HGLOBAL WINAPI Free(HGLOBAL block)
    {
        Note(block, false);
        return Kernel<decltype(&::GlobalFree)>("GlobalFree")(block);
    }
    // Arrays too go to the plain scalar operators, whose entries are not patched.
    static void* New(std::size_t size, const std::nothrow_t&) { return Note(::operator new(size), true); }
    static void Delete(void* object, std::size_t) { Note(object, false), ::operator delete(object); }
    static void DeleteArray(void* objects) { Note(objects, false), ::operator delete(objects); }
    template <typename Fn>
    static Fn Kernel(const char* name)
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
    }
    std::vector<std::unique_ptr<testsupport::ImportPatch>> patches_;
};

} // namespace dragtest
