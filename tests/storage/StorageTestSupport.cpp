#include "StorageTestSupport.h"

#include <sddl.h>

#include <atomic>
#include <vector>

namespace storagetest {

namespace {

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(child);
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &data));
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
    root_ = std::wstring(temp) + L"fdstorage-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    RemoveTree(root_);
    CreateDirectoryW(root_.c_str(), nullptr);
}

TempTree::~TempTree() { RemoveTree(root_); }

ScopedEnv::ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name)
{
    wchar_t buffer[4096] = {};
    SetLastError(0);
    const DWORD size = GetEnvironmentVariableW(name, buffer, 4096);
    hadOld_ = size > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
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
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(&descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr)) {
        return L"unconvertible " + std::to_wstring(GetLastError());
    }
    return LocalText(text);
}

std::wstring DescriptorDaclSddl(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    if (descriptor == nullptr || !GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) || !present) {
        return L"none";
    }
    return DaclSddl(list);
}

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    return sid != nullptr && ConvertSidToStringSidW(sid, &text) ? LocalText(text) : L"invalid";
}

std::wstring ProcessUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return L"no token";
    }
    std::vector<BYTE> buffer(512);
    DWORD size = 0;
    const BOOL ok = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
    CloseHandle(token);
    return ok ? SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid) : L"no user";
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

} // namespace storagetest
