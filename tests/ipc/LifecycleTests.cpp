// The bridge's life against a service that comes, goes and comes back, and against
// its own unloading while messages arrive.
#include "BridgeLibrary.h"
#include "IpcTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>

using ipctest::BridgeLibrary;
using ipctest::CallbackLog;

namespace {
const std::string kWindowShown = std::to_string(0xF10001);
const std::string kWindowClose = std::to_string(0xF1000B);
} // namespace

// Posts made before InitIPCModule and before the service runs are sent once it starts;
// those made while it is killed are sent once it is back.
TEST(Lifecycle, ServiceStartedAfterTheBridgeThenKilledAndRestartedMidStream)
{
    ipctest::Service service; // not started yet: nobody serves the pipe
    BridgeLibrary bridge;
    EXPECT_TRUE(bridge.Uninit()) << "first call: creates the client, unregisters nothing";
    bridge.Call("WndShowFinsh");
    bridge.Call("SendFileInfoAllToFilesystem", L"a");
    Sleep(300); // the client retries meanwhile
    ASSERT_TRUE(service.Start());
    auto records = ipctest::WaitForRecords(service.RecordPath(), 2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].at("id"), kWindowShown);
    EXPECT_EQ(records[1].at("id"), std::to_string(0xF10003));

    bridge.RegisterText("RegisterWndShowSendFilesCallback", ipctest::OnSendFiles);
    bridge.Init();
    for (int i = 0; i < 50; ++i) {
        bridge.Call("WndShowFinsh");
    }
    ASSERT_EQ(ipctest::WaitForRecords(service.RecordPath(), 52).size(), 52u);
    service.Kill();
    Sleep(300); // the client sees the broken pipe and starts retrying
    for (int i = 0; i < 20; ++i) {
        bridge.Call("SendWindowClose");
    }
    ASSERT_TRUE(service.Start()) << "the pipe name is free again";
    records = ipctest::WaitForRecords(service.RecordPath(), 72);
    ASSERT_EQ(records.size(), 72u);
    for (std::size_t i = 52; i < 72; ++i) {
        EXPECT_EQ(records[i].at("id"), kWindowClose) << i;
    }
    ASSERT_TRUE(service.WaitForLine(ipctest::kBridgeConnected));
    ASSERT_TRUE(service.Send("send 0xF10005 " + ipctest::Hex(ipctest::Bytes("after restart"))));
    ASSERT_TRUE(CallbackLog::Instance().WaitFor(1));
    EXPECT_EQ(CallbackLog::Instance().Events()[0].text, L"after restart");
}

TEST(Lifecycle, InitTwiceUninitAndInitAgainKeepTheSlots)
{
    ipctest::Service service;
    ASSERT_TRUE(service.Start());
    BridgeLibrary bridge;
    // Registered before InitIPCModule, never registered again.
    bridge.Get<PFN_RegisterWndShowCallback>("RegisterWndShowCallback")(ipctest::OnShowWindow);
    EXPECT_TRUE(bridge.Init());
    EXPECT_TRUE(bridge.Init());
    ASSERT_TRUE(service.WaitForLine(ipctest::kBridgeConnected));

    ASSERT_TRUE(service.Send("send 0xF00001 01000000"));
    ASSERT_TRUE(CallbackLog::Instance().WaitFor(1));
    ASSERT_TRUE(service.Send("send 0xF00001 02000000"));
    ASSERT_TRUE(CallbackLog::Instance().WaitFor(2));
    Sleep(200);
    EXPECT_EQ(CallbackLog::Instance().Count(), 2u) << "a second registration replaces the first";

    EXPECT_TRUE(bridge.Uninit());
    ASSERT_TRUE(service.Send("send 0xF00001 03000000"));
    ASSERT_TRUE(service.WaitForLine("sent " + std::to_string(0xF00001), 3));
    Sleep(500);
    EXPECT_EQ(CallbackLog::Instance().Count(), 2u) << "no callback after UninitIPCModule";

    EXPECT_TRUE(bridge.Init());
    ASSERT_TRUE(service.Send("send 0xF00001 04000000"));
    ASSERT_TRUE(CallbackLog::Instance().WaitFor(3));
    const auto events = CallbackLog::Instance().Events();
    EXPECT_EQ(events[0].text, L"1");
    EXPECT_EQ(events[1].text, L"2");
    EXPECT_EQ(events[2].text, L"4");
}

// FreeLibrary runs the client's destructor under the loader lock: once mid-flood, then
// 200 times before, during and after a stream arrives.
TEST(Lifecycle, FreeLibraryWhileMessagesArriveThenAnUnloadStorm)
{
    ipctest::Service service;
    ASSERT_TRUE(service.Start());
    {
        BridgeLibrary bridge;
        bridge.RegisterText("RegisterWndShowSendFilesCallback", ipctest::OnSendFiles);
        bridge.Init();
        bridge.Call("WndShowFinsh");
        ASSERT_TRUE(service.WaitForLine(ipctest::kBridgeConnected));
        ASSERT_TRUE(service.Send("flood 0xF10005 100000 " + ipctest::Hex(ipctest::Bytes("stream"))));
        ASSERT_TRUE(CallbackLog::Instance().WaitFor(20));
        bridge.Unload();
        EXPECT_EQ(GetModuleHandleW(L"FerrydockUITrans.dll"), nullptr);
        const std::size_t delivered = CallbackLog::Instance().Count();
        Sleep(300);
        EXPECT_EQ(CallbackLog::Instance().Count(), delivered) << "no callback after the unload";
        EXPECT_LT(delivered, 100000u) << "the unload happened mid-stream";
        EXPECT_TRUE(service.WaitForLine("disconnected 15728640"));
    }
    const std::size_t beforeStorm = CallbackLog::Instance().Count();
    std::uintptr_t handlesBefore = 0;
    for (int i = 0; i < 200; ++i) {
        BridgeLibrary bridge;
        bridge.RegisterText("RegisterWndShowSendFilesCallback", ipctest::OnSendFiles);
        bridge.Init();
        bridge.Call("WndShowFinsh");
        ASSERT_TRUE(service.WaitForLine(ipctest::kBridgeConnected, i + 2)) << i;
        ASSERT_TRUE(service.Send("flood 0xF10005 300 " + ipctest::Hex(ipctest::Bytes("storm"))));
        Sleep(static_cast<DWORD>(i % 4));
        if (i == 19) {
            handlesBefore = ipctest::FreshHandleValue(); // once the loop has settled
        }
    }
    // The client's threads end by themselves and release Pipelink.dll as they go.
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (GetModuleHandleW(L"Pipelink.dll") != nullptr && GetTickCount64() < deadline) {
        Sleep(20);
    }
    EXPECT_EQ(GetModuleHandleW(L"Pipelink.dll"), nullptr) << "every client's threads ended";
    const std::uintptr_t handlesAfter = ipctest::FreshHandleValue();
    EXPECT_LE(handlesAfter, handlesBefore + 4 * 10) << "before " << handlesBefore << ", after " << handlesAfter;
    const std::size_t delivered = CallbackLog::Instance().Count();
    EXPECT_GT(delivered, beforeStorm) << "messages arrived while the bridge came and went";
    Sleep(200);
    EXPECT_EQ(CallbackLog::Instance().Count(), delivered);
    std::printf("[ unload storm ] fresh handle value %zu -> %zu\n", static_cast<std::size_t>(handlesBefore),
                static_cast<std::size_t>(handlesAfter));
}
