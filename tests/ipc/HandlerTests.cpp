// The eight inbound handlers fed directly with records whose bytes end exactly at a
// no-access page: a handler that reads one byte past messageLength crashes the test.
#include "IpcTestSupport.h"
#include "ipc/IPCHelper.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

using FerrydockIpc::IPCHelper;
using Bytes = std::vector<unsigned char>;
using Seen = std::optional<std::wstring>;

namespace {

// A copy of bytes (at most a page) that ends where a no-access page begins: reading past
// it crashes the test process (the scripts run Wine without a debugger).
char* AtGuardPage(const Bytes& bytes)
{
    static char* const guard = [] {
        char* region = static_cast<char*>(VirtualAlloc(nullptr, 2 * 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(region + 4096, 4096, PAGE_NOACCESS, &old);
        return region + 4096;
    }();
    return std::copy(bytes.begin(), bytes.end(), guard - bytes.size()) - bytes.size();
}

const std::wstring g_pipe = ipctest::UsePrivatePipeName(); // nobody serves it
IPCHelper* Helper() { return IPCHelper::GetInstance(); }

using Handler = void (IPCHelper::*)(TagIPCMessageItem&);

Seen g_seen; // what the last callback saw: the value in decimal, the text or the list
void FERRYDOCK_CALL TakeValue(int value) { g_seen = std::to_wstring(value); }
void FERRYDOCK_CALL TakeText(const wchar_t* text) { g_seen = text; }
void FERRYDOCK_CALL TakeList(DevicesInfo* list)
{
    g_seen = ipctest::DescribeDevices(list);
    for (int i = std::max(list->count, 0); i < FERRYDOCK_MAX_DEVICES; ++i) {
        *g_seen += list->devices[i] != nullptr ? L"\nstale row" : L"";
    }
}

// Feeds one record (nullopt: a null message of length 4) to a handler; the lines it
// logged, each "level text(function)", the parser's own level-4 lines left out.
std::vector<std::wstring> Feed(Handler handler, const std::optional<Bytes>& bytes, int messageId = 0)
{
    g_seen.reset();
    TagIPCMessageItem item{{}, 0, 0, messageId, 0, 0, 0, bytes ? int(bytes->size()) : 4, bytes ? AtGuardPage(*bytes) : nullptr};
    testsupport::LogCapture log;
    (Helper()->*handler)(item);
    std::vector<std::wstring> lines;
    for (const testsupport::LogRecord& r : log.Records()) {
        lines.insert(lines.end(), r.level == 4 ? 0 : 1, std::to_wstring(r.level) + L" " + r.line);
    }
    return lines;
}

// Our notice at level 3, tagged with the handler's qualified name.
std::vector<std::wstring> Notice(const std::wstring& text, const std::wstring& function)
{
    return std::vector<std::wstring>(text.empty() ? 0 : 1, L"3 " + text + L"(FerrydockIpc::IPCHelper::" + function + L")");
}

} // namespace

// The main-window value, then the five text handlers: an empty text is delivered by
// one of them and refused with a notice by the others.
TEST(TextHandlers, MainWindowValueAndTextsEndWithinTheMessage)
{
    const std::wstring open = L"IPChelper Open Mainwindow message";
    const std::tuple<int, std::optional<Bytes>, bool, std::wstring, Seen> values[] = { // id, bytes, slot, line, value
        {0xF00001, Bytes{1, 2, 3}, true, open, std::to_wstring(0x030201)}, // missing high bytes are zero
        {0xF00001, Bytes{}, true, open, L"0"},
        {0xF00002, Bytes{2, 0, 0, 0}, true, L"", std::nullopt},
        {0xF00001, std::nullopt, true, L"[FD] OnRecvIPCMessageMainWindow msgItem.message is empty", std::nullopt},
        {0xF00001, Bytes{2, 0, 0, 0}, false, open, std::nullopt},
    };
    for (const auto& [id, bytes, slot, logged, delivered] : values) {
        Helper()->wndShowCallback = slot ? TakeValue : nullptr;
        EXPECT_EQ(Feed(&IPCHelper::OnRecvIPCMessageMainWindow, bytes, id), Notice(logged, L"OnRecvIPCMessageMainWindow"));
        EXPECT_EQ(g_seen, delivered) << &logged - &std::get<3>(values[0]);
    }

    const std::wstring refused = L"receive message is empty";
    const std::tuple<const wchar_t*, Handler, std::atomic<WndShowTextCallback> IPCHelper::*, std::wstring> handlers[] = {
        {L"ShowFile", &IPCHelper::OnRecvIPCMessageShowFile, &IPCHelper::wndShowFileCallback, L""},
        {L"SendFiles", &IPCHelper::OnRecvIPCMessageSendFiles, &IPCHelper::wndShowSendFilesCallback, L"[FD] temp is empty"},
        {L"RecieveFiles", &IPCHelper::OnRecvIPCMessageRecieveFiles, &IPCHelper::wndShowRecieveFilesCallback, refused},
        {L"RecieveFindDeviceType", &IPCHelper::OnRecvIPCMessageRecieveFindDeviceType,
         &IPCHelper::wndShowRecieveFindDeviceTypeCallback, refused},
        {L"RecieveFindSaveFile", &IPCHelper::OnRecvIPCMessageRecieveFindSaveFile,
         &IPCHelper::wndShowRecieveFindSaveFileCallback, refused},
        {L"RecieveFilesProgress", &IPCHelper::OnRecvIPCMessageRecieveFilesProgress,
         &IPCHelper::wndShowRecieveFilesProgressCallback, refused},
    };
    enum Outcome { Text, NullLine, Empty, Nothing };
    const std::tuple<std::optional<Bytes>, bool, Outcome, std::wstring> texts[] = { // bytes, slot, outcome, text
        {Bytes{'C', ':', 0xC3, 0xA9, 0, 'c', 0}, true, Text, L"C:\u00e9"}, // UTF-8, up to the first zero
        {Bytes{'a', 'b', 'c'}, true, Text, L"abc"}, // no zero: the text ends with the message
        {std::nullopt, true, NullLine, L""},
        {Bytes{0}, true, Empty, L""},
        {Bytes{}, true, Empty, L""},
        {Bytes{'x', 0}, false, Nothing, L""},
    };
    for (const auto& [shortName, handler, slot, emptyLine] : handlers) {
        const std::wstring name = L"OnRecvIPCMessage" + std::wstring(shortName);
        for (const auto& [bytes, hasSlot, outcome, text] : texts) {
            SCOPED_TRACE(testing::Message() << &text - &std::get<3>(texts[0]) << " / " << std::string(name.begin(), name.end()));
            Helper()->*slot = hasSlot ? TakeText : nullptr;
            const bool delivered = outcome == Text || (outcome == Empty && emptyLine.empty());
            const std::wstring logged = outcome == NullLine ? L"[FD] " + name + L" msgItem.message is empty"
                                        : outcome != Empty || emptyLine.empty() ? L""
                                        : emptyLine == refused ? L"[FD] " + name + L" " + refused : emptyLine;
            EXPECT_EQ(Feed(handler, bytes), Notice(logged, name));
            EXPECT_EQ(g_seen, delivered ? Seen(text) : std::nullopt);
        }
    }
}

namespace {

// The 1818-byte record: a count text, then eight names, eight ids and eight types.
struct Payload {
    Bytes bytes = Bytes(1818, 0);
    Payload& Put(std::size_t offset, const std::string& text)
    {
        std::memcpy(bytes.data() + offset, text.data(), text.size());
        return *this;
    }
    Payload& Row(int i, const std::string& name, const std::string& id, const std::string& type)
    {
        return Put(2 + 128 * i, name).Put(1026 + 96 * i, id).Put(1794 + 3 * i, type);
    }
};

Bytes EightRows(const std::string& count, std::size_t size = 1818)
{
    Payload p;
    for (int i = 0; i < 8; ++i) {
        p.Row(i, "n" + std::to_string(i), "i" + std::to_string(i), std::to_string(i));
    }
    p.bytes.resize(size);
    return p.Put(0, count).bytes;
}

} // namespace

// Counts longer than their two bytes run into name row 0, as the sender wrote them.
TEST(DeviceListHandler, CountTextsRefusedRecordsAndRowContents)
{
    const std::wstring rows = L"[FD] OnRecvIPCMessageDevicesInfo device count out of rows: ";
    const std::tuple<std::optional<Bytes>, bool, int, std::wstring> cases[] = {
        // bytes, slot, rows delivered (-1: no callback), our notice
        {EightRows("2"), false, -1, L""},
        {EightRows(""), true, 0, L""},
        {EightRows("-1"), true, 0, rows + L"-1"},
        {EightRows("2"), true, 2, L""},
        {EightRows("9"), true, 8, rows + L"9"},
        {EightRows("5000"), true, 8, rows + L"1000"}, // "00" is the start of name row 0
        {EightRows("99999999999"), true, 0, L""}, // beyond 32 bits
        {std::nullopt, true, -1, L"[FD] OnRecvIPCMessageDevicesInfo msgItem.message is empty"},
        {EightRows("8", 1817), true, -1, L"[FD] OnRecvIPCMessageDevicesInfo message shorter than the device record: 1817"},
    };
    for (const auto& [bytes, slot, delivered, logged] : cases) {
        SCOPED_TRACE(&logged - &std::get<3>(cases[0]));
        Helper()->wndShowDeviceCallback = slot ? TakeList : nullptr;
        EXPECT_EQ(Feed(&IPCHelper::OnRecvIPCMessageDevicesInfo, bytes, 0x1502BE), Notice(logged, L"OnRecvIPCMessageDevicesInfo"));
        Seen expected = delivered < 0 ? Seen() : std::to_wstring(delivered);
        for (int i = 0; i < delivered; ++i) {
            const std::wstring n = std::to_wstring(i);
            *expected += L"\n" + (i == 0 && bytes->at(2) == '0' ? L"00" : L"n" + n) + L"|i" + n + L"|" + n;
        }
        EXPECT_EQ(g_seen, expected);
    }
    // UTF-8 name, id in code page 1252; empty texts; types with a sign or trailing text;
    // the last row without any zero ends the message, next to the guard page.
    Payload payload;
    payload.Put(0, "8").Row(0, "Caf\xC3\xA9", "ID-\xE9", "12").Row(2, "x", "y", " -7").Row(3, "a", "b", "+4x");
    Feed(&IPCHelper::OnRecvIPCMessageDevicesInfo, payload.Row(7, std::string(128, 'N'), std::string(96, 'I'), "999").bytes);
    EXPECT_EQ(g_seen, L"8\nCaf\u00e9|ID-\u00e9|12\n||0\nx|y|-7\na|b|4\n||0\n||0\n||0\n" + std::wstring(128, L'N') + L"|" +
                          std::wstring(96, L'I') + L"|999");
}
