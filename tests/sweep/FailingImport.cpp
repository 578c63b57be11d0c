#include "sweep/FailingImport.h"

#include <cstring>

namespace testsupport {

namespace {

// x86-64 code; r10 and r11 are volatile and carry no arguments, so the thunk may use r10.
//   mov r10, <context>
//   lock inc qword [r10]          ; ++count
//   mov rax, [r10]
//   cmp rax, [r10+8]              ; count == failAt ?
//   je fail
//   jmp qword [r10+0x20]          ; forward to the original, arguments untouched
// fail:
//   sub rsp, 0x28                 ; shadow space, keeps the stack 16-byte aligned
//   mov [rsp+0x20], r10
//   mov ecx, [r10+0x18]
//   call qword [r10+0x28]         ; SetLastError(lastError)
//   mov r10, [rsp+0x20]
//   add rsp, 0x28
//   mov rax, [r10+0x10]           ; the failure value
//   ret
const unsigned char kThunkHead[] = {0x49, 0xBA};
const unsigned char kThunkBody[] = {
    0xF0, 0x49, 0xFF, 0x02,                   // lock inc qword [r10]
    0x49, 0x8B, 0x02,                         // mov rax, [r10]
    0x49, 0x3B, 0x42, 0x08,                   // cmp rax, [r10+8]
    0x74, 0x04,                               // je +4
    0x41, 0xFF, 0x62, 0x20,                   // jmp [r10+0x20]
    0x48, 0x83, 0xEC, 0x28,                   // sub rsp, 0x28
    0x4C, 0x89, 0x54, 0x24, 0x20,             // mov [rsp+0x20], r10
    0x41, 0x8B, 0x4A, 0x18,                   // mov ecx, [r10+0x18]
    0x41, 0xFF, 0x52, 0x28,                   // call [r10+0x28]
    0x4C, 0x8B, 0x54, 0x24, 0x20,             // mov r10, [rsp+0x20]
    0x48, 0x83, 0xC4, 0x28,                   // add rsp, 0x28
    0x49, 0x8B, 0x42, 0x10,                   // mov rax, [r10+0x10]
    0xC3,                                     // ret
};
constexpr size_t kContextOffset = 128;

} // namespace

FailingImport::FailingImport(HMODULE module, const char* dll, const char* function, long long failAt,
                             uint64_t failValue, DWORD lastError)
{
    // One page serves every instance in turn (one at a time), so that a sweep of
    // hundreds of patches does not itself grow the process's private bytes.
    static void* const page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    static LONG inUse = 0;
    if (page == nullptr || InterlockedCompareExchange(&inUse, 1, 0) != 0) {
        return;
    }
    inUse_ = &inUse;
    code_ = page;
    void* const original = ImportPatch::CurrentTarget(module, dll, function);
    if (original == nullptr) {
        return;
    }
    auto* bytes = static_cast<unsigned char*>(code_);
    context_ = reinterpret_cast<Context*>(bytes + kContextOffset);
    *context_ = Context{0, failAt, failValue, lastError, 0, original,
                        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetLastError"))};
    std::memcpy(bytes, kThunkHead, sizeof(kThunkHead));
    const uint64_t address = reinterpret_cast<uint64_t>(context_);
    std::memcpy(bytes + sizeof(kThunkHead), &address, sizeof(address));
    std::memcpy(bytes + sizeof(kThunkHead) + sizeof(address), kThunkBody, sizeof(kThunkBody));
    FlushInstructionCache(GetCurrentProcess(), code_, 4096);

    patch_ = std::make_unique<ImportPatch>(module, dll, function, code_);
}

FailingImport::~FailingImport()
{
    patch_.reset();
    if (inUse_ != nullptr) {
        InterlockedExchange(inUse_, 0);
    }
}

long long FailingImport::calls() const { return context_ != nullptr ? context_->count : 0; }

} // namespace testsupport
