#include "common/TextConvert.h"
#include "support/ImportPatch.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>

using namespace FerrydockIpc;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

std::atomic<int> g_mbCalls{0};
decltype(&MultiByteToWideChar) g_realMultiByteToWideChar = nullptr;

int WINAPI CountingMultiByteToWideChar(UINT cp, DWORD flags, LPCCH in, int inLen, LPWSTR out, int outLen)
{
    ++g_mbCalls;
    return g_realMultiByteToWideChar(cp, flags, in, inLen, out, outLen);
}

std::string Bytes(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

} // namespace

TEST(Utf8ToWide, EmptyInputMakesNoSystemCall)
{
    testsupport::ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", "MultiByteToWideChar",
                                   reinterpret_cast<void*>(&CountingMultiByteToWideChar));
    ASSERT_TRUE(patch.active());
    g_realMultiByteToWideChar = patch.original<decltype(&MultiByteToWideChar)>();
    g_mbCalls = 0;
    EXPECT_EQ(Utf8ToWide(std::string()), L"");
    EXPECT_EQ(g_mbCalls, 0);
    EXPECT_EQ(Utf8ToWide("a"), L"a");
    EXPECT_EQ(g_mbCalls, 2) << "measure, then convert";
}

TEST(Utf8ToWide, Conversions)
{
    struct Case {
        const char* name;
        std::string in;
        std::wstring out;
    };
    const Case cases[] = {
        {"ascii", "abc", L"abc"},
        {"two-byte", Bytes({0xC3, 0xA9}), L"\u00E9"},
        {"three-byte", Bytes({0xE2, 0x82, 0xAC}), L"\u20AC"},
        {"four-byte becomes a surrogate pair", Bytes({0xF0, 0x9F, 0x98, 0x80}), L"\xD83D\xDE00"},
        {"embedded zero ends the text", std::string("ab\0cd", 5), L"ab"},
        {"leading zero gives empty", std::string("\0x", 2), L""},
        {"malformed byte becomes U+FFFD", Bytes({'a', 0xFF, 'b'}), L"a\uFFFDb"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.in), c.out) << c.name;
    }
}

TEST(WideToUtf8, Conversions)
{
    EXPECT_EQ(WideToUtf8(L""), "");
    EXPECT_EQ(WideToUtf8(L"abc"), "abc");
    EXPECT_EQ(WideToUtf8(L"\u00E9\u20AC"), Bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC}));
    EXPECT_EQ(WideToUtf8(L"\xD83D\xDE00"), Bytes({0xF0, 0x9F, 0x98, 0x80}));
    EXPECT_EQ(WideToUtf8(std::wstring(L"ab\0cd", 5)), "ab");
    EXPECT_EQ(WideToUtf8(L"\xD800x"), Bytes({0xEF, 0xBF, 0xBD, 'x'})) << "lone surrogate becomes U+FFFD";
}

// Code page 1252 is what Wine gives for LANG=C.UTF-8, which the test runner pins.
TEST(AnsiConversions, CodePage1252)
{
    ASSERT_EQ(GetACP(), 1252u) << "the ANSI expectations below are for code page 1252";
    EXPECT_EQ(WideToAnsi(nullptr), nullptr);
    EXPECT_EQ(AnsiToWide(nullptr), nullptr);

    struct Case {
        const wchar_t* wide;
        std::string ansi;
    };
    const Case toAnsi[] = {
        {L"", std::string()},
        {L"abc", "abc"},
        {L"\u00E9\u20AC", Bytes({0xE9, 0x80})},
        {L"x\u4E2Dy", "x?y"}, // not in the code page: its default character
    };
    for (const Case& c : toAnsi) {
        std::unique_ptr<char[]> ansi(WideToAnsi(c.wide));
        ASSERT_NE(ansi, nullptr);
        EXPECT_EQ(std::string(ansi.get()), c.ansi);
        EXPECT_EQ(ansi[c.ansi.size()], '\0');
    }

    std::unique_ptr<wchar_t[]> wide(AnsiToWide("\xE9\x80z"));
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(std::wstring(wide.get()), L"\u00E9\u20ACz");
    std::unique_ptr<wchar_t[]> empty(AnsiToWide(""));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], L'\0');
}

TEST(WideToUtf8PerUnit, EncodesEveryUnitOnItsOwn)
{
    struct Case {
        std::wstring in;
        std::string out;
    };
    const Case cases[] = {
        {L"A", "A"},
        {L"\u007F", Bytes({0x7F})},
        {L"\u0080", Bytes({0xC2, 0x80})},
        {L"\u00E9", Bytes({0xC3, 0xA9})},
        {L"\u07FF", Bytes({0xDF, 0xBF})},
        {L"\u0800", Bytes({0xE0, 0xA0, 0x80})},
        {L"\u20AC", Bytes({0xE2, 0x82, 0xAC})},
        {L"\xD83D\xDE00", Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})},
        {L"\xFFFF", Bytes({0xEF, 0xBF, 0xBF})},
        {std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
        {L"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WideToUtf8PerUnit(c.in.data(), c.in.data() + c.in.size()), c.out);
    }
}

TEST(StollS, ParsesOrLogsAndKeepsValue)
{
    struct Case {
        std::string text;
        bool ok;
        long long value;
        const wchar_t* log;
    };
    const Case cases[] = {
        {"12345", true, 12345, nullptr},
        {" \t\n\v\f\r-42abc", true, -42, nullptr},
        {"+7", true, 7, nullptr},
        {"9223372036854775807", true, 9223372036854775807LL, nullptr},
        {"-9223372036854775808", true, -9223372036854775807LL - 1, nullptr},
        {"abc", false, 99, L"stoll exception: invalid stoll argument(DE::StollS)"},
        {"", false, 99, L"stoll exception: invalid stoll argument(DE::StollS)"},
        {"-", false, 99, L"stoll exception: invalid stoll argument(DE::StollS)"},
        {"9223372036854775808", false, 99, L"stoll exception: stoll argument out of range(DE::StollS)"},
        {"-9223372036854775809", false, 99, L"stoll exception: stoll argument out of range(DE::StollS)"},
        {std::string("5\0" "1", 3), true, 5, nullptr},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        long long value = 99;
        EXPECT_EQ(DE::StollS(c.text, value), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        if (c.log != nullptr) {
            EXPECT_EQ(capture.Records(), (std::vector<LogRecord>{{4, c.log}})) << c.text;
        } else {
            EXPECT_TRUE(capture.Records().empty()) << c.text;
        }
    }
}

TEST(SplitString, PiecesBetweenRunsOfDelimiters)
{
    struct Case {
        std::wstring text;
        std::wstring delimiters;
        std::vector<std::wstring> pieces;
    };
    const Case cases[] = {
        {L"", L"|", {L""}},
        {L"abc", L"|", {L"abc"}},
        {L"a|b", L"|", {L"a", L"b"}},
        {L"a|||b", L"|", {L"a", L"b"}},
        {L"|a", L"|", {L"", L"a"}},
        {L"a||", L"|", {L"a"}},
        {L"|", L"|", {L""}},
        {L"a|b", L"", {L"a|b"}},
        {L"a,b;c", L",;", {L"a", L"b", L"c"}},
    };
    for (const Case& c : cases) {
        std::vector<std::wstring> out;
        SplitString(c.text, c.delimiters, out);
        EXPECT_EQ(out, c.pieces) << testing::PrintToString(c.text);
    }
    std::vector<std::wstring> appended{L"kept"};
    SplitString(L"x", L"|", appended);
    EXPECT_EQ(appended, (std::vector<std::wstring>{L"kept", L"x"})) << "the list is appended to, not cleared";
}
