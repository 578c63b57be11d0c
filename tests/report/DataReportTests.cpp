// The reporting and product-query exports, by name from the loaded library as the interface
// reaches them; what reaches the stand-ins is read back from their record file.
#include "FerrydockUITrans.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <tuple>

using testsupport::LogRecord;

namespace {

// What the stand-ins appended to their record file since the last call.
std::string TakeRecords()
{
    SetEnvironmentVariableW(L"FERRYDOCK_REPORT_FILE", L"report-test.jsonl");
    std::ostringstream text;
    text << std::ifstream("report-test.jsonl", std::ios::binary).rdbuf();
    DeleteFileW(L"report-test.jsonl");
    return text.str();
}

LogRecord Refusal(const std::wstring& message) { return {4, message + L"(FerrydockIpc::SendFerrydockDataReport)"}; }

std::string Report(int id, const std::string& json) { return "{\"call\":\"Report\",\"id\":" + std::to_string(id) +
                                                             ",\"json\":\"" + json + "\"}\n"; }

template <typename Fn>
Fn Export(const char* name)
{
    static const HMODULE module = LoadLibraryW(L"FerrydockUITrans.dll");
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

} // namespace

// The reporting export checks in order, then reports the text in the ANSI code page; the
// queries forward the stand-ins' answers set in the environment: unset gives their defaults
// (agreement "1", not the IT edition), set but empty is an empty answer.
TEST(DataReportExports, ReportChecksThenConvertsAndQueriesForwardTheAnswers)
{
    ASSERT_EQ(GetACP(), 1252u) << "the test runner pins LANG=C.UTF-8, which gives code page 1252";
    const std::tuple<int, const wchar_t*, int, const wchar_t*, std::string> reports[] = {
        {-1, nullptr, -1, L"input id or msg is null", ""}, // only the first check speaks
        {-1, L"{}", 2, L"input id or length is less than 0", ""}, {1, L"{}", -1, L"input id or length is less than 0", ""},
        {0, L"", 0, nullptr, Report(0, "")},
        {INT_MAX, L"{\"a\":[1,2,3]}", 3, nullptr, Report(INT_MAX, R"({\"a\":[1,2,3]})")}, // length bounds nothing
        // e-acute and the euro sign have bytes in 1252; the CJK character becomes '?'.
        {7, L"caf\u00e9 \u20ac \u4e2d", 9, nullptr, Report(7, "caf\xE9 \x80 ?")},
    };
    TakeRecords();
    Export<PFN_VoidVoid>("InitFerrydockDataReport")();
    EXPECT_EQ(TakeRecords(), "{\"call\":\"Init\",\"id\":0,\"app\":\"FerrydockUI\"}\n");
    for (const auto& [id, text, length, refusal, records] : reports) {
        SCOPED_TRACE(id);
        const testsupport::LogCapture capture;
        Export<PFN_SendFerrydockDataReport>("SendFerrydockDataReport")(id, text, length);
        EXPECT_EQ(capture.Records(), refusal ? std::vector<LogRecord>{Refusal(refusal)} : std::vector<LogRecord>{});
        EXPECT_EQ(TakeRecords(), records);
    }

    const std::tuple<const wchar_t*, const wchar_t*, bool> queries[] = {
        {L"FERRYDOCK_AGREE_CLAUSE", L"1", true}, {L"FERRYDOCK_AGREE_CLAUSE", L"", false},
        {L"FERRYDOCK_AGREE_CLAUSE", L"10", false}, {L"FERRYDOCK_AGREE_CLAUSE", nullptr, true},
        {L"FERRYDOCK_IT_VERSION", L"1", true}, {L"FERRYDOCK_IT_VERSION", nullptr, false}};
    for (const auto& [variable, answer, expected] : queries) {
        SetEnvironmentVariableW(variable, answer);
        EXPECT_EQ(Export<PFN_BoolVoid>(variable[10] == L'A' ? "IsAgreeClause" : "IsITVersion")(), expected)
            << testing::PrintToString(variable) << " " << (answer ? "set" : "unset");
    }
}
