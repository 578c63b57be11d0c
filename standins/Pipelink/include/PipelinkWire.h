// Frames of the Pipelink protocol on a byte-mode named pipe.
//
// A stream of frames in each direction; many frames may share one write and one read,
// and a frame may be split across reads. Every integer is little-endian.
//
//   offset size  field
//        0    4  magic 0x4C504446 ("FDPL")
//        4    2  version, 2
//        6    2  kind: 1 hello, 2 message, 3 acknowledgement
//        8    4  frame length in bytes, this header included
//       12    4  srcModule
//       16    4  destModuleId
//       20    4  messageId
//       24    4  auxId1
//       28    4  auxId2
//       32    4  auxId3
//       36    4  auxValue
//       40    4  auxValue2
//       44    1  auxFlag, 0 or 1
//       45    1  hasMessage: 1 when the record's message pointer was not null
//       46    2  reserved, 0
//       48    4  headText length H (at most kMaxHeadBytes)
//       52    4  message length L (at most kMaxPayloadBytes; 0 when hasMessage is 0)
//       56    H  headText bytes
//     56+H    L  message bytes
//
// Hello (client to service, first frame of every connection): srcModule; auxFlag 1
// asks for the records addressed to srcModule; auxId1/auxValue the low/high halves of
// the client's 64-bit identity (random per client object); auxId2/auxId3 the low/high
// halves of the sequence number of the first message frame that follows. Message
// frames carry no number: the n-th after the hello has number first + n.
// Acknowledgement (service to client): auxId2/auxId3 the low/high halves of the
// number of the last message the service has taken on this connection (recorded and
// routed, or recognised as a duplicate).
//
// A receiver checks magic, version, kind, the reserved bytes, both flags, both bounds
// and that the frame length is exactly 56 + H + L. A frame that fails any check ends
// the connection: nothing after it can be trusted to start on a frame boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pipelink {

constexpr std::uint32_t kMagic = 0x4C504446;
constexpr std::uint16_t kVersion = 2;
constexpr std::uint16_t kKindHello = 1;
constexpr std::uint16_t kKindMessage = 2;
constexpr std::uint16_t kKindAck = 3;
constexpr std::size_t kHeaderBytes = 56;
constexpr std::size_t kMaxHeadBytes = 4096;
constexpr std::size_t kMaxPayloadBytes = 1024 * 1024;
constexpr std::size_t kMaxFrameBytes = kHeaderBytes + kMaxHeadBytes + kMaxPayloadBytes;

struct FrameFields {
    std::uint16_t kind = kKindMessage;
    std::int32_t srcModule = 0;
    std::int32_t destModuleId = 0;
    std::int32_t messageId = 0;
    std::int32_t auxId1 = 0;
    std::int32_t auxId2 = 0;
    std::int32_t auxId3 = 0;
    std::int32_t auxValue = 0;
    std::int32_t auxValue2 = 0;
    bool auxFlag = false;
    bool hasMessage = false;
};

struct Frame {
    FrameFields fields;
    std::string head;
    std::vector<char> payload;
};

FrameFields HelloFields(std::int32_t module, bool announce, std::uint64_t client, std::uint64_t firstSequence);
FrameFields AckFields(std::uint64_t lastSequence);
// The 64-bit values that hello and acknowledgement frames carry in two halves.
std::uint64_t HelloClient(const FrameFields& hello);
std::uint64_t CarriedSequence(const FrameFields& fields);

// Appends one frame; the caller has checked the bounds.
void AppendFrame(std::vector<char>& out, const FrameFields& fields, const char* head, std::size_t headLength,
                 const char* payload, std::size_t payloadLength);

enum class ParseResult { Frame, NeedMore, Malformed };

// Reads the frame at the start of data. Frame: frame and consumed are set.
// Malformed: reason says which check failed.
ParseResult ParseFrame(const char* data, std::size_t size, Frame& frame, std::size_t& consumed,
                       const char*& reason);

} // namespace pipelink
