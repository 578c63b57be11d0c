#include "common/TextConvert.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace FerrydockIpc;
using testsupport::LogRecord;

TEST(TextConvert, Utf8BothWaysPerUnitAndStollS)
{
    EXPECT_EQ(WideToUtf8(L"\u00E9\u20AC\xD83D\xDE00"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf8ToWide("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" "a\xFF" "b"), L"\u00E9\u20AC\xD83D\xDE00" L"a\uFFFDb");
    EXPECT_TRUE(Utf8ToWide(std::string("ab\0cd", 5)) == L"ab" && WideToUtf8(std::wstring(L"ab\0cd", 5)) == "ab");
    // Every unit on its own: a surrogate pair becomes two three-byte sequences; zero units stay.
    const std::wstring units(L"\u007F\u0080\u07FF\u0800\xFFFF\xD83D\xDE00\0", 8);
    EXPECT_EQ(WideToUtf8PerUnit(units.data(), units.data() + units.size()),
              std::string("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xED\xA0\xBD\xED\xB8\x80", 18));
    EXPECT_TRUE(WideToAnsi(nullptr) == nullptr && AnsiToWide(nullptr) == nullptr);

    // StollS parses or logs, and a refused text leaves the value (99) as it was.
    const std::tuple<std::string, long long, const wchar_t*> cases[] = {
        {" \t-42abc", -42, nullptr}, {"-9223372036854775808", -9223372036854775807LL - 1, nullptr},
        {"", 99, L"stoll exception: invalid stoll argument(DE::StollS)"},
        {"9223372036854775808", 99, L"stoll exception: stoll argument out of range(DE::StollS)"},
    };
    for (const auto& [text, parsed, log] : cases) {
        testsupport::LogCapture capture;
        long long value = 99;
        EXPECT_EQ(DE::StollS(text, value), log == nullptr) << text;
        EXPECT_EQ(value, parsed) << text;
        EXPECT_EQ(capture.Records(), (log ? std::vector<LogRecord>{{4, log}} : std::vector<LogRecord>{})) << text;
    }
}
