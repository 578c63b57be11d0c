#include "Messages.h"

#include "DeviceList.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace service {

namespace {

enum class Encoding { None, Utf8, Ansi, Utf16, Integer, Devices };

struct Known {
    Direction direction;
    int id;
    const char* name;
    Encoding encoding;
};

const Known kKnown[] = {
    {Direction::Out, 0xF10001, "WndShowFinsh", Encoding::None},
    {Direction::Out, 0xF10003, "SendFileInfoAllToFilesystem", Encoding::Utf8},
    {Direction::Out, 0xF10004, "SendFinishTransferMesseage", Encoding::None},
    {Direction::Out, 0xF10007, "SendArrayNumToFilesystem", Encoding::Ansi},
    {Direction::Out, 0xF10008, "SendSaveFileToFilesystem", Encoding::Utf8},
    {Direction::Out, 0xF1000B, "SendWindowClose", Encoding::None},
    {Direction::Out, 0x530022, "SendRecentToMessageUI", Encoding::None},
    {Direction::Out, 0x1502BE, "SendDeviceGetToFilesystem", Encoding::None},
    {Direction::Out, 0x42725, "SendToOpenSettingCenter", Encoding::Utf8},
    {Direction::Out, 0x4271B, "SendToOpenUseMachineSkills", Encoding::Utf16},
    {Direction::In, 0xF00001, "WndShowCallback", Encoding::Integer},
    {Direction::In, 0xF00002, "WndShowFileCallback", Encoding::Utf8},
    {Direction::In, 0x1502BE, "WndShowDeviceCallback", Encoding::Devices},
    {Direction::In, 0xF10005, "WndShowSendFilesCallback", Encoding::Utf8},
    {Direction::In, 0xF10006, "WndShowRecieveFilesProgressCallback", Encoding::Utf8},
    {Direction::In, 0xF10007, "WndShowRecieveFilesCallback", Encoding::Utf8},
    {Direction::In, 0xF10008, "WndShowRecieveFindSaveFileCallback", Encoding::Utf8},
    {Direction::In, 0xF10009, "WndShowRecieveFindDeviceTypeCallback", Encoding::Utf8},
};

const Known* Find(Direction direction, int id)
{
    for (const Known& known : kKnown) {
        if (known.direction == direction && known.id == id) {
            return &known;
        }
    }
    return nullptr;
}

} // namespace

std::string WideToUtf8(const std::wstring& wide)
{
    const int count = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), count, nullptr, nullptr);
    return narrow;
}

std::wstring NarrowToWide(UINT codePage, const std::string& narrow)
{
    const int count = MultiByteToWideChar(codePage, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    MultiByteToWideChar(codePage, 0, narrow.data(), static_cast<int>(narrow.size()), wide.data(), count);
    return wide;
}

namespace {

// The text of bytes [offset, offset + width) up to its first zero.
std::string Cut(const std::vector<char>& bytes, std::size_t offset, std::size_t width)
{
    if (offset >= bytes.size()) {
        return {};
    }
    const std::size_t end = std::min(bytes.size(), offset + width);
    const char* start = bytes.data() + offset;
    const void* zero = std::memchr(start, 0, end - offset);
    return std::string(start, zero != nullptr ? static_cast<const char*>(zero) : bytes.data() + end);
}

// Up to eight rows, as many as the count text says; the bridge reads no further.
std::string DeviceText(const std::vector<char>& payload)
{
    const long count = std::strtol(Cut(payload, 0, 2).c_str(), nullptr, 10);
    std::string text = std::to_string(count);
    for (long i = 0; i < count && i < static_cast<long>(kMaxDevices); ++i) {
        text += "\n" + WideToUtf8(NarrowToWide(CP_UTF8, Cut(payload, 2 + 128 * i, 128))) + "|" +
                AnsiToUtf8(Cut(payload, 1026 + 96 * i, 96)) + "|" +
                std::to_string(std::strtol(Cut(payload, 1794 + 3 * i, 3).c_str(), nullptr, 10));
    }
    return text;
}

std::optional<std::string> Decode(Encoding encoding, const std::vector<char>& payload)
{
    switch (encoding) {
    case Encoding::Utf8:
        return WideToUtf8(NarrowToWide(CP_UTF8, Cut(payload, 0, payload.size())));
    case Encoding::Ansi:
        return AnsiToUtf8(Cut(payload, 0, payload.size()));
    case Encoding::Utf16: {
        std::wstring wide;
        for (std::size_t i = 0; i + 1 < payload.size() && (payload[i] != 0 || payload[i + 1] != 0); i += 2) {
            wide += static_cast<wchar_t>(static_cast<unsigned char>(payload[i]) |
                                         static_cast<unsigned char>(payload[i + 1]) << 8);
        }
        return WideToUtf8(wide);
    }
    case Encoding::Integer: {
        if (payload.size() < 4) {
            return std::nullopt;
        }
        std::int32_t value = 0;
        std::memcpy(&value, payload.data(), 4); // little-endian, as the bridge reads it
        return std::to_string(value);
    }
    case Encoding::Devices:
        return payload.size() >= kDevicePayloadBytes ? std::optional<std::string>(DeviceText(payload)) : std::nullopt;
    case Encoding::None:
        break;
    }
    return std::nullopt;
}

} // namespace

const char* MessageName(Direction direction, int messageId)
{
    const Known* known = Find(direction, messageId);
    return known != nullptr ? known->name : nullptr;
}

int OutboundId(const std::string& exportName)
{
    for (const Known& known : kKnown) {
        if (known.direction == Direction::Out && exportName == known.name) {
            return known.id;
        }
    }
    return 0;
}

std::string OutboundNames()
{
    std::string names;
    for (const Known& known : kKnown) {
        if (known.direction == Direction::Out) {
            names += (names.empty() ? "" : ", ") + std::string(known.name);
        }
    }
    return names;
}

std::optional<std::string> MessageText(Direction direction, const pipelink::Frame& frame)
{
    const Known* known = Find(direction, frame.fields.messageId);
    if (known == nullptr || !frame.fields.hasMessage) {
        return std::nullopt;
    }
    return Decode(known->encoding, frame.payload);
}

std::wstring Utf8ToWide(const std::string& utf8) { return NarrowToWide(CP_UTF8, utf8); }

std::string AnsiToUtf8(const std::string& ansi) { return WideToUtf8(NarrowToWide(CP_ACP, ansi)); }

std::string Utf8ToAnsi(const std::string& utf8)
{
    const std::wstring wide = NarrowToWide(CP_UTF8, utf8);
    const int count =
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<std::size_t>(count), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), ansi.data(), count, nullptr, nullptr);
    return ansi;
}

std::string HumanLine(const Traffic& traffic, int messageId)
{
    std::string line = traffic.direction == Direction::Out ? "out " : "in ";
    if (traffic.name != nullptr) {
        line += traffic.name;
    } else {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%X", static_cast<unsigned>(messageId));
        line += hex;
    }
    if (traffic.text) {
        line += " \"";
        for (const char c : *traffic.text) {
            line += c == '\n' ? std::string("\\n") : std::string(1, c);
        }
        line += '"';
    }
    return line;
}

} // namespace service
