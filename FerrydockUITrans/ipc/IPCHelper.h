// The bridge's one IPC client, its module id and the interface's eight callback slots.
#pragma once

#include "FerrydockUITrans.h"
#include "IPCMessageClient.h"

#include <atomic>

namespace FerrydockIpc {

constexpr int kBridgeModuleId = 0xF00000;
extern const wchar_t* const kServicePipeName;

class IPCHelper {
public:
    static IPCHelper* GetInstance();

    IPCHelper(const IPCHelper&) = delete;
    IPCHelper& operator=(const IPCHelper&) = delete;

    IPCMessageClient& Client() { return client; }

    // Inbound delivery on (the eight handlers registered) and off.
    void RegisterHandlers();
    void UnregisterHandlers();

    void SendFileInfoAllToFilesystem(const wchar_t* text);
    void SendSaveFileToFilesystem(const wchar_t* text);

    // The file type check; it lives with the drag-and-drop code.
    bool IsSupportFileType(const wchar_t* file);

    void OnRecvIPCMessageMainWindow(TagIPCMessageItem& msgItem);
    void OnRecvIPCMessageShowFile(TagIPCMessageItem& msgItem);
    void OnRecvIPCMessageDevicesInfo(TagIPCMessageItem& msgItem);
    void OnRecvIPCMessageSendFiles(TagIPCMessageItem& msgItem);
    void OnRecvIPCMessageRecieveFilesProgress(TagIPCMessageItem& msgItem);
    void OnRecvIPCMessageRecieveFiles(TagIPCMessageItem& msgItem);
    void OnRecvIPCMessageRecieveFindSaveFile(TagIPCMessageItem& msgItem);
    void OnRecvIPCMessageRecieveFindDeviceType(TagIPCMessageItem& msgItem);

private:
    IPCHelper();

    IPCMessageClient client;
    int moduleId;

public:
    // Written by the registration exports, read once per message by the handlers.
    std::atomic<WndShowCallback> wndShowCallback{nullptr};
    std::atomic<WndShowTextCallback> wndShowFileCallback{nullptr};
    std::atomic<WndShowDeviceCallback> wndShowDeviceCallback{nullptr};
    std::atomic<WndShowTextCallback> wndShowSendFilesCallback{nullptr};
    std::atomic<WndShowTextCallback> wndShowRecieveFilesCallback{nullptr};
    std::atomic<WndShowTextCallback> wndShowRecieveFindSaveFileCallback{nullptr};
    std::atomic<WndShowTextCallback> wndShowRecieveFindDeviceTypeCallback{nullptr};
    std::atomic<WndShowTextCallback> wndShowRecieveFilesProgressCallback{nullptr};
};

} // namespace FerrydockIpc
