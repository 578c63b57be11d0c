// The frame layout compared with blocks built here, and every check a receiver makes.
#include "PipelinkWire.h"

#include <gtest/gtest.h>

using pipelink::ParseResult;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes Words(std::initializer_list<std::uint32_t> values, const std::string& tail = {})
{
    Bytes out;
    for (const std::uint32_t v : values) {
        out.insert(out.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)});
    }
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// Magic, version 2 and kind 2, length; src, dest, id, aux -1/-2/-3, auxValue 7,
// auxValue2 9; flag 1, message present; head "hd", message "hi\0".
const Bytes kSample = Words({0x4C504446, 0x00020002, 61, 0xF00000, 0xF10000, 0xF10003, 0xFFFFFFFF, 0xFFFFFFFE,
                             0xFFFFFFFD, 7, 9, 0x0101, 2, 3},
                            std::string("hdhi\0", 5));

struct Parsed {
    ParseResult result;
    pipelink::Frame frame;
    std::size_t consumed = 0;
    std::string reason;
};

Parsed Parse(const Bytes& bytes)
{
    Parsed p;
    const char* why = nullptr;
    p.result = pipelink::ParseFrame(reinterpret_cast<const char*>(bytes.data()), bytes.size(), p.frame, p.consumed, why);
    p.reason = why != nullptr ? why : "";
    return p;
}

Bytes Encode(const pipelink::FrameFields& fields, const std::string& head, const std::string& payload)
{
    std::vector<char> out;
    pipelink::AppendFrame(out, fields, head.data(), head.size(), payload.data(), payload.size());
    return Bytes(out.begin(), out.end());
}

} // namespace

// Each frame encoded and compared whole, parsed back from a stream of two, encoded again;
// then every malformed variant of the sample refused with its reason.
TEST(PipelinkWire, FramesAreTheDocumentedLayoutAndMalformedOnesRefused)
{
    const std::pair<pipelink::FrameFields, Bytes> cases[] = {
        {{pipelink::kKindMessage, 0xF00000, 0xF10000, 0xF10003, -1, -2, -3, 7, 9, true, true}, kSample},
        {pipelink::HelloFields(0xF00000, true, 0x1122334455667788ull, 0x0000000A00000005ull),
         Words({0x4C504446, 0x00010002, 56, 0xF00000, 0, 0, 0x55667788, 5, 0xA, 0x11223344, 0, 1, 0, 0})},
        {pipelink::AckFields(0x80000000FFFFFFFEull),
         Words({0x4C504446, 0x00030002, 56, 0, 0, 0, 0, 0xFFFFFFFE, 0x80000000, 0, 0, 0, 0, 0})},
    };
    for (const auto& [fields, expected] : cases) {
        const bool sample = &fields == &cases[0].first;
        ASSERT_EQ(Encode(fields, sample ? "hd" : "", sample ? std::string("hi\0", 3) : ""), expected);
        Bytes twice = expected;
        twice.insert(twice.end(), expected.begin(), expected.end());
        const Parsed p = Parse(twice);
        ASSERT_EQ(std::make_pair(p.result, p.consumed), std::make_pair(ParseResult::Frame, expected.size()));
        EXPECT_EQ(Encode(p.frame.fields, p.frame.head, std::string(p.frame.payload.begin(), p.frame.payload.end())),
                  expected);
    }

    EXPECT_EQ(Parse(Bytes{'G', 'E', 'T', ' '}).reason, "bad magic") << "refused once four bytes are in";

    const std::string flag = "bad flag or reserved byte", length = "inconsistent frame length", bound = "length over bound";
    const std::tuple<std::size_t, Bytes, std::string> malformed[] = {
        {0, {'F', 'D', 'P', 'M'}, "bad magic"}, {4, {1, 0}, "unknown version"}, {4, {3, 0}, "unknown version"},
        {6, {0, 0}, "unknown kind"}, {6, {4, 0}, "unknown kind"}, {44, {2}, flag}, {45, {2}, flag}, {46, {1}, flag},
        {47, {1}, flag}, {48, {0x01, 0x10, 0, 0}, bound}, {52, {0x01, 0x00, 0x10, 0}, bound}, {8, {60, 0, 0, 0}, length},
        {8, {62, 0, 0, 0}, length}, {45, {0}, "payload without message"},
    };
    for (const auto& [offset, bytes, reason] : malformed) {
        Bytes frame = kSample;
        std::copy(bytes.begin(), bytes.end(), frame.begin() + long(offset));
        const Parsed p = Parse(frame);
        EXPECT_EQ(std::make_pair(p.result, p.reason), std::make_pair(ParseResult::Malformed, reason)) << offset;
    }
}
