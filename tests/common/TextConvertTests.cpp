#include "common/TextConvert.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

using namespace FerrydockIpc;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

} // namespace

TEST(Utf8Conversions, BothDirectionsAndPerUnit)
{
    enum { ToWide = 1, ToUtf8 = 2, Both = 3 };
    const struct {
        std::string utf8;
        std::wstring wide;
        int direction;
    } cases[] = {
        {"", L"", Both}, {"abc", L"abc", Both}, {Bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC}), L"\u00E9\u20AC", Both},
        {Bytes({0xF0, 0x9F, 0x98, 0x80}), L"\xD83D\xDE00", Both},
        {std::string("ab\0cd", 5), L"ab", ToWide}, {"ab", std::wstring(L"ab\0cd", 5), ToUtf8},
        {std::string("\0x", 2), L"", ToWide}, {Bytes({'a', 0xFF, 'b'}), L"a\uFFFDb", ToWide},
        {Bytes({0xEF, 0xBF, 0xBD, 'x'}), L"\xD800x", ToUtf8}, // a lone surrogate becomes U+FFFD
    };
    for (const auto& c : cases) {
        if (c.direction & ToWide) {
            EXPECT_EQ(Utf8ToWide(c.utf8), c.wide) << testing::PrintToString(c.utf8);
        }
        if (c.direction & ToUtf8) {
            EXPECT_EQ(WideToUtf8(c.wide), c.utf8) << testing::PrintToString(c.utf8);
        }
    }
    // Per unit: a surrogate pair becomes two three-byte sequences; zero units stay.
    const struct {
        std::wstring in;
        std::string out;
    } units[] = {
        {L"A", "A"}, {L"\u007F", Bytes({0x7F})}, {L"\u0080", Bytes({0xC2, 0x80})}, {L"\u00E9", Bytes({0xC3, 0xA9})},
        {L"\u07FF", Bytes({0xDF, 0xBF})}, {L"\u0800", Bytes({0xE0, 0xA0, 0x80})},
        {L"\u20AC", Bytes({0xE2, 0x82, 0xAC})}, {L"\xFFFF", Bytes({0xEF, 0xBF, 0xBF})},
        {L"\xD83D\xDE00", Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})},
        {std::wstring(L"a\0b", 3), std::string("a\0b", 3)}, {L"", ""},
    };
    for (const auto& c : units) {
        EXPECT_EQ(WideToUtf8PerUnit(c.in.data(), c.in.data() + c.in.size()), c.out) << testing::PrintToString(c.out);
    }
}

// Code page 1252 is what Wine gives for LANG=C.UTF-8, which the test runner pins.
TEST(AnsiConversions, CodePage1252)
{
    ASSERT_EQ(GetACP(), 1252u) << "the ANSI expectations below are for code page 1252";
    EXPECT_EQ(WideToAnsi(nullptr), nullptr);
    EXPECT_EQ(AnsiToWide(nullptr), nullptr);
    const struct {
        const wchar_t* wide;
        std::string ansi;
    } cases[] = {{L"", ""}, {L"abc", "abc"}, {L"\u00E9\u20AC", Bytes({0xE9, 0x80})}, {L"x\u4E2Dy", "x?y"}};
    for (const auto& c : cases) {
        std::unique_ptr<char[]> ansi(WideToAnsi(c.wide));
        ASSERT_NE(ansi, nullptr);
        EXPECT_EQ(std::string(ansi.get()), c.ansi);
        EXPECT_EQ(ansi[c.ansi.size()], '\0');
    }
    for (const auto& [in, out] : {std::pair{"\xE9\x80z", L"\u00E9\u20ACz"}, std::pair{"", L""}}) {
        std::unique_ptr<wchar_t[]> wide(AnsiToWide(in));
        ASSERT_NE(wide, nullptr);
        EXPECT_EQ(std::wstring(wide.get()), out);
    }
}

TEST(StollS, ParsesOrLogsAndKeepsValue)
{
    const std::wstring invalid = L"stoll exception: invalid stoll argument(DE::StollS)";
    const std::wstring range = L"stoll exception: stoll argument out of range(DE::StollS)";
    const struct {
        std::string text;
        bool ok;
        long long value;
        std::wstring log;
    } cases[] = {
        {"12345", true, 12345, L""}, {" \t\n\v\f\r-42abc", true, -42, L""}, {"+7", true, 7, L""},
        {"9223372036854775807", true, 9223372036854775807LL, L""},
        {"-9223372036854775808", true, -9223372036854775807LL - 1, L""}, {std::string("5\0" "1", 3), true, 5, L""},
        {"abc", false, 99, invalid}, {"", false, 99, invalid}, {"-", false, 99, invalid},
        {"9223372036854775808", false, 99, range}, {"-9223372036854775809", false, 99, range},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        long long value = 99;
        EXPECT_EQ(DE::StollS(c.text, value), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(capture.Records(), (c.log.empty() ? std::vector<LogRecord>{} : std::vector<LogRecord>{{4, c.log}}))
            << c.text;
    }
}

TEST(SplitString, PiecesBetweenRunsOfDelimitersAppended)
{
    const struct {
        std::wstring text, delimiters;
        std::vector<std::wstring> pieces;
    } cases[] = {
        {L"", L"|", {L""}}, {L"abc", L"|", {L"abc"}}, {L"a|b", L"|", {L"a", L"b"}}, {L"a|||b", L"|", {L"a", L"b"}},
        {L"|a", L"|", {L"", L"a"}}, {L"a||", L"|", {L"a"}}, {L"|", L"|", {L""}}, {L"a|b", L"", {L"a|b"}},
        {L"a,b;c", L",;", {L"a", L"b", L"c"}},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> out{L"kept"}; // appended to, not cleared
        SplitString(c.text, c.delimiters, out);
        out.erase(out.begin());
        EXPECT_EQ(out, c.pieces) << testing::PrintToString(c.text);
    }
}
