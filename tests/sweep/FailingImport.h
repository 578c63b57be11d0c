// Makes one import of a loaded module fail on its Nth call: the import slot points at a
// generated thunk that counts calls, tail-jumps to the original on every other call (so any
// signature works), and on the chosen call sets the last error and returns the chosen value.
#pragma once

#include "support/ImportPatch.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace testsupport {

class FailingImport {
public:
    // One page serves every instance in turn, so that hundreds of patches do not grow the
    // private bytes themselves: one instance at a time.
    FailingImport(HMODULE module, const char* dll, const char* function, long long failAt, uint64_t failValue,
                  DWORD lastError)
    {
        static Page* const page = static_cast<Page*>(
            VirtualAlloc(nullptr, sizeof(Page), MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
        void* const original = ImportPatch::CurrentTarget(module, dll, function);
        if (page == nullptr || original == nullptr) {
            return;
        }
        context_ = &page->context;
        *context_ = {0, failAt, failValue, lastError, original, reinterpret_cast<void*>(&::SetLastError)};
        // mov r10, <context>   (r10 is volatile and carries no argument)
        // lock inc qword [r10]; mov rax, [r10]; cmp rax, [r10+8]; je fail   ; ++count == failAt ?
        // jmp [r10+0x20]                                                     ; the original, arguments untouched
        // fail: sub rsp, 0x28; mov [rsp+0x20], r10; mov ecx, [r10+0x18]; call [r10+0x28]  ; SetLastError
        //       mov r10, [rsp+0x20]; add rsp, 0x28; mov rax, [r10+0x10]; ret             ; the failure value
        static const unsigned char body[] = {
            0xF0, 0x49, 0xFF, 0x02, 0x49, 0x8B, 0x02, 0x49, 0x3B, 0x42, 0x08, 0x74, 0x04, 0x41, 0xFF, 0x62, 0x20,
            0x48, 0x83, 0xEC, 0x28, 0x4C, 0x89, 0x54, 0x24, 0x20, 0x41, 0x8B, 0x4A, 0x18, 0x41, 0xFF, 0x52, 0x28,
            0x4C, 0x8B, 0x54, 0x24, 0x20, 0x48, 0x83, 0xC4, 0x28, 0x49, 0x8B, 0x42, 0x10, 0xC3};
        page->code[0] = 0x49, page->code[1] = 0xBA;
        std::memcpy(page->code + 2, &context_, sizeof(context_));
        std::memcpy(page->code + 2 + sizeof(context_), body, sizeof(body));
        FlushInstructionCache(GetCurrentProcess(), page, sizeof(Page));
        patch_ = std::make_unique<ImportPatch>(module, dll, function, page->code);
    }

    bool active() const { return patch_ && patch_->active(); }
    // How often the module called the function while the thunk was in place.
    long long calls() const { return context_ != nullptr ? context_->count : 0; }

private:
    struct Context { // offsets as the thunk reads them
        volatile long long count, failAt;
        uint64_t failValue, lastError;
        void *original, *setLastError;
    };
    struct Page { unsigned char code[128]; Context context; };
    Context* context_ = nullptr;
    std::unique_ptr<ImportPatch> patch_;
};

// The module's access checks run and deny everything, for the scope; with deny false, nothing changes.
inline std::unique_ptr<ImportPatch> DenyingAccessCheck(HMODULE module, bool deny = true)
{
    const auto denying = +[](PSECURITY_DESCRIPTOR, HANDLE, DWORD, PGENERIC_MAPPING, PPRIVILEGE_SET, LPDWORD,
                             LPDWORD granted, LPBOOL status) -> BOOL { return *granted = 0, *status = FALSE, TRUE; };
    return deny ? std::make_unique<ImportPatch>(module, "advapi32.dll", "AccessCheck", reinterpret_cast<void*>(denying))
                : nullptr;
}

} // namespace testsupport
