#include "Host.h"

#include <cstdarg>
#include <cstdio>

namespace host {

#define HOST_EXPORT(name) ExportSlot{#name, reinterpret_cast<FARPROC*>(&api.name)}

std::vector<ExportSlot> ExportTable(Api& api)
{
    return {
        HOST_EXPORT(InitIPCModule),
        HOST_EXPORT(UninitIPCModule),
        HOST_EXPORT(WndShowFinsh),
        HOST_EXPORT(SendWindowClose),
        HOST_EXPORT(SendRecentToMessageUI),
        HOST_EXPORT(SendDeviceGetToFilesystem),
        HOST_EXPORT(SendFinishTransferMesseage),
        HOST_EXPORT(SendFileInfoAllToFilesystem),
        HOST_EXPORT(SendArrayNumToFilesystem),
        HOST_EXPORT(SendSaveFileToFilesystem),
        HOST_EXPORT(SendToOpenSettingCenter),
        HOST_EXPORT(SendToOpenUseMachineSkills),
        HOST_EXPORT(RegisterWndShowCallback),
        HOST_EXPORT(RegisterWndShowFileCallback),
        HOST_EXPORT(RegisterWndShowDeviceCallback),
        HOST_EXPORT(RegisterWndShowSendFilesCallback),
        HOST_EXPORT(RegisterWndShowRecieveFilesCallback),
        HOST_EXPORT(RegisterWndShowRecieveFindSaveFileCallback),
        HOST_EXPORT(RegisterWndShowRecieveFindDeviceTypeCallback),
        HOST_EXPORT(RegisterWndShowRecieveFilesProgressCallback),
        HOST_EXPORT(ExecuteDragDrop),
        HOST_EXPORT(IsSupportFileType),
        HOST_EXPORT(GetSaveFileDir),
        HOST_EXPORT(GetSaveDbDir),
        HOST_EXPORT(GetCurrentUserName),
        HOST_EXPORT(InitFerrydockDataReport),
        HOST_EXPORT(SendFerrydockDataReport),
        HOST_EXPORT(IsITVersion),
        HOST_EXPORT(IsAgreeClause),
    };
}

#undef HOST_EXPORT

bool LoadApi(Api& api)
{
    api.module = LoadLibraryW(L"FerrydockUITrans.dll");
    if (api.module == nullptr) {
        PrintLine(FormatText(L"error: cannot load FerrydockUITrans.dll (error %lu)", GetLastError()));
        return false;
    }
    for (const ExportSlot& entry : ExportTable(api)) {
        *entry.slot = GetProcAddress(api.module, entry.name);
    }
    return true;
}

std::vector<Command>& Commands()
{
    static std::vector<Command> commands;
    return commands;
}

void Print(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr,
                            nullptr);
    }
    fwrite(utf8.data(), 1, utf8.size(), stdout);
    fflush(stdout);
}

void PrintLine(const std::wstring& text) { Print(text + L"\n"); }

std::wstring FormatText(const wchar_t* format, ...)
{
    wchar_t buffer[4096];
    va_list args;
    va_start(args, format);
    _vsnwprintf_s(buffer, _countof(buffer), _TRUNCATE, format, args);
    va_end(args);
    return buffer;
}

} // namespace host
