// Message ids of the bridge and the record it posts.
#pragma once

#include "IPCMessageClient.h"

namespace FerrydockIpc {

namespace MessageId {
constexpr int MainWindow = 0xF00001;
constexpr int ShowFile = 0xF00002;
constexpr int WindowShown = 0xF10001;
constexpr int FileInfoAll = 0xF10003;
constexpr int TransferFinished = 0xF10004;
constexpr int SendFiles = 0xF10005;
constexpr int RecieveFilesProgress = 0xF10006;
constexpr int ArrayNum = 0xF10007; // outbound; inbound the received files
constexpr int SaveFile = 0xF10008; // outbound; inbound the save-file lookup result
constexpr int FindDeviceType = 0xF10009;
constexpr int WindowClose = 0xF1000B;
constexpr int RecentToMessageUI = 0x530022;
constexpr int DeviceList = 0x1502BE;
constexpr int OpenSettingCenter = 0x42725;
constexpr int OpenUseMachineSkills = 0x4271B;
} // namespace MessageId

namespace ModuleId {
constexpr int Transfer = 0xF10000;
constexpr int MessageUI = 0x530000;
constexpr int Devices = 0x5D0000;
constexpr int Assistant = 0x40000;
} // namespace ModuleId

// Posts one record with the bridge's defaults (empty head text, aux ids -1, aux values 0,
// flag false) and the given payload; returns what the client answered.
bool PostRecord(IPCMessageClient& client, int destModuleId, int messageId, const void* payload = nullptr,
                int length = 0);

} // namespace FerrydockIpc
