#include "PipelinkWire.h"

#include <cstring>

namespace pipelink {

namespace {

void Put32(char* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

void Put16(char* at, std::uint16_t value)
{
    at[0] = static_cast<char>(value & 0xFF);
    at[1] = static_cast<char>(value >> 8);
}

std::uint32_t Get32(const char* at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(at[i]);
    }
    return value;
}

std::uint16_t Get16(const char* at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(at[0]) | (static_cast<unsigned char>(at[1]) << 8));
}

std::int32_t GetInt(const char* at) { return static_cast<std::int32_t>(Get32(at)); }

std::int32_t Low(std::uint64_t value) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(value)); }
std::int32_t High(std::uint64_t value) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(value >> 32)); }
std::uint64_t Join(std::int32_t low, std::int32_t high)
{
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32) | static_cast<std::uint32_t>(low);
}

} // namespace

FrameFields HelloFields(std::int32_t module, bool announce, std::uint64_t client, std::uint64_t firstSequence)
{
    FrameFields fields;
    fields.kind = kKindHello;
    fields.srcModule = module;
    fields.auxFlag = announce;
    fields.auxId1 = Low(client);
    fields.auxValue = High(client);
    fields.auxId2 = Low(firstSequence);
    fields.auxId3 = High(firstSequence);
    return fields;
}

FrameFields AckFields(std::uint64_t lastSequence)
{
    FrameFields fields;
    fields.kind = kKindAck;
    fields.auxId2 = Low(lastSequence);
    fields.auxId3 = High(lastSequence);
    return fields;
}

std::uint64_t HelloClient(const FrameFields& hello) { return Join(hello.auxId1, hello.auxValue); }
std::uint64_t CarriedSequence(const FrameFields& fields) { return Join(fields.auxId2, fields.auxId3); }

void AppendFrame(std::vector<char>& out, const FrameFields& fields, const char* head, std::size_t headLength,
                 const char* payload, std::size_t payloadLength)
{
    const std::size_t start = out.size();
    const std::size_t total = kHeaderBytes + headLength + payloadLength;
    out.resize(start + total);
    char* at = out.data() + start;
    Put32(at + 0, kMagic);
    Put16(at + 4, kVersion);
    Put16(at + 6, fields.kind);
    Put32(at + 8, static_cast<std::uint32_t>(total));
    Put32(at + 12, static_cast<std::uint32_t>(fields.srcModule));
    Put32(at + 16, static_cast<std::uint32_t>(fields.destModuleId));
    Put32(at + 20, static_cast<std::uint32_t>(fields.messageId));
    Put32(at + 24, static_cast<std::uint32_t>(fields.auxId1));
    Put32(at + 28, static_cast<std::uint32_t>(fields.auxId2));
    Put32(at + 32, static_cast<std::uint32_t>(fields.auxId3));
    Put32(at + 36, static_cast<std::uint32_t>(fields.auxValue));
    Put32(at + 40, static_cast<std::uint32_t>(fields.auxValue2));
    at[44] = fields.auxFlag ? 1 : 0;
    at[45] = fields.hasMessage ? 1 : 0;
    at[46] = 0;
    at[47] = 0;
    Put32(at + 48, static_cast<std::uint32_t>(headLength));
    Put32(at + 52, static_cast<std::uint32_t>(payloadLength));
    if (headLength > 0) {
        std::memcpy(at + kHeaderBytes, head, headLength);
    }
    if (payloadLength > 0) {
        std::memcpy(at + kHeaderBytes + headLength, payload, payloadLength);
    }
}

ParseResult ParseFrame(const char* data, std::size_t size, Frame& frame, std::size_t& consumed, const char*& reason)
{
    if (size < kHeaderBytes) {
        // Check what is there already, so garbage is refused without waiting for more.
        if (size >= 4 && Get32(data) != kMagic) {
            reason = "bad magic";
            return ParseResult::Malformed;
        }
        return ParseResult::NeedMore;
    }
    const std::uint32_t total = Get32(data + 8);
    const std::uint32_t headLength = Get32(data + 48);
    const std::uint32_t payloadLength = Get32(data + 52);
    const std::uint16_t kind = Get16(data + 6);
    const auto flagByte = [](char c) { return c == 0 || c == 1; };
    if (Get32(data) != kMagic) {
        reason = "bad magic";
    } else if (Get16(data + 4) != kVersion) {
        reason = "unknown version";
    } else if (kind != kKindHello && kind != kKindMessage && kind != kKindAck) {
        reason = "unknown kind";
    } else if (!flagByte(data[44]) || !flagByte(data[45]) || data[46] != 0 || data[47] != 0) {
        reason = "bad flag or reserved byte";
    } else if (headLength > kMaxHeadBytes || payloadLength > kMaxPayloadBytes) {
        reason = "length over bound";
    } else if (total != kHeaderBytes + headLength + payloadLength) {
        reason = "inconsistent frame length";
    } else if (data[45] == 0 && payloadLength != 0) {
        reason = "payload without message";
    } else {
        reason = nullptr;
    }
    if (reason != nullptr) {
        return ParseResult::Malformed;
    }
    if (size < total) {
        return ParseResult::NeedMore;
    }
    FrameFields& f = frame.fields;
    f.kind = kind;
    f.srcModule = GetInt(data + 12);
    f.destModuleId = GetInt(data + 16);
    f.messageId = GetInt(data + 20);
    f.auxId1 = GetInt(data + 24);
    f.auxId2 = GetInt(data + 28);
    f.auxId3 = GetInt(data + 32);
    f.auxValue = GetInt(data + 36);
    f.auxValue2 = GetInt(data + 40);
    f.auxFlag = data[44] == 1;
    f.hasMessage = data[45] == 1;
    frame.head.assign(data + kHeaderBytes, headLength);
    frame.payload.assign(data + kHeaderBytes + headLength, data + total);
    consumed = total;
    return ParseResult::Frame;
}

} // namespace pipelink
