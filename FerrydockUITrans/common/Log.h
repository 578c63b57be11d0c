// Composition of log lines: message text, values, then "(" qualified name ")".
// Narrow literals are widened unit by unit; numbers use the stream's default state.
#pragma once

#include "KdLogger.h"

#include <sstream>
#include <string>
#include <type_traits>

namespace FerrydockIpc {

enum class LogLevel : int {
    Notice = LOG_LEVEL_INFO, // progress, notices and the failures that are logged as notices
    Error = LOG_LEVEL_ERROR,
};

namespace logdetail {

inline void Put(std::wostringstream& line, const char* narrow)
{
    for (; narrow != nullptr && *narrow != '\0'; ++narrow) {
        line.put(static_cast<wchar_t>(static_cast<unsigned char>(*narrow)));
    }
}

inline void Put(std::wostringstream& line, const std::string& narrow)
{
    for (const char c : narrow) {
        line.put(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
}

inline void Put(std::wostringstream& line, const wchar_t* wide)
{
    if (wide != nullptr) {
        line << wide;
    }
}

inline void Put(std::wostringstream& line, const std::wstring& wide) { line << wide; }

template <typename Value>
void Put(std::wostringstream& line, const Value& value)
{
    static_assert(std::is_arithmetic_v<Value>, "log values are texts, numbers or flags");
    line << value;
}

// Hands the composed line to the suite's logger; keeps the thread's last error.
void Emit(LogLevel level, std::wostringstream& line, const char* where);

} // namespace logdetail

// Log(LogLevel::Error, "FerrydockIpc::GetSaveDbDir", "wcscpy_s path fail: ", err);
template <typename... Pieces>
void Log(LogLevel level, const char* where, const Pieces&... pieces)
{
    std::wostringstream line;
    (logdetail::Put(line, pieces), ...);
    logdetail::Emit(level, line, where);
}

} // namespace FerrydockIpc
