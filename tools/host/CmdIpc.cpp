// IPC subcommands: post notifications, request the device list, listen to the service.
#include "Host.h"
#include "ServiceProcess.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>

using namespace host;

namespace {

const wchar_t kDefaultPipe[] = L"\\\\.\\Pipe\\iOrvaneAssistant";

std::wstring PipeName()
{
    wchar_t buffer[512];
    const DWORD length = GetEnvironmentVariableW(L"FERRYDOCK_PIPE_NAME", buffer, ARRAYSIZE(buffer));
    return (length > 0 && length < ARRAYSIZE(buffer)) ? std::wstring(buffer, length) : kDefaultPipe;
}

void PrintCallback(const wchar_t* name, const std::wstring& value)
{
    PrintLine(FormatText(L"  [thread %lu] %ls(%ls)", GetCurrentThreadId(), name, value.c_str()));
}

#define TEXT_CALLBACK(Name) \
    void FERRYDOCK_CALL Name(const wchar_t* text) { PrintCallback(L## #Name, L"\"" + std::wstring(text) + L"\""); }
TEXT_CALLBACK(OnShowFile)
TEXT_CALLBACK(OnSendFiles)
TEXT_CALLBACK(OnRecieveFiles)
TEXT_CALLBACK(OnRecieveFindSaveFile)
TEXT_CALLBACK(OnRecieveFindDeviceType)
TEXT_CALLBACK(OnRecieveFilesProgress)
#undef TEXT_CALLBACK

void FERRYDOCK_CALL OnShowWindow(int value) { PrintCallback(L"OnShowWindow", std::to_wstring(value)); }

std::mutex g_devicesMutex;
std::condition_variable g_devicesArrived;
int g_deviceLists = 0;

void FERRYDOCK_CALL OnDevices(DevicesInfo* list)
{
    PrintCallback(L"OnDevices", FormatText(L"count %d", list->count));
    for (int i = 0; i < list->count; ++i) {
        const DeviceInfo* device = list->devices[i];
        PrintLine(FormatText(L"    %d: name \"%ls\", id \"%ls\", type %d", i, device->name,
                             device->id != nullptr ? device->id : L"(null)", device->type));
    }
    std::lock_guard<std::mutex> lock(g_devicesMutex);
    ++g_deviceLists;
    g_devicesArrived.notify_all();
}

void RegisterAll(Api& api)
{
    Need(api.RegisterWndShowCallback, "RegisterWndShowCallback")(OnShowWindow);
    Need(api.RegisterWndShowFileCallback, "RegisterWndShowFileCallback")(OnShowFile);
    Need(api.RegisterWndShowDeviceCallback, "RegisterWndShowDeviceCallback")(OnDevices);
    Need(api.RegisterWndShowSendFilesCallback, "RegisterWndShowSendFilesCallback")(OnSendFiles);
    Need(api.RegisterWndShowRecieveFilesCallback, "RegisterWndShowRecieveFilesCallback")(OnRecieveFiles);
    Need(api.RegisterWndShowRecieveFindSaveFileCallback, "RegisterWndShowRecieveFindSaveFileCallback")(
        OnRecieveFindSaveFile);
    Need(api.RegisterWndShowRecieveFindDeviceTypeCallback, "RegisterWndShowRecieveFindDeviceTypeCallback")(
        OnRecieveFindDeviceType);
    Need(api.RegisterWndShowRecieveFilesProgressCallback, "RegisterWndShowRecieveFilesProgressCallback")(
        OnRecieveFilesProgress);
}

unsigned long NumberArgument(const std::vector<std::wstring>& args, std::size_t index, unsigned long fallback)
{
    if (args.size() <= index) {
        return fallback;
    }
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(args[index].c_str(), &end, 10);
    if (args[index].empty() || *end != L'\0') {
        throw std::invalid_argument("expected a number");
    }
    return value;
}

struct Notification {
    const wchar_t* name;
    bool takesText;
};

const Notification kNotifications[] = {
    {L"WndShowFinsh", false},          {L"SendWindowClose", false},
    {L"SendRecentToMessageUI", false}, {L"SendDeviceGetToFilesystem", false},
    {L"SendFinishTransferMesseage", false}, {L"SendFileInfoAllToFilesystem", true},
    {L"SendArrayNumToFilesystem", true},    {L"SendSaveFileToFilesystem", true},
    {L"SendToOpenSettingCenter", false},    {L"SendToOpenUseMachineSkills", false},
};

void Post(Api& api, const std::wstring& name, const wchar_t* text)
{
    const std::string narrow(name.begin(), name.end());
    for (const ExportSlot& entry : ExportTable(api)) {
        if (narrow != entry.name) {
            continue;
        }
        if (*entry.slot == nullptr) {
            throw std::runtime_error("FerrydockUITrans.dll does not export " + narrow);
        }
        if (text != nullptr) {
            reinterpret_cast<PFN_VoidText>(reinterpret_cast<void*>(*entry.slot))(text);
        } else {
            reinterpret_cast<PFN_VoidVoid>(reinterpret_cast<void*>(*entry.slot))();
        }
        return;
    }
}

int RunPost(Api& api, const std::vector<std::wstring>& args)
{
    for (const Notification& notification : kNotifications) {
        if (!args.empty() && args[0] == notification.name) {
            if (notification.takesText != (args.size() == 2) || args.size() > 2) {
                throw std::invalid_argument(notification.takesText ? "this notification takes one text"
                                                                    : "this notification takes no text");
            }
            Post(api, args[0], notification.takesText ? args[1].c_str() : nullptr);
            // Posting only queues: give the client's thread time to write.
            Sleep(300);
            PrintLine(L"posted " + args[0]);
            return 0;
        }
    }
    throw std::invalid_argument("unknown notification");
}

bool AwaitDeviceList(int before, unsigned long timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_devicesMutex);
    return g_devicesArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return g_deviceLists > before; });
}

int RequestDevices(Api& api, unsigned long timeoutMs)
{
    Need(api.RegisterWndShowDeviceCallback, "RegisterWndShowDeviceCallback")(OnDevices);
    Need(api.InitIPCModule, "InitIPCModule")();
    int before = 0;
    {
        std::lock_guard<std::mutex> lock(g_devicesMutex);
        before = g_deviceLists;
    }
    PrintLine(FormatText(L"[thread %lu] SendDeviceGetToFilesystem", GetCurrentThreadId()));
    Need(api.SendDeviceGetToFilesystem, "SendDeviceGetToFilesystem")();
    const bool arrived = AwaitDeviceList(before, timeoutMs);
    Need(api.UninitIPCModule, "UninitIPCModule")();
    if (!arrived) {
        PrintLine(L"no device list arrived (is the service running? see ferrydock-service.exe)");
        return 1;
    }
    return 0;
}

int RunDevices(Api& api, const std::vector<std::wstring>& args)
{
    if (args.size() > 1) {
        throw std::invalid_argument("too many arguments");
    }
    return RequestDevices(api, NumberArgument(args, 0, 5000));
}

int RunListen(Api& api, const std::vector<std::wstring>& args)
{
    if (args.size() > 1) {
        throw std::invalid_argument("too many arguments");
    }
    const unsigned long seconds = NumberArgument(args, 0, 30);
    RegisterAll(api);
    Need(api.InitIPCModule, "InitIPCModule")();
    PrintLine(FormatText(L"[thread %lu] listening on %ls for %lu s", GetCurrentThreadId(), PipeName().c_str(), seconds));
    Sleep(seconds * 1000);
    Need(api.UninitIPCModule, "UninitIPCModule")();
    return 0;
}

std::wstring BesideHost(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1) + name;
}

bool ServiceIsListening()
{
    // WaitNamedPipe fails with ERROR_FILE_NOT_FOUND when nobody serves the pipe.
    return WaitNamedPipeW(PipeName().c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

void PrintRecords(const std::wstring& path)
{
    std::ifstream file(path.c_str());
    std::string line;
    PrintLine(L"the service recorded:");
    while (std::getline(file, line)) {
        PrintLine(L"  " + std::wstring(line.begin(), line.end()));
    }
}

int RunScenario(Api& api, const std::vector<std::wstring>&)
{
    service::ServiceProcess service;
    const std::wstring record = BesideHost(L"ipc-demo-record.jsonl");
    if (!ServiceIsListening()) {
        DeleteFileW(record.c_str());
        PrintLine(L"no service on " + PipeName() + L": starting ferrydock-service.exe");
        if (!service.Start(BesideHost(L"ferrydock-service.exe"),
                           L"--pipe \"" + PipeName() + L"\" --record \"" + record + L"\"")) {
            PrintLine(L"error: the stand-in service did not start");
            return 1;
        }
    }
    for (const Notification& notification : kNotifications) {
        if (std::wstring(notification.name) != L"SendDeviceGetToFilesystem") {
            Post(api, notification.name, notification.takesText ? L"C:\\Users\\demo\\caf\u00e9.txt" : nullptr);
            PrintLine(L"posted " + std::wstring(notification.name));
        }
    }
    const int status = RequestDevices(api, 5000);
    if (service.Running()) {
        service.Stop();
        PrintRecords(record);
    }
    return status;
}

Registration postCommand{{L"ipc-post", L"<notification export> [text]", L"post one notification to the service",
                          RunPost, {}, 100}};
Registration devicesCommand{{L"ipc-devices", L"[timeout ms]", L"request the device list and print it", RunDevices,
                             {}, 100}};
Registration listenCommand{{L"ipc-listen", L"[seconds]", L"print every callback as it arrives (default 30 s)",
                            RunListen, {}, 100}};
Registration scenarioCommand{{L"ipc", L"", L"notifications to the service and a device list back (starts the "
                                           L"stand-in service when none runs)",
                              RunScenario, {{}}, 20}};

} // namespace
