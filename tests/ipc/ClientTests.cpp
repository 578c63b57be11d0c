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
#include <cstdio>
#include <random>
#include <thread>
#include <tuple>

using FerrydockIpc::UniqueFileHandle;
using FerrydockIpc::UniqueHandle;
using testsupport::LogCapture;

namespace {

constexpr int kModule = 0xF00000;
const wchar_t kUnused[] = L"\\\\.\\pipe\\unused"; // FERRYDOCK_PIPE_NAME names the real one

// One pipe instance at a time, blocking I/O: a client that never comes or never sends
// hangs the test, and the test's watchdog fails it.
class TestServer {
public:
    explicit TestServer(const std::wstring& name, DWORD instances = PIPE_UNLIMITED_INSTANCES)
        : pipe_(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, instances, 65536, 65536, 0, nullptr))
    {
    }
    // Waits for the client and reads its hello.
    bool AcceptHello()
    {
        std::vector<pipelink::Frame> hello;
        const bool ok = (ConnectNamedPipe(pipe_.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) &&
                        ReadFrames(1, hello) && hello[0].fields.kind == pipelink::kKindHello &&
                        hello[0].fields.srcModule == kModule;
        hello_ = ok ? hello[0].fields : pipelink::FrameFields{};
        return ok;
    }
    bool Write(const std::vector<char>& bytes)
    {
        DWORD written = 0;
        return WriteFile(pipe_.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
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
    UniqueFileHandle pipe_;
    pipelink::FrameFields hello_;

private:
    std::vector<char> pending_;
};

// Appends a message frame for the client's module; the aux fields derived from aux.
void AddFrame(std::vector<char>& out, int messageId, const std::string* payload = nullptr, const std::string& head = {},
              int aux = -1, bool flag = false)
{
    const pipelink::FrameFields f{pipelink::kKindMessage, 0xF10000, kModule, messageId, aux, aux - 1, aux - 2, aux * 10,
                                  aux * 100, flag, payload != nullptr};
    pipelink::AppendFrame(out, f, head.data(), head.size(), payload ? payload->data() : nullptr, payload ? payload->size() : 0);
}

TagIPCMessageItem Item(int id, const char* message = nullptr, int length = 0)
{
    TagIPCMessageItem item;
    item.destModuleId = 0xF10000;
    item.messageId = id;
    item.message = message;
    item.messageLength = length;
    return item;
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

} // namespace

// Refused: bad lengths and heads, and posts past the bound, which counts written frames
// until they are acknowledged. Accepted posts leave in order once a server listens.
TEST(PipelinkClient, PostRefusesInvalidRecordsAndQueuesUpToItsBound)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    LogCapture log(ipctest::ConnectNotes());
    IPCMessageClient client(kModule, true, true, kUnused);
    static const char big[pipelink::kMaxPayloadBytes + 1] = {};
    TagIPCMessageItem longHead = Item(1);
    longHead.headText.assign(pipelink::kMaxHeadBytes + 1, 'h');
    for (const TagIPCMessageItem& bad : {Item(1, "abc", -1), Item(1, nullptr, 3), longHead,
                                         Item(1, big, int(pipelink::kMaxPayloadBytes + 1))}) {
        EXPECT_FALSE(client.PostIPCMessage(bad)) << bad.messageLength;
    }
    longHead.headText.pop_back();
    ASSERT_TRUE(client.PostIPCMessage(longHead));
    ASSERT_TRUE(client.PostIPCMessage(Item(1, big, int(pipelink::kMaxPayloadBytes))));
    for (std::size_t i = 2; i < kPipelinkMaxQueuedMessages; ++i) {
        ASSERT_TRUE(client.PostIPCMessage(Item(int(i), "", 0))) << i;
    }
    EXPECT_FALSE(client.PostIPCMessage(Item(-1)));
    EXPECT_FALSE(client.PostIPCMessage(Item(-2)));
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"Pipelink outbound queue full, refusing messages(pipelink::IPCMessageClient)"});

    auto server = std::make_unique<TestServer>(pipe);
    ASSERT_TRUE(server->AcceptHello());
    std::vector<pipelink::Frame> frames;
    ASSERT_TRUE(server->ReadFrames(kPipelinkMaxQueuedMessages, frames));
    for (std::size_t i = 2; i < kPipelinkMaxQueuedMessages; ++i) {
        ASSERT_EQ(frames[i].fields.messageId, int(i));
    }
    EXPECT_EQ(frames[1].payload.size(), pipelink::kMaxPayloadBytes);
    EXPECT_FALSE(client.PostIPCMessage(Item(76))) << "written but unacknowledged frames count";
    std::vector<char> ack;
    pipelink::AppendFrame(ack, pipelink::AckFields(kPipelinkMaxQueuedMessages), nullptr, 0, nullptr, 0);
    ASSERT_TRUE(server->Write(ack));
    TagIPCMessageItem last = Item(77, "p", 1);
    std::tie(last.headText, last.auxId1, last.auxId2, last.auxId3, last.auxValue, last.auxValue2, last.auxFlag) =
        std::make_tuple("h", 11, 12, 13, 14, 15, true);
    ASSERT_TRUE(ipctest::Eventually([&] { return client.PostIPCMessage(last); }));
    // Unacknowledged, it is sent again on the next connection, after a hello that numbers it.
    for (int connection = 0; connection < 2; ++connection) {
        frames.clear();
        ASSERT_TRUE(server->ReadFrames(1, frames));
        const pipelink::FrameFields& x = frames[0].fields;
        EXPECT_EQ(std::make_tuple(x.srcModule, x.destModuleId, x.messageId, x.auxId1, x.auxId2, x.auxId3, x.auxValue,
                                  x.auxValue2, x.auxFlag, frames[0].head, std::string(frames[0].payload.begin(), frames[0].payload.end())),
                  std::make_tuple(kModule, 0xF10000, 77, 11, 12, 13, 14, 15, true, std::string("h"), std::string("p")));
        server.reset();
        server = std::make_unique<TestServer>(pipe);
        ASSERT_TRUE(server->AcceptHello());
        EXPECT_EQ(pipelink::CarriedSequence(server->hello_), kPipelinkMaxQueuedMessages + 1);
    }
}

// Every field, a null and an empty payload, ids without a callable, then frames of sizes
// that fall on and across the client's read blocks, the last ones followed by a close.
// Then a connection each for malformed frames: a valid frame, the malformed one, then a
// valid frame lost with the connection.
TEST(PipelinkClient, DeliversFramesWholeInOrderOnItsOwnThreadAndDropsMalformedOnes)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    LogCapture log(ipctest::ConnectNotes());
    IPCMessageClient client(kModule, true, true, kUnused);
    Seen seen;
    for (int id : {1, 2, 3}) {
        client.RegisterMessageCallback(id, Into(seen));
    }
    constexpr std::size_t kFill = pipelink::kReadBlockBytes - pipelink::kHeaderBytes;
    std::vector<std::size_t> sizes = {kFill, 3, kFill, kFill - 1, kFill + 1, kFill / 2 - 28, kFill / 2 - 28, 0, 65536};
    for (std::size_t i = 0; i < 100; ++i) {
        sizes.push_back(i * 797 % 9000);
    }
    std::vector<std::string> payloads;
    std::vector<char> block;
    const std::string three("\x01\x00\x02", 3), empty;
    AddFrame(block, 1, &three, "head", 5, true);
    AddFrame(block, 2, &empty);
    AddFrame(block, 4, &three); // no callable for it
    AddFrame(block, 3);
    for (const std::size_t size : sizes) {
        payloads.emplace_back(size, '\0');
        std::generate(payloads.back().begin(), payloads.back().end(), [n = size]() mutable { return char(n++ * 31); });
        AddFrame(block, 2, &payloads.back());
    }
    {
        TestServer server(pipe);
        ASSERT_TRUE(server.AcceptHello());
        ASSERT_TRUE(server.Write(std::vector<char>(block.begin(), block.begin() + 70))); // cut inside a frame
        ASSERT_TRUE(server.Write(std::vector<char>(block.begin() + 70, block.end())));
    }
    ASSERT_TRUE(seen.WaitFor(3 + sizes.size()));
    const std::vector<Delivered> got = seen.Values();
    const TagIPCMessageItem& f = got[0].item;
    EXPECT_EQ(std::make_tuple(f.headText, f.destModuleId, f.messageId, f.auxId1, f.auxId2, f.auxId3, f.auxValue,
                              f.auxValue2, f.auxFlag, f.messageLength, got[0].payload),
              std::make_tuple(std::string("head"), kModule, 1, 5, 4, 3, 50, 500, true, 3, three));
    EXPECT_EQ(got[1].payload, "") << "an empty payload is not a null message";
    EXPECT_EQ(std::make_tuple(got[2].item.messageId, got[2].payload, got[2].item.messageLength), std::make_tuple(3, std::string("<null>"), 0));
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        ASSERT_EQ(got[3 + i].payload, payloads[i]) << "size " << sizes[i];
    }
    for (const Delivered& d : got) {
        ASSERT_EQ(d.thread, got[0].thread);
    }
    EXPECT_NE(got[0].thread, GetCurrentThreadId());

    const std::string ok = "ok", bad = "bad", after = "after";
    const std::pair<std::size_t, std::vector<char>> damages[] = {{4, {9, 0}}, {0, {'\x13', '\x7f', 'z', '\0'}}};
    for (const auto& [offset, bytes] : damages) {
        TestServer server(pipe);
        ASSERT_TRUE(server.AcceptHello()) << "the client reconnects by itself";
        std::vector<char> frames, broken;
        AddFrame(frames, 1, &ok);
        AddFrame(broken, 1, &bad);
        std::copy(bytes.begin(), bytes.end(), broken.begin() + long(offset));
        frames.insert(frames.end(), broken.begin(), broken.end());
        AddFrame(frames, 1, &bad);
        ASSERT_TRUE(server.Write(frames));
        ASSERT_TRUE(seen.WaitFor(got.size() + 1 + std::size_t(&offset != &damages[0].first)));
    }
    TestServer last(pipe);
    ASSERT_TRUE(last.AcceptHello());
    std::vector<char> frame;
    AddFrame(frame, 1, &after);
    ASSERT_TRUE(last.Write(frame));
    ASSERT_TRUE(seen.WaitFor(got.size() + 3));
    Sleep(100);
    std::string arrived;
    for (std::size_t i = got.size(); i < seen.Count(); ++i) {
        arrived += seen.Values()[i].payload + " ";
    }
    EXPECT_EQ(arrived, "ok ok after ") << "only valid frames arrive";
    const std::wstring dropped = L"Pipelink dropped a malformed frame (", tail = L"), reconnecting(pipelink::IPCMessageClient)";
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{dropped + L"unknown version" + tail, dropped + L"bad magic" + tail}));
}

// A callable re-enters the client; an unregistration from another thread waits for it,
// and no record read before the unregistration is delivered after it.
TEST(PipelinkClient, CallableReentersTheClientAndUnregisterWaitsForIt)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, kUnused);
    UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr)), release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false}, unregistered{false}, written{false};
    client.RegisterMessageCallback(1, [&](TagIPCMessageItem&) {
        ++calls;
        client.PostIPCMessage(Item(99));
        client.RegisterMessageCallback(2, [](TagIPCMessageItem&) {});
        SetEvent(entered.get());
        WaitForSingleObject(release.get(), 10000);
        client.UnRegisterMessageCallbackAll();
        returned = true;
    });
    TestServer server(pipe);
    ASSERT_TRUE(server.AcceptHello());
    std::vector<char> block, flood;
    const std::string hundred(100, 'f');
    for (int i = 0; i < 5000; ++i) {
        i < 20 ? AddFrame(block, 1) : AddFrame(flood, 3, &hundred);
    }
    ASSERT_TRUE(server.Write(block)); // 20 read, 1 running, 19 waiting
    ASSERT_EQ(WaitForSingleObject(entered.get(), 10000), WAIT_OBJECT_0);
    std::vector<pipelink::Frame> frames;
    ASSERT_TRUE(server.ReadFrames(1, frames)) << "the post from inside the callable went out";
    EXPECT_EQ(frames[0].fields.messageId, 99);
    // While the callable holds the delivery thread, the client stops reading once its
    // inbound bound is reached: a flood larger than that bound and the pipe cannot be written.
    std::thread writer([&] { written = server.Write(flood); });
    Sleep(300);
    EXPECT_FALSE(written) << "a full receiver stops reading the pipe";
    std::thread other([&] {
        client.UnRegisterMessageCallbackAll();
        EXPECT_TRUE(returned) << "waits for the running callable";
        unregistered = true;
    });
    Sleep(200);
    EXPECT_FALSE(unregistered) << "waits for the running callable";
    SetEvent(release.get());
    other.join();
    writer.join();
    EXPECT_TRUE(written);
    Sleep(200);
    EXPECT_EQ(calls, 1) << "records already read are not delivered after the unregistration";
}

namespace {
ipctest::Collector<std::pair<DWORD, DWORD>> g_creates; // flags, error
HANDLE WINAPI RecordingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const HANDLE file = CreateFileW(name, access, share, security, disposition, flags, templateFile);
    const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    g_creates.Add({flags, error});
    SetLastError(error);
    return file;
}
} // namespace

// The pipe busy (its only instance taken by another client), then gone: both are retried
// until a new instance listens, each run of one error logged once. Every attempt asks for
// identification only.
TEST(PipelinkClient, OpensForIdentificationOnlyAndRetriesWhileBusyOrAbsent)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    testsupport::ImportPatch patch(GetModuleHandleW(L"Pipelink.dll"), "kernel32.dll", "CreateFileW",
                                   reinterpret_cast<void*>(&RecordingCreateFileW));
    ASSERT_TRUE(patch.active());
    LogCapture log(std::vector<std::wstring>{});
    {
        auto only = std::make_unique<TestServer>(pipe, 1);
        UniqueFileHandle occupying(CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(occupying);
        IPCMessageClient client(kModule, true, true, kUnused);
        Sleep(150); // busy
        occupying.reset();
        only.reset();
        Sleep(150); // gone
        TestServer server(pipe);
        ASSERT_TRUE(server.AcceptHello());
    }
    const auto creates = g_creates.Values();
    const auto count = [&](DWORD error) {
        return std::count_if(creates.begin(), creates.end(), [&](const auto& c) { return c.second == error; });
    };
    EXPECT_GE(count(ERROR_PIPE_BUSY), 2);
    EXPECT_GE(count(ERROR_FILE_NOT_FOUND), 2);
    ASSERT_EQ(count(ERROR_SUCCESS), 1);
    for (const auto& c : creates) {
        EXPECT_EQ(c.first & (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | SECURITY_CONTEXT_TRACKING | FILE_FLAG_OVERLAPPED),
                  DWORD(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED));
    }
    const std::wstring tail = L"(pipelink::IPCMessageClient)";
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                               L"Pipelink cannot connect to " + pipe + L" (error 231), retrying" + tail,
                               L"Pipelink cannot connect to " + pipe + L" (error 2), retrying" + tail,
                               L"Pipelink connected to " + pipe + L" after " + std::to_wstring(creates.size() - 1) +
                                   L" failed attempts" + tail}));
}

namespace {
BOOL WINAPI FailingWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    SetLastError(ERROR_NO_DATA);
    return FALSE;
}
} // namespace

// A failed write ends the connection only once what the server wrote before it closed
// has been read and delivered.
TEST(PipelinkClient, AfterAFailedWriteWhatTheServerSentStillArrives)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    testsupport::ImportPatch patch(GetModuleHandleW(L"Pipelink.dll"), "kernel32.dll", "WriteFile",
                                   reinterpret_cast<void*>(&FailingWriteFile));
    ASSERT_TRUE(patch.active());
    TestServer server(pipe, 1);
    Seen seen;
    IPCMessageClient client(kModule, true, false, kUnused);
    client.RegisterMessageCallback(7, Into(seen));
    ASSERT_TRUE(ConnectNamedPipe(server.pipe_.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
    std::vector<char> frames;
    const std::string payloads[] = {"one", "two", "three"};
    for (const std::string& payload : payloads) {
        AddFrame(frames, 7, &payload);
    }
    ASSERT_TRUE(server.Write(frames));
    ASSERT_TRUE(seen.WaitFor(3, 5000));
    server.pipe_.reset();
    const auto delivered = seen.Values();
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(delivered[i].payload, payloads[i]);
    }
}

// A kill drops unacknowledged and queued frames, perhaps an acknowledgement of recorded
// ones: the client's resend must neither lose nor repeat any of them.
TEST(RestartStorm, AcceptedMessagesArriveExactlyOnceInOrderAcrossKills)
{
    constexpr int kKills = 20, kInboundId = 0x77, kFloodPerRun = 400;
    ipctest::Service service;
    IPCMessageClient client(kModule, true, true, kUnused);
    std::atomic<long long> inbound{0}, damaged{0};
    client.RegisterMessageCallback(kInboundId, [&](TagIPCMessageItem& item) {
        ++(item.messageLength == 1 && item.message[0] == '\x2a' ? inbound : damaged);
    });
    // Numbered posts (auxValue) at the pace of a busy interface: the record file stays small.
    std::atomic<bool> posting{true};
    std::vector<int> accepted;
    std::thread poster([&] {
        TagIPCMessageItem item = Item(0x55, "storm", 6);
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
        if (random() % 4 != 0 && service.WaitForLine(ipctest::kBridgeConnected, 1, 5000)) {
            ++connections;
            service.SendLine("flood " + std::to_string(kInboundId) + " " + std::to_string(kFloodPerRun) + " 2a");
        }
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
    EXPECT_EQ(damaged.load(), 0);
    EXPECT_TRUE(inbound > 0 && inbound <= connections * kFloodPerRun) << inbound;
    std::printf("[ storm ] %d kills, %d while connected, %zu accepted, %lld inbound delivered\n", kKills, connections,
                accepted.size(), inbound.load());
}
