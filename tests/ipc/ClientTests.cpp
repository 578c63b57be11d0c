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
#include <functional>
#include <mutex>
#include <random>
#include <string>
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
    explicit TestServer(const std::wstring& name)
        : pipe_(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 65536,
                                 65536, 0, nullptr))
    {
    }

    // Waits for the client and reads its hello.
    bool AcceptHello()
    {
        std::vector<pipelink::Frame> hello;
        return (ConnectNamedPipe(pipe_.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) &&
               ReadFrames(1, hello) && hello[0].fields.kind == pipelink::kKindHello &&
               hello[0].fields.srcModule == kModule;
    }

    bool Write(const std::vector<char>& bytes)
    {
        DWORD written = 0;
        return WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
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
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(consumed));
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

    void Close() { pipe_.reset(); }

private:
    UniqueFileHandle pipe_;
    std::vector<char> pending_;
};

// Appends a message frame for the client's module; aux fields derived from aux.
void AddFrame(std::vector<char>& out, int messageId, const char* payload = nullptr, std::size_t length = 0,
              const std::string& head = {}, int aux = -1, bool flag = false)
{
    const pipelink::FrameFields f{pipelink::kKindMessage, 0xF10000,   kModule,  messageId, aux, aux - 1,
                                  aux - 2,                aux * 10, aux * 100, flag,      payload != nullptr};
    pipelink::AppendFrame(out, f, head.data(), head.size(), payload, length);
}

std::vector<char> Frame(int messageId, const std::string& payload)
{
    std::vector<char> out;
    AddFrame(out, messageId, payload.data(), payload.size());
    return out;
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
// for a null message) or a summary of it, and the thread.
struct Delivered {
    TagIPCMessageItem item;
    std::string payload;
    DWORD thread;
};
using Seen = ipctest::Collector<Delivered>;

char PatternByte(std::size_t size, std::size_t at) { return static_cast<char>((size * 31 + at) & 0xFF); }

Delivered Of(TagIPCMessageItem item, const char* summary = nullptr)
{
    std::string payload = summary ? summary : item.message ? std::string(item.message, item.messageLength) : "<null>";
    item.message = nullptr;
    return {item, payload, GetCurrentThreadId()};
}

} // namespace

TEST(PipelinkClient, PostRefusesInvalidRecords)
{
    ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, kUnused);
    static const char big[pipelink::kMaxPayloadBytes + 1] = {};
    TagIPCMessageItem longHead = Item(1);
    longHead.headText.assign(pipelink::kMaxHeadBytes + 1, 'h');
    struct Case {
        const char* name;
        TagIPCMessageItem item;
        bool accepted;
    };
    const Case cases[] = {
        {"no payload", Item(1), true},
        {"empty payload", Item(1, "", 0), true},
        {"largest payload", Item(1, big, static_cast<int>(pipelink::kMaxPayloadBytes)), true},
        {"negative length", Item(1, "abc", -1), false},
        {"null message with a length", Item(1, nullptr, 3), false},
        {"payload over the bound", Item(1, big, static_cast<int>(pipelink::kMaxPayloadBytes + 1)), false},
        {"head over the bound", longHead, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(client.PostIPCMessage(c.item), c.accepted) << c.name;
    }
}

TEST(PipelinkClient, QueuesWhileDisconnectedUpToItsBoundThenSendsInOrder)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    LogCapture log;
    IPCMessageClient client(kModule, true, true, kUnused);
    for (std::size_t i = 0; i < kPipelinkMaxQueuedMessages; ++i) {
        ASSERT_TRUE(client.PostIPCMessage(Item(static_cast<int>(i)))) << i;
    }
    EXPECT_FALSE(client.PostIPCMessage(Item(-1)));
    EXPECT_FALSE(client.PostIPCMessage(Item(-2)));
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{
                               L"Pipelink outbound queue full, refusing messages(pipelink::IPCMessageClient)"});

    TestServer server(pipe);
    ASSERT_TRUE(server.AcceptHello());
    std::vector<pipelink::Frame> frames;
    ASSERT_TRUE(server.ReadFrames(kPipelinkMaxQueuedMessages, frames));
    for (std::size_t i = 0; i < kPipelinkMaxQueuedMessages; ++i) {
        ASSERT_EQ(frames[i].fields.messageId, static_cast<int>(i));
    }
    EXPECT_FALSE(client.PostIPCMessage(Item(76))) << "written but unacknowledged frames count";
    std::vector<char> ack;
    pipelink::AppendFrame(ack, pipelink::AckFields(kPipelinkMaxQueuedMessages), nullptr, 0, nullptr, 0);
    ASSERT_TRUE(server.Write(ack));
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (!client.PostIPCMessage(Item(77)) && GetTickCount64() < deadline) {
        Sleep(5);
    }
    frames.clear();
    ASSERT_TRUE(server.ReadFrames(1, frames));
    EXPECT_EQ(frames[0].fields.messageId, 77);
}

TEST(PipelinkClient, DeliversEveryFieldInOrderOnItsOwnThread)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, kUnused);
    Seen seen;
    for (int id : {1, 2, 3}) {
        client.RegisterMessageCallback(id, [&](TagIPCMessageItem& item) { seen.Add(Of(item)); });
    }
    TestServer server(pipe);
    ASSERT_TRUE(server.AcceptHello());
    std::vector<char> block;
    AddFrame(block, 1, "\x01\x00\x02", 3, "head", 5, true);
    AddFrame(block, 2, "", 0);
    AddFrame(block, 4, "x", 1); // no callable for it
    AddFrame(block, 3);
    for (int i = 0; i < 500; ++i) {
        AddFrame(block, 1 + i % 3, "p", 1);
    }
    // One write in two halves, the cut inside a frame.
    ASSERT_TRUE(server.Write(std::vector<char>(block.begin(), block.begin() + 70)));
    ASSERT_TRUE(server.Write(std::vector<char>(block.begin() + 70, block.end())));
    ASSERT_TRUE(seen.WaitFor(503));

    const std::vector<Delivered> got = seen.Values();
    const TagIPCMessageItem& f = got[0].item;
    EXPECT_EQ(std::make_tuple(f.headText, f.destModuleId, f.messageId, f.auxId1, f.auxId2, f.auxId3, f.auxValue,
                              f.auxValue2, f.auxFlag, f.messageLength),
              std::make_tuple(std::string("head"), kModule, 1, 5, 4, 3, 50, 500, true, 3));
    EXPECT_EQ(got[0].payload, std::string("\x01\x00\x02", 3));
    EXPECT_EQ(got[1].payload, "") << "an empty payload is not a null message";
    EXPECT_EQ(got[2].payload, "<null>");
    EXPECT_EQ(got[2].item.messageLength, 0);
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].item.messageId, i < 3 ? static_cast<int>(i + 1) : static_cast<int>(1 + (i - 3) % 3)) << i;
        ASSERT_EQ(got[i].thread, got[0].thread) << i;
    }
    EXPECT_NE(got[0].thread, GetCurrentThreadId());
}

// Each case on a connection of its own: a valid frame, the malformed one (or a frame cut
// short as the server closes), then a valid frame lost with the connection. Named cases,
// then seeded random ones: garbage where a frame starts, frames cut at a random byte.
TEST(PipelinkClient, MalformedFramesAreDroppedLoggedAndTheConnectionRenewed)
{
    struct Case {
        std::string name;
        std::size_t offset; // bytes written over a valid frame at offset
        std::vector<char> bytes;
        std::size_t cutAt; // non-zero: the frame is cut here and the server closes
        const wchar_t* logged;
    };
    std::vector<Case> cases = {
        {"wrong version", 4, {9, 0}, 0, L"unknown version"},
        {"oversized payload", 52, {0, 0, 0x20, 0}, 0, L"length over bound"},
        {"inconsistent length", 8, {57, 0, 0, 0}, 0, L"inconsistent frame length"},
        {"random bytes", 0, {'\x13', '\x7f', 'z', '\0'}, 0, L"bad magic"},
        {"truncated", 0, {}, 30, nullptr},
    };
    const unsigned seed = 20261205;
    std::mt19937 random(seed);
    for (int i = 0; i < 30; ++i) {
        Case c{"seed " + std::to_string(seed) + " case " + std::to_string(i), 0, {}, 0, nullptr};
        if (i % 2 == 0) {
            c.bytes.resize(4 + random() % 60);
            std::generate(c.bytes.begin(), c.bytes.end(), [&] { return static_cast<char>(random()); });
            c.bytes[0] = static_cast<char>(c.bytes[0] == 'F' ? 'G' : c.bytes[0]); // the magic starts "FD"
            c.logged = L"bad magic";
        } else {
            c.cutAt = 1 + random() % (pipelink::kHeaderBytes + 3 - 1);
        }
        cases.push_back(std::move(c));
    }

    const std::wstring pipe = ipctest::UsePrivatePipeName();
    LogCapture log;
    IPCMessageClient client(kModule, true, true, kUnused);
    Seen seen;
    client.RegisterMessageCallback(1, [&](TagIPCMessageItem& item) { seen.Add(Of(item)); });
    std::vector<std::wstring> expectedLog;
    std::vector<std::string> expectedPayloads;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        TestServer server(pipe);
        ASSERT_TRUE(server.AcceptHello()) << "the client (re)connects by itself";
        expectedPayloads.push_back("ok" + std::to_string(i));
        std::vector<char> block = Frame(1, expectedPayloads.back());
        std::vector<char> bad = Frame(1, "bad");
        bad.resize(std::max(bad.size(), c.offset + c.bytes.size()));
        std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + static_cast<long>(c.offset));
        bad.resize(c.cutAt != 0 ? c.cutAt : bad.size());
        block.insert(block.end(), bad.begin(), bad.end());
        if (c.cutAt == 0) {
            AddFrame(block, 1, "lost", 4);
        }
        ASSERT_TRUE(server.Write(block));
        ASSERT_TRUE(seen.WaitFor(i + 1));
        if (c.cutAt != 0) {
            server.Close();
        } else {
            expectedLog.push_back(std::wstring(L"Pipelink dropped a malformed frame (") + c.logged +
                                  L"), reconnecting(pipelink::IPCMessageClient)");
        }
    }
    TestServer last(pipe);
    ASSERT_TRUE(last.AcceptHello());
    ASSERT_TRUE(last.Write(Frame(1, "after")));
    expectedPayloads.push_back("after");
    ASSERT_TRUE(seen.WaitFor(cases.size() + 1));
    Sleep(100);
    std::vector<std::string> payloads;
    for (const Delivered& d : seen.Values()) {
        payloads.push_back(d.payload);
    }
    EXPECT_EQ(payloads, expectedPayloads) << "only valid frames reach the callable";
    EXPECT_EQ(log.Lines(), expectedLog);
}

// A callable re-enters the client; an unregistration from another thread waits for it,
// and no record read before the unregistration is delivered after it.
TEST(PipelinkClient, CallableReentersTheClientAndUnregisterWaitsForIt)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, kUnused);
    UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
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
    std::vector<char> block;
    for (int i = 0; i < 20; ++i) {
        AddFrame(block, 1);
    }
    ASSERT_TRUE(server.Write(block)); // 20 read, 1 running, 19 waiting
    ASSERT_EQ(WaitForSingleObject(entered.get(), 10000), WAIT_OBJECT_0);
    std::vector<pipelink::Frame> frames;
    ASSERT_TRUE(server.ReadFrames(1, frames)) << "the post from inside the callable went out";
    EXPECT_EQ(frames[0].fields.messageId, 99);

    std::atomic<bool> unregistered{false};
    bool returnedFirst = false;
    std::thread other([&] {
        client.UnRegisterMessageCallbackAll();
        returnedFirst = returned;
        unregistered = true;
    });
    Sleep(200);
    EXPECT_FALSE(unregistered) << "waits for the running callable";
    SetEvent(release.get());
    other.join();
    EXPECT_TRUE(returnedFirst);
    Sleep(200);
    EXPECT_EQ(calls, 1) << "records already read are not delivered after the unregistration";
}

namespace {
struct CreateCall {
    DWORD flags;
    DWORD error;
};
std::mutex g_createMutex;
std::vector<CreateCall> g_creates;
HANDLE WINAPI RecordingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const HANDLE file = CreateFileW(name, access, share, security, disposition, flags, templateFile);
    const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(g_createMutex);
        g_creates.push_back({flags, error});
    }
    SetLastError(error);
    return file;
}
} // namespace

// The pipe busy (its only instance taken by another client), then gone: both are retried
// until a new instance listens. Every attempt asks for identification only.
TEST(PipelinkClient, OpensForIdentificationOnlyAndRetriesWhileBusyOrAbsent)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    testsupport::ImportPatch patch(GetModuleHandleW(L"Pipelink.dll"), "kernel32.dll", "CreateFileW",
                                   reinterpret_cast<void*>(&RecordingCreateFileW));
    ASSERT_TRUE(patch.active());
    {
        UniqueFileHandle only(CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0,
                                               nullptr));
        ASSERT_TRUE(only);
        UniqueFileHandle occupying(
            CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(occupying);
        IPCMessageClient client(kModule, true, true, kUnused);
        Sleep(150); // busy
        occupying.reset();
        only.reset();
        Sleep(150); // gone
        TestServer server(pipe);
        ASSERT_TRUE(server.AcceptHello());
    }
    std::lock_guard<std::mutex> lock(g_createMutex);
    const auto count = [&](DWORD error) {
        return std::count_if(g_creates.begin(), g_creates.end(), [&](const CreateCall& c) { return c.error == error; });
    };
    EXPECT_GE(count(ERROR_PIPE_BUSY), 2);
    EXPECT_GE(count(ERROR_FILE_NOT_FOUND), 2);
    ASSERT_FALSE(g_creates.empty());
    EXPECT_EQ(g_creates.back().error, static_cast<DWORD>(ERROR_SUCCESS));
    for (const CreateCall& c : g_creates) {
        EXPECT_EQ(c.flags & (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | SECURITY_CONTEXT_TRACKING),
                  static_cast<DWORD>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
        EXPECT_NE(c.flags & FILE_FLAG_OVERLAPPED, 0u);
    }
}


TEST(PipelinkClient, FramesOfEveryEdgeSizeArriveWholeOverTheRealPipe)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, kUnused);
    Seen seen;
    client.RegisterMessageCallback(9, [&](TagIPCMessageItem& item) {
        const auto size = static_cast<std::size_t>(item.messageLength);
        bool intact = item.message != nullptr;
        for (std::size_t at = 0; intact && at < size; ++at) {
            intact = item.message[at] == PatternByte(size, at);
        }
        seen.Add(Of(item, intact ? "" : "damaged"));
    });
    constexpr std::size_t kFillsReadBlock = pipelink::kReadBlockBytes - pipelink::kHeaderBytes;
    constexpr std::size_t kHalfReadBlock = pipelink::kReadBlockBytes / 2 - pipelink::kHeaderBytes;
    std::vector<std::size_t> everySize(4 * 4096 + 1);
    for (std::size_t size = 0; size < everySize.size(); ++size) {
        everySize[size] = size;
    }
    struct Case {
        const char* name;
        std::vector<std::size_t> sizes;
        bool closeAtOnce; // the server closes its end right after its last write
    };
    const Case cases[] = {
        {"every payload size from 0 to four pages", everySize, false},
        {"a frame exactly the size of the client's read block", {kFillsReadBlock, 3, kFillsReadBlock}, false},
        {"one byte either side of the read block", {kFillsReadBlock - 1, kFillsReadBlock + 1}, false},
        {"two frames filling one read block", {kHalfReadBlock, kHalfReadBlock, 0}, false},
        {"a 64 KiB payload", {64 * 1024}, false},
        {"300 frames, then the server closes", std::vector<std::size_t>(300, 100), true},
    };
    std::size_t total = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(pipe);
        ASSERT_TRUE(server.AcceptHello());
        std::vector<char> block;
        for (const std::size_t size : c.sizes) {
            std::string payload(size, '\0');
            for (std::size_t at = 0; at < size; ++at) {
                payload[at] = PatternByte(size, at);
            }
            AddFrame(block, 9, payload.data(), size); // a message, even when empty
            if (block.size() >= 1024 * 1024) {
                ASSERT_TRUE(server.Write(block));
                block.clear();
            }
        }
        ASSERT_TRUE(server.Write(block));
        if (c.closeAtOnce) {
            server.Close();
        }
        total += c.sizes.size();
        ASSERT_TRUE(seen.WaitFor(total));
        const std::vector<Delivered> got = seen.Values();
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            const Delivered& d = got[total - c.sizes.size() + i];
            ASSERT_EQ(static_cast<std::size_t>(d.item.messageLength), c.sizes[i]) << i;
            ASSERT_EQ(d.payload, "") << "payload bytes damaged, size " << c.sizes[i];
        }
    }
}

TEST(PipelinkClient, DestroyedWhileConnectingAThousandTimesLeavesNoHandles)
{
    ipctest::Service service;
    ASSERT_TRUE(service.Start());
    {
        IPCMessageClient warm(kModule, false, true, kUnused);
        Sleep(100);
    }
    Sleep(200);
    const std::uintptr_t before = ipctest::FreshHandleValue();
    for (int i = 0; i < 1000; ++i) {
        IPCMessageClient client(kModule + 1 + i % 7, i % 2 == 0, true, kUnused);
        if (i % 3 == 0) {
            Sleep(0);
        }
    }
    // The threads leave on their own; give them time to go. Handle values step by 4.
    constexpr std::uintptr_t kTolerated = 4 * 8;
    std::uintptr_t after = ipctest::FreshHandleValue();
    for (int wait = 0; wait < 100 && after > before + kTolerated; ++wait) {
        Sleep(50);
        after = ipctest::FreshHandleValue();
    }
    EXPECT_LE(after, before + kTolerated) << "before " << before << ", after " << after;
    std::printf("[ handles ] fresh handle value before %zu, after 1000 clients %zu\n", static_cast<std::size_t>(before),
                static_cast<std::size_t>(after));
}

// A kill drops unacknowledged and queued frames, perhaps an acknowledgement of recorded
// ones: the client's resend must neither lose nor repeat any of them.
TEST(RestartStorm, AcceptedMessagesArriveExactlyOnceInOrderAcrossHundredKills)
{
    constexpr int kKills = 100;
    constexpr int kOutboundId = 0x55;
    constexpr int kInboundId = 0x77;
    constexpr int kFloodPerRun = 400;
    ipctest::Service service;
    IPCMessageClient client(kModule, true, true, kUnused);
    std::atomic<long long> inbound{0};
    std::atomic<long long> damaged{0};
    client.RegisterMessageCallback(kInboundId, [&](TagIPCMessageItem& item) {
        ++(item.messageLength == 1 && item.message[0] == '\x2a' ? inbound : damaged);
    });
    // Numbered posts (auxValue) at the pace of a busy interface: the record file stays small.
    std::atomic<bool> posting{true};
    std::vector<int> accepted;
    std::thread poster([&] {
        static const char kText[] = "restart storm";
        TagIPCMessageItem item = Item(kOutboundId, kText, sizeof(kText));
        for (item.auxValue = 0; posting; ++item.auxValue) {
            if (client.PostIPCMessage(item)) {
                accepted.push_back(item.auxValue);
            }
            if (item.auxValue % 8 == 0) {
                Sleep(1);
            }
        }
    });
    const auto stopPosting = [&] {
        posting = false;
        if (poster.joinable()) {
            poster.join();
        }
    };
    struct Stop {
        std::function<void()> stop;
        ~Stop() { stop(); }
    } stopOnExit{stopPosting};
    std::mt19937 random(7);
    int connections = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        ASSERT_TRUE(service.Start()) << kill;
        // Killed at times spread over the client's connect back-off and its streaming.
        if (random() % 4 != 0 && service.WaitForLine(ipctest::kBridgeConnected, 1, 5000)) {
            ++connections;
            service.Send("flood " + std::to_string(kInboundId) + " " + std::to_string(kFloodPerRun) + " 2a");
            Sleep(random() % 40);
        } else {
            Sleep(random() % 20);
        }
        service.Kill();
    }
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.WaitForLine(ipctest::kBridgeConnected));
    stopPosting();

    const auto records = ipctest::WaitForRecords(service.RecordPath(), accepted.size(), 30000);
    std::vector<int> arrived;
    for (const auto& record : records) {
        arrived.push_back(std::stoi(record.at("auxValue")));
    }
    ASSERT_EQ(arrived.size(), accepted.size());
    EXPECT_TRUE(arrived == accepted) << "each accepted message once, in posting order";
    EXPECT_GT(connections, kKills / 2);
    EXPECT_GT(accepted.size(), 1000u);
    EXPECT_GT(inbound.load(), 0);
    EXPECT_EQ(damaged.load(), 0);
    EXPECT_LE(inbound.load(), static_cast<long long>(connections) * kFloodPerRun);
    std::printf("[ storm ] %d kills, %d while connected, %zu messages accepted, %lld inbound delivered\n", kKills,
                connections, accepted.size(), inbound.load());
}
