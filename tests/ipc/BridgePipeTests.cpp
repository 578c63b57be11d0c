// The bridge and the stand-in service in two processes, through the real pipe: exports,
// callbacks, a service that comes, goes and comes back, and the bridge unloaded.
#include "BridgeLibrary.h"
#include "IpcTestSupport.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>

using ipctest::BridgeLibrary;
using ipctest::CallbackLog;
using ipctest::Record;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

// The record the bridge posts: defaults everywhere but these.
Record Expected(int dest, int id, const std::optional<std::vector<unsigned char>>& payload)
{
    return Record{{"src", "15728640"}, {"dest", std::to_string(dest)}, {"id", std::to_string(id)}, {"aux1", "-1"},
                  {"aux2", "-1"}, {"aux3", "-1"}, {"auxValue", "0"}, {"auxFlag", "false"}, {"auxValue2", "0"},
                  {"head", ""}, {"length", std::to_string(payload ? payload->size() : 0)},
                  {"payload", payload ? ipctest::Hex(*payload) : "null"}};
}

const wchar_t kText[] = L"caf\u00e9 \u2713";
const wchar_t kSkills[] = L"para / useTips>>card>>HomePage|SF-10317322_f2738";
const auto* const kSkillsBytes = reinterpret_cast<const unsigned char*>(kSkills); // UTF-16LE, terminated
const std::vector<unsigned char> kUtf8 = {'c', 'a', 'f', 0xC3, 0xA9, ' ', 0xE2, 0x9C, 0x93, 0};
// Code page 1252 has the accented letter but not the check mark.
const std::vector<unsigned char> kAnsi = {'c', 'a', 'f', 0xE9, ' ', '?', 0};

const std::string kWindowShown = std::to_string(0xF10001);
const std::string kWindowClose = std::to_string(0xF1000B);

} // namespace

TEST(BridgeToService, EveryOutboundExportArrivesFieldByField)
{
    ipctest::Service service;
    ASSERT_TRUE(service.Start());
    BridgeLibrary bridge;
    struct Case {
        const char* exportName;
        const wchar_t* text; // null: an export without argument
        Record expected;
        const char* recordedText; // as the record reads the payload
    };
    const std::vector<unsigned char> zero{0};
    const std::vector<Case> cases = {
        {"WndShowFinsh", nullptr, Expected(0xF10000, 0xF10001, std::nullopt), "null"},
        {"SendWindowClose", nullptr, Expected(0xF10000, 0xF1000B, std::nullopt), "null"},
        {"SendRecentToMessageUI", nullptr, Expected(0x530000, 0x530022, std::nullopt), "null"},
        {"SendDeviceGetToFilesystem", nullptr, Expected(0x5D0000, 0x1502BE, std::nullopt), "null"},
        {"SendFinishTransferMesseage", nullptr, Expected(0xF10000, 0xF10004, std::nullopt), "null"},
        {"SendFileInfoAllToFilesystem", kText, Expected(0xF10000, 0xF10003, kUtf8), "caf\xC3\xA9 \xE2\x9C\x93"},
        {"SendFileInfoAllToFilesystem", L"", Expected(0xF10000, 0xF10003, zero), ""},
        {"SendArrayNumToFilesystem", kText, Expected(0xF10000, 0xF10007, kAnsi), "caf\xC3\xA9 ?"},
        {"SendArrayNumToFilesystem", L"", Expected(0xF10000, 0xF10007, zero), ""},
        {"SendSaveFileToFilesystem", kText, Expected(0xF10000, 0xF10008, kUtf8), "caf\xC3\xA9 \xE2\x9C\x93"},
        {"SendSaveFileToFilesystem", L"", Expected(0xF10000, 0xF10008, zero), ""},
        {"SendToOpenSettingCenter", nullptr, Expected(0x40000, 0x42725, ipctest::Bytes("seting_transfer_dragging_enable")),
         "seting_transfer_dragging_enable"},
        {"SendToOpenUseMachineSkills", nullptr,
         Expected(0x40000, 0x4271B, std::vector<unsigned char>(kSkillsBytes, kSkillsBytes + sizeof(kSkills))),
         "para / useTips>>card>>HomePage|SF-10317322_f2738"},
    };
    for (const Case& c : cases) {
        c.text != nullptr ? bridge.Call(c.exportName, c.text) : bridge.Call(c.exportName);
    }
    const std::vector<Record> records = ipctest::WaitForRecords(service.RecordPath(), cases.size());
    ASSERT_EQ(records.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Record expected = cases[i].expected;
        expected["seq"] = std::to_string(i + 1); // numbered from 1 by one client
        expected["client"] = records[0].at("client");
        expected.insert({{"dir", "out"}, {"name", cases[i].exportName}, {"text", cases[i].recordedText}});
        Record got = records[i];
        EXPECT_NE(got.at("t"), "");
        got.erase("t");
        EXPECT_EQ(got, expected) << cases[i].exportName << " " << i;
    }

    LogCapture log;
    for (const char* name : {"SendFileInfoAllToFilesystem", "SendArrayNumToFilesystem", "SendSaveFileToFilesystem"}) {
        bridge.Call(name, nullptr);
    }
    bridge.Call("SendSaveFileToFilesystem", L"D:\\saved");
    bridge.Call("WndShowFinsh");
    const std::vector<LogRecord> expectedLog = {
        {4, L"dir is null(FerrydockIpc::SendFileInfoAllToFilesystem)"},
        {4, L"dir is null(FerrydockIpc::SendArrayNumToFilesystem)"},
        {4, L"Fd:SendSaveFileToFilesystem(FerrydockIpc::SendSaveFileToFilesystem)"},
        {4, L"dir is null(FerrydockIpc::SendSaveFileToFilesystem)"},
        {4, L"Fd:SendSaveFileToFilesystem(FerrydockIpc::SendSaveFileToFilesystem)"},
        {4, L"IPChelper SendSaveFileToFilesystem bool : 1(FerrydockIpc::IPCHelper::SendSaveFileToFilesystem)"},
    };
    EXPECT_EQ(log.Records(), expectedLog);
    const auto more = ipctest::WaitForRecords(service.RecordPath(), cases.size() + 2);
    ASSERT_EQ(more.size(), cases.size() + 2) << "nothing posted for a null text";
    EXPECT_EQ(more[cases.size()].at("payload"), ipctest::Hex(ipctest::Bytes("D:\\saved")));
}

// The device list comes from a file given to the service.
TEST(ServiceToBridge, EveryInboundMessageReachesItsCallbackOnTheDeliveryThread)
{
    wchar_t folder[MAX_PATH + 1];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring devices = folder + (L"ferrydock-devices-" + std::to_wstring(GetCurrentProcessId()) + L".txt");
    std::ofstream(devices.c_str(), std::ios::binary) << "# name, id, type\r\nK\xC3\xBC" "che\tID-\xC3\xA9\t7\n\nOffice\tOFF-1\t12\n";
    ipctest::Service service;
    ASSERT_TRUE(service.Start(L"--devices \"" + devices + L"\""));
    BridgeLibrary bridge;
    bridge.Get<PFN_RegisterWndShowCallback>("RegisterWndShowCallback")(ipctest::OnShowWindow);
    bridge.RegisterText("RegisterWndShowFileCallback", ipctest::OnShowFile);
    bridge.Get<PFN_RegisterWndShowDeviceCallback>("RegisterWndShowDeviceCallback")(ipctest::OnDevices);
    bridge.RegisterText("RegisterWndShowSendFilesCallback", ipctest::OnSendFiles);
    bridge.RegisterText("RegisterWndShowRecieveFilesCallback", ipctest::OnRecieveFiles);
    bridge.RegisterText("RegisterWndShowRecieveFindSaveFileCallback", ipctest::OnRecieveFindSaveFile);
    bridge.RegisterText("RegisterWndShowRecieveFindDeviceTypeCallback", ipctest::OnRecieveFindDeviceType);
    bridge.RegisterText("RegisterWndShowRecieveFilesProgressCallback", ipctest::OnRecieveFilesProgress);
    LogCapture log;
    ASSERT_TRUE(bridge.Init());
    bridge.Call("WndShowFinsh"); // the client connects at once; this waits for nothing
    ASSERT_TRUE(service.WaitForLine(ipctest::kBridgeConnected));

    struct Case {
        std::string command;
        const char* callback;
        std::wstring text;
    };
    const std::vector<Case> cases = {
        {"send 0xF00001 02000000", "OnShowWindow", L"2"},
        {"send 15728642 " + ipctest::Hex(ipctest::Bytes("C:\\f\xC3\xA9.txt")), "OnShowFile", L"C:\\f\u00e9.txt"},
        {"send 0xF10005 " + ipctest::Hex(ipctest::Bytes("send list")), "OnSendFiles", L"send list"},
        {"send 0xF10006 " + ipctest::Hex(ipctest::Bytes("42%")), "OnRecieveFilesProgress", L"42%"},
        {"send 0xF10007 " + ipctest::Hex(ipctest::Bytes("received")), "OnRecieveFiles", L"received"},
        {"send 0xF10008 " + ipctest::Hex(ipctest::Bytes("D:\\save")), "OnRecieveFindSaveFile", L"D:\\save"},
        {"send 0xF10009 " + ipctest::Hex(ipctest::Bytes("3")), "OnRecieveFindDeviceType", L"3"},
        {"send 0xF00002 00", "OnShowFile", L""},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(service.Send(c.command));
    }
    // Not delivered: no handler for the id, or dropped by the handler.
    ASSERT_TRUE(service.Send("send 0xF10005 -"));
    ASSERT_TRUE(service.Send("send 0xF0000A 00"));
    // The service reads its commands on its own: let them all go out before the request.
    ASSERT_TRUE(CallbackLog::Instance().WaitFor(cases.size()));
    ASSERT_TRUE(service.WaitForLine("sent " + std::to_string(0xF0000A)));
    bridge.Call("SendDeviceGetToFilesystem");
    ASSERT_TRUE(CallbackLog::Instance().WaitFor(cases.size() + 1));
    const auto events = CallbackLog::Instance().Values();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(events[i].callback, cases[i].callback) << cases[i].command;
        EXPECT_EQ(events[i].text, cases[i].text) << cases[i].command;
        EXPECT_NE(events[i].thread, GetCurrentThreadId());
        EXPECT_EQ(events[i].thread, events[0].thread);
    }
    EXPECT_EQ(events.back().callback, "OnDevices");
    EXPECT_EQ(events.back().text, L"2\nK\u00fcche|ID-\u00e9|7\nOffice|OFF-1|12");
    Sleep(200);
    EXPECT_EQ(CallbackLog::Instance().Count(), cases.size() + 1);
    const std::vector<LogRecord> expectedLog = {
        {3, L"IPChelper Open Mainwindow message(FerrydockIpc::IPCHelper::OnRecvIPCMessageMainWindow)"},
        {3, L"[FD] OnRecvIPCMessageSendFiles msgItem.message is empty(FerrydockIpc::IPCHelper::OnRecvIPCMessageSendFiles)"},
    };
    EXPECT_EQ(log.Records(), expectedLog);
    DeleteFileW(devices.c_str());
}


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
    EXPECT_EQ(CallbackLog::Instance().Values()[0].text, L"after restart");
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
    const auto events = CallbackLog::Instance().Values();
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
    // Within 32 slots: short-lived handles move the probe by a few, a leak per cycle by hundreds.
    EXPECT_LE(handlesAfter, handlesBefore + 4 * 32) << "before " << handlesBefore << ", after " << handlesAfter;
    const std::size_t delivered = CallbackLog::Instance().Count();
    EXPECT_GT(delivered, beforeStorm) << "messages arrived while the bridge came and went";
    Sleep(200);
    EXPECT_EQ(CallbackLog::Instance().Count(), delivered);
    std::printf("[ unload storm ] fresh handle value %zu -> %zu\n", static_cast<std::size_t>(handlesBefore),
                static_cast<std::size_t>(handlesAfter));
}
