// The inbound handlers fed directly with records, including records whose bytes end
// exactly at a no-access page: a handler that reads one byte past messageLength crashes.
#include "IpcTestSupport.h"
#include "ipc/IPCHelper.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using FerrydockIpc::IPCHelper;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

IPCHelper* Helper()
{
    static const std::wstring pipe = ipctest::UsePrivatePipeName(); // nobody serves it
    return IPCHelper::GetInstance();
}

std::optional<int> g_value;
std::optional<std::wstring> g_text;

void FERRYDOCK_CALL TakeValue(int value) { g_value = value; }
void FERRYDOCK_CALL TakeText(const wchar_t* text) { g_text = text; }

using Handler = void (IPCHelper::*)(TagIPCMessageItem&);
using TextSlot = std::atomic<WndShowTextCallback> IPCHelper::*;

TagIPCMessageItem Record(int messageId, const char* message, int length)
{
    TagIPCMessageItem item;
    item.messageId = messageId;
    item.message = message;
    item.messageLength = length;
    return item;
}

void ClearSlots()
{
    IPCHelper* helper = Helper();
    helper->wndShowCallback = nullptr;
    for (TextSlot slot : {&IPCHelper::wndShowFileCallback, &IPCHelper::wndShowSendFilesCallback,
                          &IPCHelper::wndShowRecieveFilesCallback, &IPCHelper::wndShowRecieveFindSaveFileCallback,
                          &IPCHelper::wndShowRecieveFindDeviceTypeCallback,
                          &IPCHelper::wndShowRecieveFilesProgressCallback}) {
        (helper->*slot) = nullptr;
    }
    g_value.reset();
    g_text.reset();
}

LogRecord Notice(const std::wstring& text, const std::wstring& function)
{
    return {3, text + L"(FerrydockIpc::IPCHelper::" + function + L")"};
}

} // namespace

TEST(MainWindowHandler, PassesTheLittleEndianValueOfAtMostFourBytes)
{
    struct Case {
        const char* name;
        int messageId;
        std::optional<std::vector<unsigned char>> bytes; // nullopt: null message
        bool logsOpen;
        std::optional<int> delivered;
    };
    const Case cases[] = {
        {"value 2", 0xF00001, std::vector<unsigned char>{2, 0, 0, 0}, true, 2},
        {"negative", 0xF00001, std::vector<unsigned char>{0xFF, 0xFF, 0xFF, 0xFF}, true, -1},
        {"extra bytes ignored", 0xF00001, std::vector<unsigned char>{1, 2, 3, 4, 5}, true, 0x04030201},
        // Shorter than four bytes: the missing high bytes count as zero.
        {"three bytes", 0xF00001, std::vector<unsigned char>{1, 2, 3}, true, 0x030201},
        {"two bytes", 0xF00001, std::vector<unsigned char>{1, 2}, true, 0x0201},
        {"one byte", 0xF00001, std::vector<unsigned char>{7}, true, 7},
        {"no bytes", 0xF00001, std::vector<unsigned char>{}, true, 0},
        {"other id", 0xF00002, std::vector<unsigned char>{2, 0, 0, 0}, false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearSlots();
        Helper()->wndShowCallback = TakeValue;
        ipctest::GuardedBytes bytes(*c.bytes);
        TagIPCMessageItem item = Record(c.messageId, bytes.data(), bytes.size());
        LogCapture log;
        Helper()->OnRecvIPCMessageMainWindow(item);
        const std::vector<LogRecord> expected =
            c.logsOpen ? std::vector<LogRecord>{Notice(L"IPChelper Open Mainwindow message", L"OnRecvIPCMessageMainWindow")}
                       : std::vector<LogRecord>{};
        EXPECT_EQ(log.Records(), expected);
        EXPECT_EQ(g_value, c.delivered);
    }
}

TEST(MainWindowHandler, NullMessageOrEmptySlot)
{
    ClearSlots();
    Helper()->wndShowCallback = TakeValue;
    TagIPCMessageItem nullMessage = Record(0xF00001, nullptr, 4);
    {
        LogCapture log;
        Helper()->OnRecvIPCMessageMainWindow(nullMessage);
        EXPECT_EQ(log.Records(), (std::vector<LogRecord>{Notice(L"[FD] OnRecvIPCMessageMainWindow msgItem.message is empty",
                                                                L"OnRecvIPCMessageMainWindow")}));
        EXPECT_FALSE(g_value.has_value());
    }
    Helper()->wndShowCallback = nullptr;
    const unsigned char two[] = {2, 0, 0, 0};
    TagIPCMessageItem item = Record(0xF00001, reinterpret_cast<const char*>(two), 4);
    LogCapture log;
    Helper()->OnRecvIPCMessageMainWindow(item);
    EXPECT_EQ(log.Records(),
              (std::vector<LogRecord>{Notice(L"IPChelper Open Mainwindow message", L"OnRecvIPCMessageMainWindow")}));
    EXPECT_FALSE(g_value.has_value());
}

namespace {

struct TextHandler {
    const wchar_t* name;
    Handler handler;
    TextSlot slot;
    const wchar_t* emptyLine; // null: an empty text is delivered
};

const TextHandler kTextHandlers[] = {
    {L"OnRecvIPCMessageShowFile", &IPCHelper::OnRecvIPCMessageShowFile, &IPCHelper::wndShowFileCallback, nullptr},
    {L"OnRecvIPCMessageSendFiles", &IPCHelper::OnRecvIPCMessageSendFiles, &IPCHelper::wndShowSendFilesCallback,
     L"[FD] temp is empty"},
    {L"OnRecvIPCMessageRecieveFiles", &IPCHelper::OnRecvIPCMessageRecieveFiles,
     &IPCHelper::wndShowRecieveFilesCallback, L"[FD] OnRecvIPCMessageRecieveFiles receive message is empty"},
    {L"OnRecvIPCMessageRecieveFindDeviceType", &IPCHelper::OnRecvIPCMessageRecieveFindDeviceType,
     &IPCHelper::wndShowRecieveFindDeviceTypeCallback,
     L"[FD] OnRecvIPCMessageRecieveFindDeviceType receive message is empty"},
    {L"OnRecvIPCMessageRecieveFindSaveFile", &IPCHelper::OnRecvIPCMessageRecieveFindSaveFile,
     &IPCHelper::wndShowRecieveFindSaveFileCallback,
     L"[FD] OnRecvIPCMessageRecieveFindSaveFile receive message is empty"},
    {L"OnRecvIPCMessageRecieveFilesProgress", &IPCHelper::OnRecvIPCMessageRecieveFilesProgress,
     &IPCHelper::wndShowRecieveFilesProgressCallback,
     L"[FD] OnRecvIPCMessageRecieveFilesProgress receive message is empty"},
};

} // namespace

TEST(TextHandlers, DecodeUpToTheFirstZeroAndNeverPastTheMessage)
{
    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        std::wstring text;
    };
    const Case cases[] = {
        {"ascii", ipctest::Bytes("C:\\in\\a.txt"), L"C:\\in\\a.txt"},
        {"two-byte UTF-8", {0xC3, 0xA9, 0x00}, L"\u00e9"},
        {"stops at the first zero", {'a', 'b', 0, 'c', 'd', 0}, L"ab"},
        // No zero within messageLength: the text ends with the message.
        {"unterminated", {'a', 'b', 'c'}, L"abc"},
        {"malformed UTF-8", {'a', 0xFF, 0x00}, L"a\ufffd"},
    };
    for (const TextHandler& handler : kTextHandlers) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << " / " << std::string(handler.name, handler.name + wcslen(handler.name)));
            ClearSlots();
            Helper()->*handler.slot = TakeText;
            ipctest::GuardedBytes bytes(c.bytes);
            TagIPCMessageItem item = Record(0, bytes.data(), bytes.size());
            LogCapture log;
            (Helper()->*handler.handler)(item);
            EXPECT_EQ(g_text, c.text);
            EXPECT_TRUE(log.Records().empty());
        }
    }
}

TEST(TextHandlers, NullEmptyAndUnsetSlots)
{
    for (const TextHandler& handler : kTextHandlers) {
        SCOPED_TRACE(std::string(handler.name, handler.name + wcslen(handler.name)));
        const std::wstring nullLine = L"[FD] " + std::wstring(handler.name) + L" msgItem.message is empty";
        ClearSlots();
        Helper()->*handler.slot = TakeText;
        {
            TagIPCMessageItem item = Record(0, nullptr, 0);
            LogCapture log;
            (Helper()->*handler.handler)(item);
            EXPECT_EQ(log.Records(), (std::vector<LogRecord>{Notice(nullLine, handler.name)}));
            EXPECT_FALSE(g_text.has_value());
        }
        for (const std::vector<unsigned char>& empty : {std::vector<unsigned char>{0}, std::vector<unsigned char>{}}) {
            ipctest::GuardedBytes bytes(empty);
            TagIPCMessageItem item = Record(0, bytes.data(), bytes.size());
            LogCapture log;
            g_text.reset();
            (Helper()->*handler.handler)(item);
            if (handler.emptyLine == nullptr) {
                EXPECT_EQ(g_text, std::wstring());
                EXPECT_TRUE(log.Records().empty());
            } else {
                EXPECT_FALSE(g_text.has_value());
                EXPECT_EQ(log.Records(), (std::vector<LogRecord>{Notice(handler.emptyLine, handler.name)}));
            }
        }
        // A valid text with no callback registered: decoded, dropped, not logged.
        Helper()->*handler.slot = nullptr;
        const char text[] = "x";
        TagIPCMessageItem item = Record(0, text, 2);
        LogCapture log;
        g_text.reset();
        (Helper()->*handler.handler)(item);
        EXPECT_TRUE(log.Records().empty());
        EXPECT_FALSE(g_text.has_value());
    }
}
