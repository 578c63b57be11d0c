#include "ipc/IPCHelper.h"

#include "common/Log.h"
#include "common/TextConvert.h"
#include "ipc/MessageRecord.h"

#include <cstring>
#include <string>

namespace FerrydockIpc {

const wchar_t* const kServicePipeName = L"\\\\.\\Pipe\\iOrvaneAssistant";

namespace {

const std::wstring& PipeName()
{
    static const std::wstring name = kServicePipeName;
    return name;
}

using Handler = void (IPCHelper::*)(TagIPCMessageItem&);

struct InboundRoute {
    int messageId;
    Handler handler;
};

// In the order the handlers are registered.
constexpr InboundRoute kInboundRoutes[] = {
    {MessageId::MainWindow, &IPCHelper::OnRecvIPCMessageMainWindow},
    {MessageId::ShowFile, &IPCHelper::OnRecvIPCMessageShowFile},
    {MessageId::DeviceList, &IPCHelper::OnRecvIPCMessageDevicesInfo},
    {MessageId::SendFiles, &IPCHelper::OnRecvIPCMessageSendFiles},
    {MessageId::RecieveFilesProgress, &IPCHelper::OnRecvIPCMessageRecieveFilesProgress},
    {MessageId::ArrayNum, &IPCHelper::OnRecvIPCMessageRecieveFiles},
    {MessageId::SaveFile, &IPCHelper::OnRecvIPCMessageRecieveFindSaveFile},
    {MessageId::FindDeviceType, &IPCHelper::OnRecvIPCMessageRecieveFindDeviceType},
};

} // namespace

bool PostRecord(IPCMessageClient& client, int destModuleId, int messageId, const void* payload, int length)
{
    TagIPCMessageItem item;
    item.destModuleId = destModuleId;
    item.auxId1 = -1;
    item.messageId = messageId;
    item.auxId2 = -1;
    item.auxId3 = -1;
    item.auxValue = 0;
    item.messageLength = length;
    item.message = static_cast<const char*>(payload);
    item.auxFlag = false;
    item.auxValue2 = 0;
    return client.PostIPCMessage(item);
}

IPCHelper::IPCHelper() : client(kBridgeModuleId, true, true, PipeName()), moduleId(kBridgeModuleId) {}

// A function-local static: built once on first use, destroyed when the library unloads.
IPCHelper* IPCHelper::GetInstance()
{
    static IPCHelper instance;
    return &instance;
}

void IPCHelper::RegisterHandlers()
{
    for (const InboundRoute& route : kInboundRoutes) {
        const Handler handler = route.handler;
        client.RegisterMessageCallback(route.messageId,
                                       [this, handler](TagIPCMessageItem& item) { (this->*handler)(item); });
    }
}

void IPCHelper::UnregisterHandlers() { client.UnRegisterMessageCallbackAll(); }

void IPCHelper::SendFileInfoAllToFilesystem(const wchar_t* text)
{
    const std::string utf8 = WideToUtf8(text);
    PostRecord(client, ModuleId::Transfer, MessageId::FileInfoAll, utf8.c_str(), static_cast<int>(utf8.size()) + 1);
}

void IPCHelper::SendSaveFileToFilesystem(const wchar_t* text)
{
    const std::string utf8 = WideToUtf8(text);
    const int length = static_cast<int>(std::strlen(utf8.c_str())) + 1;
    const bool posted = PostRecord(client, ModuleId::Transfer, MessageId::SaveFile, utf8.c_str(), length);
    Log(LogLevel::Error, "FerrydockIpc::IPCHelper::SendSaveFileToFilesystem", "IPChelper SendSaveFileToFilesystem bool : ",
        posted);
}

} // namespace FerrydockIpc
