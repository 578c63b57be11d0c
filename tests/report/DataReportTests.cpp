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

using testsupport::LogCapture;
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
    static const wchar_t* const path = L"report-test.jsonl";
    SetEnvironmentVariableW(L"FERRYDOCK_REPORT_FILE", path);
    std::ifstream file(path, std::ios::binary);
    Lines lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    file.close();
    DeleteFileW(path);
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
        {1, L"{}", 2, true, {Refusal(L"trans wchar to char failed")}, {}},
        {0, L"", 0, false, {}, {Report(0, "")}},
        {INT_MAX, L"{\"a\":[1,2,3]}", 3, false, {}, {Report(INT_MAX, R"({\"a\":[1,2,3]})")}}, // length bounds nothing
        // e-acute and the euro sign have bytes in 1252; the CJK character becomes '?'.
        {7, L"caf\u00e9 \u20ac \u4e2d", 9, false, {}, {Report(7, "caf\xE9 \x80 ?")}},
    };
    TakeRecords();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const LogCapture capture;
        g_failNextNothrowArrayNew = c.failConversion;
        FerrydockIpc::SendFerrydockDataReport(c.id, c.text, c.length);
        g_failNextNothrowArrayNew = false;
        EXPECT_EQ(capture.Records(), c.log);
        EXPECT_EQ(TakeRecords(), c.records);
    }
}

// Through the exports, with the stand-ins' answers set in the environment: unset gives
// their defaults (agreement "1", not the IT edition), set but empty is an empty answer.
TEST(DataReportExports, ForwardEverythingUnchanged)
{
    TakeRecords();
    Export<PFN_VoidVoid>("InitFerrydockDataReport")();
    Export<PFN_SendFerrydockDataReport>("SendFerrydockDataReport")(42, L"{\"page\":\"main\"}", 15);
    EXPECT_EQ(TakeRecords(),
              (Lines{R"({"call":"Init","id":0,"app":"FerrydockUI"})", Report(42, R"({\"page\":\"main\"})")}));
    const std::pair<const char*, std::vector<std::pair<const wchar_t*, bool>>> queries[] = {
        {"IsAgreeClause", {{L"1", true}, {L"", false}, {L"0", false}, {L"10", false}, {nullptr, true}}},
        {"IsITVersion", {{L"1", true}, {L"0", false}, {nullptr, false}}}};
    for (const auto& [name, answers] : queries) {
        for (const auto& [answer, expected] : answers) {
            SetEnvironmentVariableW(name[2] == 'A' ? L"FERRYDOCK_AGREE_CLAUSE" : L"FERRYDOCK_IT_VERSION", answer);
            EXPECT_EQ(Export<PFN_BoolVoid>(name)(), expected) << name << " " << (answer ? "set" : "unset");
        }
    }
}
