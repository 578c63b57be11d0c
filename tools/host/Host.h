// The host program: loads FerrydockUITrans.dll with LoadLibraryW and calls its exports
// through GetProcAddress, as the user interface does.
#pragma once

#include "FerrydockUITrans.h"

#include <windows.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

// Every export of the library, resolved by name; null when the library lacks it.
struct Api {
    HMODULE module = nullptr;
    PFN_BoolVoid InitIPCModule = nullptr;
    PFN_BoolVoid UninitIPCModule = nullptr;
    PFN_VoidVoid WndShowFinsh = nullptr;
    PFN_VoidVoid SendWindowClose = nullptr;
    PFN_VoidVoid SendRecentToMessageUI = nullptr;
    PFN_VoidVoid SendDeviceGetToFilesystem = nullptr;
    PFN_VoidVoid SendFinishTransferMesseage = nullptr;
    PFN_VoidText SendFileInfoAllToFilesystem = nullptr;
    PFN_VoidText SendArrayNumToFilesystem = nullptr;
    PFN_VoidText SendSaveFileToFilesystem = nullptr;
    PFN_VoidVoid SendToOpenSettingCenter = nullptr;
    PFN_VoidVoid SendToOpenUseMachineSkills = nullptr;
    PFN_RegisterWndShowCallback RegisterWndShowCallback = nullptr;
    PFN_RegisterTextCallback RegisterWndShowFileCallback = nullptr;
    PFN_RegisterWndShowDeviceCallback RegisterWndShowDeviceCallback = nullptr;
    PFN_RegisterTextCallback RegisterWndShowSendFilesCallback = nullptr;
    PFN_RegisterTextCallback RegisterWndShowRecieveFilesCallback = nullptr;
    PFN_RegisterTextCallback RegisterWndShowRecieveFindSaveFileCallback = nullptr;
    PFN_RegisterTextCallback RegisterWndShowRecieveFindDeviceTypeCallback = nullptr;
    PFN_RegisterTextCallback RegisterWndShowRecieveFilesProgressCallback = nullptr;
    PFN_ExecuteDragDrop ExecuteDragDrop = nullptr;
    PFN_IsSupportFileType IsSupportFileType = nullptr;
    PFN_GetTextIntoBuffer GetSaveFileDir = nullptr;
    PFN_GetTextIntoBuffer GetSaveDbDir = nullptr;
    PFN_GetTextIntoBuffer GetCurrentUserName = nullptr;
    PFN_VoidVoid InitFerrydockDataReport = nullptr;
    PFN_SendFerrydockDataReport SendFerrydockDataReport = nullptr;
    PFN_BoolVoid IsITVersion = nullptr;
    PFN_BoolVoid IsAgreeClause = nullptr;
};

struct ExportSlot {
    const char* name;
    FARPROC* slot;
};

// The table of every export name and where its pointer goes.
std::vector<ExportSlot> ExportTable(Api& api);

// Loads the library and resolves every export; false (with a message) when it cannot be loaded.
bool LoadApi(Api& api);

// Fails with a one-line message when the loaded library lacks the export.
template <typename Fn>
Fn Need(Fn fn, const char* name)
{
    if (fn == nullptr) {
        throw std::runtime_error(std::string("FerrydockUITrans.dll does not export ") + name);
    }
    return fn;
}

struct Command {
    const wchar_t* name;
    const wchar_t* usage;   // arguments, for the help text
    const wchar_t* summary; // one line
    // Returns the process exit code. Throws std::invalid_argument for bad arguments.
    std::function<int(Api&, const std::vector<std::wstring>&)> run;
    // When set, the demo runs the command with these arguments; order by demoOrder.
    std::vector<std::vector<std::wstring>> demoRuns;
    int demoOrder = 100;
};

// Each command file registers its commands with a static Registration.
std::vector<Command>& Commands();
struct Registration {
    explicit Registration(Command command) { Commands().push_back(std::move(command)); }
};

// UTF-8 console output.
void Print(const std::wstring& text);
void PrintLine(const std::wstring& text);
std::wstring FormatText(const wchar_t* format, ...);

} // namespace host
