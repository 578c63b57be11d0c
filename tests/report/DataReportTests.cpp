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
#include <string>
#include <vector>

namespace {

// Fails the next non-throwing array allocation of this program, the one the ANSI
// conversion makes, so that the conversion gives null.
std::atomic<bool> g_failNextNothrowArrayNew{false};

} // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    if (g_failNextNothrowArrayNew.exchange(false)) {
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

namespace {

using reporttest::RecordFile;
using testsupport::LogCapture;
using testsupport::LogRecord;

LogRecord Refusal(const wchar_t* message)
{
    return {4, std::wstring(message) + L"(FerrydockIpc::SendFerrydockDataReport)"};
}

std::string ReportRecord(int id, const std::string& escapedJson)
{
    return "{\"call\":\"Report\",\"id\":" + std::to_string(id) + ",\"json\":\"" + escapedJson + "\"}";
}

} // namespace

TEST(SendFerrydockDataReport, ChecksInOrderThenReportsTheTextInTheAnsiCodePage)
{
    ASSERT_EQ(GetACP(), 1252u) << "the test runner pins LANG=C.UTF-8, which gives code page 1252";
    RecordFile records;

    struct Case {
        const char* name;
        int id;
        const wchar_t* text;
        int length;
        bool failConversion;
        std::vector<LogRecord> log;
        std::vector<std::string> records;
    };
    const Case cases[] = {
        {"null text and negative id: only the first check speaks", -1, nullptr, -1, false,
         {Refusal(L"input id or msg is null")}, {}},
        {"null text", 3, nullptr, 4, false, {Refusal(L"input id or msg is null")}, {}},
        {"negative id", -1, L"{}", 2, false, {Refusal(L"input id or length is less than 0")}, {}},
        {"lowest id", INT_MIN, L"{}", 2, false, {Refusal(L"input id or length is less than 0")}, {}},
        {"negative length", 1, L"{}", -1, false, {Refusal(L"input id or length is less than 0")}, {}},
        {"conversion gives null", 1, L"{}", 2, true, {Refusal(L"trans wchar to char failed")}, {}},
        {"id 0 and length 0 are accepted", 0, L"{\"k\":\"v\"}", 0, false, {},
         {ReportRecord(0, R"({\"k\":\"v\"})")}},
        {"empty text is reported", 5, L"", 0, false, {}, {ReportRecord(5, "")}},
        {"text longer than length is reported whole", 6, L"{\"a\":[1,2,3]}", 3, false, {},
         {ReportRecord(6, R"({\"a\":[1,2,3]})")}},
        {"highest id", INT_MAX, L"[]", 2, false, {}, {ReportRecord(INT_MAX, "[]")}},
        // e-acute and the euro sign have bytes in 1252; the CJK character becomes '?'.
        {"non-ASCII text arrives in code page 1252", 7, L"{\"n\":\"caf\u00e9 \u20ac \u4e2d\"}", 9, false, {},
         {ReportRecord(7, "{\\\"n\\\":\\\"caf\xE9 \x80 ?\\\"}")}},
    };
    for (const Case& c : cases) {
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

TEST(InitFerrydockDataReport, InitialisesUnderTheApplicationNameSilently)
{
    const RecordFile records;
    const LogCapture capture;
    FerrydockIpc::InitFerrydockDataReport();
    FerrydockIpc::InitFerrydockDataReport();
    const std::string init = R"({"call":"Init","id":0,"app":"FerrydockUI"})";
    EXPECT_EQ(records.Lines(), (std::vector<std::string>{init, init}));
    EXPECT_TRUE(capture.Records().empty());
}

// The exports as the interface reaches them, by name from the loaded library.
TEST(DataReportExports, ForwardIdAndTextUnchanged)
{
    const RecordFile records;
    HMODULE module = LoadLibraryW(L"FerrydockUITrans.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    const auto init =
        reinterpret_cast<PFN_VoidVoid>(reinterpret_cast<void*>(GetProcAddress(module, "InitFerrydockDataReport")));
    const auto send = reinterpret_cast<PFN_SendFerrydockDataReport>(
        reinterpret_cast<void*>(GetProcAddress(module, "SendFerrydockDataReport")));
    ASSERT_NE(init, nullptr);
    ASSERT_NE(send, nullptr);
    init();
    send(42, L"{\"page\":\"main\"}", 15);
    send(-42, L"{}", 2);
    EXPECT_EQ(records.Lines(), (std::vector<std::string>{R"({"call":"Init","id":0,"app":"FerrydockUI"})",
                                                        ReportRecord(42, R"({\"page\":\"main\"})")}));
    FreeLibrary(module);
}
