// ferrydock-service.exe driven by scripts and records, with FerrydockUITrans.dll in this
// process as the interface's end.
#include "IpcTestSupport.h"
#include "support/PeFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

using ipctest::BridgeLibrary;
using ipctest::CallbackLog;
using ipctest::Record;

namespace {

using Seen = std::pair<std::string, std::wstring>; // callback, text

std::vector<Seen> Callbacks()
{
    std::vector<Seen> seen;
    for (const auto& event : CallbackLog().Values()) {
        seen.push_back({event.callback, event.text});
    }
    return seen;
}

// Loaded after the service object, which chose the pipe the bridge's client takes.
void Listen(BridgeLibrary& bridge)
{
    ipctest::RegisterAllCallbacks(bridge);
    bridge.Init();
}

// In the working folder, which the service shares: its messages name the file as given.
std::wstring WriteFile(const char* name, const std::string& text)
{
    std::ofstream(name, std::ios::binary) << text;
    return std::wstring(name, name + std::strlen(name));
}

std::vector<unsigned char> Row(std::vector<unsigned char> block, std::size_t offset, const std::string& text)
{
    std::memcpy(block.data() + offset, text.data(), text.size());
    return block;
}

} // namespace

// Every bad line is named at once, and the pipe is never opened: nothing can be sent.
TEST(Workbench, ScriptWithBadLinesNamesEachAndSendsNothing)
{
    const std::vector<std::pair<std::string, std::string>> lines = {
        {"# a comment, then a blank line", ""},
        {"", ""},
        {"progress \"50%", "the closing quote is missing"},
        {"show-file \"a\" b", "nothing may follow the closing quote"},
        {"show-file \"\\q\"", "unknown escape \\q (use \\\" \\\\ \\n \\t \\u{hex})"},
        {"show-file \"\\u{D800}\"", "\\u{...} takes 1 to 6 hex digits of a character other than zero or a surrogate"},
        {"send-files", "a text is missing (the rest of the line, or \"...\")"},
        {"main-window 4294967296", "main-window takes one 32-bit integer"},
        {"expect SendNothing", "expect takes the name of an export that posts a notification: WndShowFinsh, "
                               "SendFileInfoAllToFilesystem, SendFinishTransferMesseage, SendArrayNumToFilesystem, "
                               "SendSaveFileToFilesystem, SendWindowClose, SendRecentToMessageUI, "
                               "SendDeviceGetToFilesystem, SendToOpenSettingCenter, SendToOpenUseMachineSkills"},
        {"wait", "usage: wait <milliseconds>"},
        {"connect 5 6", "usage: connect [timeout ms]"},
        {"repeat 0 progress 1", "usage: repeat <n 1..1000000> <command>"},
        {"repeat 2 fly", "unknown command \"fly\" (help lists them)"},
        {"send 0xF10005 abc", "usage: send <messageId> <hex payload | ->"},
        {"devices missing.txt", "devices missing.txt: cannot read the devices file"},
        {"stats now", "stats takes no argument"},
        {"quit", "quit ends the service; give --exit to end it after the script"},
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
    const std::wstring path = WriteFile("bad-script.txt", script);
    ipctest::Service service;
    EXPECT_FALSE(service.Start(L"--script \"" + path + L"\"")) << "no ready: the pipe was not created";
    EXPECT_EQ(service.WaitForExit(10000), 2);
    EXPECT_EQ(service.Lines(), expected);
    EXPECT_TRUE(ipctest::WaitForRecords(service.RecordPath(), 1, 0, nullptr).empty());
    DeleteFileW(path.c_str());
}

// Each named command's payload as the record saw it leave, against blocks built here, and
// as the bridge handed it to the interface; then expect: a post matches once, and a
// timeout ends the script with 1.
TEST(Workbench, NamedCommandsReachTheirCallbacksThenExpectWaitsForThePost)
{
    std::vector<unsigned char> devices(1818, 0);
    devices = Row(Row(Row(Row(devices, 0, "1"), 2, "K\xC3\xBC" "che"), 1026, "ID-\xE9"), 1794, "7"); // id: code page 1252
    struct Case {
        std::string line;
        int id;
        std::vector<unsigned char> payload;
        const char* name;
        Seen callback;
        std::string text; // as the record writes it
    };
    const std::vector<Case> cases = {
        {"main-window -2", 0xF00001, {0xFE, 0xFF, 0xFF, 0xFF}, "WndShowCallback", {"OnShowWindow", L"-2"}, "-2"},
        {"show-file \"C:\\\\f\\u{e9}\"", 0xF00002, ipctest::Bytes("C:\\f\xC3\xA9"), "WndShowFileCallback",
         {"OnShowFile", L"C:\\f\u00e9"}, "C:\\\\f\xC3\xA9"},
        {"send-files  a list", 0xF10005, ipctest::Bytes("a list"), "WndShowSendFilesCallback",
         {"OnSendFiles", L"a list"}, "a list"},
        {"progress 42%", 0xF10006, ipctest::Bytes("42%"), "WndShowRecieveFilesProgressCallback",
         {"OnRecieveFilesProgress", L"42%"}, "42%"},
        {"receive-files \"\\u{1F600}\\n\"", 0xF10007, ipctest::Bytes("\xF0\x9F\x98\x80\n"), "WndShowRecieveFilesCallback",
         {"OnRecieveFiles", L"\U0001F600\n"}, "\xF0\x9F\x98\x80\\u000a"},
        {"find-save-file D:\\save", 0xF10008, ipctest::Bytes("D:\\save"), "WndShowRecieveFindSaveFileCallback",
         {"OnRecieveFindSaveFile", L"D:\\save"}, "D:\\\\save"},
        {"find-device-type \"\\t3\"", 0xF10009, ipctest::Bytes("\t3"), "WndShowRecieveFindDeviceTypeCallback",
         {"OnRecieveFindDeviceType", L"\t3"}, "\\u00093"},
        {"devices devices-one.txt", 0x1502BE, devices, "WndShowDeviceCallback",
         {"OnDevices", L"1\nK\u00fcche|ID-\u00e9|7"}, "1\\u000aK\xC3\xBC" "che|ID-\xC3\xA9|7"},
    };
    WriteFile("devices-one.txt", "K\xC3\xBC" "che\tID-\xC3\xA9\t7\n");
    std::string script = "connect\nwait 300\n";
    for (const Case& c : cases) {
        script += c.line + "\n";
    }
    const std::wstring path = WriteFile("named.txt", script + "expect WndShowFinsh\nexpect WndShowFinsh 300\n");
    ipctest::Service service;
    BridgeLibrary bridge;
    Listen(bridge);
    const std::size_t before = CallbackLog().Count();
    ASSERT_TRUE(service.Start(L"--script named.txt"));
    ASSERT_TRUE(CallbackLog().WaitFor(before + cases.size()));
    bridge.Call("WndShowFinsh");
    EXPECT_EQ(service.WaitForExit(20000), 1);
    const auto printed = service.Lines();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), "error: named.txt:12: expect WndShowFinsh: not posted within 300 ms"), 1);
    const auto seen = Callbacks();
    const auto in = ipctest::WaitForRecords(service.RecordPath(), cases.size(), 0, "in");
    ASSERT_EQ(in.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(seen[before + i], c.callback) << c.line;
        const Record expected{{"id", std::to_string(c.id)}, {"payload", ipctest::Hex(c.payload)}, {"name", c.name},
                              {"dest", "15728640"}, {"src", c.id == 0x1502BE ? "6094848" : "15794176"}};
        for (const auto& field : expected) {
            EXPECT_EQ(in[i].at(field.first), field.second) << c.line << " " << field.first;
        }
        EXPECT_EQ(in[i].at("text"), c.text) << c.line;
    }
    EXPECT_EQ(ipctest::WaitForRecords(service.RecordPath(), 1)[0].at("name"), "WndShowFinsh");
    DeleteFileW(path.c_str());
    DeleteFileW(L"devices-one.txt");
}

// The shipped transfer scenario against the bridge; its record, with both directions on
// every line, replayed to a fresh bridge gives the same callbacks in the same order.
TEST(Workbench, ShippedTransferScenarioThenItsRecordReplayed)
{
    const std::wstring scenario = testsupport::BesideExecutable(L"scenarios\\incoming-transfer.txt");
    const std::wstring files = L"{\"files\":[\"C:\\\\Users\\\\demo\\\\Ferrydock\\\\holiday.jpg\",\"C:\\\\Users\\\\demo\\\\"
                               L"Ferrydock\\\\menu.png\"]}";
    std::vector<Seen> expected = {{"OnShowWindow", L"1"},
                                  {"OnSendFiles", L"{\"from\":\"Caf\u00e9 phone\",\"files\":[{\"name\":\"holiday.jpg\","
                                                  L"\"size\":2480133},{\"name\":\"menu.png\",\"size\":81920}]}"}};
    for (const wchar_t* percent : {L"0", L"25", L"50", L"75", L"100"}) {
        expected.push_back({"OnRecieveFilesProgress", percent});
    }
    expected.push_back({"OnRecieveFiles", files});
    expected.push_back({"OnShowFile", L"C:\\Users\\demo\\Ferrydock\\holiday.jpg"});
    ipctest::Service service;
    std::vector<Record> recorded;
    {
        BridgeLibrary bridge;
        Listen(bridge);
        const std::size_t before = CallbackLog().Count();
        ASSERT_TRUE(service.Start(L"--script \"" + scenario + L"\""));
        ASSERT_TRUE(service.WaitForLine("script finished", 1, 30000));
        ASSERT_TRUE(CallbackLog().WaitFor(before + expected.size()));
        bridge.Call("SendFinishTransferMesseage");
        bridge.Call("SendDeviceGetToFilesystem"); // answered by the service itself: not replayed
        ASSERT_TRUE(CallbackLog().WaitFor(before + expected.size() + 1));
        recorded = ipctest::WaitForRecords(service.RecordPath(), expected.size() + 3, 10000, nullptr);
        const auto seen = Callbacks();
        EXPECT_EQ(std::vector<Seen>(seen.begin() + static_cast<std::ptrdiff_t>(before), seen.end() - 1), expected);
        EXPECT_EQ(seen.back().second, L"2\nLiving-room tablet|TAB-7F3A21|2\nCaf\u00e9 phone|PHN-00C9E4|1");
    }
    ASSERT_EQ(recorded.size(), expected.size() + 3);
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        const bool out = i == expected.size() || i == expected.size() + 1;
        EXPECT_EQ(recorded[i].at("dir"), out ? "out" : "in") << i;
        EXPECT_LE(std::stoull(recorded[i > 0 ? i - 1 : 0].at("t")), std::stoull(recorded[i].at("t"))) << i;
    }
    EXPECT_EQ(recorded[2].at("name") + "/" + recorded[2].at("text"), "WndShowRecieveFilesProgressCallback/0");
    EXPECT_EQ(recorded[9].at("name") + "/" + recorded[9].at("text"), "SendFinishTransferMesseage/null");
    EXPECT_EQ(recorded[11].at("name") + "/" + recorded[11].at("reply"), "WndShowDeviceCallback/true");

    ipctest::Service replay;
    BridgeLibrary bridge;
    Listen(bridge);
    const std::size_t before = CallbackLog().Count();
    ASSERT_TRUE(replay.Start(L"--replay \"" + service.RecordPath() + L"\" --speed 4 --exit"));
    EXPECT_EQ(replay.WaitForExit(30000), 0);
    ASSERT_TRUE(CallbackLog().WaitFor(before + expected.size()));
    const auto seen = Callbacks();
    EXPECT_EQ(std::vector<Seen>(seen.begin() + static_cast<std::ptrdiff_t>(before), seen.end()), expected);
    const auto again = ipctest::WaitForRecords(replay.RecordPath(), expected.size(), 0, "in");
    ASSERT_EQ(again.size(), expected.size());
    for (std::size_t i = 0; i < again.size(); ++i) {
        EXPECT_EQ(again[i].at("payload"), recorded[i].at("payload")) << i;
    }

    const std::wstring old = WriteFile("old-record.jsonl", "{\"src\":15728640,\"dest\":15794176,\"id\":15794177}\n");
    ASSERT_FALSE(replay.Start(L"--replay old-record.jsonl"));
    EXPECT_EQ(replay.WaitForExit(10000), 2);
    EXPECT_EQ(replay.Lines(), std::vector<std::string>{"error: old-record.jsonl:1: no \"dir\": this record was written "
                                                       "by an older ferrydock-service and holds only the bridge's "
                                                       "messages; record the session again to replay it"});
    DeleteFileW(old.c_str());
}
