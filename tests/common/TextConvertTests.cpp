#include "common/TextConvert.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace FerrydockIpc;
using testsupport::LogRecord;

TEST(TextConvert, Utf8BothWaysAndPerUnit)
{
    const struct {
        std::string utf8;
        std::wstring wide;
        bool toWide, toUtf8;
    } cases[] = {
        {"", L"", true, true}, {"\xC3\xA9\xE2\x82\xAC", L"\u00E9\u20AC", true, true},
        {"\xF0\x9F\x98\x80", L"\xD83D\xDE00", true, true}, {std::string("ab\0cd", 5), L"ab", true, false},
        {"ab", std::wstring(L"ab\0cd", 5), false, true}, {"a\xFF" "b", L"a\uFFFDb", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(!c.toWide || Utf8ToWide(c.utf8) == c.wide) << testing::PrintToString(c.utf8);
        EXPECT_TRUE(!c.toUtf8 || WideToUtf8(c.wide) == c.utf8) << testing::PrintToString(c.utf8);
    }
    // Every unit on its own: a surrogate pair becomes two three-byte sequences; zero units stay.
    const std::wstring units(L"\u007F\u0080\u07FF\u0800\xFFFF\xD83D\xDE00\0", 8);
    EXPECT_EQ(WideToUtf8PerUnit(units.data(), units.data() + units.size()),
              std::string("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xED\xA0\xBD\xED\xB8\x80", 18));
    EXPECT_TRUE(WideToAnsi(nullptr) == nullptr && AnsiToWide(nullptr) == nullptr);
}

TEST(TextConvert, StollSParsesOrLogsAndKeepsTheValue)
{
    const struct {
        std::string text;
        long long value; // 99: refused, left as it was
        const wchar_t* log;
    } cases[] = {
        {" \t-42abc", -42, nullptr}, {"-9223372036854775808", -9223372036854775807LL - 1, nullptr},
        {"", 99, L"stoll exception: invalid stoll argument(DE::StollS)"},
        {"9223372036854775808", 99, L"stoll exception: stoll argument out of range(DE::StollS)"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture capture;
        long long value = 99;
        EXPECT_EQ(DE::StollS(c.text, value), c.log == nullptr) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(capture.Records(), (c.log ? std::vector<LogRecord>{{4, c.log}} : std::vector<LogRecord>{})) << c.text;
    }
}
