// The frame layout compared with blocks built here, every check a receiver makes, and
// the outbound queue's blocks.
#include "PipelinkPump.h"
#include "PipelinkWire.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using pipelink::ParseResult;
using Bytes = std::vector<unsigned char>;

namespace {

void Put32(Bytes& out, std::initializer_list<std::uint32_t> values)
{
    for (const std::uint32_t v : values) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<unsigned char>(v >> (8 * i)));
        }
    }
}

// Magic, version 2 and kind 2, length; src 0xF00000, dest 0xF10000, id 0xF10003, aux
// -1/-2/-3, auxValue 7, auxValue2 9; flag 1, message present; head "hd", message "hi\0".
Bytes SampleFrame()
{
    Bytes f;
    Put32(f, {0x4C504446, 0x00020002, 56 + 2 + 3, 0xF00000, 0xF10000, 0xF10003, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 7,
              9, 0x0101, 2, 3});
    f.insert(f.end(), {'h', 'd', 'h', 'i', 0});
    return f;
}

struct Parsed {
    ParseResult result;
    pipelink::Frame frame;
    std::size_t consumed = 0;
    std::string reason;
};

template <typename Byte>
Parsed Parse(const std::vector<Byte>& bytes, std::size_t from = 0)
{
    Parsed p;
    const char* why = nullptr;
    p.result = pipelink::ParseFrame(reinterpret_cast<const char*>(bytes.data()) + from, bytes.size() - from, p.frame,
                                    p.consumed, why);
    p.reason = why != nullptr ? why : "";
    return p;
}

} // namespace

TEST(PipelinkWire, FrameBytesAreTheDocumentedLayout)
{
    const pipelink::FrameFields fields{pipelink::kKindMessage, 0xF00000, 0xF10000, 0xF10003, -1, -2, -3, 7, 9, true, true};
    std::vector<char> out = {'x'}; // appends after what is there
    pipelink::AppendFrame(out, fields, "hd", 2, "hi", 3);
    const Bytes expected = SampleFrame();
    ASSERT_EQ(Bytes(out.begin() + 1, out.end()), expected);

    // Parsed from a stream of two, it gives back every field: encoded again, the same bytes.
    Bytes twice = expected;
    twice.insert(twice.end(), expected.begin(), expected.end());
    const Parsed parsed = Parse(twice);
    ASSERT_EQ(parsed.result, ParseResult::Frame);
    EXPECT_EQ(parsed.consumed, expected.size());
    std::vector<char> again;
    pipelink::AppendFrame(again, parsed.frame.fields, parsed.frame.head.data(), parsed.frame.head.size(),
                          parsed.frame.payload.data(), parsed.frame.payload.size());
    EXPECT_EQ(Bytes(again.begin(), again.end()), expected);
    for (std::size_t cut = 0; cut < expected.size(); ++cut) {
        ASSERT_EQ(Parse(Bytes(expected.begin(), expected.begin() + static_cast<long>(cut))).result,
                  ParseResult::NeedMore) << cut;
    }
    EXPECT_EQ(Parse(Bytes{'G', 'E', 'T', ' '}).result, ParseResult::Malformed) << "refused once four bytes are in";
}

TEST(PipelinkWire, HelloAndAcknowledgementCarry64BitValuesInTwoHalves)
{
    std::vector<char> out;
    pipelink::AppendFrame(out, pipelink::HelloFields(0xF00000, true, 0x1122334455667788ull, 0x0000000A00000005ull),
                          nullptr, 0, nullptr, 0);
    pipelink::AppendFrame(out, pipelink::AckFields(0x80000000FFFFFFFEull), nullptr, 0, nullptr, 0);
    Bytes expected;
    Put32(expected, {0x4C504446, 0x00010002, 56, 0xF00000, 0, 0, 0x55667788, 5, 0xA, 0x11223344, 0, 1, 0, 0});
    Put32(expected, {0x4C504446, 0x00030002, 56, 0, 0, 0, 0, 0xFFFFFFFE, 0x80000000, 0, 0, 0, 0, 0});
    ASSERT_EQ(Bytes(out.begin(), out.end()), expected);
    const Parsed hello = Parse(expected);
    const Parsed ack = Parse(expected, 56);
    ASSERT_EQ(hello.result, ParseResult::Frame);
    ASSERT_EQ(ack.result, ParseResult::Frame);
    EXPECT_EQ(pipelink::HelloClient(hello.frame.fields), 0x1122334455667788ull);
    EXPECT_EQ(pipelink::CarriedSequence(hello.frame.fields), 0x0000000A00000005ull);
    EXPECT_EQ(pipelink::CarriedSequence(ack.frame.fields), 0x80000000FFFFFFFEull);
}

TEST(PipelinkWire, ReceiverRefusesMalformedFrames)
{
    struct Case {
        const char* name;
        std::size_t offset;
        Bytes bytes; // written over the sample frame at offset
        const char* reason;
    };
    const Case cases[] = {
        {"magic", 0, {'F', 'D', 'P', 'M'}, "bad magic"},
        {"version 1", 4, {1, 0}, "unknown version"},
        {"version 3", 4, {3, 0}, "unknown version"},
        {"kind 0", 6, {0, 0}, "unknown kind"},
        {"kind 4", 6, {4, 0}, "unknown kind"},
        {"flag 2", 44, {2}, "bad flag or reserved byte"},
        {"reserved", 46, {0, 1}, "bad flag or reserved byte"},
        {"head over bound", 48, {0x01, 0x10, 0, 0}, "length over bound"},
        {"payload over bound", 52, {0x01, 0x00, 0x10, 0}, "length over bound"},
        {"frame length short", 8, {60, 0, 0, 0}, "inconsistent frame length"},
        {"frame length long", 8, {62, 0, 0, 0}, "inconsistent frame length"},
        {"payload without message", 45, {0}, "payload without message"},
    };
    for (const Case& c : cases) {
        Bytes bytes = SampleFrame();
        std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + static_cast<long>(c.offset));
        const Parsed parsed = Parse(bytes);
        EXPECT_EQ(parsed.result, ParseResult::Malformed) << c.name;
        EXPECT_EQ(parsed.reason, c.reason) << c.name;
    }
}

// A flood queued for one peer leaves in blocks of about 64 KiB; an acknowledgement
// pushed afterwards goes out in the first block, and the stream is otherwise unchanged.
TEST(PipelinkWire, QueuedFramesLeaveInBlocksWithAnAcknowledgementAhead)
{
    pipelink::FrameQueue queue;
    pipelink::FrameFields fields;
    fields.hasMessage = true;
    const auto payload = [](std::size_t i) { return std::vector<char>(i == 1500 ? 200 * 1024 : i % 300, char(i)); };
    for (std::size_t i = 0; i < 3000; ++i) {
        fields.messageId = static_cast<std::int32_t>(i);
        queue.Append(fields, "h", 1, payload(i).data(), payload(i).size());
    }
    queue.PushFront(pipelink::AckFields(41));
    const std::size_t queuedFrames = queue.Frames();
    const std::size_t queuedBytes = queue.Bytes();

    std::vector<char> stream;
    std::vector<char> block;
    std::size_t frames = 0;
    std::size_t takenFrames = 0;
    while (queue.Take(block, frames)) {
        // The acknowledgement pushed ahead may take the first block past the size.
        const std::size_t limit = pipelink::kWriteBlockBytes + (stream.empty() ? pipelink::kHeaderBytes : 0);
        const bool oneLargeFrame = frames == 1 && block.size() > pipelink::kWriteBlockBytes;
        EXPECT_TRUE(block.size() <= limit || oneLargeFrame) << block.size();
        stream.insert(stream.end(), block.begin(), block.end());
        takenFrames += frames;
    }
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(takenFrames, queuedFrames);
    EXPECT_EQ(stream.size(), queuedBytes);

    std::size_t offset = 0;
    for (std::size_t i = 0; i <= 3000; ++i) {
        const Parsed p = Parse(stream, offset);
        ASSERT_EQ(p.result, ParseResult::Frame) << i;
        offset += p.consumed;
        if (i == 0) {
            EXPECT_EQ(p.frame.fields.kind, pipelink::kKindAck);
            EXPECT_EQ(pipelink::CarriedSequence(p.frame.fields), 41u);
        } else {
            ASSERT_EQ(p.frame.fields.messageId, static_cast<std::int32_t>(i - 1));
            ASSERT_EQ(p.frame.payload, payload(i - 1));
        }
    }
    EXPECT_EQ(offset, stream.size());
}
