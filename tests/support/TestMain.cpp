// Test entry point: a watchdog turns a hang into a failure with the name of the test
// that hung, so that a stuck Wine process never stalls the whole run.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<unsigned long long> g_testStartTick{0};
char g_currentTest[512] = "(none)";
unsigned long g_limitMs = 120000;

class WatchdogListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& info) override
    {
        std::snprintf(g_currentTest, sizeof(g_currentTest), "%s.%s", info.test_suite_name(), info.name());
        g_testStartTick = GetTickCount64();
    }
    void OnTestEnd(const testing::TestInfo&) override { g_testStartTick = 0; }
};

DWORD WINAPI Watchdog(void*)
{
    for (;; Sleep(500)) {
        const unsigned long long start = g_testStartTick;
        if (start != 0 && GetTickCount64() - start > g_limitMs) {
            std::fprintf(stderr, "\nFAILED: %s hung for more than %lu ms\n", g_currentTest, g_limitMs);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (const char* value = std::getenv("FERRYDOCK_TEST_HANG_MS")) {
        g_limitMs = std::strtoul(value, nullptr, 10);
    }
    testing::UnitTest::GetInstance()->listeners().Append(new WatchdogListener);
    if (HANDLE thread = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr)) {
        CloseHandle(thread);
    }
    return RUN_ALL_TESTS();
}
