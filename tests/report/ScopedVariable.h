// Sets (or removes) one environment variable of the test process and restores it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace reporttest {

inline std::optional<std::wstring> ReadVariable(const wchar_t* name)
{
    SetLastError(ERROR_SUCCESS);
    const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            return std::nullopt;
        }
        return std::wstring();
    }
    std::wstring value(needed, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), needed));
    return value;
}

class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const std::optional<std::wstring>& value)
        : name_(name), previous_(ReadVariable(name))
    {
        Set(value);
    }
    ~ScopedVariable() { Set(previous_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

    void Set(const std::optional<std::wstring>& value)
    {
        SetEnvironmentVariableW(name_.c_str(), value ? value->c_str() : nullptr);
    }

private:
    std::wstring name_;
    std::optional<std::wstring> previous_;
};

} // namespace reporttest
