#include "common/Log.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <regex>
#include <sstream>

using namespace FerrydockIpc;

TEST(LogLine, ComposedInMemoryAndInTheFileKeepingTheLastError)
{
    const wchar_t* const path = L"ferrydock-logline-test.log";
    DeleteFileW(path);
    {
        testsupport::LogCapture capture;
        SetLastError(1234);
        Log(LogLevel::Notice, "FerrydockIpc::DirManager::GetSaveFileDir", std::wstring(L"TAG "), "ret: ", true,
            ", permission: ", static_cast<DWORD>(0xFFFFFFFF), " neg=", -22, L" \u4E2D", std::string(" \xE9"));
        SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", path);
        Log(LogLevel::Error, "FerrydockIpc::X", "caf\xE9", L"\u00E9");
        SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", nullptr);
        EXPECT_EQ(GetLastError(), 1234u);
        EXPECT_EQ(capture.Records(), (std::vector<testsupport::LogRecord>{
                                         {3, L"TAG ret: 1, permission: 4294967295 neg=-22 \u4E2D \u00E9"
                                             L"(FerrydockIpc::DirManager::GetSaveFileDir)"},
                                         {4, L"caf\u00E9\u00E9(FerrydockIpc::X)"}}));
    }
    std::ostringstream record;
    record << std::ifstream(path, std::ios::binary).rdbuf();
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\t)" + std::to_string(GetCurrentThreadId()) +
                          "\t4\tcaf\xC3\xA9\xC3\xA9\\(FerrydockIpc::X\\)\n");
    EXPECT_TRUE(std::regex_match(record.str(), line)) << record.str();
}
