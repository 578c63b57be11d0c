// Pathkit.dll: file and folder locations of the suite.
#pragma once

#include <string>

#ifdef PATHKIT_EXPORTS
#define PATHKIT_API __declspec(dllexport)
#else
#define PATHKIT_API __declspec(dllimport)
#endif

namespace FileInfo {

// Which of the suite's shares a path is asked for.
enum class VeltraShareName : int {
    Default = 0,
};

// The wide path of the suite's global share folder, without a trailing separator.
PATHKIT_API std::wstring GetGlobalKdSharePath(VeltraShareName share, bool forCurrentProduct);

// 0 on success: path then holds the application-data folder as UTF-8, ending in a separator.
PATHKIT_API int GetAppDataPath(std::string& path);

} // namespace FileInfo
