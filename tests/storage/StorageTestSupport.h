// Helpers of the storage tests: temporary folders, access lists as SDDL text, the process
// user's SID, and SecurityHooks, which patch a module's security and folder imports to trace
// what the module passes (access lists as SDDL). Wine does not enforce file access lists,
// so the lists are checked where they are handed to the system. Failures of single calls
// come from the sweep's FailingImport, layered over the hooks.
#pragma once

#include "support/ImportPatch.h"
#include "support/LogCapture.h"
#include "sweep/FailingImport.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <filesystem>
#include <map>

namespace storagetest {

using Lines = std::vector<std::wstring>;
using Records = std::vector<testsupport::LogRecord>;

// A fresh folder under %TEMP%, removed with everything below it at the end.
struct TempTree {
    const std::wstring root =
        (std::filesystem::temp_directory_path() / ("fdstorage-" + std::to_string(GetCurrentProcessId()))).wstring();
    TempTree() { std::filesystem::create_directory(root); }
    ~TempTree() { std::filesystem::remove_all(root, ignored); }
    std::wstring operator/(const std::wstring& relative) const { return root + L"\\" + relative; }
    std::error_code ignored;
};

inline bool HiddenAndSystem(const std::wstring& path) { return (GetFileAttributesW(path.c_str()) & 6u) == 6u; }

inline PACL DaclOf(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    return GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) && present ? list : nullptr;
}

// Text that LocalFree releases, or fallback.
inline std::wstring Taken(BOOL ok, const LPWSTR& text, const wchar_t* fallback = L"")
{
    const std::wstring result = ok && text != nullptr ? text : fallback;
    LocalFree(ok ? text : nullptr);
    return result;
}

// "D:(...)"
inline std::wstring DaclSddl(const ACL* list)
{
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, const_cast<ACL*>(list), FALSE);
    LPWSTR text = nullptr;
    return Taken(ConvertSecurityDescriptorToStringSecurityDescriptorW(&descriptor, SDDL_REVISION_1,
                                                                      DACL_SECURITY_INFORMATION, &text, nullptr),
                 text);
}

// The user SID of the process token, found here independently of the code under test.
inline std::wstring ProcessUserSid()
{
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[512];
    DWORD size = 0;
    const BOOL ok = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
    CloseHandle(token);
    LPWSTR text = nullptr;
    return Taken(ok && ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text), text);
}

// A DirManager line: tag, text, "(FerrydockIpc::DirManager::<operation>)".
inline testsupport::LogRecord DirLine(int level, const std::wstring& text, const std::string& operation)
{
    return {level, L"DIR_MANAGER_LOG_TAG " + text + L"(FerrydockIpc::DirManager::" +
                       std::wstring(operation.begin(), operation.end()) + L")"};
}

namespace hooks {

inline Lines g_trace;
inline const wchar_t* g_namedDacl = nullptr; // what GetNamedSecurityInfoW answers, as SDDL
inline std::map<std::string, void*> g_real;  // what each patched slot held
#define REAL(name) reinterpret_cast<decltype(&::name)>(hooks::g_real.at(#name))

template <typename... Args>
void Trace(const wchar_t* format, Args... args)
{
    wchar_t line[2048];
    _snwprintf_s(line, _countof(line), _TRUNCATE, format, args...);
    g_trace.push_back(line);
}

// A hook that traces its arguments with format, then calls the function it replaces.
#define TRACED(function, result, parameters, arguments, ...)                                                      \
    inline result WINAPI function##Hook parameters { return Trace(__VA_ARGS__), REAL(function) arguments; }

// "CreateDirectoryW <path> none" or "CreateDirectoryW <path> <length> <inherit> <dacl>"
TRACED(CreateDirectoryW, BOOL, (LPCWSTR path, LPSECURITY_ATTRIBUTES attributes), (path, attributes),
       attributes == nullptr ? L"CreateDirectoryW %ls none" : L"CreateDirectoryW %ls %lu %d %ls", path,
       attributes != nullptr ? attributes->nLength : 0, attributes != nullptr && attributes->bInheritHandle,
       attributes != nullptr ? DaclSddl(DaclOf(attributes->lpSecurityDescriptor)).c_str() : L"")
TRACED(CreateFileW, HANDLE, (LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD how,
                             DWORD flags, HANDLE templateFile),
       (path, access, share, attributes, how, flags, templateFile), L"CreateFileW %ls 0x%lx %lu %d %lu 0x%lx %d", path,
       access, share, attributes != nullptr, how, flags, templateFile != nullptr)
// "SetSecurityInfo <type> <parts> <owner/group/sacl given> <dacl>"
TRACED(SetSecurityInfo, DWORD, (HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID owner, PSID group,
                                PACL dacl, PACL sacl),
       (handle, type, parts, owner, group, dacl, sacl), L"SetSecurityInfo %d %lu %d %ls", type, parts,
       owner || group || sacl, DaclSddl(dacl).c_str())
TRACED(SetNamedSecurityInfoW, DWORD, (LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID owner,
                                      PSID group, PACL dacl, PACL sacl),
       (name, type, parts, owner, group, dacl, sacl), L"SetNamedSecurityInfoW %ls %d %lu %d %ls", name, type, parts,
       owner || group || sacl, DaclSddl(dacl).c_str())

inline DWORD WINAPI GetNamed(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID* owner, PSID* group,
                             PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    if (g_namedDacl == nullptr) {
        return REAL(GetNamedSecurityInfoW)(name, type, parts, owner, group, dacl, sacl, descriptor);
    }
    ConvertStringSecurityDescriptorToSecurityDescriptorW(g_namedDacl, SDDL_REVISION_1, descriptor, nullptr);
    *dacl = DaclOf(*descriptor);
    SetLastError(4242); // what a later message reports when nothing else set an error
    return ERROR_SUCCESS;
}

} // namespace hooks

// Every hook above in the import table of module, for the scope; one instance at a time.
struct SecurityHooks {
    explicit SecurityHooks(HMODULE module, const wchar_t* namedDacl = nullptr)
    {
        hooks::g_trace.clear();
        hooks::g_namedDacl = namedDacl;
        const auto add = [&](const char* name, auto hook) {
            patches.push_back(std::make_unique<testsupport::ImportPatch>(
                module, name[0] == 'C' ? "kernel32.dll" : "advapi32.dll", name, reinterpret_cast<void*>(hook)));
            hooks::g_real[name] = patches.back()->original<void*>();
        };
        add("CreateDirectoryW", &hooks::CreateDirectoryWHook);
        add("CreateFileW", &hooks::CreateFileWHook);
        add("SetSecurityInfo", &hooks::SetSecurityInfoHook);
        add("SetNamedSecurityInfoW", &hooks::SetNamedSecurityInfoWHook);
        add("GetNamedSecurityInfoW", &hooks::GetNamed);
    }
    // Trace lines that start with prefix ("" for all).
    Lines Calls(const std::wstring& prefix = L"") const
    {
        Lines calls;
        std::copy_if(hooks::g_trace.begin(), hooks::g_trace.end(), std::back_inserter(calls),
                     [&](const std::wstring& line) { return line.rfind(prefix, 0) == 0; });
        return calls;
    }
    std::vector<std::unique_ptr<testsupport::ImportPatch>> patches;
};

} // namespace storagetest
