// The device list: a fixed 1818-byte record of up to eight rows, unpacked into the
// interface's DevicesInfo list for the duration of one callback.
//
// Where the record cannot be trusted:
// - a message shorter than 1818 bytes is dropped with a notice (no callback);
// - the count text is read up to its first zero within the message; a negative count
//   gives an empty list, a count from 9 to 1000 is limited to the 8 rows the record
//   has (both with a notice, and the callback is still called);
// - a row text without a zero within its row ends at the row's end.
#include "common/Log.h"
#include "common/TextConvert.h"
#include "ipc/IPCHelper.h"
#include "ipc/InboundText.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace FerrydockIpc {

namespace {

constexpr const char* kWhere = "FerrydockIpc::IPCHelper::OnRecvIPCMessageDevicesInfo";
constexpr std::size_t kRecordBytes = 1818;
constexpr int kRows = 8;
constexpr std::size_t kNameOffset = 2, kNameWidth = 128;
constexpr std::size_t kIdOffset = 1026, kIdWidth = 96;
constexpr std::size_t kTypeOffset = 1794, kTypeWidth = 3;
constexpr int kEinval = 22; // the copy's invalid-argument code

// The count as the sender wrote it: unparsable or beyond 32 bits gives 0, above the
// list's size gives the list's size.
long long ParseCount(const std::string& text)
{
    long long value = 0;
    if (!DE::StollS(text, value) || value < INT_MIN || value > INT_MAX) {
        return 0;
    }
    return value > FERRYDOCK_MAX_DEVICES ? FERRYDOCK_MAX_DEVICES : value;
}

// Leading white space and a sign skipped, digits up to the first non-digit; no digits gives 0.
int LeadingInteger(const std::string& text)
{
    std::size_t at = text.find_first_not_of(" \t\n\v\f\r");
    if (at == std::string::npos) {
        return 0;
    }
    const bool negative = text[at] == '-';
    at += (text[at] == '-' || text[at] == '+') ? 1 : 0;
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && value <= INT_MAX; ++at) {
        value = value * 10 + (text[at] - '0');
    }
    value = negative ? -value : value;
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

std::string RowText(const char* record, std::size_t offset, std::size_t width, int row)
{
    return BoundedText(record + offset + width * static_cast<std::size_t>(row), width);
}

wchar_t* CopyWithTerminator(const std::wstring& text)
{
    wchar_t* copy = new (std::nothrow) wchar_t[text.size() + 1];
    if (copy != nullptr) {
        std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    }
    return copy;
}

// The records of one message and every string they point to.
class DeviceRecords {
public:
    explicit DeviceRecords(int count) : count_(count), records_(new (std::nothrow) DeviceInfo[count > 0 ? count : 1]()) {}
    ~DeviceRecords()
    {
        for (int i = 0; records_ && i < count_; ++i) {
            delete[] records_[i].id;
            delete[] records_[i].name;
        }
    }
    DeviceRecords(const DeviceRecords&) = delete;
    DeviceRecords& operator=(const DeviceRecords&) = delete;

    explicit operator bool() const { return records_ != nullptr; }
    DeviceInfo& operator[](int i) { return records_[i]; }

private:
    int count_;
    std::unique_ptr<DeviceInfo[]> records_;
};

int RowsToRead(long long count)
{
    if (count < 0 || count > kRows) {
        Log(LogLevel::Notice, kWhere, "[FD] OnRecvIPCMessageDevicesInfo device count out of rows: ", count);
    }
    return count < 0 ? 0 : count > kRows ? kRows : static_cast<int>(count);
}

} // namespace

void IPCHelper::OnRecvIPCMessageDevicesInfo(TagIPCMessageItem& msgItem)
{
    if (msgItem.message == nullptr) {
        Log(LogLevel::Notice, kWhere, "[FD] OnRecvIPCMessageDevicesInfo msgItem.message is empty");
        return;
    }
    if (MessageBytes(msgItem) < kRecordBytes) {
        Log(LogLevel::Notice, kWhere, "[FD] OnRecvIPCMessageDevicesInfo message shorter than the device record: ",
            msgItem.messageLength);
        return;
    }
    const char* record = msgItem.message;
    const int count = RowsToRead(ParseCount(BoundedText(record, MessageBytes(msgItem))));

    DevicesInfo list{};
    DeviceRecords records(count);
    if (!records) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        DeviceInfo& device = records[i];
        device.name = CopyWithTerminator(Utf8ToWide(RowText(record, kNameOffset, kNameWidth, i)));
        if (device.name == nullptr) {
            Log(LogLevel::Notice, kWhere, "memcpy_s failed in name, err=", kEinval);
            return;
        }
        device.id = AnsiToWide(RowText(record, kIdOffset, kIdWidth, i).c_str());
        device.type = LeadingInteger(RowText(record, kTypeOffset, kTypeWidth, i));
        list.devices[i] = &device;
    }
    list.count = count;
    if (const WndShowDeviceCallback callback = wndShowDeviceCallback.load()) {
        callback(&list);
    }
}

} // namespace FerrydockIpc
