// The reporting and product-query exports, by name from the loaded library as the interface
// reaches them; what reaches the stand-ins is read back from their record file.
#include "report/DataReport.h"

#include "FerrydockUITrans.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <new>

using testsupport::LogRecord;
using Lines = std::vector<std::string>;

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

// The lines the stand-ins appended to their record file since the last call.
Lines TakeRecords()
{
    SetEnvironmentVariableW(L"FERRYDOCK_REPORT_FILE", L"report-test.jsonl");
    Lines lines;
    {
        std::ifstream file("report-test.jsonl", std::ios::binary);
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
    }
    DeleteFileW(L"report-test.jsonl");
    return lines;
}

LogRecord Refusal(const std::wstring& message) { return {4, message + L"(FerrydockIpc::SendFerrydockDataReport)"}; }

std::string Report(int id, const std::string& escapedJson)
{
    return "{\"call\":\"Report\",\"id\":" + std::to_string(id) + ",\"json\":\"" + escapedJson + "\"}";
}

template <typename Fn>
Fn Export(const char* name)
{
    static const HMODULE module = LoadLibraryW(L"FerrydockUITrans.dll");
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

} // namespace

TEST(SendFerrydockDataReport, ChecksInOrderThenReportsTheTextInTheAnsiCodePage)
{
    ASSERT_EQ(GetACP(), 1252u) << "the test runner pins LANG=C.UTF-8, which gives code page 1252";
    const LogRecord negative = Refusal(L"input id or length is less than 0");
    const struct {
        int id;
        const wchar_t* text;
        int length;
        bool failConversion;
        std::vector<LogRecord> log;
        Lines records;
    } cases[] = {
        {-1, nullptr, -1, false, {Refusal(L"input id or msg is null")}, {}}, // only the first check speaks
        {-1, L"{}", 2, false, {negative}, {}},
        {1, L"{}", -1, false, {negative}, {}},
        {1, L"{}", 2, true, {Refusal(L"trans wchar to char failed")}, {}}, // in this program's copy
        {0, L"", 0, false, {}, {Report(0, "")}},
        {INT_MAX, L"{\"a\":[1,2,3]}", 3, false, {}, {Report(INT_MAX, R"({\"a\":[1,2,3]})")}}, // length bounds nothing
        // e-acute and the euro sign have bytes in 1252; the CJK character becomes '?'.
        {7, L"caf\u00e9 \u20ac \u4e2d", 9, false, {}, {Report(7, "caf\xE9 \x80 ?")}},
    };
    TakeRecords();
    Export<PFN_VoidVoid>("InitFerrydockDataReport")();
    EXPECT_EQ(TakeRecords(), Lines{R"({"call":"Init","id":0,"app":"FerrydockUI"})"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const testsupport::LogCapture capture;
        g_failNextNothrowArrayNew = c.failConversion;
        const auto send = Export<PFN_SendFerrydockDataReport>("SendFerrydockDataReport");
        (c.failConversion ? &FerrydockIpc::SendFerrydockDataReport : send)(c.id, c.text, c.length);
        g_failNextNothrowArrayNew = false;
        EXPECT_EQ(capture.Records(), c.log);
        EXPECT_EQ(TakeRecords(), c.records);
    }
}

// With the stand-ins' answers set in the environment: unset gives their defaults
// (agreement "1", not the IT edition), set but empty is an empty answer.
TEST(DataReportExports, QueriesForwardTheAnswers)
{
    const std::tuple<const wchar_t*, const wchar_t*, bool> cases[] = {
        {L"FERRYDOCK_AGREE_CLAUSE", L"1", true}, {L"FERRYDOCK_AGREE_CLAUSE", L"", false},
        {L"FERRYDOCK_AGREE_CLAUSE", L"10", false}, {L"FERRYDOCK_AGREE_CLAUSE", nullptr, true},
        {L"FERRYDOCK_IT_VERSION", L"1", true}, {L"FERRYDOCK_IT_VERSION", nullptr, false}};
    for (const auto& [variable, answer, expected] : cases) {
        SetEnvironmentVariableW(variable, answer);
        EXPECT_EQ(Export<PFN_BoolVoid>(variable[10] == L'A' ? "IsAgreeClause" : "IsITVersion")(), expected)
            << testing::PrintToString(variable) << " " << (answer ? "set" : "unset");
    }
}
