// The eight inbound handlers fed directly with records whose bytes end exactly at a
// no-access page: a handler that reads one byte past messageLength crashes the test.
#include "IpcTestSupport.h"
#include "ipc/IPCHelper.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>

using FerrydockIpc::IPCHelper;
using testsupport::LogRecord;
using Bytes = std::vector<unsigned char>;
using Seen = std::optional<std::wstring>;

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
struct TextHandler {
    const wchar_t* name;
    Handler handler;
    std::atomic<WndShowTextCallback> IPCHelper::*slot;
    const wchar_t* emptyLine; // null: an empty text is delivered
};
#define IPCTEST_HANDLER(Name, Slot, Empty) {L"OnRecvIPCMessage" #Name, &IPCHelper::OnRecvIPCMessage##Name, &IPCHelper::Slot, Empty}
const TextHandler kTextHandlers[] = {
    IPCTEST_HANDLER(ShowFile, wndShowFileCallback, nullptr),
    IPCTEST_HANDLER(SendFiles, wndShowSendFilesCallback, L"[FD] temp is empty"),
    IPCTEST_HANDLER(RecieveFiles, wndShowRecieveFilesCallback, L"[FD] OnRecvIPCMessageRecieveFiles receive message is empty"),
    IPCTEST_HANDLER(RecieveFindDeviceType, wndShowRecieveFindDeviceTypeCallback,
                    L"[FD] OnRecvIPCMessageRecieveFindDeviceType receive message is empty"),
    IPCTEST_HANDLER(RecieveFindSaveFile, wndShowRecieveFindSaveFileCallback,
                    L"[FD] OnRecvIPCMessageRecieveFindSaveFile receive message is empty"),
    IPCTEST_HANDLER(RecieveFilesProgress, wndShowRecieveFilesProgressCallback,
                    L"[FD] OnRecvIPCMessageRecieveFilesProgress receive message is empty"),
};
#undef IPCTEST_HANDLER

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

// Feeds one record (nullopt: a null message of length 4) to a handler; the log it wrote.
std::vector<LogRecord> Feed(Handler handler, const std::optional<Bytes>& bytes, int messageId = 0)
{
    g_seen.reset();
    TagIPCMessageItem item;
    item.messageId = messageId;
    item.message = bytes ? AtGuardPage(*bytes) : nullptr;
    item.messageLength = bytes ? static_cast<int>(bytes->size()) : 4;
    testsupport::LogCapture log;
    (Helper()->*handler)(item);
    return log.Records();
}

// Our notice at level 3, tagged with the handler's qualified name.
std::vector<LogRecord> Notice(const std::wstring& text, const std::wstring& function)
{
    return text.empty() ? std::vector<LogRecord>{} : std::vector<LogRecord>{{3, text + L"(FerrydockIpc::IPCHelper::" + function + L")"}};
}

} // namespace

TEST(MainWindowHandler, PassesTheLittleEndianValueOfAtMostFourBytes)
{
    const std::wstring open = L"IPChelper Open Mainwindow message";
    struct Case {
        int messageId;
        std::optional<Bytes> bytes; // nullopt: null message
        bool slot;
        std::wstring logged;
        Seen delivered;
    };
    const Case cases[] = {
        {0xF00001, Bytes{0xFF, 0xFF, 0xFF, 0xFF}, true, open, L"-1"},
        {0xF00001, Bytes{1, 2, 3, 4, 5}, true, open, std::to_wstring(0x04030201)},
        {0xF00001, Bytes{1, 2, 3}, true, open, std::to_wstring(0x030201)}, // missing high bytes are zero
        {0xF00001, Bytes{}, true, open, L"0"},
        {0xF00002, Bytes{2, 0, 0, 0}, true, L"", std::nullopt},
        {0xF00001, std::nullopt, true, L"[FD] OnRecvIPCMessageMainWindow msgItem.message is empty", std::nullopt},
        {0xF00001, Bytes{2, 0, 0, 0}, false, open, std::nullopt},
    };
    for (const Case& c : cases) {
        Helper()->wndShowCallback = c.slot ? TakeValue : nullptr;
        EXPECT_EQ(Feed(&IPCHelper::OnRecvIPCMessageMainWindow, c.bytes, c.messageId),
                  Notice(c.logged, L"OnRecvIPCMessageMainWindow"));
        EXPECT_EQ(g_seen, c.delivered) << &c - cases;
    }
}

// An empty text is delivered by one handler and refused with a notice by the others.
TEST(TextHandlers, DecodeUpToTheFirstZeroAndNeverPastTheMessage)
{
    enum Outcome { Text, NullLine, Empty, Nothing };
    struct Case {
        std::optional<Bytes> bytes;
        bool slot;
        Outcome outcome;
        std::wstring text;
    };
    const Case cases[] = {
        {Bytes{'C', ':', 0xC3, 0xA9, 0, 'c', 0}, true, Text, L"C:\u00e9"}, // UTF-8, up to the first zero
        {Bytes{'a', 'b', 'c'}, true, Text, L"abc"}, // no zero: the text ends with the message
        {Bytes{'a', 0xFF, 0x00}, true, Text, L"a\ufffd"},
        {std::nullopt, true, NullLine, L""},
        {Bytes{0}, true, Empty, L""},
        {Bytes{}, true, Empty, L""},
        {Bytes{'x', 0}, false, Nothing, L""},
    };
    for (const TextHandler& h : kTextHandlers) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << &c - cases << " / " << std::string(h.name, h.name + wcslen(h.name)));
            Helper()->*h.slot = c.slot ? TakeText : nullptr;
            const bool delivered = c.outcome == Text || (c.outcome == Empty && h.emptyLine == nullptr);
            const std::wstring logged = c.outcome == NullLine ? L"[FD] " + std::wstring(h.name) + L" msgItem.message is empty"
                                        : c.outcome == Empty && h.emptyLine ? h.emptyLine : L"";
            EXPECT_EQ(Feed(h.handler, c.bytes), Notice(logged, h.name));
            EXPECT_EQ(g_seen, delivered ? Seen(c.text) : std::nullopt);
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

std::vector<LogRecord> FeedDevices(const std::optional<Bytes>& bytes, bool slot = true)
{
    Helper()->wndShowDeviceCallback = slot ? TakeList : nullptr;
    return Feed(&IPCHelper::OnRecvIPCMessageDevicesInfo, bytes, 0x1502BE);
}

} // namespace

// Counts longer than their two bytes run into name row 0, as the sender wrote them.
TEST(DeviceListHandler, CountTextsRefusedRecordsAndRowContents)
{
    struct Case {
        std::optional<Bytes> bytes;
        bool slot;
        int delivered;       // -1: the callback is not called
        std::wstring logged; // our notice, if any
        bool parseFails;     // the parser writes its own level-4 line
        const wchar_t* name0;
    };
    const std::wstring rows = L"[FD] OnRecvIPCMessageDevicesInfo device count out of rows: ";
    const Case cases[] = {
        {EightRows(""), true, 0, L"", true, nullptr},
        {EightRows("x"), true, 0, L"", true, nullptr},
        {EightRows("-1"), true, 0, rows + L"-1", false, nullptr},
        {EightRows("2"), true, 2, L"", false, nullptr},
        {EightRows("8"), true, 8, L"", false, nullptr},
        {EightRows("9"), true, 8, rows + L"9", false, nullptr},
        {EightRows("5000"), true, 8, rows + L"1000", false, L"00"},
        {EightRows("99999999999"), true, 0, L"", false, nullptr}, // beyond 32 bits
        {std::nullopt, true, -1, L"[FD] OnRecvIPCMessageDevicesInfo msgItem.message is empty", false, nullptr},
        {EightRows("8", 1817), true, -1, L"[FD] OnRecvIPCMessageDevicesInfo message shorter than the device record: 1817",
         false, nullptr},
        {EightRows("2"), false, -1, L"", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<LogRecord> ours = FeedDevices(c.bytes, c.slot);
        const auto parser = std::remove_if(ours.begin(), ours.end(), [](const LogRecord& r) { return r.level == 4; });
        EXPECT_EQ(parser != ours.end(), c.parseFails);
        ours.erase(parser, ours.end());
        EXPECT_EQ(ours, Notice(c.logged, L"OnRecvIPCMessageDevicesInfo"));
        Seen expected = c.delivered < 0 ? Seen() : std::to_wstring(c.delivered);
        for (int i = 0; i < c.delivered; ++i) {
            const std::wstring n = std::to_wstring(i);
            *expected += L"\n" + (i == 0 && c.name0 ? c.name0 : L"n" + n) + L"|i" + n + L"|" + n;
        }
        EXPECT_EQ(g_seen, expected);
    }
    // UTF-8 name, id in code page 1252; empty texts; types with a sign or trailing text;
    // the last row without any zero ends the message, next to the guard page.
    Payload payload;
    payload.Put(0, "8").Row(0, "Caf\xC3\xA9", "ID-\xE9", "12").Row(2, "x", "y", " -7").Row(3, "a", "b", "+4x");
    FeedDevices(payload.Row(7, std::string(128, 'N'), std::string(96, 'I'), "999").bytes);
    EXPECT_EQ(g_seen, L"8\nCaf\u00e9|ID-\u00e9|12\n||0\nx|y|-7\na|b|4\n||0\n||0\n||0\n" + std::wstring(128, L'N') + L"|" +
                          std::wstring(96, L'I') + L"|999");
}

namespace {

// Random bytes of up to 2 KiB, mostly printable and seldom zero (device counts start with
// digits or signs), or a valid device record mutated byte by byte and sometimes cut short.
Bytes Generate(std::mt19937& random, bool deviceHandler)
{
    Payload valid;
    const int count = static_cast<int>(random() % 9);
    for (int i = 0; i < count; ++i) {
        valid.Row(i, "Device \xC3\xA9", "ID", std::to_string(i));
    }
    Bytes bytes = random() % 4 == 0 ? valid.Put(0, std::to_string(count)).bytes : Bytes(random() % 2 ? random() % 5 : random() % 2048);
    for (unsigned n = random() % 16; n > 0 && bytes.size() == 1818; --n) {
        bytes[random() % bytes.size()] = static_cast<unsigned char>(random());
    }
    if (bytes.size() == 1818) {
        bytes.resize(random() % 4 == 0 ? 1800 + random() % 19 : 1818);
        return bytes;
    }
    for (auto& b : bytes) {
        b = static_cast<unsigned char>(random() % 16 == 0 ? 0 : 1 + random() % 255);
    }
    if (deviceHandler && !bytes.empty()) {
        bytes[0] = static_cast<unsigned char>("-+0123456789x "[random() % 14]);
    }
    return bytes;
}

} // namespace

// Seeded and reproducible; every record ends at the guard page.
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
    std::mt19937 random(20261205);
    for (int i = 0; i < 20000; ++i) {
        const std::size_t which = random() % 8;
        TagIPCMessageItem item;
        const Bytes bytes = Generate(random, which == 1);
        item.messageId = which == 0 ? 0xF00001 : 0;
        item.message = AtGuardPage(bytes);
        item.messageLength = static_cast<int>(bytes.size());
        g_seen.reset();
        (Helper()->*handlers[which])(item);
        if (which == 1 && g_seen) {
            const int count = std::stoi(*g_seen);
            ASSERT_TRUE(count >= 0 && count <= 8 && g_seen->find(L"stale") == std::wstring::npos) << "case " << i;
        }
    }
}
