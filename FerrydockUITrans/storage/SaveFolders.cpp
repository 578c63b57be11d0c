#include "storage/DirManager.h"

#include "FileInfo.h"
#include "XaloSoftShelf.h"
#include "common/Log.h"
#include "common/TextConvert.h"
#include "storage/CurrentUser.h"

namespace FerrydockIpc {

// The texts that tell the two folder sequences apart in the log.
struct DirManager::FolderMessages {
    const char* where;
    const char* generalDirectoryFailed;
    const char* createWithPermissionFailed;
    const char* cannotAccess;
    const char* accessAfterRepair;
};

namespace {

const char* const kDefaultAppDataBase = "C:\\ProgramData\\Dadez\\Brimlet\\";

// Any failure of the query, whatever its cause, counts as absent.
bool PathExists(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != FALSE;
}

} // namespace

bool DirManager::CreateGeneralDirectory(const std::wstring& path)
{
    static constexpr const char* where = "FerrydockIpc::DirManager::CreateGeneralDirectory";
    if (!PathExists(path) && !CreateDirectoryW(path.c_str(), nullptr)) {
        Log(LogLevel::Error, where, logTag, "createDirectory failed", GetLastError());
        return false;
    }
    if (!SetDirectoryHidden(path)) {
        Log(LogLevel::Error, where, logTag, "set hidden attribute failed!");
    }
    AddUserPermissions(path.c_str());
    return true;
}

void DirManager::GetSaveFileDir(std::wstring& path)
{
    static const FolderMessages messages{
        "FerrydockIpc::DirManager::GetSaveFileDir", "GetSaveFileDir CreateGeneralDirectory Failed!",
        "GetSaveFileDir CreateDirctoryWithPermission failed", "can't access file folder, permission is ",
        "get file folder access ret: "};
    const std::wstring share = FileInfo::GetGlobalKdSharePath(XaloSoftShelf::GetVeltraShareName(), true);
    path = share + L"\\Ferrydock\\";
    // One level only: the share folder's parent belongs to the suite.
    if (!PathExists(share) && !CreateDirectoryW(share.c_str(), nullptr)) {
        Log(LogLevel::Error, messages.where, logTag, "Create veltra share dir failed!");
        return;
    }
    PrepareUserFolder(path, messages);
}

void DirManager::GetSaveDbDir(std::wstring& path)
{
    static const FolderMessages messages{
        "FerrydockIpc::DirManager::GetSaveDbDir", "GetSaveDbDir CreateGeneralDirectory Failed!",
        "GetSaveDbDir CreateDirctoryWithPermission failed", "can't access db folder, permission is ",
        "get db folder access ret: "};
    std::string base;
    if (FileInfo::GetAppDataPath(base) != 0) {
        base = kDefaultAppDataBase;
    }
    path = Utf8ToWide(base) + L"Ferrydock\\";
    PrepareUserFolder(path, messages);
}

// From the product folder (path, with its trailing separator) to the user's folder.
void DirManager::PrepareUserFolder(std::wstring& path, const FolderMessages& messages)
{
    if (!CreateGeneralDirectory(path)) {
        Log(LogLevel::Error, messages.where, logTag, messages.generalDirectoryFailed);
        return;
    }
    path += GetCurrentUserSid();
    if (!PathExists(path) && !SetDirctoryPermission(path, true)) {
        Log(LogLevel::Error, messages.where, logTag, messages.createWithPermissionFailed);
    }
    if (PathExists(path)) {
        CheckAndRepairAccess(path, messages);
    }
}

void DirManager::CheckAndRepairAccess(const std::wstring& path, const FolderMessages& messages)
{
    DWORD granted = 0;
    if (CanAccessFolder(path.c_str(), folderAccessMask, &granted)) {
        return;
    }
    Log(LogLevel::Error, messages.where, logTag, messages.cannotAccess, granted);
    AddUserPermissions(path.c_str());
    SetDirctoryPermission(path, false);
    const bool accessible = CanAccessFolder(path.c_str(), folderAccessMask, &granted);
    Log(LogLevel::Notice, messages.where, logTag, messages.accessAfterRepair, accessible ? "1" : "0",
        ", get permission: ", granted);
}

} // namespace FerrydockIpc
