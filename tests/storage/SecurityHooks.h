// Replacements for the security and folder calls of the storage code. Each appends
// one line to the trace with what it was given (access lists as SDDL), then calls
// the real function or fails as the faults ask. One test at a time uses them.
#pragma once

#include "StorageTestSupport.h"

#include <string>
#include <vector>

namespace storagetest {

struct Faults {
    std::vector<int> accessChecks;        // per call: 1 denies (granted 0), -1 fails with 1338, 0 real
    bool openProcessTokenFails = false;   // 5
    bool duplicateTokenFails = false;     // 5
    int getFileSecurityFailsOnCall = 0;   // 1 (length query) or 2, with 5
    bool convertStringSidFails = false;   // 1337
    const wchar_t* namedDacl = nullptr;   // GetNamedSecurityInfoW answers with this SDDL
    DWORD getNamedError = 0;
    DWORD setNamedError = 0;
};

class SecurityHooks {
public:
    explicit SecurityHooks(HMODULE module, Faults faults = {});
    bool active() const;
    // Trace lines whose call name starts with prefix ("" for all).
    std::vector<std::wstring> Calls(const std::wstring& prefix = L"") const;

private:
    std::vector<std::unique_ptr<testsupport::ImportPatch>> patches_;
};

} // namespace storagetest
