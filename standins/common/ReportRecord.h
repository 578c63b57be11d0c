// Shared by the reporting stand-ins (Tallyhub.dll, Beaconry.dll): what the bridge hands
// them is appended, one JSON line per call, to the file named by FERRYDOCK_REPORT_FILE
// (default %TEMP%\Ferrydock\FerrydockReport.jsonl; set but empty: nothing is written).
#pragma once

#include "TempFile.h"
#include "ferrydock/Resource.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

namespace standin {

inline std::wstring ReportFilePath()
{
    SetLastError(ERROR_SUCCESS);
    const DWORD needed = GetEnvironmentVariableW(L"FERRYDOCK_REPORT_FILE", nullptr, 0);
    if (needed == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return FileInTempFolder(L"FerrydockReport.jsonl");
    }
    std::wstring path(needed, L'\0');
    const DWORD length = needed == 0 ? 0 : GetEnvironmentVariableW(L"FERRYDOCK_REPORT_FILE", path.data(), needed);
    path.resize(length < needed ? length : 0);
    return path;
}

// A JSON string of the bytes as they are: quotes, backslashes and control characters
// escaped, every other byte (the ANSI code page's included) kept unchanged.
inline std::string JsonString(const std::string& bytes)
{
    std::string out = "\"";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// One WriteFile through a FILE_APPEND_DATA handle: the line lands whole at the end of
// the file, also when other processes append at the same time.
inline void AppendReportRecord(const std::string& record)
{
    const FerrydockIpc::LastErrorKeeper keep;
    const std::wstring path = ReportFilePath();
    if (!path.empty()) {
        const FerrydockIpc::UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            const std::string line = record + "\n";
            DWORD written = 0;
            WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
    }
}

} // namespace standin
