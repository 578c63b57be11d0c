// Module lifecycle, notifications and callback registration: thin calls into ipc/.
#include "FerrydockUITrans.h"
#include "ipc/IPCHelper.h"
#include "ipc/Outbound.h"

using FerrydockIpc::FixedNotification;
using FerrydockIpc::IPCHelper;

extern "C" bool FERRYDOCK_CALL InitIPCModule(void)
{
    IPCHelper::GetInstance()->RegisterHandlers();
    return true;
}

extern "C" bool FERRYDOCK_CALL UninitIPCModule(void)
{
    IPCHelper::GetInstance()->UnregisterHandlers();
    return true;
}

extern "C" void FERRYDOCK_CALL WndShowFinsh(void) { PostFixedNotification(FixedNotification::WindowShown); }
extern "C" void FERRYDOCK_CALL SendWindowClose(void) { PostFixedNotification(FixedNotification::WindowClose); }
extern "C" void FERRYDOCK_CALL SendRecentToMessageUI(void)
{
    PostFixedNotification(FixedNotification::RecentToMessageUI);
}
extern "C" void FERRYDOCK_CALL SendDeviceGetToFilesystem(void)
{
    PostFixedNotification(FixedNotification::DeviceListRequest);
}
extern "C" void FERRYDOCK_CALL SendFinishTransferMesseage(void)
{
    PostFixedNotification(FixedNotification::TransferFinished);
}

extern "C" void FERRYDOCK_CALL SendFileInfoAllToFilesystem(const wchar_t* text)
{
    FerrydockIpc::SendFileInfoAllToFilesystem(text);
}
extern "C" void FERRYDOCK_CALL SendArrayNumToFilesystem(const wchar_t* text)
{
    FerrydockIpc::SendArrayNumToFilesystem(text);
}
extern "C" void FERRYDOCK_CALL SendSaveFileToFilesystem(const wchar_t* text)
{
    FerrydockIpc::SendSaveFileToFilesystem(text);
}
extern "C" void FERRYDOCK_CALL SendToOpenSettingCenter(void) { FerrydockIpc::SendToOpenSettingCenter(); }
extern "C" void FERRYDOCK_CALL SendToOpenUseMachineSkills(void) { FerrydockIpc::SendToOpenUseMachineSkills(); }

template <typename Callback>
static bool StoreCallback(std::atomic<Callback> IPCHelper::*slot, Callback callback)
{
    (IPCHelper::GetInstance()->*slot).store(callback);
    return true;
}

extern "C" bool FERRYDOCK_CALL RegisterWndShowCallback(WndShowCallback callback)
{
    return StoreCallback(&IPCHelper::wndShowCallback, callback);
}
extern "C" bool FERRYDOCK_CALL RegisterWndShowFileCallback(WndShowTextCallback callback)
{
    return StoreCallback(&IPCHelper::wndShowFileCallback, callback);
}
extern "C" bool FERRYDOCK_CALL RegisterWndShowDeviceCallback(WndShowDeviceCallback callback)
{
    return StoreCallback(&IPCHelper::wndShowDeviceCallback, callback);
}
extern "C" bool FERRYDOCK_CALL RegisterWndShowSendFilesCallback(WndShowTextCallback callback)
{
    return StoreCallback(&IPCHelper::wndShowSendFilesCallback, callback);
}
extern "C" bool FERRYDOCK_CALL RegisterWndShowRecieveFilesCallback(WndShowTextCallback callback)
{
    return StoreCallback(&IPCHelper::wndShowRecieveFilesCallback, callback);
}
extern "C" bool FERRYDOCK_CALL RegisterWndShowRecieveFindSaveFileCallback(WndShowTextCallback callback)
{
    return StoreCallback(&IPCHelper::wndShowRecieveFindSaveFileCallback, callback);
}
extern "C" bool FERRYDOCK_CALL RegisterWndShowRecieveFindDeviceTypeCallback(WndShowTextCallback callback)
{
    return StoreCallback(&IPCHelper::wndShowRecieveFindDeviceTypeCallback, callback);
}
extern "C" bool FERRYDOCK_CALL RegisterWndShowRecieveFilesProgressCallback(WndShowTextCallback callback)
{
    return StoreCallback(&IPCHelper::wndShowRecieveFilesProgressCallback, callback);
}
