#include "StorageTestSupport.h"

#include <sddl.h>

#include <atomic>

namespace storagetest {

namespace {

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &data)) {
        const std::wstring name = data.cFileName;
        const std::wstring child = path + L"\\" + name;
        if (name == L"." || name == L"..") {
            continue;
        }
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveTree(child) : void(DeleteFileW(child.c_str()));
    }
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
}

std::wstring LocalText(LPWSTR text)
{
    std::wstring result = text != nullptr ? text : L"";
    LocalFree(text);
    return result;
}

} // namespace

TempTree::TempTree()
{
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    root = std::wstring(temp) + L"fdstorage-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
    RemoveTree(root);
    CreateDirectoryW(root.c_str(), nullptr);
}

TempTree::~TempTree() { RemoveTree(root); }

ScopedEnv::ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name)
{
    wchar_t buffer[4096] = {};
    SetLastError(0);
    hadOld_ = GetEnvironmentVariableW(name, buffer, 4096) > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    old_ = buffer;
    SetEnvironmentVariableW(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), hadOld_ ? old_.c_str() : nullptr); }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }

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

SddlDescriptor::SddlDescriptor(const wchar_t* sddl)
{
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr);
}

SddlDescriptor::~SddlDescriptor() { LocalFree(descriptor); }

PACL SddlDescriptor::dacl() const
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
    return present ? list : nullptr;
}

testsupport::LogRecord TaggedLine(int level, const std::wstring& text, const char* where)
{
    return {level, L"DIR_MANAGER_LOG_TAG " + text + L"(FerrydockIpc::" + std::wstring(where, where + strlen(where)) +
                       L")"};
}

} // namespace storagetest
