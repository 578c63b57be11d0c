// The bridge and the stand-in service in two processes, through the real pipe: exports,
// callbacks, a service that comes after the bridge, the bridge unloaded, and a soak.
#include "IpcTestSupport.h"
#include "support/LogCapture.h"
#include "support/ProcessUsage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

using testsupport::LogCapture;
using testsupport::LogRecord;

// Posted before InitIPCModule and before the service runs: sent once it starts.
TEST(BridgeToService, EveryOutboundExportArrivesFieldByField)
{
    ipctest::Service service; // not started yet: nobody serves the pipe
    ipctest::BridgeLibrary bridge;
    const wchar_t skills[] = L"para / useTips>>card>>HomePage|SF-10317322_f2738";
    const auto* const skillsBytes = reinterpret_cast<const unsigned char*>(skills); // UTF-16LE, terminated
    const std::vector<unsigned char> utf8 = {'c', 'a', 'f', 0xC3, 0xA9, ' ', 0xE2, 0x9C, 0x93, 0};
    const std::vector<unsigned char> ansi = {'c', 'a', 'f', 0xE9, ' ', '?', 0}; // code page 1252 lacks the check mark
    const std::string setting = "seting_transfer_dragging_enable", mixed = "caf\xC3\xA9 \xE2\x9C\x93";
    // export, its text (null: an export without argument), dest, id, payload, the payload as the record decodes it
    const std::tuple<const char*, const wchar_t*, int, int, std::optional<std::vector<unsigned char>>, std::string> cases[] = {
        {"WndShowFinsh", nullptr, 0xF10000, 0xF10001, std::nullopt, "null"},
        {"SendWindowClose", nullptr, 0xF10000, 0xF1000B, std::nullopt, "null"},
        {"SendRecentToMessageUI", nullptr, 0x530000, 0x530022, std::nullopt, "null"},
        {"SendDeviceGetToFilesystem", nullptr, 0x5D0000, 0x1502BE, std::nullopt, "null"},
        {"SendFinishTransferMesseage", nullptr, 0xF10000, 0xF10004, std::nullopt, "null"},
        {"SendFileInfoAllToFilesystem", L"caf\u00e9 \u2713", 0xF10000, 0xF10003, utf8, mixed},
        {"SendArrayNumToFilesystem", L"caf\u00e9 \u2713", 0xF10000, 0xF10007, ansi, "caf\xC3\xA9 ?"},
        {"SendSaveFileToFilesystem", L"caf\u00e9 \u2713", 0xF10000, 0xF10008, utf8, mixed},
        {"SendToOpenSettingCenter", nullptr, 0x40000, 0x42725, ipctest::Bytes(setting), setting},
        {"SendToOpenUseMachineSkills", nullptr, 0x40000, 0x4271B,
         std::vector<unsigned char>(skillsBytes, skillsBytes + sizeof(skills)), std::string(skills, skills + std::size(skills) - 1)},
    };
    LogCapture log;
    for (const auto& [exportName, text, dest, id, payload, recordedText] : cases) {
        text != nullptr ? bridge.Call(exportName, text) : bridge.Call(exportName);
    }
    for (const char* name : {"SendFileInfoAllToFilesystem", "SendArrayNumToFilesystem", "SendSaveFileToFilesystem"}) {
        bridge.Call(name, nullptr);
    }
    bridge.Call("SendWindowClose"); // nothing posted for a null text: this one follows the cases
    Sleep(300); // the client retries meanwhile
    ASSERT_TRUE(service.Start());
    const std::vector<ipctest::Record> records = ipctest::WaitForRecords(service.RecordPath(), std::size(cases) + 1);
    ASSERT_EQ(records.size(), std::size(cases) + 1);
    EXPECT_EQ(records.back().at("id"), std::to_string(0xF1000B));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [exportName, text, dest, id, payload, recordedText] = cases[i];
        ipctest::Record record = records[i];
        record.erase("t"); // milliseconds since the service started
        EXPECT_EQ(record, (ipctest::Record{{"src", "15728640"}, {"dest", std::to_string(dest)}, {"id", std::to_string(id)},
                                           {"aux1", "-1"}, {"aux2", "-1"}, {"aux3", "-1"}, {"auxValue", "0"}, {"auxFlag", "false"},
                                           {"auxValue2", "0"}, {"head", ""}, {"length", std::to_string(payload ? payload->size() : 0)},
                                           {"payload", payload ? ipctest::Hex(*payload) : "null"}, {"dir", "out"},
                                           {"name", exportName}, {"text", recordedText}, {"client", records[0].at("client")},
                                           {"seq", std::to_string(i + 1)}})) // numbered from 1 by one client
            << exportName;
    }
    const LogRecord save = {4, L"Fd:SendSaveFileToFilesystem(FerrydockIpc::SendSaveFileToFilesystem)"};
    const LogRecord saved = {4, L"IPChelper SendSaveFileToFilesystem bool : 1(FerrydockIpc::IPCHelper::SendSaveFileToFilesystem)"};
    const auto null = [](const std::wstring& e) { return LogRecord{4, L"dir is null(FerrydockIpc::" + e + L")"}; };
    EXPECT_EQ(log.Records(), (std::vector<LogRecord>{save, saved, null(L"SendFileInfoAllToFilesystem"),
                                                     null(L"SendArrayNumToFilesystem"), save, null(L"SendSaveFileToFilesystem")}));
}

// FreeLibrary runs the client's destructor under the loader lock: once mid-flood, then
// many times before, during and after a stream arrives.
TEST(Lifecycle, FreeLibraryWhileMessagesArriveThenAnUnloadStorm)
{
    ipctest::Service service(false);
    ASSERT_TRUE(service.Start());
    DWORD handlesBefore = 0;
    for (int i = 0; i < 60; ++i) {
        ipctest::BridgeLibrary bridge;
        bridge.RegisterText("RegisterWndShowSendFilesCallback", ipctest::OnSendFiles);
        bridge.Init();
        bridge.Call("WndShowFinsh");
        ASSERT_TRUE(service.WaitForLine(ipctest::kBridgeConnected, i + 1)) << i;
        ASSERT_TRUE(service.SendLine(std::string("flood 0xF10005 ") + (i == 0 ? "100000" : "300") + " 73746f726d00"));
        if (i == 0) {
            ASSERT_TRUE(ipctest::CallbackLog().WaitFor(20));
            bridge.Unload();
            const std::size_t delivered = ipctest::CallbackLog().Count();
            Sleep(300);
            EXPECT_EQ(ipctest::CallbackLog().Count(), delivered) << "no callback after the unload";
            EXPECT_LT(delivered, 100000u) << "the unload happened mid-stream";
        }
        Sleep(DWORD(i % 4));
        handlesBefore = i == 9 ? testsupport::CountOpenHandles() : handlesBefore; // once the loop has settled
    }
    // No work of a client outlives its destructor, so Pipelink.dll leaves with the bridge.
    EXPECT_TRUE(ipctest::Eventually([] { return GetModuleHandleW(L"Pipelink.dll") == nullptr; }))
        << "every client's threads ended";
    const std::size_t delivered = ipctest::CallbackLog().Count();
    Sleep(200);
    EXPECT_EQ(ipctest::CallbackLog().Count(), delivered) << "no delivery outlived its bridge";
    // Each unloaded copy of the statically linked thread library keeps a record with its
    // handles for every thread that used it: under four handles a cycle, measured. Over 50
    // cycles a client's handle leaked each time, or its state outliving the unload, goes past.
    const DWORD handlesAfter = testsupport::CountOpenHandles();
    EXPECT_LE(handlesAfter, handlesBefore + 16 + 4 * 50) << "before " << handlesBefore << ", after " << handlesAfter;
}

static std::atomic<long long> g_texts{0};
static void FERRYDOCK_CALL CountText(const wchar_t*) { ++g_texts; }

// Texts posted through SendFileInfoAllToFilesystem while the service floods texts to the
// callback, in rounds. From the end of the first round (queues and heaps at working
// size) to the last: committed private memory within 2 MiB (a leak of 64 bytes a message,
// one way, adds 3 MiB) and handles within 16 (a handle leaked per message, by thousands).
// Initialised twice, the bridge still delivers each text once; after UninitIPCModule it
// delivers nothing until a new Init.
TEST(Soak, MessagesEachWayLeaveMemoryAndHandlesFlatUntilUninit)
{
    constexpr long long kRound = 10000, kRounds = 6;
    LogCapture log;
    ipctest::Service service(false);
    ASSERT_TRUE(service.Start());
    ipctest::BridgeLibrary bridge;
    bridge.RegisterText("RegisterWndShowSendFilesCallback", CountText);
    ASSERT_TRUE(bridge.Init());
    ASSERT_TRUE(bridge.Init()) << "registers the same handlers again, each once";
    ASSERT_TRUE(service.WaitForLine(ipctest::kBridgeConnected));
    const auto post = bridge.Get<PFN_VoidText>("SendFileInfoAllToFilesystem");
    std::string count;
    const auto received = [&] { return service.Ask("stats", "received ", count, 10000) ? std::stoll(count) : -1; };
    std::size_t memory = 0;
    DWORD handles = 0;
    for (long long round = 1; round <= kRounds; ++round) {
        service.SendLine("flood 0xF10005 " + std::to_string(kRound) + " 736f616b2074657874000000");
        for (long long i = 0; i < kRound; ++i) {
            post(std::wstring(47, L'x').c_str());
        }
        ASSERT_TRUE(ipctest::Eventually([&] { return received() >= round * kRound && g_texts >= round * kRound; }, 20000))
            << "round " << round << ": received " << received() << ", callbacks " << g_texts;
        memory = round == 1 ? testsupport::CommittedPrivateBytes() : memory;
        handles = round == 1 ? testsupport::CountOpenHandles() : handles;
    }
    Sleep(200);
    const std::size_t memoryAtEnd = testsupport::CommittedPrivateBytes();
    const DWORD handlesAtEnd = testsupport::CountOpenHandles();
    std::printf("[ soak ] %lld each way; committed private %.2f -> %.2f MiB; open handles %lu -> %lu\n",
                kRound * kRounds, memory / 1048576.0, memoryAtEnd / 1048576.0, handles, handlesAtEnd);
    EXPECT_EQ(received(), kRound * kRounds) << "each post arrived once";
    EXPECT_EQ(g_texts.load(), kRound * kRounds) << "each flooded text reached the callback once";
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{}) << "no post refused";
    EXPECT_LE(memoryAtEnd, memory + 2 * 1048576);
    EXPECT_LE(handlesAtEnd, handles + 16);

    EXPECT_TRUE(bridge.Uninit());
    ASSERT_TRUE(service.SendLine("send 0xF10005 7800") && service.WaitForLine("sent " + std::to_string(0xF10005)));
    Sleep(300);
    EXPECT_EQ(g_texts.load(), kRound * kRounds) << "nothing delivered between Uninit and Init";
    EXPECT_TRUE(bridge.Init());
    ASSERT_TRUE(service.SendLine("send 0xF10005 7800"));
    EXPECT_TRUE(ipctest::Eventually([] { return g_texts > kRound * kRounds; })) << "served again after Init";
}
