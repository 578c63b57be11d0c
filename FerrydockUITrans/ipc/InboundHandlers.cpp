// The service's messages to the interface. A message's bytes are read up to its first
// zero byte, and never past messageLength bytes:
// - a text without a zero byte within messageLength bytes ends at messageLength;
// - a main-window message shorter than four bytes gives the little-endian value of
//   the bytes it has (missing high bytes are zero), so 0 for an empty message.
#include "ipc/InboundText.h"

#include "common/Log.h"
#include "common/TextConvert.h"
#include "ipc/IPCHelper.h"
#include "ipc/MessageRecord.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

namespace FerrydockIpc {

std::string BoundedText(const char* bytes, std::size_t available)
{
    const void* zero = std::memchr(bytes, 0, available);
    return std::string(bytes, zero != nullptr ? static_cast<const char*>(zero) : bytes + available);
}

std::size_t MessageBytes(const TagIPCMessageItem& msgItem)
{
    return msgItem.messageLength > 0 ? static_cast<std::size_t>(msgItem.messageLength) : 0;
}

namespace {

std::string MessageText(const TagIPCMessageItem& msgItem) { return BoundedText(msgItem.message, MessageBytes(msgItem)); }

std::int32_t LittleEndianPrefix(const TagIPCMessageItem& msgItem)
{
    const std::size_t count = std::min<std::size_t>(4, MessageBytes(msgItem));
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(msgItem.message[i])) << (8 * i);
    }
    return static_cast<std::int32_t>(value);
}

struct TextHandlerLines {
    const char* where;
    const char* nullMessage;
    const char* emptyText;
};

// The procedure the five text handlers share; empty texts are dropped.
void DeliverNonEmptyText(const TagIPCMessageItem& msgItem, const std::atomic<WndShowTextCallback>& slot,
                         const TextHandlerLines& lines)
{
    if (msgItem.message == nullptr) {
        Log(LogLevel::Notice, lines.where, lines.nullMessage);
        return;
    }
    const std::string text = MessageText(msgItem);
    if (text.empty()) {
        Log(LogLevel::Notice, lines.where, lines.emptyText);
        return;
    }
    const std::wstring wide = Utf8ToWide(text);
    if (const WndShowTextCallback callback = slot.load()) {
        callback(wide.c_str());
    }
}

} // namespace

void IPCHelper::OnRecvIPCMessageMainWindow(TagIPCMessageItem& msgItem)
{
    constexpr const char* where = "FerrydockIpc::IPCHelper::OnRecvIPCMessageMainWindow";
    if (msgItem.message == nullptr) {
        Log(LogLevel::Notice, where, "[FD] OnRecvIPCMessageMainWindow msgItem.message is empty");
        return;
    }
    if (msgItem.messageId != MessageId::MainWindow) {
        return;
    }
    Log(LogLevel::Notice, where, "IPChelper Open Mainwindow message");
    if (const WndShowCallback callback = wndShowCallback.load()) {
        callback(LittleEndianPrefix(msgItem));
    }
}

void IPCHelper::OnRecvIPCMessageShowFile(TagIPCMessageItem& msgItem)
{
    if (msgItem.message == nullptr) {
        Log(LogLevel::Notice, "FerrydockIpc::IPCHelper::OnRecvIPCMessageShowFile",
            "[FD] OnRecvIPCMessageShowFile msgItem.message is empty");
        return;
    }
    const std::wstring wide = Utf8ToWide(MessageText(msgItem));
    if (const WndShowTextCallback callback = wndShowFileCallback.load()) {
        callback(wide.c_str());
    }
}

void IPCHelper::OnRecvIPCMessageSendFiles(TagIPCMessageItem& msgItem)
{
    DeliverNonEmptyText(msgItem, wndShowSendFilesCallback,
                        {"FerrydockIpc::IPCHelper::OnRecvIPCMessageSendFiles",
                         "[FD] OnRecvIPCMessageSendFiles msgItem.message is empty", "[FD] temp is empty"});
}

void IPCHelper::OnRecvIPCMessageRecieveFiles(TagIPCMessageItem& msgItem)
{
    DeliverNonEmptyText(msgItem, wndShowRecieveFilesCallback,
                        {"FerrydockIpc::IPCHelper::OnRecvIPCMessageRecieveFiles",
                         "[FD] OnRecvIPCMessageRecieveFiles msgItem.message is empty",
                         "[FD] OnRecvIPCMessageRecieveFiles receive message is empty"});
}

void IPCHelper::OnRecvIPCMessageRecieveFindDeviceType(TagIPCMessageItem& msgItem)
{
    DeliverNonEmptyText(msgItem, wndShowRecieveFindDeviceTypeCallback,
                        {"FerrydockIpc::IPCHelper::OnRecvIPCMessageRecieveFindDeviceType",
                         "[FD] OnRecvIPCMessageRecieveFindDeviceType msgItem.message is empty",
                         "[FD] OnRecvIPCMessageRecieveFindDeviceType receive message is empty"});
}

void IPCHelper::OnRecvIPCMessageRecieveFindSaveFile(TagIPCMessageItem& msgItem)
{
    DeliverNonEmptyText(msgItem, wndShowRecieveFindSaveFileCallback,
                        {"FerrydockIpc::IPCHelper::OnRecvIPCMessageRecieveFindSaveFile",
                         "[FD] OnRecvIPCMessageRecieveFindSaveFile msgItem.message is empty",
                         "[FD] OnRecvIPCMessageRecieveFindSaveFile receive message is empty"});
}

void IPCHelper::OnRecvIPCMessageRecieveFilesProgress(TagIPCMessageItem& msgItem)
{
    DeliverNonEmptyText(msgItem, wndShowRecieveFilesProgressCallback,
                        {"FerrydockIpc::IPCHelper::OnRecvIPCMessageRecieveFilesProgress",
                         "[FD] OnRecvIPCMessageRecieveFilesProgress msgItem.message is empty",
                         "[FD] OnRecvIPCMessageRecieveFilesProgress receive message is empty"});
}

} // namespace FerrydockIpc
