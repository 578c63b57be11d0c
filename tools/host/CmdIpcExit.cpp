// ipc-exit: brings the IPC client to one state and ends the process one way. A process
// that dies on its way out does so only now and then, so scripts/lib/exit-check.sh runs
// every combination many times and counts the exits that are not clean.
#include "Host.h"

#include <windows.h>

#include <algorithm>
#include <iterator>

using namespace host;

namespace {

// How long the device callable of the "callable" state keeps the delivery thread.
constexpr DWORD kCallableMs = 100;
constexpr DWORD kDeviceListTimeoutMs = 10000;
constexpr int kStreamedRequests = 200;

const wchar_t* const kStates[] = {L"absent", L"connecting", L"idle", L"streaming", L"callable"};
const wchar_t* const kWays[] = {L"return", L"exit-process", L"free-library"};

HANDLE g_deviceListArrived = CreateEventW(nullptr, TRUE, FALSE, nullptr);

void FERRYDOCK_CALL NoteDevices(DevicesInfo*) { SetEvent(g_deviceListArrived); }

void FERRYDOCK_CALL HoldDevices(DevicesInfo*)
{
    SetEvent(g_deviceListArrived);
    Sleep(kCallableMs);
}

template <std::size_t N>
bool OneOf(const std::wstring& value, const wchar_t* const (&names)[N])
{
    return std::find(std::begin(names), std::end(names), value) != std::end(names);
}

// Returns false when the service never answered.
bool ReachState(Api& api, const std::wstring& state)
{
    if (state == L"absent") {
        // A pipe nobody serves: the client keeps retrying in the background.
        SetEnvironmentVariableW(L"FERRYDOCK_PIPE_NAME", L"\\\\.\\pipe\\ferrydock-exit-check-absent");
        Need(api.WndShowFinsh, "WndShowFinsh")();
        Sleep(30);
        return true;
    }
    if (state == L"connecting") {
        Need(api.WndShowFinsh, "WndShowFinsh")();
        return true;
    }
    Need(api.RegisterWndShowDeviceCallback, "RegisterWndShowDeviceCallback")(state == L"callable" ? HoldDevices
                                                                                                   : NoteDevices);
    Need(api.InitIPCModule, "InitIPCModule")();
    // Each request is answered with a device list: traffic both ways while it lasts.
    const int requests = state == L"streaming" ? kStreamedRequests : 1;
    for (int i = 0; i < requests; ++i) {
        Need(api.SendDeviceGetToFilesystem, "SendDeviceGetToFilesystem")();
        Need(api.SendFileInfoAllToFilesystem, "SendFileInfoAllToFilesystem")(L"C:\\exit-check\\streamed.txt");
    }
    return WaitForSingleObject(g_deviceListArrived, kDeviceListTimeoutMs) == WAIT_OBJECT_0;
}

int RunIpcExit(Api& api, const std::vector<std::wstring>& args)
{
    if (args.size() < 2 || args.size() > 3 || !OneOf(args[0], kStates) || !OneOf(args[1], kWays) ||
        (args.size() == 3 && args[2] != L"uninit")) {
        throw std::invalid_argument("unknown state or way");
    }
    if (!ReachState(api, args[0])) {
        PrintLine(L"no device list arrived (is the service running?)");
        return 1;
    }
    if (args.size() == 3) {
        Need(api.UninitIPCModule, "UninitIPCModule")();
    }
    PrintLine(L"exiting: " + args[0] + L" " + args[1]);
    if (args[1] == L"exit-process") {
        ExitProcess(0);
    }
    if (args[1] == L"free-library") {
        FreeLibrary(api.module);
        api.module = nullptr;
    }
    return 0;
}

Registration ipcExitCommand{{L"ipc-exit",
                             L"absent|connecting|idle|streaming|callable return|exit-process|free-library [uninit]",
                             L"bring the IPC client to a state, then end the process that way", RunIpcExit, {}, 100}};

} // namespace
