// The eight inbound handlers fed directly with records whose bytes end exactly at a
// no-access page: a handler that reads one byte past messageLength crashes the test.
#include "BridgeLibrary.h"
#include "IpcTestSupport.h"
#include "ipc/IPCHelper.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>

using FerrydockIpc::IPCHelper;
using testsupport::LogCapture;
using testsupport::LogRecord;
using Bytes = std::vector<unsigned char>;

namespace {

// Under Wine an unhandled access violation starts the debugger and the test hangs;
// report the over-read and end the process instead.
LONG CALLBACK FailOnAccessViolation(EXCEPTION_POINTERS* info)
{
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        std::fputs("\nFAILED: access violation (read past the end of a message?)\n", stderr);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 4);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// A copy of bytes (at most a page) that ends where a no-access page begins.
char* AtGuardPage(const Bytes& bytes)
{
    static char* const guard = [] {
        AddVectoredExceptionHandler(1, FailOnAccessViolation);
        char* region = static_cast<char*>(VirtualAlloc(nullptr, 2 * 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(region + 4096, 4096, PAGE_NOACCESS, &old);
        return region + 4096;
    }();
    return std::copy(bytes.begin(), bytes.end(), guard - bytes.size()) - bytes.size();
}

IPCHelper* Helper()
{
    static const std::wstring pipe = ipctest::UsePrivatePipeName(); // nobody serves it
    return IPCHelper::GetInstance();
}

using Handler = void (IPCHelper::*)(TagIPCMessageItem&);
using TextSlot = std::atomic<WndShowTextCallback> IPCHelper::*;

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

// What the last callback saw: the value in decimal, the text, or the device list.
std::optional<std::wstring> g_seen;
void FERRYDOCK_CALL TakeValue(int value) { g_seen = std::to_wstring(value); }
void FERRYDOCK_CALL TakeText(const wchar_t* text) { g_seen = text; }
void FERRYDOCK_CALL TakeList(DevicesInfo* list)
{
    g_seen = ipctest::DescribeDevices(list);
    for (int i = list->count < 0 ? 0 : list->count; i < FERRYDOCK_MAX_DEVICES; ++i) {
        *g_seen += list->devices[i] != nullptr ? L"\nstale row" : L"";
    }
}

// Feeds one record (nullopt: a null message of length 4) to a handler; the log it wrote.
std::vector<LogRecord> Feed(Handler handler, const std::optional<Bytes>& bytes, int messageId = 0)
{
    g_seen.reset();
    TagIPCMessageItem item;
    item.messageId = messageId;
    item.message = bytes ? AtGuardPage(*bytes) : nullptr;
    item.messageLength = bytes ? static_cast<int>(bytes->size()) : 4;
    LogCapture log;
    (Helper()->*handler)(item);
    return log.Records();
}

std::vector<LogRecord> Notice(const wchar_t* text, const std::wstring& function)
{
    if (text == nullptr) {
        return {};
    }
    return {{3, text + (L"(FerrydockIpc::IPCHelper::" + function + L")")}};
}

} // namespace

TEST(MainWindowHandler, PassesTheLittleEndianValueOfAtMostFourBytes)
{
    const wchar_t* const open = L"IPChelper Open Mainwindow message";
    struct Case {
        const char* name;
        int messageId;
        std::optional<Bytes> bytes; // nullopt: null message
        bool slot;
        const wchar_t* logged;
        std::optional<int> delivered;
    };
    const Case cases[] = {
        {"value 2", 0xF00001, Bytes{2, 0, 0, 0}, true, open, 2},
        {"negative", 0xF00001, Bytes{0xFF, 0xFF, 0xFF, 0xFF}, true, open, -1},
        {"extra bytes ignored", 0xF00001, Bytes{1, 2, 3, 4, 5}, true, open, 0x04030201},
        // Shorter than four bytes: the missing high bytes count as zero.
        {"three bytes", 0xF00001, Bytes{1, 2, 3}, true, open, 0x030201},
        {"two bytes", 0xF00001, Bytes{1, 2}, true, open, 0x0201},
        {"one byte", 0xF00001, Bytes{7}, true, open, 7},
        {"no bytes", 0xF00001, Bytes{}, true, open, 0},
        {"other id", 0xF00002, Bytes{2, 0, 0, 0}, true, nullptr, std::nullopt},
        {"null message", 0xF00001, std::nullopt, true, L"[FD] OnRecvIPCMessageMainWindow msgItem.message is empty",
         std::nullopt},
        {"no callback", 0xF00001, Bytes{2, 0, 0, 0}, false, open, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Helper()->wndShowCallback = c.slot ? TakeValue : nullptr;
        EXPECT_EQ(Feed(&IPCHelper::OnRecvIPCMessageMainWindow, c.bytes, c.messageId),
                  Notice(c.logged, L"OnRecvIPCMessageMainWindow"));
        EXPECT_EQ(g_seen, c.delivered ? std::optional<std::wstring>(std::to_wstring(*c.delivered)) : std::nullopt);
    }
}

// An empty text is delivered by one handler and refused with a notice by the others.
TEST(TextHandlers, DecodeUpToTheFirstZeroAndNeverPastTheMessage)
{
    enum Outcome { Text, NullLine, Empty, Nothing };
    struct Case {
        const char* name;
        std::optional<Bytes> bytes;
        bool slot;
        Outcome outcome;
        std::wstring text;
    };
    const Case cases[] = {
        {"ascii", ipctest::Bytes("C:\\in\\a.txt"), true, Text, L"C:\\in\\a.txt"},
        {"two-byte UTF-8", Bytes{0xC3, 0xA9, 0x00}, true, Text, L"\u00e9"},
        {"stops at the first zero", Bytes{'a', 'b', 0, 'c', 'd', 0}, true, Text, L"ab"},
        // No zero within messageLength: the text ends with the message.
        {"unterminated", Bytes{'a', 'b', 'c'}, true, Text, L"abc"},
        {"malformed UTF-8", Bytes{'a', 0xFF, 0x00}, true, Text, L"a\ufffd"},
        {"null message", std::nullopt, true, NullLine, L""},
        {"empty text", Bytes{0}, true, Empty, L""},
        {"no bytes", Bytes{}, true, Empty, L""},
        {"no callback: decoded, dropped, not logged", Bytes{'x', 0}, false, Nothing, L""},
    };
    for (const TextHandler& h : kTextHandlers) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << " / " << std::string(h.name, h.name + wcslen(h.name)));
            Helper()->*h.slot = c.slot ? TakeText : nullptr;
            const std::wstring nullLine = L"[FD] " + std::wstring(h.name) + L" msgItem.message is empty";
            const bool delivered = c.outcome == Text || (c.outcome == Empty && h.emptyLine == nullptr);
            const wchar_t* logged = c.outcome == NullLine ? nullLine.c_str() : c.outcome == Empty ? h.emptyLine : nullptr;
            EXPECT_EQ(Feed(h.handler, c.bytes), Notice(logged, h.name));
            EXPECT_EQ(g_seen, delivered ? std::optional<std::wstring>(c.text) : std::nullopt);
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

Payload EightRows(const std::string& count)
{
    Payload p;
    for (int i = 0; i < 8; ++i) {
        p.Row(i, "n" + std::to_string(i), "i" + std::to_string(i), std::to_string(i));
    }
    return p.Put(0, count);
}

std::vector<LogRecord> FeedDevices(const std::optional<Bytes>& bytes, bool slot = true)
{
    Helper()->wndShowDeviceCallback = slot ? TakeList : nullptr;
    return Feed(&IPCHelper::OnRecvIPCMessageDevicesInfo, bytes, 0x1502BE);
}

const std::wstring kDevicesWhere = L"OnRecvIPCMessageDevicesInfo";

} // namespace

TEST(DeviceListHandler, CountTextsAndRefusedRecords)
{
    struct Case {
        const char* name;
        std::optional<Bytes> bytes;
        bool slot;
        std::optional<int> delivered; // nullopt: the callback is not called
        std::wstring logged;          // our notice, if any
        bool parseFails;              // StollS writes its own level-4 line
        const wchar_t* name0;         // row 0's name, when the count text ran into it
    };
    const std::wstring outOfRows = L"[FD] OnRecvIPCMessageDevicesInfo device count out of rows: ";
    Bytes shortRecord = EightRows("8").bytes;
    shortRecord.resize(1817);
    // Counts longer than their two bytes run into name row 0, as the sender wrote them.
    const Case cases[] = {
        {"\"\"", EightRows("").bytes, true, 0, L"", true, nullptr},
        {"x", EightRows("x").bytes, true, 0, L"", true, nullptr},
        {"-1", EightRows("-1").bytes, true, 0, outOfRows + L"-1", false, nullptr},
        {"0", EightRows("0").bytes, true, 0, L"", false, nullptr},
        {"2", EightRows("2").bytes, true, 2, L"", false, nullptr},
        {"8", EightRows("8").bytes, true, 8, L"", false, nullptr},
        {"9", EightRows("9").bytes, true, 8, outOfRows + L"9", false, nullptr},
        {"1000", EightRows("1000").bytes, true, 8, outOfRows + L"1000", false, L"00"},
        {"5000", EightRows("5000").bytes, true, 8, outOfRows + L"1000", false, L"00"},
        {"99999999999: beyond 32 bits", EightRows("99999999999").bytes, true, 0, L"", false, nullptr},
        {"null message", std::nullopt, true, std::nullopt, L"[FD] OnRecvIPCMessageDevicesInfo msgItem.message is empty",
         false, nullptr},
        {"cut short: dropped rather than read past its end", shortRecord, true, std::nullopt,
         L"[FD] OnRecvIPCMessageDevicesInfo message shorter than the device record: 1817", false, nullptr},
        {"no callback", EightRows("2").bytes, false, std::nullopt, L"", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<LogRecord> ours;
        bool sawParseFailure = false;
        for (const LogRecord& record : FeedDevices(c.bytes, c.slot)) {
            if (record.level == 4) {
                sawParseFailure = true;
            } else {
                ours.push_back(record);
            }
        }
        EXPECT_EQ(sawParseFailure, c.parseFails);
        EXPECT_EQ(ours, Notice(c.logged.empty() ? nullptr : c.logged.c_str(), kDevicesWhere));
        std::optional<std::wstring> expected;
        if (c.delivered) {
            expected = std::to_wstring(*c.delivered);
            for (int i = 0; i < *c.delivered; ++i) {
                const std::wstring n = std::to_wstring(i);
                *expected += L"\n" + (i == 0 && c.name0 ? c.name0 : L"n" + n) + L"|i" + n + L"|" + n;
            }
        }
        EXPECT_EQ(g_seen, expected);
    }
}

TEST(DeviceListHandler, RowContents)
{
    Payload payload;
    payload.Put(0, "8")
        .Row(0, "Caf\xC3\xA9 tablet", "ID-\xE9", "12") // UTF-8 name; id in code page 1252
        .Row(1, "", "", "")                           // empty texts: empty strings and type 0
        .Row(2, "x", "y", " -7")
        .Row(3, "a", "b", "4x")
        // The last row without any zero: its type ends the message, so reading on would
        // touch the guard page.
        .Row(7, std::string(128, 'N'), std::string(96, 'I'), "999");
    FeedDevices(payload.bytes);
    EXPECT_EQ(g_seen, L"8\nCaf\u00e9 tablet|ID-\u00e9|12\n||0\nx|y|-7\na|b|4\n||0\n||0\n||0\n" + std::wstring(128, L'N') +
                             L"|" + std::wstring(96, L'I') + L"|999");
}

namespace {

unsigned long EnvironmentNumber(const char* name, unsigned long fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::strtoul(value, nullptr, 10) : fallback;
}

// Lengths 0 to 4, unterminated texts, mostly printable bytes (device counts get digits
// and signs), or a valid device record mutated byte by byte and sometimes cut short.
Bytes Generate(std::mt19937& random, bool deviceHandler)
{
    const unsigned kind = random() % 4;
    if (kind == 3) {
        const int count = static_cast<int>(random() % 9);
        Payload valid;
        valid.Put(0, std::to_string(count));
        for (int i = 0; i < count; ++i) {
            valid.Row(i, "Device \xC3\xA9", "ID", std::to_string(i));
        }
        for (unsigned n = random() % 16; n > 0; --n) {
            valid.bytes[random() % valid.bytes.size()] = static_cast<unsigned char>(random());
        }
        valid.bytes.resize(random() % 4 == 0 ? 1800 + random() % 19 : valid.bytes.size());
        return valid.bytes;
    }
    Bytes bytes(kind == 0 ? random() % 5 : kind == 1 ? random() % 300 : random() % 2048);
    for (auto& b : bytes) {
        const unsigned r = random() % 16;
        b = static_cast<unsigned char>(kind == 1 ? 1 + random() % 255
                                       : r == 0  ? 0
                                       : r == 1  ? 0x80 + random() % 128
                                                 : 0x20 + random() % 95);
    }
    if (deviceHandler && kind != 1 && !bytes.empty()) {
        bytes[0] = static_cast<unsigned char>("-+0123456789x "[random() % 14]);
    }
    return bytes;
}

} // namespace

// Seeded and reproducible: FERRYDOCK_FUZZ_SEED (default 20261205) and
// FERRYDOCK_FUZZ_CASES (default 100000); every record ends at the guard page.
TEST(HandlerFuzz, NoHandlerReadsPastTheMessage)
{
    SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", L"NUL");
    std::vector<Handler> handlers = {&IPCHelper::OnRecvIPCMessageMainWindow, &IPCHelper::OnRecvIPCMessageDevicesInfo};
    Helper()->wndShowCallback = TakeValue;
    Helper()->wndShowDeviceCallback = TakeList;
    for (const TextHandler& h : kTextHandlers) {
        Helper()->*h.slot = TakeText;
        handlers.push_back(h.handler);
    }
    const unsigned long seed = EnvironmentNumber("FERRYDOCK_FUZZ_SEED", 20261205);
    const unsigned long cases = EnvironmentNumber("FERRYDOCK_FUZZ_CASES", 100000);
    std::mt19937 random(seed);
    for (unsigned long i = 0; i < cases; ++i) {
        const std::size_t which = random() % 8;
        const Bytes bytes = Generate(random, which == 1);
        TagIPCMessageItem item;
        item.messageId = which == 0 ? 0xF00001 : 0;
        item.message = AtGuardPage(bytes);
        item.messageLength = static_cast<int>(bytes.size());
        g_seen.reset();
        (Helper()->*handlers[which])(item);
        if (which == 1 && g_seen) {
            const int count = std::stoi(*g_seen);
            ASSERT_TRUE(count >= 0 && count <= 8 && g_seen->find(L"stale") == std::wstring::npos)
                << "case " << i << " with seed " << seed;
        }
    }
}
