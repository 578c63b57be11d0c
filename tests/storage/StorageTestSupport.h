// Helpers of the storage tests: temporary folder trees, environment overrides, access
// lists as SDDL text, the process user's SID, and typed import patches.
#pragma once

#include "support/ImportPatch.h"
#include "support/LogCapture.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace storagetest {

// A fresh folder under %TEMP%, removed with everything below it at the end.
class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;
    std::wstring operator/(const std::wstring& relative) const { return root + L"\\" + relative; }
    std::wstring root;
};

// Sets (or, with null, removes) an environment variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const wchar_t* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_, old_;
    bool hadOld_;
};

bool Exists(const std::wstring& path);
bool MakeFolder(const std::wstring& path);
// "D:(...)" for a list.
std::wstring DaclSddl(const ACL* list);
std::wstring SidText(PSID sid);
// The user SID of the process token, converted here independently of the code under test.
std::wstring ProcessUserSid();
// The three full-access entries of a user's folder, as SDDL.
std::wstring UserFolderDacl();

// A descriptor parsed from SDDL, released with LocalFree.
struct SddlDescriptor {
    explicit SddlDescriptor(const wchar_t* sddl);
    ~SddlDescriptor();
    SddlDescriptor(const SddlDescriptor&) = delete;
    SddlDescriptor& operator=(const SddlDescriptor&) = delete;
    PACL dacl() const;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
};

// A DirManager line: tag, text, "(FerrydockIpc::<where>)".
testsupport::LogRecord TaggedLine(int level, const std::wstring& text, const char* where);

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

} // namespace storagetest
