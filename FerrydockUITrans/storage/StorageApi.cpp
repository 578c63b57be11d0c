#include "storage/StorageApi.h"

#include "common/Log.h"
#include "storage/CurrentUser.h"
#include "storage/DirManager.h"

#include <cerrno>
#include <string>

namespace FerrydockIpc {

namespace {

bool Refused(wchar_t* buffer, int length) { return buffer == nullptr || length < 2; }

// The whole text with its terminator, or an empty string and ERANGE; never cut.
int CopyWhole(wchar_t* buffer, int length, const std::wstring& text)
{
    if (text.size() >= static_cast<size_t>(length)) {
        buffer[0] = L'\0';
        return ERANGE;
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = L'\0';
    return 0;
}

void Deliver(wchar_t* buffer, int length, const std::wstring& text, const char* where)
{
    const int error = CopyWhole(buffer, length, text);
    if (error != 0) {
        Log(LogLevel::Error, where, "wcscpy_s path fail: ", error);
    }
}

template <void (DirManager::*Member)(std::wstring&)>
void DeliverFolder(wchar_t* buffer, int length, const char* where)
{
    if (Refused(buffer, length)) {
        Log(LogLevel::Error, where, "dir is null or len is less than 1");
        return;
    }
    std::wstring path;
    (DirManager::GetInstance().*Member)(path);
    Deliver(buffer, length, path, where);
}

} // namespace

void GetSaveFileDir(wchar_t* buffer, int length)
{
    DeliverFolder<&DirManager::GetSaveFileDir>(buffer, length, "FerrydockIpc::GetSaveFileDir");
}

void GetSaveDbDir(wchar_t* buffer, int length)
{
    DeliverFolder<&DirManager::GetSaveDbDir>(buffer, length, "FerrydockIpc::GetSaveDbDir");
}

void GetCurrentUserName(wchar_t* buffer, int length)
{
    static constexpr const char* where = "FerrydockIpc::GetCurrentUserName";
    if (Refused(buffer, length)) {
        Log(LogLevel::Error, where, "input is empty");
        return;
    }
    Deliver(buffer, length, GetCurrentUserSid(), where);
}

} // namespace FerrydockIpc
