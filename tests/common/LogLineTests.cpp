#include "common/Log.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <regex>
#include <sstream>

using namespace FerrydockIpc;

TEST(LogLine, ComposedInTheFileKeepingTheLastError)
{
    const wchar_t* const path = L"ferrydock-logline-test.log";
    DeleteFileW(path);
    SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", path);
    SetLastError(1234);
    Log(LogLevel::Error, "FerrydockIpc::X", std::wstring(L"TAG "), true, static_cast<DWORD>(0xFFFFFFFF), " neg=", -22,
        L" \u4E2D", std::string(" caf\xE9"));
    EXPECT_EQ(GetLastError(), 1234u);
    SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", nullptr);
    std::ostringstream record;
    record << std::ifstream(path, std::ios::binary).rdbuf();
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\t)" + std::to_string(GetCurrentThreadId()) +
                          "\t4\tTAG 14294967295 neg=-22 \xE4\xB8\xAD caf\xC3\xA9\\(FerrydockIpc::X\\)\n");
    EXPECT_TRUE(std::regex_match(record.str(), line)) << record.str();
}
