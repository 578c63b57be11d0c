#include "SecurityHooks.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdarg>
#include <mutex>

namespace storagetest {

namespace {

std::mutex g_mutex;
std::vector<std::wstring> g_trace;
Faults g_faults;

void Trace(const wchar_t* format, ...)
{
    wchar_t line[2048];
    va_list args;
    va_start(args, format);
    _vsnwprintf_s(line, _countof(line), _TRUNCATE, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_trace.push_back(line);
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

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

// "SetEntriesInAclW old=0 | access mode inheritance form type multiple sid | ..."
DWORD WINAPI SetEntries(ULONG count, PEXPLICIT_ACCESS_W records, PACL old, PACL* list)
{
    std::wstring line = L"SetEntriesInAclW old=" + std::to_wstring(old != nullptr);
    for (ULONG i = 0; i < count; ++i) {
        const EXPLICIT_ACCESS_W& r = records[i];
        wchar_t entry[256];
        swprintf(entry, 256, L" | 0x%lx %d %lu %d %d %d %ls", r.grfAccessPermissions, r.grfAccessMode,
                 r.grfInheritance, r.Trustee.TrusteeForm, r.Trustee.TrusteeType, r.Trustee.MultipleTrusteeOperation,
                 SidText(r.Trustee.ptstrName).c_str());
        line += entry;
    }
    Trace(L"%ls", line.c_str());
    return realSetEntries(count, records, old, list);
}

// "CreateDirectoryW <path> none" or "CreateDirectoryW <path> <length> <inherit> <dacl>"
BOOL WINAPI CreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    if (attributes == nullptr) {
        Trace(L"CreateDirectoryW %ls none", path);
    } else {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL list = nullptr;
        GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &list, &defaulted);
        Trace(L"CreateDirectoryW %ls %lu %d %ls", path, attributes->nLength, attributes->bInheritHandle,
              present ? DaclSddl(list).c_str() : L"no list");
    }
    return realCreateDirectory(path, attributes);
}

HANDLE WINAPI CreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                         DWORD flags, HANDLE templateFile)
{
    Trace(L"CreateFileW %ls 0x%lx %lu %d %lu 0x%lx %d", path, access, share, attributes != nullptr, disposition, flags,
          templateFile != nullptr);
    return realCreateFile(path, access, share, attributes, disposition, flags, templateFile);
}

// "SetSecurityInfo <handle open> <type> <parts> <owner/group/sacl given> <dacl>"
DWORD WINAPI SetSecurity(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID owner, PSID group,
                         PACL dacl, PACL sacl)
{
    DWORD flags = 0;
    Trace(L"SetSecurityInfo %d %d %lu %d %ls", GetHandleInformation(handle, &flags), type, parts,
          owner || group || sacl, DaclSddl(dacl).c_str());
    return realSetSecurityInfo(handle, type, parts, owner, group, dacl, sacl);
}

DWORD WINAPI SetNamed(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID owner, PSID group, PACL dacl,
                      PACL sacl)
{
    Trace(L"SetNamedSecurityInfoW %ls %d %lu %d %ls", name, type, parts, owner || group || sacl,
          DaclSddl(dacl).c_str());
    return g_faults.setNamedError != 0 ? g_faults.setNamedError
                                       : realSetNamed(name, type, parts, owner, group, dacl, sacl);
}

DWORD WINAPI GetNamed(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID* owner, PSID* group,
                      PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    Trace(L"GetNamedSecurityInfoW %ls %d %lu", name, type, parts);
    if (g_faults.getNamedError != 0 || g_faults.namedDacl == nullptr) {
        return g_faults.getNamedError != 0 ? g_faults.getNamedError
                                           : realGetNamed(name, type, parts, owner, group, dacl, sacl, descriptor);
    }
    ConvertStringSecurityDescriptorToSecurityDescriptorW(g_faults.namedDacl, SDDL_REVISION_1, descriptor, nullptr);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    *dacl = present ? *dacl : nullptr;
    SetLastError(4242); // what a later message reports when nothing else set an error
    return ERROR_SUCCESS;
}

// "AccessCheck <desired> <mapping r w x all> <privilege length> <token type> <level>"
BOOL WINAPI Check(PSECURITY_DESCRIPTOR descriptor, HANDLE token, DWORD desired, PGENERIC_MAPPING mapping,
                  PPRIVILEGE_SET privileges, LPDWORD privilegeLength, LPDWORD granted, LPBOOL status)
{
    TOKEN_TYPE type = TokenPrimary;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD size = 0;
    GetTokenInformation(token, TokenType, &type, sizeof(type), &size);
    GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof(level), &size);
    Trace(L"AccessCheck 0x%lx 0x%lx 0x%lx 0x%lx 0x%lx %lu %d %d", desired, mapping->GenericRead, mapping->GenericWrite,
          mapping->GenericExecute, mapping->GenericAll, *privilegeLength, type, level);
    int mode = 0;
    if (!g_faults.accessChecks.empty()) {
        mode = g_faults.accessChecks.front();
        g_faults.accessChecks.erase(g_faults.accessChecks.begin());
    }
    if (mode != 0) {
        *granted = 0;
        *status = FALSE;
        return mode > 0 ? TRUE : Fail(ERROR_INVALID_SECURITY_DESCR);
    }
    return realAccessCheck(descriptor, token, desired, mapping, privileges, privilegeLength, granted, status);
}

BOOL WINAPI OpenToken(HANDLE process, DWORD access, PHANDLE token)
{
    Trace(L"OpenProcessToken 0x%lx", access);
    return g_faults.openProcessTokenFails ? Fail(ERROR_ACCESS_DENIED) : realOpenProcessToken(process, access, token);
}

BOOL WINAPI Duplicate(HANDLE token, SECURITY_IMPERSONATION_LEVEL level, PHANDLE copy)
{
    Trace(L"DuplicateToken %d", level);
    return g_faults.duplicateTokenFails ? Fail(ERROR_ACCESS_DENIED) : realDuplicateToken(token, level, copy);
}

BOOL WINAPI FileSecurity(LPCWSTR path, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR descriptor, DWORD length,
                         LPDWORD needed)
{
    Trace(L"GetFileSecurityW %lu %d", parts, descriptor != nullptr);
    const int call = descriptor == nullptr ? 1 : 2;
    return g_faults.getFileSecurityFailsOnCall == call ? Fail(ERROR_ACCESS_DENIED)
                                                       : realGetFileSecurity(path, parts, descriptor, length, needed);
}

BOOL WINAPI ConvertStringSid(LPCWSTR text, PSID* sid)
{
    Trace(L"ConvertStringSidToSidW %ls", text);
    return g_faults.convertStringSidFails ? Fail(ERROR_INVALID_SID) : realConvertStringSid(text, sid);
}

BOOL WINAPI SetAttributes(LPCWSTR path, DWORD attributes)
{
    Trace(L"SetFileAttributesW %ls 0x%lx", path, attributes);
    return realSetAttributes(path, attributes);
}

} // namespace

SecurityHooks::SecurityHooks(HMODULE module, Faults faults)
{
    g_trace.clear();
    g_faults = std::move(faults);
    const auto add = [&](const char* dll, const char* name, auto replacement, auto& real) {
        patches_.push_back(Patch(module, dll, name, replacement, real));
    };
    add("advapi32.dll", "SetEntriesInAclW", &SetEntries, realSetEntries);
    add("kernel32.dll", "CreateDirectoryW", &CreateDirectory, realCreateDirectory);
    add("kernel32.dll", "CreateFileW", &CreateFile, realCreateFile);
    add("advapi32.dll", "SetSecurityInfo", &SetSecurity, realSetSecurityInfo);
    add("advapi32.dll", "SetNamedSecurityInfoW", &SetNamed, realSetNamed);
    add("advapi32.dll", "GetNamedSecurityInfoW", &GetNamed, realGetNamed);
    add("advapi32.dll", "AccessCheck", &Check, realAccessCheck);
    add("advapi32.dll", "OpenProcessToken", &OpenToken, realOpenProcessToken);
    add("advapi32.dll", "DuplicateToken", &Duplicate, realDuplicateToken);
    add("advapi32.dll", "GetFileSecurityW", &FileSecurity, realGetFileSecurity);
    add("advapi32.dll", "ConvertStringSidToSidW", &ConvertStringSid, realConvertStringSid);
    add("kernel32.dll", "SetFileAttributesW", &SetAttributes, realSetAttributes);
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

std::vector<std::wstring> SecurityHooks::Calls(const std::wstring& prefix) const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::wstring> calls;
    for (const auto& line : g_trace) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            calls.push_back(line);
        }
    }
    return calls;
}

} // namespace storagetest
