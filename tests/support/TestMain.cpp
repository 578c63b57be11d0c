// Test entry point: a watchdog turns a hang into a failure with the name of the test
// that hung, so that a stuck Wine process never stalls the whole run.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::atomic<unsigned long long> g_testStartTick{0};
char g_currentTest[512] = "(none)";

class WatchdogListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& info) override
    {
        std::snprintf(g_currentTest, sizeof(g_currentTest), "%s.%s", info.test_suite_name(), info.name());
        g_testStartTick = GetTickCount64();
    }
    void OnTestEnd(const testing::TestInfo&) override { g_testStartTick = 0; }
};

DWORD WINAPI Watchdog(void* limitMs)
{
    const auto limit = reinterpret_cast<ULONG_PTR>(limitMs);
    for (;;) {
        Sleep(500);
        const unsigned long long start = g_testStartTick;
        if (start != 0 && GetTickCount64() - start > limit) {
            std::fprintf(stderr, "\nFAILED: %s hung for more than %lu ms\n", g_currentTest,
                         static_cast<unsigned long>(limit));
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
    unsigned long limitMs = 120000;
    if (const char* value = std::getenv("FERRYDOCK_TEST_HANG_MS")) {
        limitMs = std::strtoul(value, nullptr, 10);
    }
    testing::UnitTest::GetInstance()->listeners().Append(new WatchdogListener);
    HANDLE thread = CreateThread(nullptr, 0, Watchdog, reinterpret_cast<void*>(static_cast<ULONG_PTR>(limitMs)), 0,
                                 nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
    return RUN_ALL_TESTS();
}
