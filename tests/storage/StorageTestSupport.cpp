#include "StorageTestSupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <filesystem>
#include <map>
#include <mutex>

namespace storagetest {

TempTree::TempTree()
{
    static std::atomic<int> counter{0};
    const auto path = std::filesystem::temp_directory_path() /
                      ("fdstorage-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter));
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    std::filesystem::create_directory(path, ignored);
    root = path.wstring();
}

TempTree::~TempTree()
{
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

ScopedEnv::ScopedEnv(const wchar_t* name, const wchar_t* value) : name(name)
{
    wchar_t buffer[4096] = {};
    SetLastError(0);
    hadOld = GetEnvironmentVariableW(name, buffer, 4096) > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    old = buffer;
    SetEnvironmentVariableW(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableW(name.c_str(), hadOld ? old.c_str() : nullptr); }

namespace {

std::wstring LocalText(LPWSTR text)
{
    std::wstring result = text != nullptr ? text : L"";
    LocalFree(text);
    return result;
}

PACL DaclOf(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
    return present ? list : nullptr;
}

} // namespace

std::wstring DaclSddl(const ACL* list)
{
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, const_cast<ACL*>(list), FALSE);
    LPWSTR text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(&descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                         nullptr);
    return LocalText(text);
}

std::vector<BYTE> SddlDacl(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr);
    const auto* list = reinterpret_cast<const BYTE*>(DaclOf(descriptor));
    std::vector<BYTE> bytes(list, list + (list != nullptr ? reinterpret_cast<const ACL*>(list)->AclSize : 0));
    LocalFree(descriptor);
    return bytes;
}

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    return sid != nullptr && ConvertSidToStringSidW(sid, &text) ? LocalText(text) : L"invalid";
}

std::wstring ProcessUserSid()
{
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[512];
    DWORD size = 0;
    const BOOL ok = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
    CloseHandle(token);
    return ok ? SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : L"no user";
}

std::wstring UserFolderDacl()
{
    return L"D:(A;OICI;GA;;;" + ProcessUserSid() + L")(A;OICI;GA;;;BA)(A;OICI;GA;;;SY)";
}

testsupport::LogRecord DirLine(int level, const std::wstring& text, const char* operation)
{
    return {level, L"DIR_MANAGER_LOG_TAG " + text + L"(FerrydockIpc::DirManager::" +
                       std::wstring(operation, operation + strlen(operation)) + L")"};
}

// ---- SecurityHooks ----

namespace {

std::mutex g_mutex;
std::vector<std::wstring> g_trace;
Faults g_faults;
std::map<std::string, void*> g_real; // what each patched slot held

#define REAL(name) reinterpret_cast<decltype(&::name)>(g_real.at(#name))

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
    return REAL(SetEntriesInAclW)(count, records, old, list);
}

// "CreateDirectoryW <path> none" or "CreateDirectoryW <path> <length> <inherit> <dacl>"
BOOL WINAPI CreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    if (attributes == nullptr) {
        Trace(L"CreateDirectoryW %ls none", path);
    } else {
        const PACL list = DaclOf(attributes->lpSecurityDescriptor);
        Trace(L"CreateDirectoryW %ls %lu %d %ls", path, attributes->nLength, attributes->bInheritHandle,
              list != nullptr ? DaclSddl(list).c_str() : L"no list");
    }
    return REAL(CreateDirectoryW)(path, attributes);
}

HANDLE WINAPI CreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                         DWORD flags, HANDLE templateFile)
{
    Trace(L"CreateFileW %ls 0x%lx %lu %d %lu 0x%lx %d", path, access, share, attributes != nullptr, disposition, flags,
          templateFile != nullptr);
    return REAL(CreateFileW)(path, access, share, attributes, disposition, flags, templateFile);
}

// "SetSecurityInfo <handle open> <type> <parts> <owner/group/sacl given> <dacl>"
DWORD WINAPI SetSecurity(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID owner, PSID group,
                         PACL dacl, PACL sacl)
{
    DWORD flags = 0;
    Trace(L"SetSecurityInfo %d %d %lu %d %ls", GetHandleInformation(handle, &flags), type, parts,
          owner || group || sacl, DaclSddl(dacl).c_str());
    return REAL(SetSecurityInfo)(handle, type, parts, owner, group, dacl, sacl);
}

DWORD WINAPI SetNamed(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID owner, PSID group, PACL dacl,
                      PACL sacl)
{
    Trace(L"SetNamedSecurityInfoW %ls %d %lu %d %ls", name, type, parts, owner || group || sacl,
          DaclSddl(dacl).c_str());
    return g_faults.setNamedError != 0 ? g_faults.setNamedError
                                       : REAL(SetNamedSecurityInfoW)(name, type, parts, owner, group, dacl, sacl);
}

DWORD WINAPI GetNamed(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID* owner, PSID* group,
                      PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    Trace(L"GetNamedSecurityInfoW %ls %d %lu", name, type, parts);
    if (g_faults.getNamedError != 0 || g_faults.namedDacl == nullptr) {
        return g_faults.getNamedError != 0
                   ? g_faults.getNamedError
                   : REAL(GetNamedSecurityInfoW)(name, type, parts, owner, group, dacl, sacl, descriptor);
    }
    ConvertStringSecurityDescriptorToSecurityDescriptorW(g_faults.namedDacl, SDDL_REVISION_1, descriptor, nullptr);
    *dacl = DaclOf(*descriptor);
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
    return REAL(AccessCheck)(descriptor, token, desired, mapping, privileges, privilegeLength, granted, status);
}

BOOL WINAPI OpenToken(HANDLE process, DWORD access, PHANDLE token)
{
    Trace(L"OpenProcessToken 0x%lx", access);
    return g_faults.openProcessTokenFails ? Fail(ERROR_ACCESS_DENIED) : REAL(OpenProcessToken)(process, access, token);
}

BOOL WINAPI Duplicate(HANDLE token, SECURITY_IMPERSONATION_LEVEL level, PHANDLE copy)
{
    Trace(L"DuplicateToken %d", level);
    return g_faults.duplicateTokenFails ? Fail(ERROR_ACCESS_DENIED) : REAL(DuplicateToken)(token, level, copy);
}

BOOL WINAPI FileSecurity(LPCWSTR path, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR descriptor, DWORD length,
                         LPDWORD needed)
{
    Trace(L"GetFileSecurityW %lu %d", parts, descriptor != nullptr);
    return g_faults.getFileSecurityFailsOnCall == (descriptor == nullptr ? 1 : 2)
               ? Fail(ERROR_ACCESS_DENIED)
               : REAL(GetFileSecurityW)(path, parts, descriptor, length, needed);
}

BOOL WINAPI ConvertStringSid(LPCWSTR text, PSID* sid)
{
    Trace(L"ConvertStringSidToSidW %ls", text);
    return g_faults.convertStringSidFails ? Fail(ERROR_INVALID_SID) : REAL(ConvertStringSidToSidW)(text, sid);
}

} // namespace

SecurityHooks::SecurityHooks(HMODULE module, Faults faults)
{
    g_trace.clear();
    g_faults = std::move(faults);
    const auto add = [&](const char* dll, const char* name, auto replacement) {
        patches_.push_back(
            std::make_unique<testsupport::ImportPatch>(module, dll, name, reinterpret_cast<void*>(replacement)));
        g_real[name] = patches_.back()->original<void*>();
    };
    add("advapi32.dll", "SetEntriesInAclW", &SetEntries);
    add("kernel32.dll", "CreateDirectoryW", &CreateDirectory);
    add("kernel32.dll", "CreateFileW", &CreateFile);
    add("advapi32.dll", "SetSecurityInfo", &SetSecurity);
    add("advapi32.dll", "SetNamedSecurityInfoW", &SetNamed);
    add("advapi32.dll", "GetNamedSecurityInfoW", &GetNamed);
    add("advapi32.dll", "AccessCheck", &Check);
    add("advapi32.dll", "OpenProcessToken", &OpenToken);
    add("advapi32.dll", "DuplicateToken", &Duplicate);
    add("advapi32.dll", "GetFileSecurityW", &FileSecurity);
    add("advapi32.dll", "ConvertStringSidToSidW", &ConvertStringSid);
}

bool SecurityHooks::active() const
{
    return std::all_of(patches_.begin(), patches_.end(), [](const auto& patch) { return patch->active(); });
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
