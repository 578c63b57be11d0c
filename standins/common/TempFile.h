// Where the stand-ins keep their files when no variable names one.
#pragma once

#include <windows.h>

#include <string>

namespace standin {

// %TEMP%\Ferrydock\<name>, creating the folder when missing.
inline std::wstring FileInTempFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(ARRAYSIZE(temp), temp);
    std::wstring folder = (length > 0 && length < ARRAYSIZE(temp)) ? std::wstring(temp, length) : L".\\";
    folder += L"Ferrydock";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\" + name;
}

} // namespace standin
