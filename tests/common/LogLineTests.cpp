#include "common/Log.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace FerrydockIpc;
using testsupport::LogCapture;
using testsupport::LogRecord;

TEST(LogLine, ComposesTextValuesAndQualifiedName)
{
    LogCapture capture;
    const std::wstring tag = L"DIR_MANAGER_LOG_TAG ";
    Log(LogLevel::Error, "FerrydockIpc::SendFerrydockDataReport", "input id or msg is null");
    Log(LogLevel::Notice, "FerrydockIpc::DirManager::GetSaveFileDir", tag, "get file folder access ret: ", true,
        ", get permission: ", static_cast<DWORD>(0x001F01FF));
    Log(LogLevel::Error, "FerrydockIpc::GetSaveDbDir", "wcscpy_s path fail: ", 34);
    Log(LogLevel::Error, "FerrydockIpc::X", "err=", static_cast<DWORD>(0xFFFFFFFF), " neg=", -22);
    Log(LogLevel::Notice, "FerrydockIpc::X", "wide: ", L"\u00E9\u4E2D", std::string(" narrow \xE9"));
    Log(LogLevel::Notice, "DE::StollS", "flag ", false);

    const std::vector<LogRecord> expected = {
        {4, L"input id or msg is null(FerrydockIpc::SendFerrydockDataReport)"},
        {3, L"DIR_MANAGER_LOG_TAG get file folder access ret: 1, get permission: 2032127"
            L"(FerrydockIpc::DirManager::GetSaveFileDir)"},
        {4, L"wcscpy_s path fail: 34(FerrydockIpc::GetSaveDbDir)"},
        {4, L"err=4294967295 neg=-22(FerrydockIpc::X)"},
        {3, L"wide: \u00E9\u4E2D narrow \u00E9(FerrydockIpc::X)"},
        {3, L"flag 0(DE::StollS)"},
    };
    EXPECT_EQ(capture.Records(), expected);
}

TEST(LogLine, KeepsTheThreadsLastError)
{
    LogCapture capture;
    SetLastError(1234);
    Log(LogLevel::Error, "FerrydockIpc::X", "createDirectory failed", GetLastError());
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(capture.Lines(), std::vector<std::wstring>{L"createDirectory failed1234(FerrydockIpc::X)"});
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

    FILE* file = _wfopen(path.c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    char buffer[512] = {};
    const size_t size = fread(buffer, 1, sizeof(buffer) - 1, file);
    fclose(file);
    const std::string record(buffer, size);
    // 2026-12-05T20:04:15.123Z \t tid \t 4 \t text \n
    ASSERT_GE(record.size(), 25u);
    EXPECT_EQ(record[4], '-');
    EXPECT_EQ(record[10], 'T');
    EXPECT_EQ(record[19], '.');
    EXPECT_EQ(record[23], 'Z');
    EXPECT_EQ(record[24], '\t');
    const std::string rest = record.substr(25);
    const std::string expectedTail = "\t4\tcaf\xC3\xA9(FerrydockIpc::X)\n";
    EXPECT_EQ(rest, std::to_string(GetCurrentThreadId()) + expectedTail);
    DeleteFileW(path.c_str());
}
