#include "SecurityHooks.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <mutex>

namespace storagetest {

Recorded g_recorded;

namespace {

std::mutex g_mutex;

decltype(&::SetEntriesInAclW) realSetEntries;
decltype(&::CreateDirectoryW) realCreateDirectory;
decltype(&::CreateFileW) realCreateFile;
decltype(&::SetSecurityInfo) realSetSecurityInfo;
decltype(&::SetNamedSecurityInfoW) realSetNamed;
decltype(&::GetNamedSecurityInfoW) realGetNamed;
decltype(&::AccessCheck) realAccessCheck;
decltype(&::OpenProcessToken) realOpenProcessToken;
decltype(&::DuplicateToken) realDuplicateToken;
decltype(&::GetFileSecurityW) realGetFileSecurity;
decltype(&::ConvertStringSidToSidW) realConvertStringSid;
decltype(&::SetFileAttributesW) realSetAttributes;

void Note(const char* call)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_recorded.calls.push_back(call);
}

DWORD WINAPI SetEntries(ULONG count, PEXPLICIT_ACCESS_W records, PACL old, PACL* list)
{
    Note("SetEntriesInAclW");
    std::vector<ExplicitRecord> copies;
    for (ULONG i = 0; i < count; ++i) {
        const auto& r = records[i];
        copies.push_back({r.grfAccessPermissions, r.grfAccessMode, r.grfInheritance, r.Trustee.TrusteeForm,
                          r.Trustee.TrusteeType, r.Trustee.MultipleTrusteeOperation,
                          r.Trustee.TrusteeForm == TRUSTEE_IS_SID ? SidText(r.Trustee.ptstrName) : L"?"});
    }
    EXPECT_EQ(old, nullptr);
    g_recorded.entries.push_back(copies);
    return realSetEntries(count, records, old, list);
}

BOOL WINAPI CreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    Note("CreateDirectoryW");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_recorded.created.push_back({path, attributes != nullptr, attributes ? attributes->nLength : 0,
                                      attributes ? attributes->bInheritHandle : FALSE,
                                      attributes ? DescriptorDaclSddl(attributes->lpSecurityDescriptor) : L""});
    }
    return realCreateDirectory(path, attributes);
}

HANDLE WINAPI CreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                         DWORD flags, HANDLE templateFile)
{
    Note("CreateFileW");
    const HANDLE result = realCreateFile(path, access, share, attributes, disposition, flags, templateFile);
    const DWORD error = GetLastError();
    g_recorded.opened.push_back(
        {path, access, share, disposition, flags, attributes != nullptr, templateFile != nullptr, result});
    SetLastError(error);
    return result;
}

DWORD WINAPI SetSecurity(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID owner, PSID group,
                         PACL dacl, PACL sacl)
{
    Note("SetSecurityInfo");
    DWORD flags = 0;
    g_recorded.written.push_back({L"", type, parts, owner || group || sacl, DaclSddl(dacl),
                                  GetHandleInformation(handle, &flags) != FALSE});
    return realSetSecurityInfo(handle, type, parts, owner, group, dacl, sacl);
}

DWORD WINAPI SetNamed(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID owner, PSID group, PACL dacl,
                      PACL sacl)
{
    Note("SetNamedSecurityInfoW");
    g_recorded.written.push_back({name, type, parts, owner || group || sacl, DaclSddl(dacl), false});
    if (g_recorded.faults.setNamedError != 0) {
        return g_recorded.faults.setNamedError;
    }
    return realSetNamed(name, type, parts, owner, group, dacl, sacl);
}

DWORD WINAPI GetNamed(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID* owner, PSID* group,
                      PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    Note("GetNamedSecurityInfoW");
    const Faults& f = g_recorded.faults;
    if (f.getNamedError != 0) {
        return f.getNamedError;
    }
    if (f.namedDescriptorSddl == nullptr) {
        return realGetNamed(name, type, parts, owner, group, dacl, sacl, descriptor);
    }
    EXPECT_EQ(parts, static_cast<DWORD>(DACL_SECURITY_INFORMATION));
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(f.namedDescriptorSddl, SDDL_REVISION_1,
                                                                     descriptor, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    if (!present) {
        *dacl = nullptr;
    }
    SetLastError(4242); // what a later message reports when nothing else set an error
    return ERROR_SUCCESS;
}

BOOL WINAPI Check(PSECURITY_DESCRIPTOR descriptor, HANDLE token, DWORD desired, PGENERIC_MAPPING mapping,
                  PPRIVILEGE_SET privileges, LPDWORD privilegeLength, LPDWORD granted, LPBOOL status)
{
    Note("AccessCheck");
    AccessCheckCall call{desired, *mapping, *privilegeLength, TokenPrimary, SecurityAnonymous};
    DWORD size = 0;
    GetTokenInformation(token, TokenType, &call.tokenType, sizeof(call.tokenType), &size);
    GetTokenInformation(token, TokenImpersonationLevel, &call.level, sizeof(call.level), &size);
    g_recorded.checks.push_back(call);

    auto& plan = g_recorded.faults.accessCheckDenials;
    const int mode = plan.empty() ? 0 : plan.front();
    if (!plan.empty()) {
        plan.erase(plan.begin());
    }
    if (mode < 0) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    if (mode > 0) {
        *granted = g_recorded.faults.deniedGrant;
        *status = FALSE;
        return TRUE;
    }
    return realAccessCheck(descriptor, token, desired, mapping, privileges, privilegeLength, granted, status);
}

BOOL WINAPI OpenToken(HANDLE process, DWORD access, PHANDLE token)
{
    Note("OpenProcessToken");
    EXPECT_EQ(access, 0x0002000Eu);
    if (g_recorded.faults.openProcessTokenFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return realOpenProcessToken(process, access, token);
}

BOOL WINAPI Duplicate(HANDLE token, SECURITY_IMPERSONATION_LEVEL level, PHANDLE copy)
{
    Note("DuplicateToken");
    if (g_recorded.faults.duplicateTokenFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return realDuplicateToken(token, level, copy);
}

BOOL WINAPI FileSecurity(LPCWSTR path, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR descriptor, DWORD length,
                         LPDWORD needed)
{
    Note("GetFileSecurityW");
    EXPECT_EQ(parts, 7u);
    const int call = descriptor == nullptr ? 1 : 2;
    if (g_recorded.faults.getFileSecurityFailsOnCall == call) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return realGetFileSecurity(path, parts, descriptor, length, needed);
}

BOOL WINAPI ConvertStringSid(LPCWSTR text, PSID* sid)
{
    Note("ConvertStringSidToSidW");
    if (g_recorded.faults.convertStringSidFails) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    return realConvertStringSid(text, sid);
}

BOOL WINAPI SetAttributes(LPCWSTR path, DWORD attributes)
{
    Note("SetFileAttributesW");
    ++g_recorded.attributeWrites;
    return realSetAttributes(path, attributes);
}

} // namespace

SecurityHooks::SecurityHooks(HMODULE module, const Faults& faults)
{
    g_recorded = Recorded{};
    g_recorded.faults = faults;
    patches_.push_back(Patch(module, "advapi32.dll", "SetEntriesInAclW", &SetEntries, realSetEntries));
    patches_.push_back(Patch(module, "kernel32.dll", "CreateDirectoryW", &CreateDirectory, realCreateDirectory));
    patches_.push_back(Patch(module, "kernel32.dll", "CreateFileW", &CreateFile, realCreateFile));
    patches_.push_back(Patch(module, "advapi32.dll", "SetSecurityInfo", &SetSecurity, realSetSecurityInfo));
    patches_.push_back(Patch(module, "advapi32.dll", "SetNamedSecurityInfoW", &SetNamed, realSetNamed));
    patches_.push_back(Patch(module, "advapi32.dll", "GetNamedSecurityInfoW", &GetNamed, realGetNamed));
    patches_.push_back(Patch(module, "advapi32.dll", "AccessCheck", &Check, realAccessCheck));
    patches_.push_back(Patch(module, "advapi32.dll", "OpenProcessToken", &OpenToken, realOpenProcessToken));
    patches_.push_back(Patch(module, "advapi32.dll", "DuplicateToken", &Duplicate, realDuplicateToken));
    patches_.push_back(Patch(module, "advapi32.dll", "GetFileSecurityW", &FileSecurity, realGetFileSecurity));
    patches_.push_back(Patch(module, "advapi32.dll", "ConvertStringSidToSidW", &ConvertStringSid, realConvertStringSid));
    patches_.push_back(Patch(module, "kernel32.dll", "SetFileAttributesW", &SetAttributes, realSetAttributes));
}

bool SecurityHooks::active() const
{
    for (const auto& patch : patches_) {
        if (!patch->active()) {
            return false;
        }
    }
    return true;
}

} // namespace storagetest
