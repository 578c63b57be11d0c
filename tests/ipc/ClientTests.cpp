// The Pipelink stand-in against a pipe server played by the test itself, and against the
// stand-in service killed and restarted while both sides stream.
#include "IPCMessageClient.h"
#include "IpcTestSupport.h"
#include "PipelinkPump.h"
#include "PipelinkWire.h"
#include "ferrydock/Resource.h"
#include "support/ImportPatch.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <tuple>


namespace {

constexpr int kModule = 0xF00000;
const wchar_t kUnused[] = L"\\\\.\\pipe\\unused"; // FERRYDOCK_PIPE_NAME names the real one

// One pipe instance at a time, blocking I/O: a client that never comes or never sends
// hangs the test, and ctest's timeout fails it.
struct TestServer {
    explicit TestServer(const std::wstring& name, DWORD instances = PIPE_UNLIMITED_INSTANCES)
        : pipe_(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, instances, 65536, 65536, 0, nullptr)) {}
    bool Connect() { return ConnectNamedPipe(pipe_.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED; }
    // Waits for the client and reads its hello.
    bool AcceptHello()
    {
        std::vector<pipelink::Frame> hello;
        return Connect() && ReadFrames(1, hello) && hello[0].fields.kind == pipelink::kKindHello &&
               hello[0].fields.srcModule == kModule;
    }
    bool Write(const std::vector<char>& bytes, std::size_t from = 0, std::size_t to = SIZE_MAX)
    {
        DWORD written = 0, size = DWORD(std::min(to, bytes.size()) - from);
        return WriteFile(pipe_.get(), bytes.data() + from, size, &written, nullptr) && written == size;
    }
    // Reads until count frames arrived (false on a malformed frame or a broken pipe).
    bool ReadFrames(std::size_t count, std::vector<pipelink::Frame>& frames)
    {
        while (frames.size() < count) {
            pipelink::Frame frame;
            std::size_t consumed = 0;
            const char* reason = nullptr;
            const auto result = pipelink::ParseFrame(pending_.data(), pending_.size(), frame, consumed, reason);
            if (result == pipelink::ParseResult::Frame) {
                frames.push_back(std::move(frame));
                pending_.erase(pending_.begin(), pending_.begin() + long(consumed));
                continue;
            }
            char buffer[65536];
            DWORD got = 0;
            if (result == pipelink::ParseResult::Malformed || !ReadFile(pipe_.get(), buffer, sizeof(buffer), &got, nullptr)) {
                return false;
            }
            pending_.insert(pending_.end(), buffer, buffer + got);
        }
        return true;
    }
    FerrydockIpc::UniqueFileHandle pipe_;
    std::vector<char> pending_;
};

// Appends a message frame for the client's module; the aux fields derived from aux. Returns out.
std::vector<char>& AddFrame(std::vector<char>& out, int messageId, const std::string* payload = nullptr,
                            const std::string& head = {}, int aux = -1, bool flag = false)
{
    const pipelink::FrameFields f{pipelink::kKindMessage, 0xF10000, kModule, messageId, aux, aux - 1, aux - 2, aux * 10,
                                  aux * 100, flag, payload != nullptr};
    pipelink::AppendFrame(out, f, head.data(), head.size(), payload ? payload->data() : nullptr, payload ? payload->size() : 0);
    return out;
}

// What reached a callable: the record (message pointer cleared), its payload ("<null>"
// for a null message), and the thread.
struct Delivered {
    TagIPCMessageItem item;
    std::string payload;
    DWORD thread;
};
using Seen = ipctest::Collector<Delivered>;
IPCMessageClient::MessageCallback Into(Seen& seen)
{
    return [&seen](TagIPCMessageItem& item) {
        const std::string payload = item.message ? std::string(item.message, std::size_t(item.messageLength)) : "<null>";
        item.message = nullptr;
        seen.Add({item, payload, GetCurrentThreadId()});
    };
}

// The payloads that reached a callable from the index from on, each followed by a space.
std::string Joined(Seen& seen, std::size_t from = 0)
{
    const std::vector<Delivered> all = seen.Values();
    std::string joined;
    for (std::size_t i = from; i < all.size(); ++i) {
        joined += all[i].payload + " ";
    }
    return joined;
}

} // namespace

// Refused: bad lengths and heads, and posts past the bound, which counts written frames
// until they are acknowledged; the refusals of one full spell logged once.
TEST(PipelinkClient, PostRefusesInvalidRecordsAndQueuesUpToItsBound)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    testsupport::LogCapture log;
    IPCMessageClient client(kModule, true, true, kUnused);
    const auto post = [&](const char* message, int length, std::size_t headBytes = 0) {
        TagIPCMessageItem item;
        std::tie(item.destModuleId, item.messageId, item.message, item.messageLength) = std::make_tuple(0xF10000, 1, message, length);
        item.headText.assign(headBytes, 'h');
        return client.PostIPCMessage(item);
    };
    static const char big[pipelink::kMaxPayloadBytes + 1] = {};
    EXPECT_FALSE(post("abc", -1) || post(nullptr, 3) || post(nullptr, 0, pipelink::kMaxHeadBytes + 1) ||
                 post(big, int(pipelink::kMaxPayloadBytes + 1)));
    ASSERT_TRUE(post(nullptr, 0, pipelink::kMaxHeadBytes) && post(big, int(pipelink::kMaxPayloadBytes)));
    for (std::size_t i = 2; i < kPipelinkMaxQueuedMessages; ++i) {
        ASSERT_TRUE(post("", 0)) << i;
    }
    EXPECT_FALSE(post("", 0) || post("", 0));
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"Pipelink outbound queue full, refusing messages(pipelink::IPCMessageClient)"});
    TestServer server(pipe);
    std::vector<pipelink::Frame> frames;
    ASSERT_TRUE(server.AcceptHello() && server.ReadFrames(kPipelinkMaxQueuedMessages, frames));
    EXPECT_FALSE(post("", 0)) << "written but unacknowledged frames count";
    std::vector<char> ack;
    pipelink::AppendFrame(ack, pipelink::AckFields(1), nullptr, 0, nullptr, 0);
    ASSERT_TRUE(server.Write(ack));
    EXPECT_TRUE(ipctest::Eventually([&, posted = false]() mutable { return posted = posted || post("", 0); }));
}

// Every field, a null and an empty payload, ids without a callable, then frames of sizes
// that fall on and across the client's read blocks, the last ones followed by a close.
// Then a connection each for malformed frames: a valid frame, the malformed one, then a
// valid frame lost with the connection; then a connection without damage.
TEST(PipelinkClient, DeliversFramesWholeInOrderOnItsOwnThreadAndDropsMalformedOnes)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    testsupport::LogCapture log;
    IPCMessageClient client(kModule, true, true, kUnused);
    Seen seen;
    for (int id : {1, 2, 3}) {
        client.RegisterMessageCallback(id, Into(seen));
    }
    constexpr std::size_t kFill = pipelink::kReadBlockBytes - pipelink::kHeaderBytes;
    const std::size_t sizes[] = {kFill, 3, kFill, kFill - 1, kFill + 1, kFill / 2 - 28, kFill / 2 - 28, 0, 65536, 9000, 797};
    const std::string three("\x01\x00\x02", 3);
    std::vector<std::string> payloads = {three, "", "<null>"}; // as the callable sees them
    std::vector<char> block;
    AddFrame(AddFrame(AddFrame(AddFrame(block, 1, &three, "head", 5, true), 2, &payloads[1]), 4, &three), 3);
    for (const std::size_t size : sizes) {
        payloads.emplace_back(size, '\0');
        std::generate(payloads.back().begin(), payloads.back().end(), [n = size]() mutable { return char(n++ * 31); });
        AddFrame(block, 2, &payloads.back());
    }
    {
        TestServer server(pipe);
        ASSERT_TRUE(server.AcceptHello());
        ASSERT_TRUE(server.Write(block, 0, 70) && server.Write(block, 70)); // cut inside a frame
    }
    ASSERT_TRUE(seen.WaitFor(payloads.size()));
    const std::vector<Delivered> got = seen.Values();
    const TagIPCMessageItem& f = got[0].item;
    EXPECT_EQ(std::make_tuple(f.headText, f.destModuleId, f.messageId, f.auxId1, f.auxId2, f.auxId3, f.auxValue,
                              f.auxValue2, f.auxFlag, f.messageLength),
              std::make_tuple(std::string("head"), kModule, 1, 5, 4, 3, 50, 500, true, 3));
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(std::make_pair(got[i].payload, got[i].thread), std::make_pair(payloads[i], got[0].thread)) << i;
    }
    EXPECT_NE(got[0].thread, GetCurrentThreadId());

    const std::string ok = "ok", bad = "bad";
    const std::pair<std::size_t, std::vector<char>> damages[] = {{4, {9, 0}}, {0, {'\x13', '\x7f', 'z', '\0'}}, {0, {}}};
    std::size_t expected = got.size();
    for (const auto& [offset, bytes] : damages) {
        TestServer server(pipe);
        ASSERT_TRUE(server.AcceptHello()) << "the client reconnects by itself";
        std::vector<char> frames;
        const std::size_t at = AddFrame(frames, 1, &ok).size() + offset;
        AddFrame(AddFrame(frames, 1, &bad), 1, &bad);
        std::copy(bytes.begin(), bytes.end(), frames.begin() + long(at));
        ASSERT_TRUE(server.Write(frames));
        ASSERT_TRUE(seen.WaitFor(expected += bytes.empty() ? 3 : 1));
    }
    Sleep(100);
    EXPECT_EQ(Joined(seen, got.size()), "ok ok ok bad bad ") << "only valid frames arrive";
    const std::wstring dropped = L"Pipelink dropped a malformed frame (", tail = L"), reconnecting(pipelink::IPCMessageClient)";
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{dropped + L"unknown version" + tail, dropped + L"bad magic" + tail}));
}

// A callable re-enters the client, its post leaving with every field; an unregistration
// from another thread waits for it, and no record read before the unregistration is
// delivered after it.
TEST(PipelinkClient, CallableReentersTheClientAndUnregisterWaitsForIt)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, kUnused);
    FerrydockIpc::UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr)), release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
    client.RegisterMessageCallback(1, [&](TagIPCMessageItem&) {
        ++calls;
        client.PostIPCMessage({"h", 0xF10000, 11, 99, 12, 13, 14, 1, "p", true, 15});
        client.RegisterMessageCallback(2, [](TagIPCMessageItem&) {});
        SetEvent(entered.get());
        WaitForSingleObject(release.get(), 10000);
        client.UnRegisterMessageCallbackAll();
        returned = true;
    });
    TestServer server(pipe);
    ASSERT_TRUE(server.AcceptHello());
    std::vector<char> block;
    for (int i = 0; i < 20; ++i) {
        AddFrame(block, 1);
    }
    ASSERT_TRUE(server.Write(block)); // 20 read, 1 running, 19 waiting
    ASSERT_EQ(WaitForSingleObject(entered.get(), 10000), WAIT_OBJECT_0);
    std::vector<pipelink::Frame> frames;
    ASSERT_TRUE(server.ReadFrames(1, frames)) << "the post from inside the callable went out";
    const pipelink::FrameFields& x = frames[0].fields;
    EXPECT_EQ(std::make_tuple(x.srcModule, x.destModuleId, x.messageId, x.auxId1, x.auxId2, x.auxId3, x.auxValue, x.auxValue2,
                              x.auxFlag, frames[0].head, std::string(frames[0].payload.begin(), frames[0].payload.end())),
              std::make_tuple(kModule, 0xF10000, 99, 11, 12, 13, 14, 15, true, std::string("h"), std::string("p")));
    std::thread other([&] {
        client.UnRegisterMessageCallbackAll();
        EXPECT_TRUE(returned) << "waits for the running callable";
    });
    Sleep(200);
    SetEvent(release.get());
    other.join();
    Sleep(200);
    EXPECT_EQ(calls, 1) << "records already read are not delivered after the unregistration";
}

// The pipe busy (its only instance taken by another client), then gone: both are retried
// until a new instance listens, each run of one error logged once. Every attempt asks for
// identification only. Then, with every write failing, the connection ends only once what
// the server wrote before it closed has been read and delivered.
TEST(PipelinkClient, OpensForIdentificationOnlyRetriesWhileBusyOrAbsentAndReadsPastAFailedWrite)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    constexpr DWORD kNotIdentificationOnly = ~0u;
    static ipctest::Collector<DWORD> creates; // the error of each attempt
    decltype(&CreateFileW) recording = [](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                          DWORD disposition, DWORD flags, HANDLE templateFile) {
        const HANDLE file = CreateFileW(name, access, share, security, disposition, flags, templateFile);
        const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        const DWORD asked = flags & (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | SECURITY_CONTEXT_TRACKING | FILE_FLAG_OVERLAPPED);
        creates.Add(asked == (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED) ? error : kNotIdentificationOnly);
        SetLastError(error);
        return file;
    };
    const auto patch = [](const char* function, void* replacement) {
        return std::make_unique<testsupport::ImportPatch>(GetModuleHandleW(L"Pipelink.dll"), "kernel32.dll", function, replacement);
    };
    auto patched = patch("CreateFileW", reinterpret_cast<void*>(recording));
    ASSERT_TRUE(patched->active());
    testsupport::LogCapture log(std::vector<std::wstring>{});
    {
        auto only = std::make_unique<TestServer>(pipe, 1);
        FerrydockIpc::UniqueFileHandle occupying(
            CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        auto client = std::make_unique<IPCMessageClient>(kModule, true, true, kUnused);
        Sleep(150); // busy
        occupying.reset();
        only.reset();
        Sleep(150); // gone
        TestServer server(pipe);
        ASSERT_TRUE(server.AcceptHello());
        client.reset(); // gone before the server, so that it does not try again
    }
    const auto attempts = creates.Values();
    const auto count = [&](DWORD error) { return std::count(attempts.begin(), attempts.end(), error); };
    EXPECT_EQ(count(kNotIdentificationOnly), 0);
    EXPECT_GE(count(ERROR_PIPE_BUSY), 2);
    EXPECT_GE(count(ERROR_FILE_NOT_FOUND), 2);
    ASSERT_EQ(count(ERROR_SUCCESS), 1);
    const std::wstring tail = L"(pipelink::IPCMessageClient)";
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                               L"Pipelink cannot connect to " + pipe + L" (error 231), retrying" + tail,
                               L"Pipelink cannot connect to " + pipe + L" (error 2), retrying" + tail,
                               L"Pipelink connected to " + pipe + L" after " + std::to_wstring(attempts.size() - 1) +
                                   L" failed attempts" + tail}));

    decltype(&WriteFile) failing = [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
        SetLastError(ERROR_NO_DATA);
        return FALSE;
    };
    patched = patch("WriteFile", reinterpret_cast<void*>(failing));
    ASSERT_TRUE(patched->active());
    TestServer server(pipe, 1);
    Seen seen;
    IPCMessageClient client(kModule, true, false, kUnused);
    client.RegisterMessageCallback(7, Into(seen));
    ASSERT_TRUE(server.Connect());
    const std::string one = "one", two = "two", three = "three";
    std::vector<char> frames;
    ASSERT_TRUE(server.Write(AddFrame(AddFrame(AddFrame(frames, 7, &one), 7, &two), 7, &three)));
    ASSERT_TRUE(seen.WaitFor(3, 5000));
    server.pipe_.reset();
    EXPECT_EQ(Joined(seen), "one two three ");
}

// A kill drops unacknowledged and queued frames, perhaps an acknowledgement of recorded
// ones: the client's resend must neither lose nor repeat any of them.
TEST(RestartStorm, AcceptedMessagesArriveExactlyOnceInOrderAcrossKills)
{
    constexpr int kKills = 20;
    ipctest::Service service;
    IPCMessageClient client(kModule, true, true, kUnused);
    // Numbered posts (auxValue) at the pace of a busy interface: the record file stays small.
    std::atomic<bool> posting{true};
    std::vector<int> accepted;
    std::thread poster([&] {
        TagIPCMessageItem item{{}, 0xF10000, 0, 0x55, 0, 0, 0, 6, "storm"};
        for (item.auxValue = 0; posting; ++item.auxValue) {
            if (client.PostIPCMessage(item)) {
                accepted.push_back(item.auxValue);
            }
            Sleep(item.auxValue % 8 == 0 ? 1 : 0);
        }
    });
    std::mt19937 random(7);
    int connections = 0;
    for (int kill = 0; kill < kKills && service.Start(); ++kill) {
        // Killed at times spread over the client's connect back-off and its streaming.
        connections += random() % 4 != 0 && service.WaitForLine(ipctest::kBridgeConnected, 1, 5000) ? 1 : 0;
        Sleep(random() % 40);
        service.Kill();
    }
    const bool restarted = service.Start() && service.WaitForLine(ipctest::kBridgeConnected);
    posting = false;
    poster.join();
    ASSERT_TRUE(restarted);
    std::vector<int> arrived;
    for (const auto& record : ipctest::WaitForRecords(service.RecordPath(), accepted.size(), 30000)) {
        arrived.push_back(std::stoi(record.at("auxValue")));
    }
    EXPECT_TRUE(arrived == accepted) << "each accepted message once, in posting order: " << arrived.size() << " of "
                                     << accepted.size();
    EXPECT_GT(connections, kKills / 2);
    EXPECT_GT(accepted.size(), 300u);
}
