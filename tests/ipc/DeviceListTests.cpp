// The device-list handler fed directly with 1818-byte records built here byte by byte.
#include "IpcTestSupport.h"
#include "ipc/IPCHelper.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

using FerrydockIpc::IPCHelper;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

IPCHelper* Helper()
{
    static const std::wstring pipe = ipctest::UsePrivatePipeName();
    return IPCHelper::GetInstance();
}

struct SeenDevice {
    std::optional<std::wstring> id;
    std::wstring name;
    int type;
    bool operator==(const SeenDevice& o) const { return id == o.id && name == o.name && type == o.type; }
};

struct SeenList {
    int count = 0;
    std::vector<SeenDevice> devices;
    bool restNull = true;
};

std::optional<SeenList> g_seen;

void FERRYDOCK_CALL TakeList(DevicesInfo* list)
{
    SeenList seen;
    seen.count = list->count;
    for (int i = 0; i < list->count; ++i) {
        const DeviceInfo* d = list->devices[i];
        seen.devices.push_back({d->id ? std::optional<std::wstring>(d->id) : std::nullopt, d->name, d->type});
    }
    for (int i = list->count < 0 ? 0 : list->count; i < FERRYDOCK_MAX_DEVICES; ++i) {
        seen.restNull = seen.restNull && list->devices[i] == nullptr;
    }
    g_seen = seen;
}

class Payload {
public:
    Payload() : bytes_(1818, 0) {}
    Payload& Count(const std::string& text) { return Put(0, text); }
    Payload& Row(int i, const std::string& name, const std::string& id, const std::string& type)
    {
        return Put(2 + 128 * i, name).Put(1026 + 96 * i, id).Put(1794 + 3 * i, type);
    }
    Payload& Put(std::size_t offset, const std::string& text)
    {
        std::memcpy(bytes_.data() + offset, text.data(), text.size());
        return *this;
    }
    std::vector<unsigned char> bytes_;
};

std::vector<LogRecord> Deliver(const std::vector<unsigned char>& bytes)
{
    g_seen.reset();
    Helper()->wndShowDeviceCallback = TakeList;
    ipctest::GuardedBytes guarded(bytes);
    TagIPCMessageItem item;
    item.messageId = 0x1502BE;
    item.message = guarded.data();
    item.messageLength = guarded.size();
    LogCapture log;
    Helper()->OnRecvIPCMessageDevicesInfo(item);
    return log.Records();
}

const wchar_t kWhere[] = L"(FerrydockIpc::IPCHelper::OnRecvIPCMessageDevicesInfo)";
const LogRecord kCountOutOfRows(long long count)
{
    return {3, L"[FD] OnRecvIPCMessageDevicesInfo device count out of rows: " + std::to_wstring(count) + kWhere};
}

Payload EightRows()
{
    Payload p;
    for (int i = 0; i < 8; ++i) {
        p.Row(i, "n" + std::to_string(i), "i" + std::to_string(i), std::to_string(i));
    }
    return p;
}

std::vector<SeenDevice> FirstRows(int count)
{
    std::vector<SeenDevice> rows;
    for (int i = 0; i < count; ++i) {
        rows.push_back({L"i" + std::to_wstring(i), L"n" + std::to_wstring(i), i});
    }
    return rows;
}

} // namespace

TEST(DeviceListHandler, CountTexts)
{
    struct Case {
        std::string count;
        int delivered;
        bool countLine;          // our notice for a count outside 0..8
        long long loggedCount;   // the count in that notice
        bool parseFails;         // StollS writes its own level-4 line
    };
    const Case cases[] = {
        {"", 0, false, 0, true},
        {"x", 0, false, 0, true},
        {"-1", 0, true, -1, false},
        {"0", 0, false, 0, false},
        {"2", 2, false, 0, false},
        {"8", 8, false, 0, false},
        {"9", 8, true, 9, false},
        {"1000", 8, true, 1000, false},
        {"5000", 8, true, 1000, false},
        {"99999999999", 0, false, 0, false}, // beyond 32 bits: 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("count text \"" + c.count + "\"");
        Payload payload = EightRows();
        payload.Put(0, std::string(2, '\0')).Count(c.count);
        // Counts longer than their two bytes run into name row 0, as the sender wrote them.
        const auto records = Deliver(payload.bytes_);
        ASSERT_TRUE(g_seen.has_value()) << "the callback is called";
        EXPECT_EQ(g_seen->count, c.delivered);
        EXPECT_TRUE(g_seen->restNull);
        std::vector<SeenDevice> expected = FirstRows(c.delivered);
        if (c.count.size() > 2 && c.delivered > 0) {
            expected[0].name = std::wstring(c.count.begin() + 2, c.count.end());
        }
        EXPECT_EQ(g_seen->devices, expected);
        std::vector<LogRecord> ours;
        bool sawParseFailure = false;
        for (const auto& record : records) {
            if (record.level == 4) {
                sawParseFailure = true;
            } else {
                ours.push_back(record);
            }
        }
        EXPECT_EQ(sawParseFailure, c.parseFails);
        EXPECT_EQ(ours, c.countLine ? std::vector<LogRecord>{kCountOutOfRows(c.loggedCount)} : std::vector<LogRecord>{});
    }
}

TEST(DeviceListHandler, RowContents)
{
    Payload payload;
    payload.Count("8")
        .Row(0, "Caf\xC3\xA9 tablet", "ID-\xE9", "12") // UTF-8 name; id in code page 1252
        .Row(1, "", "", "")                           // empty texts: empty strings and type 0
        .Row(2, "x", "y", " -7")
        .Row(3, "a", "b", "4x")
        // The last row without any zero: its type ends the message, so reading on would
        // touch the guard page.
        .Row(7, std::string(128, 'N'), std::string(96, 'I'), "999");
    Deliver(payload.bytes_);
    ASSERT_TRUE(g_seen.has_value());
    EXPECT_EQ(g_seen->count, 8);
    const std::vector<SeenDevice> expected = {
        {L"ID-\u00e9", L"Caf\u00e9 tablet", 12},
        {L"", L"", 0},
        {L"y", L"x", -7},
        {L"b", L"a", 4},
        {L"", L"", 0},
        {L"", L"", 0},
        {L"", L"", 0},
        {std::wstring(96, L'I'), std::wstring(128, L'N'), 999},
    };
    EXPECT_EQ(g_seen->devices, expected);
    EXPECT_TRUE(g_seen->restNull);
}

TEST(DeviceListHandler, RefusedRecordsAndNoCallback)
{
    {
        TagIPCMessageItem item;
        item.message = nullptr;
        LogCapture log;
        g_seen.reset();
        Helper()->wndShowDeviceCallback = TakeList;
        Helper()->OnRecvIPCMessageDevicesInfo(item);
        EXPECT_EQ(log.Records(),
                  (std::vector<LogRecord>{{3, L"[FD] OnRecvIPCMessageDevicesInfo msgItem.message is empty" +
                                                  std::wstring(kWhere)}}));
        EXPECT_FALSE(g_seen.has_value());
    }
    {
        // A record cut short is dropped rather than read past its end.
        Payload payload = EightRows();
        payload.Count("8");
        payload.bytes_.resize(1817);
        const auto records = Deliver(payload.bytes_);
        EXPECT_FALSE(g_seen.has_value());
        EXPECT_EQ(records,
                  (std::vector<LogRecord>{
                      {3, L"[FD] OnRecvIPCMessageDevicesInfo message shorter than the device record: 1817" +
                              std::wstring(kWhere)}}));
    }
    {
        Payload payload = EightRows();
        payload.Count("2");
        Helper()->wndShowDeviceCallback = nullptr;
        ipctest::GuardedBytes guarded(payload.bytes_);
        TagIPCMessageItem item;
        item.message = guarded.data();
        item.messageLength = guarded.size();
        LogCapture log;
        g_seen.reset();
        Helper()->OnRecvIPCMessageDevicesInfo(item);
        EXPECT_TRUE(log.Records().empty());
        EXPECT_FALSE(g_seen.has_value());
    }
}
