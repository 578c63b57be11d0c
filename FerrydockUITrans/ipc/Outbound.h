// The interface's events posted to the service, one message each.
#pragma once

namespace FerrydockIpc {

enum class FixedNotification { WindowShown, WindowClose, RecentToMessageUI, DeviceListRequest, TransferFinished };

void PostFixedNotification(FixedNotification which);

void SendFileInfoAllToFilesystem(const wchar_t* text);
void SendSaveFileToFilesystem(const wchar_t* text);
void SendArrayNumToFilesystem(const wchar_t* text);
void SendToOpenSettingCenter();
void SendToOpenUseMachineSkills();

} // namespace FerrydockIpc
