// Composition of log lines: message text, values, then "(" qualified name ")".
// Narrow literals are widened unit by unit; numbers use the stream's default state.
#pragma once

#include "KdLogger.h"

#include <cwchar>
#include <string>
#include <type_traits>

namespace FerrydockIpc {

enum class LogLevel : int {
    Notice = LOG_LEVEL_INFO, // progress, notices and the failures that are logged as notices
    Error = LOG_LEVEL_ERROR,
};

namespace logdetail {

// The line is composed in a plain string: the stream inserters consult the C++ runtime's
// per-thread exception state, which the statically linked thread library keeps in records
// that outlive an unloaded DLL. The stream is made only to hand the text over.
inline void Put(std::wstring& line, const char* narrow)
{
    for (; narrow != nullptr && *narrow != '\0'; ++narrow) {
        line += static_cast<wchar_t>(static_cast<unsigned char>(*narrow));
    }
}

inline void Put(std::wstring& line, const std::string& narrow) { Put(line, narrow.c_str()); }

inline void Put(std::wstring& line, const wchar_t* wide)
{
    if (wide != nullptr) {
        line += wide;
    }
}

inline void Put(std::wstring& line, const std::wstring& wide) { line += wide; }

// As a stream in its default state writes them: flags as 1 or 0, characters as themselves.
template <typename Value>
void Put(std::wstring& line, const Value& value)
{
    static_assert(std::is_arithmetic_v<Value>, "log values are texts, numbers or flags");
    if constexpr (std::is_same_v<Value, bool>) {
        line += value ? L'1' : L'0';
    } else if constexpr (std::is_same_v<Value, char> || std::is_same_v<Value, wchar_t>) {
        line += static_cast<wchar_t>(value);
    } else if constexpr (std::is_floating_point_v<Value>) {
        wchar_t text[32];
        swprintf(text, 32, L"%g", static_cast<double>(value));
        line += text;
    } else {
        line += std::to_wstring(value);
    }
}

// Hands the composed line to the suite's logger; keeps the thread's last error.
void Emit(LogLevel level, std::wstring& line, const char* where);

} // namespace logdetail

// Log(LogLevel::Error, "FerrydockIpc::GetSaveDbDir", "wcscpy_s path fail: ", err);
template <typename... Pieces>
void Log(LogLevel level, const char* where, const Pieces&... pieces)
{
    std::wstring line;
    (logdetail::Put(line, pieces), ...);
    logdetail::Emit(level, line, where);
}

} // namespace FerrydockIpc
