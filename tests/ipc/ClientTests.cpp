// The Pipelink stand-in against a pipe server played by the test itself.
#include "IPCMessageClient.h"
#include "IpcTestSupport.h"
#include "PipelinkPump.h"
#include "PipelinkWire.h"
#include "common/UniqueResource.h"
#include "support/ImportPatch.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>

using FerrydockIpc::UniqueFileHandle;
using FerrydockIpc::UniqueHandle;
using testsupport::LogCapture;

namespace {

constexpr int kModule = 0xF00000;

// One pipe instance at a time, blocking I/O, waits bounded so that a fault fails the test.
class TestServer {
public:
    explicit TestServer(std::wstring name) : name_(std::move(name)) {}

    bool Accept(DWORD timeoutMs = 10000)
    {
        pipe_.reset(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
                                     PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr));
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        if (ConnectNamedPipe(pipe_.get(), &overlapped) || GetLastError() == ERROR_PIPE_CONNECTED) {
            return true;
        }
        if (WaitForSingleObject(event.get(), timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(pipe_.get(), &overlapped);
            return false;
        }
        return true;
    }

    bool Write(const std::vector<char>& bytes)
    {
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        DWORD written = 0;
        WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
        return GetOverlappedResult(pipe_.get(), &overlapped, &written, TRUE) && written == bytes.size();
    }

    // Reads until count frames arrived (false on a broken pipe or after timeoutMs).
    bool ReadFrames(std::size_t count, std::vector<pipelink::Frame>& frames, DWORD timeoutMs = 10000)
    {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
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
            if (result == pipelink::ParseResult::Malformed || GetTickCount64() > deadline || !ReadSome(deadline)) {
                return false;
            }
        }
        return true;
    }

    void Close() { pipe_.reset(); }

private:
    bool ReadSome(ULONGLONG deadline)
    {
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        char buffer[65536];
        DWORD got = 0;
        ReadFile(pipe_.get(), buffer, sizeof(buffer), nullptr, &overlapped);
        const ULONGLONG now = GetTickCount64();
        if (WaitForSingleObject(event.get(), static_cast<DWORD>(deadline > now ? deadline - now : 0)) != WAIT_OBJECT_0) {
            CancelIoEx(pipe_.get(), &overlapped);
            GetOverlappedResult(pipe_.get(), &overlapped, &got, TRUE);
            return false;
        }
        if (!GetOverlappedResult(pipe_.get(), &overlapped, &got, FALSE)) {
            return false;
        }
        pending_.insert(pending_.end(), buffer, buffer + got);
        return true;
    }

    std::wstring name_;
    UniqueFileHandle pipe_;
    std::vector<char> pending_;
};

std::vector<char> MessageFrame(int messageId, const std::string& head = {}, const char* payload = nullptr,
                               std::size_t length = 0, int aux = -1, bool flag = false)
{
    pipelink::FrameFields f;
    f.srcModule = 0xF10000;
    f.destModuleId = kModule;
    f.messageId = messageId;
    f.auxId1 = aux;
    f.auxId2 = aux - 1;
    f.auxId3 = aux - 2;
    f.auxValue = aux * 10;
    f.auxValue2 = aux * 100;
    f.auxFlag = flag;
    f.hasMessage = payload != nullptr;
    std::vector<char> out;
    pipelink::AppendFrame(out, f, head.data(), head.size(), payload, length);
    return out;
}

TagIPCMessageItem Item(int dest, int id, const char* message = nullptr, int length = 0)
{
    TagIPCMessageItem item;
    item.destModuleId = dest;
    item.messageId = id;
    item.message = message;
    item.messageLength = length;
    return item;
}

// Records what callables saw, from any thread.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<TagIPCMessageItem> items;
    std::vector<std::string> payloads;
    std::vector<DWORD> threads;

    void Add(const TagIPCMessageItem& item)
    {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(item);
        payloads.push_back(item.message ? std::string(item.message, item.messageLength) : "<null>");
        items.back().message = nullptr;
        threads.push_back(GetCurrentThreadId());
        changed.notify_all();
    }
    bool WaitFor(std::size_t count, DWORD timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return items.size() >= count; });
    }
    std::size_t Count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return items.size();
    }
};

} // namespace

TEST(PipelinkClient, PostRefusesInvalidRecords)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, L"\\\\.\\pipe\\unused");
    static const char big[pipelink::kMaxPayloadBytes + 1] = {};
    TagIPCMessageItem longHead = Item(1, 1);
    longHead.headText.assign(pipelink::kMaxHeadBytes + 1, 'h');
    struct Case {
        const char* name;
        TagIPCMessageItem item;
        bool accepted;
    };
    const Case cases[] = {
        {"no payload", Item(1, 1), true},
        {"empty payload", Item(1, 1, "", 0), true},
        {"largest payload", Item(1, 1, big, static_cast<int>(pipelink::kMaxPayloadBytes)), true},
        {"negative length", Item(1, 1, "abc", -1), false},
        {"null message with a length", Item(1, 1, nullptr, 3), false},
        {"payload over the bound", Item(1, 1, big, static_cast<int>(pipelink::kMaxPayloadBytes + 1)), false},
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
    IPCMessageClient client(kModule, true, true, L"\\\\.\\pipe\\unused");
    for (std::size_t i = 0; i < kPipelinkMaxQueuedMessages; ++i) {
        ASSERT_TRUE(client.PostIPCMessage(Item(0xF10000, static_cast<int>(i)))) << i;
    }
    EXPECT_FALSE(client.PostIPCMessage(Item(0xF10000, -1)));
    EXPECT_FALSE(client.PostIPCMessage(Item(0xF10000, -2)));
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{
                               L"Pipelink outbound queue full, refusing messages(pipelink::IPCMessageClient)"});

    TestServer server(pipe);
    ASSERT_TRUE(server.Accept());
    std::vector<pipelink::Frame> frames;
    ASSERT_TRUE(server.ReadFrames(1 + kPipelinkMaxQueuedMessages, frames));
    EXPECT_EQ(frames[0].fields.kind, pipelink::kKindHello);
    EXPECT_EQ(frames[0].fields.srcModule, kModule);
    for (std::size_t i = 0; i < kPipelinkMaxQueuedMessages; ++i) {
        ASSERT_EQ(frames[1 + i].fields.messageId, static_cast<int>(i));
    }
    EXPECT_FALSE(client.PostIPCMessage(Item(0xF10000, 76))) << "written but unacknowledged frames count";
    std::vector<char> ack;
    pipelink::AppendFrame(ack, pipelink::AckFields(kPipelinkMaxQueuedMessages), nullptr, 0, nullptr, 0);
    ASSERT_TRUE(server.Write(ack));
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (!client.PostIPCMessage(Item(0xF10000, 77)) && GetTickCount64() < deadline) {
        Sleep(5);
    }
    frames.clear();
    ASSERT_TRUE(server.ReadFrames(1, frames));
    EXPECT_EQ(frames[0].fields.messageId, 77);
}

TEST(PipelinkClient, DeliversEveryFieldInOrderOnItsOwnThread)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, L"\\\\.\\pipe\\unused");
    Seen seen;
    for (int id : {1, 2, 3}) {
        client.RegisterMessageCallback(id, [&](TagIPCMessageItem& item) { seen.Add(item); });
    }
    TestServer server(pipe);
    ASSERT_TRUE(server.Accept());
    std::vector<pipelink::Frame> hello;
    ASSERT_TRUE(server.ReadFrames(1, hello));

    std::vector<char> block = MessageFrame(1, "head", "\x01\x00\x02", 3, 5, true);
    const std::vector<char> empty = MessageFrame(2, "", "", 0);
    const std::vector<char> none = MessageFrame(3);
    const std::vector<char> unregistered = MessageFrame(4, "", "x", 1);
    block.insert(block.end(), empty.begin(), empty.end());
    block.insert(block.end(), unregistered.begin(), unregistered.end());
    block.insert(block.end(), none.begin(), none.end());
    for (int i = 0; i < 500; ++i) {
        const std::vector<char> more = MessageFrame(1 + i % 3, "", "p", 1);
        block.insert(block.end(), more.begin(), more.end());
    }
    // One write in two halves, the cut inside a frame.
    ASSERT_TRUE(server.Write(std::vector<char>(block.begin(), block.begin() + 70)));
    ASSERT_TRUE(server.Write(std::vector<char>(block.begin() + 70, block.end())));
    ASSERT_TRUE(seen.WaitFor(503));

    std::lock_guard<std::mutex> lock(seen.mutex);
    const TagIPCMessageItem& first = seen.items[0];
    EXPECT_EQ(first.headText, "head");
    EXPECT_EQ(first.destModuleId, kModule);
    EXPECT_EQ(first.messageId, 1);
    EXPECT_EQ(first.auxId1, 5);
    EXPECT_EQ(first.auxId2, 4);
    EXPECT_EQ(first.auxId3, 3);
    EXPECT_EQ(first.auxValue, 50);
    EXPECT_EQ(first.auxValue2, 500);
    EXPECT_TRUE(first.auxFlag);
    EXPECT_EQ(first.messageLength, 3);
    EXPECT_EQ(seen.payloads[0], std::string("\x01\x00\x02", 3));
    EXPECT_EQ(seen.payloads[1], "") << "an empty payload is not a null message";
    EXPECT_EQ(seen.payloads[2], "<null>");
    EXPECT_EQ(seen.items[2].messageLength, 0);
    for (std::size_t i = 3; i < seen.items.size(); ++i) {
        ASSERT_EQ(seen.items[i].messageId, static_cast<int>(1 + (i - 3) % 3)) << i;
    }
    for (const DWORD thread : seen.threads) {
        ASSERT_EQ(thread, seen.threads[0]);
    }
    EXPECT_NE(seen.threads[0], GetCurrentThreadId());
}

namespace {

struct MalformedCase {
    std::string name;
    std::size_t offset; // bytes written over a valid frame at offset
    std::vector<char> bytes;
    std::size_t cutAt;  // non-zero: the frame is cut here and the server closes
    const wchar_t* logged;
};

// The named cases, then seeded random ones: garbage where a frame should start, and
// frames cut at a random byte.
std::vector<MalformedCase> MalformedCases(unsigned seed, int randomCases)
{
    std::vector<MalformedCase> cases = {
        {"wrong version", 4, {9, 0}, 0, L"unknown version"},
        {"oversized payload", 52, {0, 0, 0x20, 0}, 0, L"length over bound"},
        {"inconsistent length", 8, {57, 0, 0, 0}, 0, L"inconsistent frame length"},
        {"random bytes", 0, {'\x13', '\x7f', 'z', '\0'}, 0, L"bad magic"},
        {"truncated", 0, {}, 30, nullptr},
    };
    std::mt19937 random(seed);
    for (int i = 0; i < randomCases; ++i) {
        MalformedCase c{"seed " + std::to_string(seed) + " case " + std::to_string(i), 0, {}, 0, nullptr};
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
    return cases;
}

} // namespace

// Each case on a connection of its own: a valid frame, the malformed one, a valid frame
// that is lost with the connection. The client reconnects each time and delivers only
// the valid frames before the malformed ones, then those after its last reconnection.
TEST(PipelinkClient, MalformedFramesAreDroppedLoggedAndTheConnectionRenewed)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    LogCapture log;
    IPCMessageClient client(kModule, true, true, L"\\\\.\\pipe\\unused");
    Seen seen;
    client.RegisterMessageCallback(1, [&](TagIPCMessageItem& item) { seen.Add(item); });
    const std::vector<MalformedCase> cases = MalformedCases(20261205, 30);
    std::vector<std::wstring> expectedLog;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const MalformedCase& c = cases[i];
        SCOPED_TRACE(c.name);
        TestServer server(pipe);
        ASSERT_TRUE(server.Accept()) << "the client (re)connects by itself";
        std::vector<pipelink::Frame> frames;
        ASSERT_TRUE(server.ReadFrames(1, frames));
        ASSERT_EQ(frames[0].fields.kind, pipelink::kKindHello);
        const std::string before = "ok" + std::to_string(i);
        std::vector<char> block = MessageFrame(1, "", before.c_str(), before.size());
        std::vector<char> bad = MessageFrame(1, "", "bad", 3);
        if (c.offset + c.bytes.size() > bad.size()) {
            bad.resize(c.offset + c.bytes.size());
        }
        std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + static_cast<long>(c.offset));
        if (c.cutAt != 0) {
            bad.resize(c.cutAt);
        }
        block.insert(block.end(), bad.begin(), bad.end());
        if (c.cutAt == 0) {
            const std::vector<char> lost = MessageFrame(1, "", "lost", 4);
            block.insert(block.end(), lost.begin(), lost.end());
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
    ASSERT_TRUE(last.Accept());
    std::vector<pipelink::Frame> frames;
    ASSERT_TRUE(last.ReadFrames(1, frames));
    ASSERT_TRUE(last.Write(MessageFrame(1, "", "after", 5)));
    ASSERT_TRUE(seen.WaitFor(cases.size() + 1));
    Sleep(100);
    std::lock_guard<std::mutex> lock(seen.mutex);
    std::vector<std::string> expectedPayloads;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        expectedPayloads.push_back("ok" + std::to_string(i));
    }
    expectedPayloads.push_back("after");
    EXPECT_EQ(seen.payloads, expectedPayloads) << "only valid frames reach the callable";
    EXPECT_EQ(log.Lines(), expectedLog);
}

TEST(PipelinkClient, UnregisterWaitsForTheRunningCallableAndStopsTheRest)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, L"\\\\.\\pipe\\unused");
    UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
    client.RegisterMessageCallback(1, [&](TagIPCMessageItem&) {
        ++calls;
        SetEvent(entered.get());
        WaitForSingleObject(release.get(), 10000);
        returned = true;
    });
    TestServer server(pipe);
    ASSERT_TRUE(server.Accept());
    std::vector<pipelink::Frame> frames;
    ASSERT_TRUE(server.ReadFrames(1, frames));
    std::vector<char> block;
    for (int i = 0; i < 20; ++i) {
        const std::vector<char> frame = MessageFrame(1);
        block.insert(block.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(server.Write(block)); // 20 read, 1 running, 19 waiting
    ASSERT_EQ(WaitForSingleObject(entered.get(), 10000), WAIT_OBJECT_0);

    std::atomic<bool> unregistered{false};
    bool returnedFirst = false;
    int callsAtReturn = 0;
    std::thread other([&] {
        client.UnRegisterMessageCallbackAll();
        callsAtReturn = calls;
        returnedFirst = returned;
        unregistered = true;
    });
    Sleep(200);
    EXPECT_FALSE(unregistered) << "waits for the running callable";
    SetEvent(release.get());
    other.join();
    EXPECT_TRUE(returnedFirst);
    Sleep(200);
    // More records may have run before the unregistration took hold; none after it.
    EXPECT_EQ(calls, callsAtReturn) << "records already read are not delivered after the unregistration";
}

TEST(PipelinkClient, CallableMayPostAndUnregisterFromItsOwnThread)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, L"\\\\.\\pipe\\unused");
    std::atomic<int> calls{0};
    client.RegisterMessageCallback(1, [&](TagIPCMessageItem&) {
        ++calls;
        client.PostIPCMessage(Item(0xF10000, 99));
        client.RegisterMessageCallback(2, [](TagIPCMessageItem&) {});
        client.UnRegisterMessageCallbackAll();
    });
    TestServer server(pipe);
    ASSERT_TRUE(server.Accept());
    std::vector<pipelink::Frame> frames;
    ASSERT_TRUE(server.ReadFrames(1, frames));
    std::vector<char> block = MessageFrame(1);
    const std::vector<char> again = MessageFrame(1);
    block.insert(block.end(), again.begin(), again.end());
    ASSERT_TRUE(server.Write(block));
    frames.clear();
    ASSERT_TRUE(server.ReadFrames(1, frames)) << "the post from inside the callable went out";
    EXPECT_EQ(frames[0].fields.messageId, 99);
    Sleep(200);
    EXPECT_EQ(calls, 1);
}

namespace {
std::atomic<DWORD> g_createFlags{0};
std::atomic<int> g_creates{0};
HANDLE WINAPI RecordingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE templateFile)
{
    g_createFlags = flags;
    ++g_creates;
    return CreateFileW(name, access, share, security, disposition, flags, templateFile);
}
} // namespace

TEST(PipelinkClient, OpensThePipeForIdentificationOnly)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    testsupport::ImportPatch patch(GetModuleHandleW(L"Pipelink.dll"), "kernel32.dll", "CreateFileW",
                                   reinterpret_cast<void*>(&RecordingCreateFileW));
    ASSERT_TRUE(patch.active());
    IPCMessageClient client(kModule, true, true, L"\\\\.\\pipe\\unused");
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (g_creates == 0 && GetTickCount64() < deadline) {
        Sleep(10);
    }
    ASSERT_GT(g_creates, 0);
    const DWORD flags = g_createFlags;
    EXPECT_EQ(flags & (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION), SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION);
    EXPECT_EQ(flags & SECURITY_CONTEXT_TRACKING, 0u);
    EXPECT_NE(flags & FILE_FLAG_OVERLAPPED, 0u);
}

namespace {

// Sizes of what reached the callable; every payload byte checked against its pattern.
struct SizesSeen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::size_t> sizes;
    std::size_t damaged = 0;

    static char PatternByte(std::size_t size, std::size_t at) { return static_cast<char>((size * 31 + at) & 0xFF); }
    void Add(const TagIPCMessageItem& item)
    {
        const auto size = static_cast<std::size_t>(item.messageLength);
        bool intact = item.message != nullptr;
        for (std::size_t at = 0; intact && at < size; ++at) {
            intact = item.message[at] == PatternByte(size, at);
        }
        std::lock_guard<std::mutex> lock(mutex);
        sizes.push_back(size);
        damaged += intact ? 0 : 1;
        changed.notify_all();
    }
    bool WaitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return sizes.size() >= count; });
    }
};

std::vector<char> PatternFrame(std::size_t size)
{
    std::vector<char> payload(size);
    for (std::size_t at = 0; at < size; ++at) {
        payload[at] = SizesSeen::PatternByte(size, at);
    }
    return MessageFrame(9, "", size == 0 ? "" : payload.data(), size); // a message, even when empty
}

} // namespace

TEST(PipelinkClient, FramesOfEveryEdgeSizeArriveWholeOverTheRealPipe)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    IPCMessageClient client(kModule, true, true, L"\\\\.\\pipe\\unused");
    SizesSeen seen;
    client.RegisterMessageCallback(9, [&](TagIPCMessageItem& item) { seen.Add(item); });
    constexpr std::size_t kPage = 4096;
    constexpr std::size_t kFillsReadBlock = pipelink::kReadBlockBytes - pipelink::kHeaderBytes;
    constexpr std::size_t kHalfReadBlock = pipelink::kReadBlockBytes / 2 - pipelink::kHeaderBytes;
    std::vector<std::size_t> everySize(4 * kPage + 1);
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
    std::size_t expectedTotal = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(pipe);
        ASSERT_TRUE(server.Accept());
        std::vector<pipelink::Frame> hello;
        ASSERT_TRUE(server.ReadFrames(1, hello));
        std::vector<char> block;
        for (const std::size_t size : c.sizes) {
            const std::vector<char> frame = PatternFrame(size);
            block.insert(block.end(), frame.begin(), frame.end());
            if (block.size() >= 1024 * 1024) {
                ASSERT_TRUE(server.Write(block));
                block.clear();
            }
        }
        ASSERT_TRUE(server.Write(block));
        if (c.closeAtOnce) {
            server.Close();
        }
        expectedTotal += c.sizes.size();
        ASSERT_TRUE(seen.WaitFor(expectedTotal));
        std::lock_guard<std::mutex> lock(seen.mutex);
        EXPECT_TRUE(std::equal(c.sizes.begin(), c.sizes.end(), seen.sizes.end() - c.sizes.size()));
        EXPECT_EQ(seen.damaged, 0u);
    }
}

namespace {
std::mutex g_connectMutex;
std::vector<DWORD> g_connectResults;
HANDLE WINAPI ResultRecordingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                         DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const HANDLE file = CreateFileW(name, access, share, security, disposition, flags, templateFile);
    const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(g_connectMutex);
        g_connectResults.push_back(error);
    }
    SetLastError(error);
    return file;
}
} // namespace

// The pipe busy (its only instance taken by another client) and then gone, while the
// client keeps trying: both are retried until a new instance listens.
TEST(PipelinkClient, RetriesWhileThePipeIsBusyOrAbsent)
{
    const std::wstring pipe = ipctest::UsePrivatePipeName();
    testsupport::ImportPatch patch(GetModuleHandleW(L"Pipelink.dll"), "kernel32.dll", "CreateFileW",
                                   reinterpret_cast<void*>(&ResultRecordingCreateFileW));
    ASSERT_TRUE(patch.active());
    g_connectResults.clear();
    UniqueFileHandle occupying;
    {
        UniqueFileHandle only(CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0,
                                               nullptr));
        ASSERT_TRUE(only);
        occupying.reset(CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(occupying);
        IPCMessageClient client(kModule, true, true, L"\\\\.\\pipe\\unused");
        Sleep(150); // busy
        occupying.reset();
        only.reset();
        Sleep(150); // gone
        TestServer server(pipe);
        ASSERT_TRUE(server.Accept());
        std::vector<pipelink::Frame> hello;
        ASSERT_TRUE(server.ReadFrames(1, hello));
    }
    std::lock_guard<std::mutex> lock(g_connectMutex);
    const auto count = [&](DWORD error) { return std::count(g_connectResults.begin(), g_connectResults.end(), error); };
    EXPECT_GE(count(ERROR_PIPE_BUSY), 2);
    EXPECT_GE(count(ERROR_FILE_NOT_FOUND), 2);
    ASSERT_FALSE(g_connectResults.empty());
    EXPECT_EQ(g_connectResults.back(), static_cast<DWORD>(ERROR_SUCCESS));
}

namespace {
// GetProcessHandleCount gives 0 under Wine. A new handle takes the lowest free slot
// of the process's handle table, so the value of a fresh one grows with leaked handles.
std::uintptr_t FreshHandleValue()
{
    UniqueHandle probe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return reinterpret_cast<std::uintptr_t>(probe.get());
}
} // namespace

TEST(PipelinkClient, DestroyedWhileConnectingAThousandTimesLeavesNoHandles)
{
    ipctest::Service service;
    ASSERT_TRUE(service.Start());
    {
        IPCMessageClient warm(kModule, false, true, L"\\\\.\\pipe\\unused");
        Sleep(100);
    }
    Sleep(200);
    const std::uintptr_t before = FreshHandleValue();
    for (int i = 0; i < 1000; ++i) {
        IPCMessageClient client(kModule + 1 + i % 7, i % 2 == 0, true, L"\\\\.\\pipe\\unused");
        if (i % 3 == 0) {
            Sleep(0);
        }
    }
    // The threads leave on their own; give them time to go.
    constexpr std::uintptr_t kToleratedHandles = 8;
    std::uintptr_t after = FreshHandleValue();
    for (int wait = 0; wait < 100 && after > before + 4 * kToleratedHandles; ++wait) {
        Sleep(50);
        after = FreshHandleValue();
    }
    EXPECT_LE(after, before + 4 * kToleratedHandles) << "before " << before << ", after " << after;
    std::printf("[ handles ] fresh handle value before %zu, after 1000 clients %zu\n", static_cast<std::size_t>(before),
                static_cast<std::size_t>(after));
}
