// Helpers of the storage tests: temporary folder trees, environment overrides, access lists
// as SDDL text, the process user's SID, typed import patches, and SecurityHooks.
#pragma once

#include "support/ImportPatch.h"
#include "support/LogCapture.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace storagetest {

// A fresh folder under %TEMP%, removed with everything below it at the end.
struct TempTree {
    TempTree();
    ~TempTree();
    std::wstring operator/(const std::wstring& relative) const { return root + L"\\" + relative; }
    std::wstring root;
};

// Sets (or, with null, removes) an environment variable for the scope.
struct ScopedEnv {
    ScopedEnv(const wchar_t* name, const wchar_t* value);
    ~ScopedEnv();
    std::wstring name, old;
    bool hadOld;
};

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
inline bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }
std::wstring DaclSddl(const ACL* list); // "D:(...)"
// The access list of an SDDL descriptor, as bytes.
std::vector<BYTE> SddlDacl(const wchar_t* sddl);
std::wstring SidText(PSID sid);
// The user SID of the process token, converted here independently of the code under test.
std::wstring ProcessUserSid();
// The three full-access entries of a user's folder, as SDDL.
std::wstring UserFolderDacl();
// A DirManager line: tag, text, "(FerrydockIpc::DirManager::<operation>)".
testsupport::LogRecord DirLine(int level, const std::wstring& text, const char* operation);

// Replaces one import of module with replacement; original receives what the slot held.
template <typename Fn>
std::unique_ptr<testsupport::ImportPatch> Patch(HMODULE module, const char* dll, const char* function, Fn replacement,
                                                Fn& original)
{
    auto patch = std::make_unique<testsupport::ImportPatch>(module, dll, function, reinterpret_cast<void*>(replacement));
    original = patch->active() ? patch->original<Fn>() : nullptr;
    return patch;
}

inline HMODULE TestModule() { return GetModuleHandleW(nullptr); }

struct Faults {
    std::vector<int> accessChecks = {}; // per call: 1 denies (granted 0), -1 fails with 1338, 0 real
    bool openProcessTokenFails = false; // 5
    bool duplicateTokenFails = false;   // 5
    int getFileSecurityFailsOnCall = 0; // 1 (length query) or 2, with 5
    bool convertStringSidFails = false; // 1337
    const wchar_t* namedDacl = nullptr; // GetNamedSecurityInfoW answers with this SDDL
    DWORD getNamedError = 0;
    DWORD setNamedError = 0;
};

// Replacements for the security and folder calls of module: each appends one line to a
// trace with what it was given (access lists as SDDL), then calls the real function or
// fails as the faults ask. One instance at a time.
class SecurityHooks {
public:
    explicit SecurityHooks(HMODULE module, Faults faults = {});
    bool active() const;
    // Trace lines that start with prefix ("" for all).
    std::vector<std::wstring> Calls(const std::wstring& prefix = L"") const;

private:
    std::vector<std::unique_ptr<testsupport::ImportPatch>> patches_;
};

} // namespace storagetest
