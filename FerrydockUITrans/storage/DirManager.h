// The save folders' security work: per-user folders with an explicit access list,
// the process's own access check on them, and their repair.
#pragma once

#include "storage/SecurityResources.h"

#include <windows.h>

#include <mutex>
#include <string>

namespace FerrydockIpc {

class DirManager {
public:
    // The one instance, built on first use (safely across threads), kept until unload.
    static DirManager& GetInstance();

    DirManager(const DirManager&) = delete;
    DirManager& operator=(const DirManager&) = delete;

    // Creates the folder (create) or rewrites an existing folder's access list so that
    // the current user, Administrators and LocalSystem have full, inherited access,
    // then hides the folder.
    bool SetDirctoryPermission(const std::wstring& path, bool create);
    // Creates the folder with folderAcl; only under permissionMutex.
    bool CreateDirWithPermssion(std::wstring path);
    // Adds hidden and system, keeping the other attributes.
    bool SetDirectoryHidden(const std::wstring& path);
    // Whether the process's own token is granted all of desiredAccess; grantedAccess
    // receives the granted mask whenever the check ran.
    bool CanAccessFolder(const wchar_t* path, DWORD desiredAccess, DWORD* grantedAccess);
    // Replaces every entry of BUILTIN\Users by one full, inherited grant.
    void AddUserPermissions(const wchar_t* path);
    void ReleaseSecurityObjects();

    // The product folder: created when missing, hidden, with the Users grant.
    bool CreateGeneralDirectory(const std::wstring& path);
    // Folder for received files, below the suite's share folder.
    void GetSaveFileDir(std::wstring& path);
    // Folder for the local database, below the application-data folder.
    void GetSaveDbDir(std::wstring& path);

private:
    struct FolderMessages;

    DirManager();
    void PrepareUserFolder(std::wstring& path, const FolderMessages& messages);
    void CheckAndRepairAccess(const std::wstring& path, const FolderMessages& messages);

    const std::wstring logTag;
    const DWORD folderAccessMask;
    // The four security objects exist only while SetDirctoryPermission runs.
    UniqueFreeSid adminsSid;
    UniqueFreeSid systemSid;
    UniqueLocalAcl folderAcl;
    SID_IDENTIFIER_AUTHORITY ntAuthority;
    std::mutex permissionMutex;
    UniqueLocalSid userSid;
};

} // namespace FerrydockIpc
