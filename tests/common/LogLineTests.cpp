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

TEST(LogLine, ComposedInMemoryAndInTheFileKeepingTheLastError)
{
    {
        LogCapture capture;
        SetLastError(1234);
        Log(LogLevel::Notice, "FerrydockIpc::DirManager::GetSaveFileDir", std::wstring(L"TAG "), "ret: ", true,
            ", permission: ", static_cast<DWORD>(0xFFFFFFFF), " neg=", -22);
        Log(LogLevel::Error, "FerrydockIpc::X", "wide: ", L"\u00E9\u4E2D", std::string(" narrow \xE9"), " \xE9");
        EXPECT_EQ(GetLastError(), 1234u);
        EXPECT_EQ(capture.Records(),
                  (std::vector<LogRecord>{
                      {3, L"TAG ret: 1, permission: 4294967295 neg=-22(FerrydockIpc::DirManager::GetSaveFileDir)"},
                      {4, L"wide: \u00E9\u4E2D narrow \u00E9 \u00E9(FerrydockIpc::X)"}}));
    }
    wchar_t temp[MAX_PATH];
    const std::wstring path = std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + L"ferrydock-logline-test.log";
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
