#include "report/DataReport.h"

#include "FerrydockUITrans.h"
#include "RecordFile.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>

using reporttest::RecordFile;
using reporttest::ScopedVariable;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

// Fails the next non-throwing array allocation of this program, the one the ANSI
// conversion makes, so that the conversion gives null.
std::atomic<bool> g_failNextNothrowArrayNew{false};

} // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return g_failNextNothrowArrayNew.exchange(false) ? nullptr : std::malloc(size == 0 ? 1 : size);
}

namespace {

LogRecord Refusal(const wchar_t* message)
{
    return {4, std::wstring(message) + L"(FerrydockIpc::SendFerrydockDataReport)"};
}

std::string ReportRecord(int id, const std::string& escapedJson)
{
    return "{\"call\":\"Report\",\"id\":" + std::to_string(id) + ",\"json\":\"" + escapedJson + "\"}";
}

const std::string kInit = R"({"call":"Init","id":0,"app":"FerrydockUI"})";

} // namespace

TEST(SendFerrydockDataReport, ChecksInOrderThenReportsTheTextInTheAnsiCodePage)
{
    ASSERT_EQ(GetACP(), 1252u) << "the test runner pins LANG=C.UTF-8, which gives code page 1252";
    RecordFile records;
    const LogRecord isNull = Refusal(L"input id or msg is null");
    const LogRecord negative = Refusal(L"input id or length is less than 0");
    const struct {
        const char* name;
        int id;
        const wchar_t* text;
        int length;
        bool failConversion;
        std::vector<LogRecord> log;
        std::vector<std::string> records;
    } cases[] = {
        {"null text and negative id: only the first check speaks", -1, nullptr, -1, false, {isNull}, {}},
        {"null text", 3, nullptr, 4, false, {isNull}, {}},
        {"negative id", -1, L"{}", 2, false, {negative}, {}},
        {"lowest id", INT_MIN, L"{}", 2, false, {negative}, {}},
        {"negative length", 1, L"{}", -1, false, {negative}, {}},
        {"conversion gives null", 1, L"{}", 2, true, {Refusal(L"trans wchar to char failed")}, {}},
        {"id 0 and length 0 are accepted", 0, L"{\"k\":\"v\"}", 0, false, {}, {ReportRecord(0, R"({\"k\":\"v\"})")}},
        {"empty text is reported", 5, L"", 0, false, {}, {ReportRecord(5, "")}},
        {"text longer than length is reported whole", 6, L"{\"a\":[1,2,3]}", 3, false, {},
         {ReportRecord(6, R"({\"a\":[1,2,3]})")}},
        {"highest id", INT_MAX, L"[]", 2, false, {}, {ReportRecord(INT_MAX, "[]")}},
        // e-acute and the euro sign have bytes in 1252; the CJK character becomes '?'.
        {"non-ASCII text arrives in code page 1252", 7, L"{\"n\":\"caf\u00e9 \u20ac \u4e2d\"}", 9, false, {},
         {ReportRecord(7, "{\\\"n\\\":\\\"caf\xE9 \x80 ?\\\"}")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LogCapture capture;
        g_failNextNothrowArrayNew = c.failConversion;
        FerrydockIpc::SendFerrydockDataReport(c.id, c.text, c.length);
        g_failNextNothrowArrayNew = false;
        EXPECT_EQ(capture.Records(), c.log);
        EXPECT_EQ(records.Lines(), c.records);
        records.Clear();
    }
}

// The exports as the interface reaches them, by name from the loaded library; Init is silent.
TEST(DataReportExports, InitAndSendForwardIdAndTextUnchanged)
{
    const RecordFile records;
    HMODULE module = LoadLibraryW(L"FerrydockUITrans.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    const auto init =
        reinterpret_cast<PFN_VoidVoid>(reinterpret_cast<void*>(GetProcAddress(module, "InitFerrydockDataReport")));
    const auto send = reinterpret_cast<PFN_SendFerrydockDataReport>(
        reinterpret_cast<void*>(GetProcAddress(module, "SendFerrydockDataReport")));
    ASSERT_TRUE(init != nullptr && send != nullptr);
    const LogCapture capture;
    init();
    init();
    send(42, L"{\"page\":\"main\"}", 15);
    send(-42, L"{}", 2);
    EXPECT_EQ(records.Lines(), (std::vector<std::string>{kInit, kInit, ReportRecord(42, R"({\"page\":\"main\"})")}));
    EXPECT_EQ(capture.Records(), std::vector<LogRecord>{Refusal(L"input id or length is less than 0")});
    FreeLibrary(module);
}

// A variable set but empty is an empty answer; unset gives the stand-in's default
// (agreement "1", not the IT edition).
TEST(ProductQueries, AnswersMapExactly)
{
    const struct {
        const wchar_t* variable;
        bool (*query)();
        std::optional<std::wstring> answer;
        bool expected;
    } cases[] = {
        {L"FERRYDOCK_AGREE_CLAUSE", FerrydockIpc::IsAgreeClause, L"1", true},
        {L"FERRYDOCK_AGREE_CLAUSE", FerrydockIpc::IsAgreeClause, L"", false},
        {L"FERRYDOCK_AGREE_CLAUSE", FerrydockIpc::IsAgreeClause, L"0", false},
        {L"FERRYDOCK_AGREE_CLAUSE", FerrydockIpc::IsAgreeClause, L"2", false},
        {L"FERRYDOCK_AGREE_CLAUSE", FerrydockIpc::IsAgreeClause, L"11", false},
        {L"FERRYDOCK_AGREE_CLAUSE", FerrydockIpc::IsAgreeClause, L"10", false},
        {L"FERRYDOCK_AGREE_CLAUSE", FerrydockIpc::IsAgreeClause, L" 1", false},
        {L"FERRYDOCK_AGREE_CLAUSE", FerrydockIpc::IsAgreeClause, std::nullopt, true},
        {L"FERRYDOCK_IT_VERSION", FerrydockIpc::IsITVersion, L"1", true},
        {L"FERRYDOCK_IT_VERSION", FerrydockIpc::IsITVersion, L"0", false},
        {L"FERRYDOCK_IT_VERSION", FerrydockIpc::IsITVersion, L"", false},
        {L"FERRYDOCK_IT_VERSION", FerrydockIpc::IsITVersion, std::nullopt, false},
    };
    const LogCapture capture;
    for (const auto& c : cases) {
        const ScopedVariable variable(c.variable, c.answer);
        EXPECT_EQ(c.query(), c.expected) << testing::PrintToString(std::wstring(c.variable)) << " "
                                         << (c.answer ? testing::PrintToString(*c.answer) : "unset");
    }
    EXPECT_TRUE(capture.Records().empty());
}
