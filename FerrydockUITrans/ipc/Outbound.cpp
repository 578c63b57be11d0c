#include "ipc/Outbound.h"

#include "common/Log.h"
#include "common/TextConvert.h"
#include "ipc/IPCHelper.h"
#include "ipc/MessageRecord.h"

#include <cstring>
#include <memory>

namespace FerrydockIpc {

namespace {

struct FixedRoute {
    int destModuleId;
    int messageId;
};

FixedRoute RouteOf(FixedNotification which)
{
    switch (which) {
    case FixedNotification::WindowShown:
        return {ModuleId::Transfer, MessageId::WindowShown};
    case FixedNotification::WindowClose:
        return {ModuleId::Transfer, MessageId::WindowClose};
    case FixedNotification::RecentToMessageUI:
        return {ModuleId::MessageUI, MessageId::RecentToMessageUI};
    case FixedNotification::DeviceListRequest:
        return {ModuleId::Devices, MessageId::DeviceList};
    case FixedNotification::TransferFinished:
        break;
    }
    return {ModuleId::Transfer, MessageId::TransferFinished};
}

constexpr char kSettingCenterParameter[] = "seting_transfer_dragging_enable";
constexpr wchar_t kUseMachineSkillsParameter[] = L"para / useTips>>card>>HomePage|SF-10317322_f2738";
static_assert(sizeof(kSettingCenterParameter) == 32, "31 bytes and the terminator");
static_assert(sizeof(kUseMachineSkillsParameter) == 98, "48 UTF-16 units and the terminator");

} // namespace

void PostFixedNotification(FixedNotification which)
{
    const FixedRoute route = RouteOf(which);
    PostRecord(IPCHelper::GetInstance()->Client(), route.destModuleId, route.messageId);
}

void SendFileInfoAllToFilesystem(const wchar_t* text)
{
    if (text == nullptr) {
        Log(LogLevel::Error, "FerrydockIpc::SendFileInfoAllToFilesystem", "dir is null");
        return;
    }
    IPCHelper::GetInstance()->SendFileInfoAllToFilesystem(text);
}

void SendSaveFileToFilesystem(const wchar_t* text)
{
    Log(LogLevel::Error, "FerrydockIpc::SendSaveFileToFilesystem", "Fd:SendSaveFileToFilesystem");
    if (text == nullptr) {
        Log(LogLevel::Error, "FerrydockIpc::SendSaveFileToFilesystem", "dir is null");
        return;
    }
    IPCHelper::GetInstance()->SendSaveFileToFilesystem(text);
}

void SendArrayNumToFilesystem(const wchar_t* text)
{
    if (text == nullptr) {
        Log(LogLevel::Error, "FerrydockIpc::SendArrayNumToFilesystem", "dir is null");
        return;
    }
    IPCHelper* helper = IPCHelper::GetInstance();
    const std::unique_ptr<char[]> ansi(WideToAnsi(text));
    if (!ansi) {
        return;
    }
    PostRecord(helper->Client(), ModuleId::Transfer, MessageId::ArrayNum, ansi.get(),
               static_cast<int>(std::strlen(ansi.get())) + 1);
}

void SendToOpenSettingCenter()
{
    PostRecord(IPCHelper::GetInstance()->Client(), ModuleId::Assistant, MessageId::OpenSettingCenter,
               kSettingCenterParameter, static_cast<int>(sizeof(kSettingCenterParameter)));
}

void SendToOpenUseMachineSkills()
{
    PostRecord(IPCHelper::GetInstance()->Client(), ModuleId::Assistant, MessageId::OpenUseMachineSkills,
               kUseMachineSkillsParameter, static_cast<int>(sizeof(kUseMachineSkillsParameter)));
}

} // namespace FerrydockIpc
