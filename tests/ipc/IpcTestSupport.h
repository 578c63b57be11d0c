// Helpers of the IPC tests: private pipe names, the stand-in service as a child process
// and its record file read back, FerrydockUITrans.dll loaded by name, and callbacks that
// record what reaches them and on which thread.
#pragma once

#include "FerrydockUITrans.h"
#include "ServiceProcess.h"
#include "ferrydock/Resource.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace ipctest {

constexpr const char* kBridgeConnected = "connected 15728640";

// A pipe name no other test process uses; also set as FERRYDOCK_PIPE_NAME.
std::wstring UsePrivatePipeName();
std::string Hex(const std::vector<unsigned char>& bytes);
std::vector<unsigned char> Bytes(const std::string& text); // with its terminating zero
// Polls every 20 ms until done() or the time is up; returns done().
template <typename Done>
bool Eventually(Done done, DWORD timeoutMs = 10000)
{
    for (const ULONGLONG end = GetTickCount64() + timeoutMs; !done() && GetTickCount64() < end;) {
        Sleep(20);
    }
    return done();
}

// Values added from any thread, in arrival order.
template <typename T>
class Collector {
public:
    void Add(T value) { const std::lock_guard<std::mutex> lock(mutex_); values_.push_back(std::move(value)); }
    bool WaitFor(std::size_t count, DWORD timeoutMs = 30000) { return Eventually([&] { return Count() >= count; }, timeoutMs); }
    std::vector<T> Values() { const std::lock_guard<std::mutex> lock(mutex_); return values_; }
    std::size_t Count() { const std::lock_guard<std::mutex> lock(mutex_); return values_.size(); }

private:
    std::mutex mutex_;
    std::vector<T> values_;
};

// One line of the service's record: key -> the JSON value as written (strings unquoted).
using Record = std::map<std::string, std::string>;
// Waits until the file holds at least count records of the direction ("out": posted by
// the bridge; nullptr: both); returns those it holds then.
std::vector<Record> WaitForRecords(const std::wstring& path, std::size_t count, DWORD timeoutMs = 10000,
                                   const char* direction = "out");

// The stand-in service on a private pipe, recording into a fresh temporary file.
class Service : public service::ServiceProcess {
public:
    explicit Service(bool record = true);
    ~Service();
    bool Start(const std::wstring& extraArguments = L"");
    bool WaitForLine(const std::string& line, int count = 1, DWORD timeoutMs = 10000)
    {
        return ServiceProcess::WaitForLine(line, count, timeoutMs);
    }
    const std::wstring& RecordPath() const { return recordPath_; }

private:
    std::wstring pipeName_;
    std::wstring recordPath_;
};

// FerrydockUITrans.dll loaded by name and its exports resolved, as the interface does it.
class BridgeLibrary {
public:
    void Unload() { module_.reset(); }
    template <typename Fn>
    Fn Get(const char* name) const
    {
        if (FARPROC proc = module_ ? GetProcAddress(module_.get(), name) : nullptr) {
            return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
        }
        throw std::runtime_error(std::string("cannot load FerrydockUITrans.dll or its export ") + name);
    }
    bool Init() const { return Get<PFN_BoolVoid>("InitIPCModule")(); }
    bool Uninit() const { return Get<PFN_BoolVoid>("UninitIPCModule")(); }
    void Call(const char* name) const { Get<PFN_VoidVoid>(name)(); }
    void Call(const char* name, const wchar_t* text) const { Get<PFN_VoidText>(name)(text); }
    void RegisterText(const char* name, WndShowTextCallback callback) const { Get<PFN_RegisterTextCallback>(name)(callback); }

private:
    FerrydockIpc::UniqueResource<HMODULE, ::FreeLibrary> module_{LoadLibraryW(L"FerrydockUITrans.dll")};
};

struct CallbackEvent {
    std::string callback;
    std::wstring text; // the text, the integer in decimal, or the devices one a line
};

// What the interface's callbacks saw, in arrival order.
inline Collector<CallbackEvent>& CallbackLog()
{
    static Collector<CallbackEvent> log;
    return log;
}

// Each logs itself under the name of the interface's callback it is registered as.
#define IPCTEST_TEXT_CALLBACK(Name, Logged) \
    inline void FERRYDOCK_CALL Name(const wchar_t* text) { CallbackLog().Add({#Logged, text}); }
IPCTEST_TEXT_CALLBACK(OnShowFile, WndShowFileCallback)
IPCTEST_TEXT_CALLBACK(OnSendFiles, WndShowSendFilesCallback)
IPCTEST_TEXT_CALLBACK(OnRecieveFiles, WndShowRecieveFilesCallback)
IPCTEST_TEXT_CALLBACK(OnRecieveFindSaveFile, WndShowRecieveFindSaveFileCallback)
IPCTEST_TEXT_CALLBACK(OnRecieveFindDeviceType, WndShowRecieveFindDeviceTypeCallback)
IPCTEST_TEXT_CALLBACK(OnRecieveFilesProgress, WndShowRecieveFilesProgressCallback)
#undef IPCTEST_TEXT_CALLBACK

inline void FERRYDOCK_CALL OnShowWindow(int value) { CallbackLog().Add({"WndShowCallback", std::to_wstring(value)}); }
// The count, then one line a device: name|id|type.
inline std::wstring DescribeDevices(const DevicesInfo* list)
{
    std::wstring text = std::to_wstring(list->count);
    for (int i = 0; i < list->count; ++i) {
        const DeviceInfo* d = list->devices[i];
        text += L"\n" + std::wstring(d->name) + L"|" + (d->id ? d->id : L"<null>") + L"|" + std::to_wstring(d->type);
    }
    return text;
}
inline void FERRYDOCK_CALL OnDevices(DevicesInfo* list) { CallbackLog().Add({"WndShowDeviceCallback", DescribeDevices(list)}); }

// Every callback of the interface, each to its recording one above.
inline void RegisterAllCallbacks(const BridgeLibrary& bridge)
{
    bridge.Get<PFN_RegisterWndShowCallback>("RegisterWndShowCallback")(OnShowWindow);
    bridge.Get<PFN_RegisterWndShowDeviceCallback>("RegisterWndShowDeviceCallback")(OnDevices);
    bridge.RegisterText("RegisterWndShowFileCallback", OnShowFile);
    bridge.RegisterText("RegisterWndShowSendFilesCallback", OnSendFiles);
    bridge.RegisterText("RegisterWndShowRecieveFilesCallback", OnRecieveFiles);
    bridge.RegisterText("RegisterWndShowRecieveFindSaveFileCallback", OnRecieveFindSaveFile);
    bridge.RegisterText("RegisterWndShowRecieveFindDeviceTypeCallback", OnRecieveFindDeviceType);
    bridge.RegisterText("RegisterWndShowRecieveFilesProgressCallback", OnRecieveFilesProgress);
}

} // namespace ipctest
