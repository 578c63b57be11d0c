// Makes one imported function of a loaded module fail on its Nth call: the import slot
// is pointed at a small generated thunk that counts calls, forwards every other call
// unchanged (a tail jump, so any signature works), and on the chosen call sets the
// thread's last error and returns the chosen value without calling the function.
#pragma once

#include "support/ImportPatch.h"

#include <windows.h>

#include <cstdint>
#include <memory>

namespace testsupport {

class FailingImport {
public:
    FailingImport(HMODULE module, const char* dll, const char* function, long long failAt, uint64_t failValue,
                  DWORD lastError);
    ~FailingImport();
    FailingImport(const FailingImport&) = delete;
    FailingImport& operator=(const FailingImport&) = delete;

    bool active() const { return patch_ && patch_->active(); }
    // How often the module called the function while the thunk was in place.
    long long calls() const;

private:
    struct Context {
        volatile long long count;
        long long failAt;
        uint64_t failValue;
        uint32_t lastError;
        uint32_t padding;
        void* original;
        void* setLastError;
    };
    volatile LONG* inUse_ = nullptr;
    void* code_ = nullptr; // code and context in one executable page
    Context* context_ = nullptr;
    std::unique_ptr<ImportPatch> patch_;
};

} // namespace testsupport
