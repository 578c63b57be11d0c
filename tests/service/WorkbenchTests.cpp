// ferrydock-service.exe driven by scripts and records, with FerrydockUITrans.dll in this
// process as the interface's end.
#include "IpcTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

using ipctest::CallbackLog;

namespace {

using Seen = std::pair<std::string, std::wstring>; // callback, text

std::vector<Seen> CallbacksSince(std::size_t first)
{
    std::vector<Seen> seen;
    for (const auto& event : CallbackLog().Values()) {
        seen.push_back({event.callback, event.text});
    }
    return {seen.begin() + static_cast<std::ptrdiff_t>(first), seen.end()};
}

// Loaded after the service object, which chose the pipe the bridge's client takes.
void Listen(const ipctest::BridgeLibrary& bridge) { ipctest::RegisterAllCallbacks(bridge); bridge.Init(); }

// In the working folder, which the service shares: its messages name the file as given.
void WriteFile(const char* name, const std::string& text) { std::ofstream(name, std::ios::binary) << text; }

} // namespace

// Every bad line is named at once, and the pipe is never opened: nothing can be sent.
TEST(Workbench, ScriptWithBadLinesNamesEachAndSendsNothing)
{
    const std::vector<std::pair<std::string, std::string>> lines = {
        {"# a comment, then a blank line", ""},
        {"", ""},
        {"progress \"50%", "the closing quote is missing"},
        {"show-file \"a\" b", "nothing may follow the closing quote"},
        {"devices missing.txt", "devices missing.txt: cannot read the devices file"},
        {"repeat 3 show-file \"caf\\u{e9}\\t\\\"x\\\"\"", ""},
    };
    std::string script;
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        script += lines[i].first + (i % 2 ? "\r\n" : "\n");
        if (!lines[i].second.empty()) {
            expected.push_back("bad-script.txt:" + std::to_string(i + 1) + ": " + lines[i].second);
        }
    }
    WriteFile("bad-script.txt", script);
    ipctest::Service service;
    EXPECT_FALSE(service.Start(L"--script bad-script.txt")) << "no ready: the pipe was not created";
    EXPECT_EQ(service.WaitForExit(10000), 2);
    EXPECT_EQ(service.Lines(), expected);
    EXPECT_TRUE(ipctest::WaitForRecords(service.RecordPath(), 1, 0, nullptr).empty());
}

// Each named command's payload as the record saw it leave, against blocks built here; expect
// matches a post once, and a timeout ends the script with 1. The record, replayed to a fresh
// bridge, gives the same callbacks without the service's own answers.
TEST(Workbench, NamedCommandsReachTheirCallbacksAndTheirRecordReplays)
{
    std::vector<unsigned char> devices(1818, 0); // the id in code page 1252
    const std::pair<int, std::string> rows[] = {{0, "1"}, {2, "K\xC3\xBC" "che"}, {1026, "ID-\xE9"}, {1794, "7"}};
    for (const auto& [offset, text] : rows) {
        std::memcpy(devices.data() + offset, text.data(), text.size());
    }
    const struct {
        std::string line;
        int id;
        std::vector<unsigned char> payload;
        const char* name;
        std::string text; // as the record writes it
    } cases[] = {
        {"main-window -2", 0xF00001, {0xFE, 0xFF, 0xFF, 0xFF}, "WndShowCallback", "-2"},
        {"show-file \"C:\\\\f\\u{e9}\"", 0xF00002, ipctest::Bytes("C:\\f\xC3\xA9"), "WndShowFileCallback", "C:\\\\f\xC3\xA9"},
        {"send-files  a list", 0xF10005, ipctest::Bytes("a list"), "WndShowSendFilesCallback", "a list"},
        {"progress 42%", 0xF10006, ipctest::Bytes("42%"), "WndShowRecieveFilesProgressCallback", "42%"},
        {"receive-files \"\\u{1F600}\\n\"", 0xF10007, ipctest::Bytes("\xF0\x9F\x98\x80\n"), "WndShowRecieveFilesCallback",
         "\xF0\x9F\x98\x80\\u000a"},
        {"find-save-file D:\\save", 0xF10008, ipctest::Bytes("D:\\save"), "WndShowRecieveFindSaveFileCallback", "D:\\\\save"},
        {"find-device-type \"\\t3\"", 0xF10009, ipctest::Bytes("\t3"), "WndShowRecieveFindDeviceTypeCallback", "\\u00093"},
        {"devices devices-one.txt", 0x1502BE, devices, "WndShowDeviceCallback", "1\\u000aK\xC3\xBC" "che|ID-\xC3\xA9|7"},
    };
    const std::size_t count = std::size(cases);
    WriteFile("devices-one.txt", "K\xC3\xBC" "che\tID-\xC3\xA9\t7\n");
    std::string script = "connect\n";
    for (const auto& c : cases) {
        script += c.line + "\n";
    }
    WriteFile("named.txt", script + "expect WndShowFinsh\nexpect WndShowFinsh 300\n");
    ipctest::Service service;
    std::vector<Seen> seen;
    {
        const ipctest::BridgeLibrary bridge;
        Listen(bridge);
        const std::size_t before = CallbackLog().Count();
        ASSERT_TRUE(service.Start(L"--script named.txt"));
        ASSERT_TRUE(CallbackLog().WaitFor(before + count));
        bridge.Call("SendDeviceGetToFilesystem"); // answered by the service itself: not replayed
        ASSERT_TRUE(CallbackLog().WaitFor(before + count + 1));
        bridge.Call("WndShowFinsh");
        EXPECT_EQ(service.WaitForExit(20000), 1);
        seen = CallbacksSince(before);
    }
    const auto printed = service.Lines();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), "error: named.txt:11: expect WndShowFinsh: not posted within 300 ms"), 1);
    const auto in = ipctest::WaitForRecords(service.RecordPath(), count + 1, 0, "in");
    ASSERT_EQ(in.size(), count + 1);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& c = cases[i];
        const auto& r = in[i];
        EXPECT_EQ(r.at("id") + " " + r.at("payload") + " " + r.at("name") + " " + r.at("src") + ">" + r.at("dest") + " " +
                      r.at("text") + " reached " + seen[i].first,
                  std::to_string(c.id) + " " + ipctest::Hex(c.payload) + " " + c.name + " " +
                      (c.id == 0x1502BE ? "6094848" : "15794176") + ">15728640 " + c.text + " reached " + c.name);
    }
    EXPECT_EQ(in[count].at("name") + "/" + in[count].at("reply"), "WndShowDeviceCallback/true");
    EXPECT_EQ(ipctest::WaitForRecords(service.RecordPath(), 2)[1].at("name"), "WndShowFinsh");

    ipctest::Service replay;
    const ipctest::BridgeLibrary bridge;
    Listen(bridge);
    const std::size_t before = CallbackLog().Count();
    ASSERT_TRUE(replay.Start(L"--replay \"" + service.RecordPath() + L"\" --speed 100 --exit"));
    EXPECT_EQ(replay.WaitForExit(30000), 0);
    ASSERT_TRUE(CallbackLog().WaitFor(before + count));
    EXPECT_EQ(CallbacksSince(before), std::vector<Seen>(seen.begin(), seen.begin() + count));
}
