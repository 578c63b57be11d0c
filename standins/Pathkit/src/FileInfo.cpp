// Locations of the suite's folders. Each answer can be steered by the environment,
// read at every call, so that tests and the demo can point the bridge anywhere:
//   FERRYDOCK_SHARE_PATH      the share folder (trailing separators are dropped)
//   FERRYDOCK_APPDATA_PATH    the application-data folder (a separator is added)
//   FERRYDOCK_APPDATA_RESULT  the result of GetAppDataPath (decimal; 0 = success)
#include "FileInfo.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <string>

namespace {

// The variable's value; false when it is not set (an empty value is set).
bool ReadVariable(const wchar_t* name, std::wstring& value)
{
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        value.clear();
        return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    }
    value.assign(size, L'\0');
    const DWORD written = GetEnvironmentVariableW(name, &value[0], size);
    value.resize(written < size ? written : 0);
    return true;
}

std::wstring KnownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    std::wstring result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &path)) && path != nullptr) {
        result = path;
    }
    CoTaskMemFree(path);
    return result;
}

std::wstring WithoutTrailingSeparators(std::wstring path)
{
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    return path;
}

std::string ToUtf8(const std::wstring& wide)
{
    if (wide.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], size, nullptr,
                            nullptr);
    }
    return utf8;
}

// The suite's installer makes the application-data folder; the stand-in makes its
// default on demand so that a fresh machine behaves like an installed one.
std::wstring DefaultAppDataFolder()
{
    const std::wstring roaming = KnownFolder(FOLDERID_RoamingAppData);
    if (roaming.empty()) {
        return {};
    }
    const std::wstring folder = roaming + L"\\Dadez\\Brimlet";
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    return folder;
}

} // namespace

namespace FileInfo {

std::wstring GetGlobalKdSharePath(VeltraShareName, bool)
{
    std::wstring configured;
    if (ReadVariable(L"FERRYDOCK_SHARE_PATH", configured)) {
        return WithoutTrailingSeparators(configured);
    }
    const std::wstring publicDocuments = KnownFolder(FOLDERID_PublicDocuments);
    return publicDocuments.empty() ? std::wstring() : publicDocuments + L"\\Veltra Share";
}

int GetAppDataPath(std::string& path)
{
    std::wstring text;
    int result = 0;
    if (ReadVariable(L"FERRYDOCK_APPDATA_RESULT", text) && !text.empty()) {
        result = static_cast<int>(std::wcstol(text.c_str(), nullptr, 10));
    }
    std::wstring folder;
    if (!ReadVariable(L"FERRYDOCK_APPDATA_PATH", folder)) {
        folder = DefaultAppDataFolder();
        result = (result == 0 && folder.empty()) ? 1 : result;
    }
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') {
        folder += L'\\';
    }
    path = ToUtf8(folder);
    return result;
}

} // namespace FileInfo
