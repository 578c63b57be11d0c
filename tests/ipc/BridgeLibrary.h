// FerrydockUITrans.dll loaded by name and its IPC exports resolved, as the interface
// does it; plus callbacks that record what reaches them and on which thread.
#pragma once

#include "FerrydockUITrans.h"
#include "IpcTestSupport.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace ipctest {

class BridgeLibrary {
public:
    BridgeLibrary() : module_(LoadLibraryW(L"FerrydockUITrans.dll"))
    {
        if (module_ == nullptr) {
            throw std::runtime_error("cannot load FerrydockUITrans.dll");
        }
    }
    ~BridgeLibrary() { Unload(); }
    BridgeLibrary(const BridgeLibrary&) = delete;
    BridgeLibrary& operator=(const BridgeLibrary&) = delete;

    void Unload()
    {
        if (module_ != nullptr) {
            FreeLibrary(module_);
            module_ = nullptr;
        }
    }

    template <typename Fn>
    Fn Get(const char* name) const
    {
        FARPROC proc = GetProcAddress(module_, name);
        if (proc == nullptr) {
            throw std::runtime_error(std::string("missing export ") + name);
        }
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
    }

    bool Init() const { return Get<PFN_BoolVoid>("InitIPCModule")(); }
    bool Uninit() const { return Get<PFN_BoolVoid>("UninitIPCModule")(); }
    void Call(const char* name) const { Get<PFN_VoidVoid>(name)(); }
    void Call(const char* name, const wchar_t* text) const { Get<PFN_VoidText>(name)(text); }
    void RegisterText(const char* name, WndShowTextCallback callback) const
    {
        Get<PFN_RegisterTextCallback>(name)(callback);
    }

private:
    HMODULE module_;
};

struct CallbackEvent {
    std::string callback;
    std::wstring text; // the text, the integer in decimal, or the devices one a line
    DWORD thread;
};

// What the interface's callbacks saw, in arrival order.
struct CallbackLog {
    static Collector<CallbackEvent>& Instance()
    {
        static Collector<CallbackEvent> log;
        return log;
    }
    static void Add(const char* callback, std::wstring text)
    {
        Instance().Add({callback, std::move(text), GetCurrentThreadId()});
    }
};

#define IPCTEST_TEXT_CALLBACK(Name) \
    inline void FERRYDOCK_CALL Name(const wchar_t* text) { CallbackLog::Add(#Name, text); }
IPCTEST_TEXT_CALLBACK(OnShowFile)
IPCTEST_TEXT_CALLBACK(OnSendFiles)
IPCTEST_TEXT_CALLBACK(OnRecieveFiles)
IPCTEST_TEXT_CALLBACK(OnRecieveFindSaveFile)
IPCTEST_TEXT_CALLBACK(OnRecieveFindDeviceType)
IPCTEST_TEXT_CALLBACK(OnRecieveFilesProgress)
#undef IPCTEST_TEXT_CALLBACK

inline void FERRYDOCK_CALL OnShowWindow(int value) { CallbackLog::Add("OnShowWindow", std::to_wstring(value)); }
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
inline void FERRYDOCK_CALL OnDevices(DevicesInfo* list) { CallbackLog::Add("OnDevices", DescribeDevices(list)); }

} // namespace ipctest
