#include "common/Log.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <iterator>
#include <regex>

using namespace FerrydockIpc;
using testsupport::LogCapture;
using testsupport::LogRecord;

TEST(LogLine, ComposesTextValuesAndQualifiedNameAndKeepsLastError)
{
    LogCapture capture;
    SetLastError(1234);
    Log(LogLevel::Error, "FerrydockIpc::SendFerrydockDataReport", "input id or msg is null");
    Log(LogLevel::Notice, "FerrydockIpc::DirManager::GetSaveFileDir", std::wstring(L"DIR_MANAGER_LOG_TAG "),
        "get file folder access ret: ", true, ", get permission: ", static_cast<DWORD>(0x001F01FF));
    Log(LogLevel::Error, "FerrydockIpc::GetSaveDbDir", "wcscpy_s path fail: ", 34);
    Log(LogLevel::Error, "FerrydockIpc::X", "err=", static_cast<DWORD>(0xFFFFFFFF), " neg=", -22);
    Log(LogLevel::Notice, "FerrydockIpc::X", "wide: ", L"\u00E9\u4E2D", std::string(" narrow \xE9"));
    Log(LogLevel::Notice, "DE::StollS", "flag ", false);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(capture.Records(), (std::vector<LogRecord>{
                                     {4, L"input id or msg is null(FerrydockIpc::SendFerrydockDataReport)"},
                                     {3, L"DIR_MANAGER_LOG_TAG get file folder access ret: 1, get permission: 2032127"
                                         L"(FerrydockIpc::DirManager::GetSaveFileDir)"},
                                     {4, L"wcscpy_s path fail: 34(FerrydockIpc::GetSaveDbDir)"},
                                     {4, L"err=4294967295 neg=-22(FerrydockIpc::X)"},
                                     {3, L"wide: \u00E9\u4E2D narrow \u00E9(FerrydockIpc::X)"},
                                     {3, L"flag 0(DE::StollS)"}}));
}

TEST(LogLine, ReachesTheLogFileAsUtf8WithTimeThreadAndLevel)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"ferrydock-logline-test.log";
    DeleteFileW(path.c_str());
    SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", path.c_str());
    Log(LogLevel::Error, "FerrydockIpc::X", "caf", L"\u00E9");
    SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", nullptr);
    std::string record;
    {
        std::ifstream file(path.c_str(), std::ios::binary);
        record.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    DeleteFileW(path.c_str());
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\t)" + std::to_string(GetCurrentThreadId()) +
                          "\t4\tcaf\xC3\xA9\\(FerrydockIpc::X\\)\n");
    EXPECT_TRUE(std::regex_match(record, line)) << record;
}
