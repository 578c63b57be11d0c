// A long run through the bridge's exports and callbacks.
#include "BridgeLibrary.h"
#include "IpcTestSupport.h"
#include "support/LogCapture.h"
#include "support/PeFile.h"
#include "support/ProcessUsage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long long> g_texts{0};
void FERRYDOCK_CALL CountText(const wchar_t*) { ++g_texts; }

unsigned long long ServiceReceived(service::ServiceProcess& service)
{
    std::string count;
    return service.Ask("stats", "received ", count, 10000) ? std::stoull(count) : 0;
}

// FERRYDOCK_SOAK_MESSAGES overrides the count for a longer (or shorter) run.
long long SoakMessages()
{
    wchar_t text[32];
    const DWORD length = GetEnvironmentVariableW(L"FERRYDOCK_SOAK_MESSAGES", text, 32);
    return length > 0 && length < 32 ? std::wcstoll(text, nullptr, 10) : 1000000;
}

class SoakRun {
public:
    SoakRun(service::ServiceProcess& service, const ipctest::BridgeLibrary& bridge)
        : service_(service), post_(bridge.Get<PFN_VoidText>("SendFileInfoAllToFilesystem"))
    {
    }

    // Posts count texts, at most two windows beyond what the service has received
    // (the client refuses posts past its queue bound); true once all arrived.
    bool Outbound(long long count)
    {
        const std::wstring text(47, L'x');
        const unsigned long long target = posted_ + count;
        while (posted_ < target) {
            for (long long i = 0; i < kWindow && posted_ < target; ++i, ++posted_) {
                post_(text.c_str());
            }
            if (!WaitForService(posted_ - kWindow)) {
                return false;
            }
        }
        return WaitForService(target);
    }

    // The service floods count texts to the callback, in chunks; true once all arrived.
    bool Inbound(long long count)
    {
        const long long target = flooded_ + count;
        while (flooded_ < target) {
            const long long chunk = std::min(kFloodChunk, target - flooded_);
            service_.SendLine("flood 0xF10005 " + std::to_string(chunk) + " 736f616b2074657874000000");
            flooded_ += chunk;
            if (!WaitForCallbacks(flooded_ - kFloodChunk / 2)) {
                return false;
            }
        }
        return WaitForCallbacks(target);
    }

    unsigned long long Posted() const { return posted_; }
    unsigned long long Received() const { return ServiceReceived(service_); }
    long long Flooded() const { return flooded_; }

private:
    static constexpr long long kWindow = 4000;
    static constexpr long long kFloodChunk = 20000;

    bool WaitForService(unsigned long long count)
    {
        const ULONGLONG deadline = GetTickCount64() + 20000;
        while (ServiceReceived(service_) < count) {
            if (GetTickCount64() > deadline) {
                return false;
            }
        }
        return true;
    }
    static bool WaitForCallbacks(long long count)
    {
        const ULONGLONG deadline = GetTickCount64() + 20000;
        while (g_texts < count) {
            if (GetTickCount64() > deadline) {
                return false;
            }
            Sleep(1);
        }
        return true;
    }

    service::ServiceProcess& service_;
    const PFN_VoidText post_;
    unsigned long long posted_ = 0;
    long long flooded_ = 0;
};

// Both ways at once, posting as fast as the service takes.
bool BothWays(SoakRun& run, long long count)
{
    bool inbound = false;
    std::thread flood([&] { inbound = run.Inbound(count); });
    const bool outbound = run.Outbound(count);
    flood.join();
    EXPECT_TRUE(outbound) << "posted " << run.Posted() << " received " << run.Received();
    EXPECT_TRUE(inbound) << "flooded " << run.Flooded() << ", seen " << g_texts;
    return outbound && inbound;
}

} // namespace

// Texts posted through SendFileInfoAllToFilesystem while the service floods texts to the
// callback. From the first tenth (queues and heaps at working size) to the end: committed
// private memory within 4 MiB (under 5 bytes a message) and handles within 32 (a leak
// per message, window or flood chunk moves the probe by hundreds). No post may be
// refused: acknowledgements stuck behind the flood would fill the client's bound.
TEST(Soak, MillionMessagesEachWayLeaveMemoryAndHandlesFlat)
{
    const long long total = SoakMessages();
    testsupport::LogCapture log;
    service::ServiceProcess service; // without a record file: a million lines would be the test's cost
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    ASSERT_TRUE(service.Start(testsupport::BesideExecutable(L"ferrydock-service.exe"), L"--pipe \"" + pipe + L"\""));
    ipctest::BridgeLibrary bridge;
    bridge.RegisterText("RegisterWndShowSendFilesCallback", CountText);
    ASSERT_TRUE(bridge.Init());
    ASSERT_TRUE(service.WaitForLine(ipctest::kBridgeConnected, 1, 10000));
    SoakRun run(service, bridge);

    ASSERT_TRUE(BothWays(run, total / 10));
    Sleep(200);
    const std::size_t memoryAtTenth = testsupport::CommittedPrivateBytes();
    const std::uintptr_t handleAtTenth = ipctest::FreshHandleValue();
    ASSERT_TRUE(BothWays(run, total - total / 10));
    Sleep(200);
    const std::size_t memoryAtEnd = testsupport::CommittedPrivateBytes();
    const std::uintptr_t handleAtEnd = ipctest::FreshHandleValue();
    std::printf("[ soak ] %lld each way; committed private %.1f -> %.1f MiB; fresh handle value %zu -> %zu\n", total,
                memoryAtTenth / 1048576.0, memoryAtEnd / 1048576.0, static_cast<std::size_t>(handleAtTenth),
                static_cast<std::size_t>(handleAtEnd));
    EXPECT_EQ(ServiceReceived(service), static_cast<unsigned long long>(total)) << "each post arrived once";
    EXPECT_EQ(g_texts.load(), total) << "each flooded text reached the callback once";
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{}) << "no post refused";
    EXPECT_LE(memoryAtEnd, memoryAtTenth + 4 * 1048576);
    EXPECT_LE(handleAtEnd, handleAtTenth + 32 * 4);
}
