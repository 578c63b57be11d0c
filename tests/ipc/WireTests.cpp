// The frame layout compared with blocks built here, every check a receiver makes, and
// the outbound queue's blocks.
#include "PipelinkPump.h"
#include "PipelinkWire.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

void Put32(std::vector<unsigned char>& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
}

// kind 2, src 0xF00000, dest 0xF10000, id 0xF10003, aux -1/-2/-3, auxValue 7, auxValue2 9,
// flag 1, message "hi\0" after head "hd".
std::vector<unsigned char> SampleFrame()
{
    std::vector<unsigned char> f;
    Put32(f, 0x4C504446);
    f.insert(f.end(), {2, 0, 2, 0});
    Put32(f, 56 + 2 + 3);
    for (std::uint32_t v : {0xF00000u, 0xF10000u, 0xF10003u, 0xFFFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFDu, 7u, 9u}) {
        Put32(f, v);
    }
    f.insert(f.end(), {1, 1, 0, 0});
    Put32(f, 2);
    Put32(f, 3);
    f.insert(f.end(), {'h', 'd', 'h', 'i', 0});
    return f;
}

pipelink::ParseResult Parse(const std::vector<unsigned char>& bytes, pipelink::Frame& frame, std::size_t& consumed,
                            std::string& reason)
{
    const char* why = nullptr;
    const auto result = pipelink::ParseFrame(reinterpret_cast<const char*>(bytes.data()), bytes.size(), frame,
                                             consumed, why);
    reason = why != nullptr ? why : "";
    return result;
}

} // namespace

TEST(PipelinkWire, FrameBytesAreTheDocumentedLayout)
{
    pipelink::FrameFields fields;
    fields.kind = pipelink::kKindMessage;
    fields.srcModule = 0xF00000;
    fields.destModuleId = 0xF10000;
    fields.messageId = 0xF10003;
    fields.auxId1 = -1;
    fields.auxId2 = -2;
    fields.auxId3 = -3;
    fields.auxValue = 7;
    fields.auxValue2 = 9;
    fields.auxFlag = true;
    fields.hasMessage = true;
    std::vector<char> out = {'x'}; // appends after what is there
    pipelink::AppendFrame(out, fields, "hd", 2, "hi", 3);
    const std::vector<unsigned char> expected = SampleFrame();
    ASSERT_EQ(out.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<unsigned char>(out.begin() + 1, out.end()), expected);

    pipelink::Frame frame;
    std::size_t consumed = 0;
    std::string reason;
    ASSERT_EQ(Parse(expected, frame, consumed, reason), pipelink::ParseResult::Frame);
    EXPECT_EQ(consumed, expected.size());
    EXPECT_EQ(frame.fields.auxId2, -2);
    EXPECT_EQ(frame.fields.auxValue2, 9);
    EXPECT_TRUE(frame.fields.auxFlag);
    EXPECT_EQ(frame.head, "hd");
    EXPECT_EQ(frame.payload, (std::vector<char>{'h', 'i', 0}));
}

TEST(PipelinkWire, HelloAndAcknowledgementCarry64BitValuesInTwoHalves)
{
    std::vector<char> out;
    pipelink::AppendFrame(out, pipelink::HelloFields(0xF00000, true, 0x1122334455667788ull, 0x0000000A00000005ull),
                          nullptr, 0, nullptr, 0);
    pipelink::AppendFrame(out, pipelink::AckFields(0x80000000FFFFFFFEull), nullptr, 0, nullptr, 0);
    std::vector<unsigned char> expected;
    for (const std::uint32_t kind : {1u, 3u}) {
        Put32(expected, 0x4C504446);
        Put32(expected, 2 | (kind << 16));
        Put32(expected, 56);
        const bool hello = kind == 1;
        for (std::uint32_t v : {hello ? 0xF00000u : 0u, 0u, 0u, hello ? 0x55667788u : 0u,
                                hello ? 5u : 0xFFFFFFFEu, hello ? 0xAu : 0x80000000u, hello ? 0x11223344u : 0u, 0u}) {
            Put32(expected, v);
        }
        Put32(expected, hello ? 1u : 0u);
        Put32(expected, 0);
        Put32(expected, 0);
    }
    ASSERT_EQ(std::vector<unsigned char>(out.begin(), out.end()), expected);
    pipelink::Frame hello;
    pipelink::Frame ack;
    std::size_t consumed = 0;
    std::string reason;
    ASSERT_EQ(Parse(expected, hello, consumed, reason), pipelink::ParseResult::Frame);
    ASSERT_EQ(Parse(std::vector<unsigned char>(expected.begin() + 56, expected.end()), ack, consumed, reason),
              pipelink::ParseResult::Frame);
    EXPECT_EQ(pipelink::HelloClient(hello.fields), 0x1122334455667788ull);
    EXPECT_EQ(pipelink::CarriedSequence(hello.fields), 0x0000000A00000005ull);
    EXPECT_EQ(pipelink::CarriedSequence(ack.fields), 0x80000000FFFFFFFEull);
}

TEST(PipelinkWire, ReceiverRefusesMalformedFrames)
{
    struct Case {
        const char* name;
        std::size_t offset;
        std::vector<unsigned char> bytes; // written over the sample frame at offset
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
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> bytes = SampleFrame();
        std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + static_cast<long>(c.offset));
        pipelink::Frame frame;
        std::size_t consumed = 0;
        std::string reason;
        EXPECT_EQ(Parse(bytes, frame, consumed, reason), pipelink::ParseResult::Malformed);
        EXPECT_EQ(reason, c.reason);
    }
}

TEST(PipelinkWire, SplitsAStreamAtFrameBoundaries)
{
    const std::vector<unsigned char> one = SampleFrame();
    std::vector<unsigned char> stream = one;
    stream.insert(stream.end(), one.begin(), one.end());
    for (std::size_t cut = 0; cut < one.size(); ++cut) {
        pipelink::Frame frame;
        std::size_t consumed = 0;
        std::string reason;
        const std::vector<unsigned char> part(one.begin(), one.begin() + static_cast<long>(cut));
        ASSERT_EQ(Parse(part, frame, consumed, reason), pipelink::ParseResult::NeedMore) << cut;
    }
    pipelink::Frame frame;
    std::size_t consumed = 0;
    std::string reason;
    ASSERT_EQ(Parse(stream, frame, consumed, reason), pipelink::ParseResult::Frame);
    EXPECT_EQ(consumed, one.size());
    // Garbage is refused as soon as its first four bytes are in.
    EXPECT_EQ(Parse({'G', 'E', 'T', ' '}, frame, consumed, reason), pipelink::ParseResult::Malformed);
}

// A flood queued for one peer leaves in blocks of about 64 KiB; an acknowledgement
// pushed afterwards goes out in the first block, and the stream is otherwise unchanged.
TEST(PipelinkWire, QueuedFramesLeaveInBlocksWithAnAcknowledgementAhead)
{
    pipelink::FrameQueue queue;
    pipelink::FrameFields fields;
    fields.hasMessage = true;
    std::vector<std::size_t> payloadSizes;
    for (int i = 0; i < 3000; ++i) {
        payloadSizes.push_back(i == 1500 ? 200 * 1024 : static_cast<std::size_t>(i % 300));
    }
    for (std::size_t i = 0; i < payloadSizes.size(); ++i) {
        fields.messageId = static_cast<std::int32_t>(i);
        const std::vector<char> payload(payloadSizes[i], static_cast<char>(i));
        queue.Append(fields, "h", 1, payload.data(), payload.size());
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
    std::vector<pipelink::Frame> parsed;
    for (;;) {
        pipelink::Frame frame;
        std::size_t consumed = 0;
        const char* reason = nullptr;
        if (pipelink::ParseFrame(stream.data() + offset, stream.size() - offset, frame, consumed, reason) !=
            pipelink::ParseResult::Frame) {
            break;
        }
        offset += consumed;
        parsed.push_back(std::move(frame));
    }
    ASSERT_EQ(offset, stream.size());
    ASSERT_EQ(parsed.size(), 1 + payloadSizes.size());
    EXPECT_EQ(parsed[0].fields.kind, pipelink::kKindAck);
    EXPECT_EQ(pipelink::CarriedSequence(parsed[0].fields), 41u);
    for (std::size_t i = 0; i < payloadSizes.size(); ++i) {
        ASSERT_EQ(parsed[1 + i].fields.messageId, static_cast<std::int32_t>(i));
        ASSERT_EQ(parsed[1 + i].payload, std::vector<char>(payloadSizes[i], static_cast<char>(i)));
    }
}
