#include "storage/DirManager.h"

#include "common/Log.h"
#include "storage/AccessList.h"
#include "storage/CurrentUser.h"

#include <sddl.h>

#include <memory>
#include <new>

namespace FerrydockIpc {

namespace {

constexpr DWORD kFolderSecurityParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION;
constexpr DWORD kProcessTokenAccess = TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY | STANDARD_RIGHTS_READ;
constexpr DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr BYTE kInheritedByFilesAndFolders = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
// Opening the folder to replace its access list: 0x00060000.
constexpr DWORD kFolderListWriteAccess = READ_CONTROL | WRITE_DAC;

void FillFullAccess(EXPLICIT_ACCESS_W& record, PSID sid, TRUSTEE_TYPE type)
{
    record.grfAccessPermissions = GENERIC_ALL;
    record.grfAccessMode = SET_ACCESS;
    record.grfInheritance = kInheritedByFilesAndFolders;
    record.Trustee.pMultipleTrustee = nullptr;
    record.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    record.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    record.Trustee.TrusteeType = type;
    record.Trustee.ptstrName = static_cast<LPWSTR>(sid);
}

} // namespace

DirManager& DirManager::GetInstance()
{
    static DirManager instance;
    return instance;
}

DirManager::DirManager()
    : logTag(L"DIR_MANAGER_LOG_TAG "), folderAccessMask(FILE_ALL_ACCESS), ntAuthority(SECURITY_NT_AUTHORITY)
{
}

bool DirManager::SetDirctoryPermission(const std::wstring& path, bool create)
{
    static constexpr const char* where = "FerrydockIpc::DirManager::SetDirctoryPermission";
    std::lock_guard<std::mutex> lock(permissionMutex);
    // The run's security objects go on every way out.
    const auto release = OnScopeExit([this] { ReleaseSecurityObjects(); });

    const std::wstring text = GetCurrentUserSid();
    if (!ConvertStringSidToSidW(text.c_str(), userSid.put())) {
        Log(LogLevel::Error, where, logTag, "ConvertStringSidToSid failed ", GetLastError());
        return false;
    }

    EXPLICIT_ACCESS_W records[3] = {};
    FillFullAccess(records[0], userSid.get(), TRUSTEE_IS_USER);
    AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             adminsSid.put());
    FillFullAccess(records[1], adminsSid.get(), TRUSTEE_IS_GROUP);
    AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, systemSid.put());
    FillFullAccess(records[2], systemSid.get(), TRUSTEE_IS_WELL_KNOWN_GROUP);

    if (SetEntriesInAclW(3, records, nullptr, folderAcl.put()) != ERROR_SUCCESS) {
        Log(LogLevel::Error, where, logTag, "SetEntriesInAcl Error ", GetLastError());
        return false;
    }

    if (create) {
        if (!CreateDirWithPermssion(path)) {
            Log(LogLevel::Error, where, logTag, "CreateDirWithPermssion failed ");
            return false;
        }
    } else {
        const UniqueFileHandle folder(CreateFileW(path.c_str(), kFolderListWriteAccess, 0, nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!folder) {
            Log(LogLevel::Error, where, logTag, "Get dir handle failed, error code: ", GetLastError());
            return false;
        }
        // A list that cannot be written leaves the folder as it was; the caller's
        // access check tells whether that matters.
        SetSecurityInfo(folder.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, folderAcl.get(),
                        nullptr);
    }

    if (!SetDirectoryHidden(path)) {
        Log(LogLevel::Error, where, logTag, "set hidden attribute failed!");
    }
    return true;
}

bool DirManager::CreateDirWithPermssion(std::wstring path)
{
    static constexpr const char* where = "FerrydockIpc::DirManager::CreateDirWithPermssion";
    const UniqueLocalMemory descriptor(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor) {
        Log(LogLevel::Error, where, logTag, "LocalAlloc Security Descriptor Error ", GetLastError());
        return false;
    }
    if (!InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION)) {
        Log(LogLevel::Error, where, logTag, "Initialize Security Descriptor Error ", GetLastError());
        return false;
    }
    if (!SetSecurityDescriptorDacl(descriptor.get(), TRUE, folderAcl.get(), FALSE)) {
        Log(LogLevel::Error, where, logTag, "set Security Descriptor by acl Error ", GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
    if (!CreateDirectoryW(path.c_str(), &attributes)) {
        Log(LogLevel::Error, where, logTag, "CreateDirectory failed");
        return false;
    }
    return true;
}

bool DirManager::SetDirectoryHidden(const std::wstring& path)
{
    static constexpr const char* where = "FerrydockIpc::DirManager::SetDirectoryHidden";
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Log(LogLevel::Error, where, logTag, "GetFileAttributes failed");
        return false;
    }
    if ((attributes & kHiddenSystem) == kHiddenSystem) {
        return true;
    }
    if (!SetFileAttributesW(path.c_str(), attributes | kHiddenSystem)) {
        Log(LogLevel::Error, where, logTag, "SetFileAttributes failed ", GetLastError());
        return false;
    }
    return true;
}

bool DirManager::CanAccessFolder(const wchar_t* path, DWORD desiredAccess, DWORD* grantedAccess)
{
    static constexpr const char* where = "FerrydockIpc::DirManager::CanAccessFolder";
    DWORD needed = 0;
    if (GetFileSecurityW(path, kFolderSecurityParts, nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        Log(LogLevel::Error, where, logTag, "failed to get length by calling GetFileSecurity ", GetLastError());
        return false;
    }
    const std::unique_ptr<BYTE[]> descriptor(new (std::nothrow) BYTE[needed]);
    if (!descriptor || !GetFileSecurityW(path, kFolderSecurityParts, descriptor.get(), needed, &needed)) {
        Log(LogLevel::Error, where, logTag, "GetFileSecurity failed");
        return false;
    }

    // The process's own token, never a token the calling thread may be impersonating.
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), kProcessTokenAccess, token.put())) {
        return false;
    }
    Log(LogLevel::Notice, where, logTag, "Get process token");
    // AccessCheck refuses a primary token.
    UniqueHandle impersonationToken;
    if (!DuplicateToken(token.get(), SecurityImpersonation, impersonationToken.put())) {
        return false;
    }

    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges{};
    DWORD privilegesLength = sizeof(privileges);
    DWORD granted = 0;
    BOOL status = FALSE;
    DWORD mask = desiredAccess;
    MapGenericMask(&mask, &mapping);
    if (!AccessCheck(descriptor.get(), impersonationToken.get(), mask, &mapping, &privileges, &privilegesLength,
                     &granted, &status)) {
        Log(LogLevel::Error, where, logTag, "AccessCheck failed ", GetLastError());
        return false;
    }
    Log(LogLevel::Notice, where, logTag, "AccessCheck success");
    if (grantedAccess != nullptr) {
        *grantedAccess = granted;
    }
    return status == TRUE;
}

void DirManager::AddUserPermissions(const wchar_t* path)
{
    static constexpr const char* where = "FerrydockIpc::DirManager::AddUserPermissions";
    Dacl dacl;
    if (!GetNamedDacl(path, SE_FILE_OBJECT, dacl)) {
        Log(LogLevel::Notice, where, logTag, "Get Dacl failed ", GetLastError());
        return;
    }
    const Sid users = Sid::NtAuthority({SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
    if (!dacl.RemoveAces(users)) {
        Log(LogLevel::Notice, where, logTag, "RemoveAces failed ", GetLastError());
    }
    if (!dacl.AddAllowedAce(users, folderAccessMask, kInheritedByFilesAndFolders)) {
        Log(LogLevel::Notice, where, logTag, "AddAllowedAce failed ", GetLastError());
        return;
    }
    if (!SetNamedDacl(path, SE_FILE_OBJECT, dacl)) {
        Log(LogLevel::Notice, where, logTag, "AtlSetDacl failed ", GetLastError());
    }
}

void DirManager::ReleaseSecurityObjects()
{
    folderAcl.reset();
    adminsSid.reset();
    systemSid.reset();
    userSid.reset();
}

} // namespace FerrydockIpc
