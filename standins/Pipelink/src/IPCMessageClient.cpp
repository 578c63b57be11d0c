#include "IPCMessageClient.h"

#include "KdLogger.h"
#include "PipelinkPump.h"
#include "PipelinkWire.h"
#include "ferrydock/Resource.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <unordered_map>
#include <utility>

using FerrydockIpc::UniqueFileHandle;
using FerrydockIpc::UniqueHandle;

namespace {

constexpr DWORD kFirstBackoffMs = 20;
constexpr DWORD kLastBackoffMs = 500;
// A restarting service is usually back within a few hundred milliseconds: retry at
// the first interval this many times before backing off.
constexpr int kQuickRetries = 10;
// Received frames waiting for the delivery thread; past either bound the pipe is not
// read. Acknowledgements queue behind the frames that wait, so the bound also sets how
// far they lag while a slow callable holds the delivery thread.
constexpr std::size_t kMaxInboundFrames = 1024;
constexpr std::size_t kMaxInboundBytes = 4 * 1024 * 1024;
// Once every frame is acknowledged the buffer that kept them keeps up to this much
// capacity; a larger one, left by a burst, is released rather than held for the
// client's life.
constexpr std::size_t kKeptBufferBytes = 256 * 1024;
// How long the constructor waits for the pool's threads to come up (they cannot while the
// loader lock is held, as in a DLL's static initialisation).
constexpr DWORD kStartWaitMs = 2000;

void EmptyBuffer(std::vector<char>& buffer)
{
    if (buffer.capacity() > kKeptBufferBytes) {
        std::vector<char>().swap(buffer);
    } else {
        buffer.clear();
    }
}

void LogNotice(const std::wstring& text)
{
    // Made from the whole text: inserters would touch the runtime's per-thread state,
    // which the static thread library does not release when this DLL unloads.
    std::wostringstream line(text + L"(pipelink::IPCMessageClient)");
    KdLogger::GetInstance()->Log(LOG_LEVEL_INFO, line);
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring PipeNameFromEnvironment(const std::wstring& fallback)
{
    wchar_t buffer[512];
    const DWORD length = GetEnvironmentVariableW(L"FERRYDOCK_PIPE_NAME", buffer, ARRAYSIZE(buffer));
    return (length > 0 && length < ARRAYSIZE(buffer)) ? std::wstring(buffer, length) : fallback;
}

// Distinct for clients alive at the same time (process id, counter) and, through the
// time, for those created one after another; mixed so that no part dominates.
std::uint64_t NewClientIdentity()
{
    static std::atomic<std::uint64_t> counter{0};
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    std::uint64_t value = (static_cast<std::uint64_t>(GetCurrentProcessId()) << 40) ^ (++counter << 20) ^
                          static_cast<std::uint64_t>(now.QuadPart) ^ (GetTickCount64() << 32);
    value ^= value >> 30; // splitmix64 finaliser
    value *= 0xBF58476D1CE4E5B9ull;
    value ^= value >> 27;
    value *= 0x94D049BB133111EBull;
    value ^= value >> 31;
    return value;
}

// Hands received frames to the delivery thread with a condition variable: Wine keeps
// slim locks and condition variables inside the process, where each event call is a
// round trip to the wineserver (tens of microseconds on a message's way).
class SlimLock {
public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* native() { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

using PoolWork = FerrydockIpc::UniqueResource<PTP_WORK, ::CloseThreadpoolWork>;

// During process exit the other threads are already gone, possibly while holding our
// locks, and must not be waited for.
bool ProcessIsExiting()
{
    using Query = BOOLEAN(WINAPI*)();
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
    return query != nullptr && query() != FALSE;
}

} // namespace

class IPCMessageClient::State {
public:
    State(int moduleId, bool announce, bool keepConnected, std::wstring pipeName)
        : moduleId_(moduleId), announce_(announce), keepConnected_(keepConnected), pipeName_(std::move(pipeName))
    {
    }

    bool Ready() const { return stop_ && wake_ && loopsRunning_ && settled_; }
    bool Start(const std::shared_ptr<State>& self);

    bool Enqueue(const TagIPCMessageItem& item);
    void Register(int messageId, MessageCallback callback);
    void UnregisterAll();
    void Shutdown();
    // Returns once neither loop runs or can start any more (see the destructor).
    void Join();

private:
    static void CALLBACK ConnectionWork(PTP_CALLBACK_INSTANCE instance, void* context, PTP_WORK work);
    static void CALLBACK DeliveryWork(PTP_CALLBACK_INSTANCE instance, void* context, PTP_WORK work);
    static void CALLBACK SettleWork(PTP_CALLBACK_INSTANCE instance, void* context, PTP_WORK work);
    void LoopRunning();
    void WaitUntilThreadsRun();

    void RunConnection();
    UniqueFileHandle Connect() const;
    void NoteConnectFailure(DWORD error);
    void NoteConnected(int failedAttempts);
    std::vector<char> Greeting();
    pipelink::PumpHooks Hooks();
    void TakeOutbound(std::vector<char>& out);
    void Acknowledge(std::uint64_t lastSequence);
    std::size_t UnacknowledgedBytes() const { return sentBytes_.size() - sentOffset_; }
    void Receive(pipelink::Frame&& frame);
    bool InboundHasRoom();
    bool InboundFull() const;
    void GiveUp();

    void RunDelivery();
    bool NextInbound(pipelink::Frame& frame);
    void Deliver(pipelink::Frame& frame);

    const int moduleId_;
    const bool announce_;
    const bool keepConnected_;
    const std::wstring pipeName_;
    // The error of the last logged failed connect, 0 once connected again.
    DWORD loggedConnectError_ = 0;

    UniqueHandle stop_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle wake_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<bool> stopping_{false};

    const std::uint64_t identity_ = NewClientIdentity();
    std::mutex outMutex_;
    // Posted, not yet handed to a connection.
    pipelink::FrameQueue outQueue_;
    // Handed to a connection and not yet acknowledged by the service: written again,
    // with their sequence numbers, on every new connection until acknowledged. The
    // first sentOffset_ bytes are acknowledged frames not yet cut off.
    std::vector<char> sentBytes_;
    std::size_t sentOffset_ = 0;
    std::size_t sentFrames_ = 0;
    std::uint64_t firstUnacknowledged_ = 1;
    bool givenUp_ = false;
    bool refusing_ = false;

    SlimLock inLock_;
    CONDITION_VARIABLE inboundReady_ = CONDITION_VARIABLE_INIT;
    std::deque<pipelink::Frame> inbound_;
    std::size_t inboundBytes_ = 0;

    std::mutex registryMutex_;
    std::unordered_map<int, std::shared_ptr<MessageCallback>> callbacks_;
    // Held while a callable is looked up and runs: taking it waits for the running one.
    std::mutex dispatchMutex_;
    // The pool thread that runs the delivery loop, 0 when none does.
    std::atomic<DWORD> deliveryThreadId_{0};

    // The connection and delivery loops, each one long callback on the process's thread
    // pool. The callbacks keep the state alive through self_ while they run.
    std::weak_ptr<State> self_;
    PoolWork connectionWork_;
    PoolWork deliveryWork_;
    // Runs once both loops run, on the worker the pool started to replace them.
    PoolWork settleWork_;
    std::atomic<int> loopsStarted_{0};
    UniqueHandle loopsRunning_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle settled_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

bool IPCMessageClient::State::Start(const std::shared_ptr<State>& self)
{
    self_ = self;
    connectionWork_.reset(CreateThreadpoolWork(&State::ConnectionWork, this, nullptr));
    deliveryWork_.reset(CreateThreadpoolWork(&State::DeliveryWork, this, nullptr));
    settleWork_.reset(CreateThreadpoolWork(&State::SettleWork, this, nullptr));
    if (!connectionWork_ || !deliveryWork_ || !settleWork_) {
        return false;
    }
    SubmitThreadpoolWork(connectionWork_.get());
    SubmitThreadpoolWork(deliveryWork_.get());
    WaitUntilThreadsRun();
    return true;
}

// Returns once no thread of the pool is still starting for the client. Each long
// callback makes the pool start a worker to replace the one it holds; processes that
// created a client right before main returned, while such a thread was still starting,
// are where unclean exits were seen under Wine. The settling callback runs on the
// replacement, so once it has run, every thread started for the client runs.
void IPCMessageClient::State::WaitUntilThreadsRun()
{
    if (WaitForSingleObject(loopsRunning_.get(), kStartWaitMs) != WAIT_OBJECT_0) {
        return;
    }
    SubmitThreadpoolWork(settleWork_.get());
    WaitForSingleObject(settled_.get(), kStartWaitMs);
}

void IPCMessageClient::State::LoopRunning()
{
    if (++loopsStarted_ == 2) {
        SetEvent(loopsRunning_.get());
    }
}

void CALLBACK IPCMessageClient::State::SettleWork(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK)
{
    SetEvent(static_cast<State*>(context)->settled_.get());
}

void CALLBACK IPCMessageClient::State::ConnectionWork(PTP_CALLBACK_INSTANCE instance, void* context, PTP_WORK)
{
    // Runs until the client stops: the pool is to use other threads for other work.
    CallbackMayRunLong(instance);
    static_cast<State*>(context)->LoopRunning();
    if (const std::shared_ptr<State> state = static_cast<State*>(context)->self_.lock()) {
        state->RunConnection();
    }
}

void CALLBACK IPCMessageClient::State::DeliveryWork(PTP_CALLBACK_INSTANCE instance, void* context, PTP_WORK)
{
    CallbackMayRunLong(instance);
    static_cast<State*>(context)->LoopRunning();
    if (const std::shared_ptr<State> state = static_cast<State*>(context)->self_.lock()) {
        state->RunDelivery();
    }
}

// ---- outbound ----

bool IPCMessageClient::State::Enqueue(const TagIPCMessageItem& item)
{
    const std::size_t frameBytes = pipelink::kHeaderBytes + item.headText.size() +
                                   static_cast<std::size_t>(item.messageLength);
    pipelink::FrameFields fields;
    fields.kind = pipelink::kKindMessage;
    fields.srcModule = moduleId_;
    fields.destModuleId = item.destModuleId;
    fields.messageId = item.messageId;
    fields.auxId1 = item.auxId1;
    fields.auxId2 = item.auxId2;
    fields.auxId3 = item.auxId3;
    fields.auxValue = item.auxValue;
    fields.auxValue2 = item.auxValue2;
    fields.auxFlag = item.auxFlag;
    fields.hasMessage = item.message != nullptr;
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(outMutex_);
        if (givenUp_ || stopping_) {
            return false;
        }
        if (outQueue_.Frames() + sentFrames_ >= kPipelinkMaxQueuedMessages ||
            outQueue_.Bytes() + UnacknowledgedBytes() + frameBytes > kPipelinkMaxQueuedBytes) {
            if (!refusing_) {
                LogNotice(L"Pipelink outbound queue full, refusing messages");
            }
            refusing_ = true;
            return false;
        }
        refusing_ = false;
        wasEmpty = outQueue_.Empty();
        outQueue_.Append(fields, item.headText.data(), item.headText.size(), item.message,
                         static_cast<std::size_t>(item.messageLength));
    }
    // The connection thread takes block after block until the queue is empty: one wake
    // per batch. Under Wine every SetEvent is a round trip to the wineserver.
    if (wasEmpty) {
        SetEvent(wake_.get());
    }
    return true;
}

void IPCMessageClient::State::TakeOutbound(std::vector<char>& out)
{
    std::size_t frames = 0;
    std::lock_guard<std::mutex> lock(outMutex_);
    outQueue_.Take(out, frames);
    sentBytes_.insert(sentBytes_.end(), out.begin(), out.end());
    sentFrames_ += frames;
}

void IPCMessageClient::State::Acknowledge(std::uint64_t lastSequence)
{
    std::lock_guard<std::mutex> lock(outMutex_);
    while (sentFrames_ > 0 && firstUnacknowledged_ <= lastSequence) {
        const unsigned char* length = reinterpret_cast<const unsigned char*>(sentBytes_.data() + sentOffset_ + 8);
        sentOffset_ += length[0] | (length[1] << 8) | (length[2] << 16) | (static_cast<std::size_t>(length[3]) << 24);
        --sentFrames_;
        ++firstUnacknowledged_;
    }
    // Cut acknowledged bytes off only once they are the larger part: one move per
    // buffer's worth, not one per acknowledgement.
    if (sentFrames_ == 0) {
        EmptyBuffer(sentBytes_);
        sentOffset_ = 0;
    } else if (sentOffset_ > sentBytes_.size() / 2) {
        sentBytes_.erase(sentBytes_.begin(), sentBytes_.begin() + static_cast<std::ptrdiff_t>(sentOffset_));
        sentOffset_ = 0;
    }
}

void IPCMessageClient::State::GiveUp()
{
    std::lock_guard<std::mutex> lock(outMutex_);
    givenUp_ = true;
    outQueue_.Clear();
    sentBytes_.clear();
    sentOffset_ = 0;
    sentFrames_ = 0;
}

// ---- connection ----

UniqueFileHandle IPCMessageClient::State::Connect() const
{
    // Identification level only: the service may learn who we are but cannot act as us.
    return UniqueFileHandle(CreateFileW(pipeName_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                        nullptr));
}

// The hello, then every frame the last connections took without an acknowledgement:
// the service skips the numbers it has taken already, so each arrives once.
std::vector<char> IPCMessageClient::State::Greeting()
{
    std::vector<char> greeting;
    std::lock_guard<std::mutex> lock(outMutex_);
    pipelink::AppendFrame(greeting, pipelink::HelloFields(moduleId_, announce_, identity_, firstUnacknowledged_),
                          nullptr, 0, nullptr, 0);
    greeting.insert(greeting.end(), sentBytes_.begin() + static_cast<std::ptrdiff_t>(sentOffset_), sentBytes_.end());
    return greeting;
}

pipelink::PumpHooks IPCMessageClient::State::Hooks()
{
    pipelink::PumpHooks hooks;
    hooks.takeOutbound = [this](std::vector<char>& out) { TakeOutbound(out); };
    hooks.onFrame = [this](pipelink::Frame&& frame) { Receive(std::move(frame)); };
    hooks.mayRead = [this] { return InboundHasRoom(); };
    return hooks;
}

// One line per run of identical failures: a service that is restarting shows as one
// "not found" line, a lasting refusal as one "access denied" line, not one a retry.
void IPCMessageClient::State::NoteConnectFailure(DWORD error)
{
    if (error == loggedConnectError_) {
        return;
    }
    loggedConnectError_ = error;
    LogNotice(L"Pipelink cannot connect to " + pipeName_ + L" (error " + std::to_wstring(error) + L"), retrying");
}

void IPCMessageClient::State::NoteConnected(int failedAttempts)
{
    if (loggedConnectError_ == 0) {
        return;
    }
    loggedConnectError_ = 0;
    LogNotice(L"Pipelink connected to " + pipeName_ + L" after " + std::to_wstring(failedAttempts) +
              L" failed attempts");
}

void IPCMessageClient::State::RunConnection()
{
    const pipelink::PumpHooks hooks = Hooks();
    DWORD backoff = kFirstBackoffMs;
    int failures = 0;
    while (!stopping_) {
        UniqueFileHandle pipe = Connect();
        if (!pipe) {
            NoteConnectFailure(GetLastError());
            ++failures;
            // Absent, busy or refusing: try again later; only a stop ends the wait early.
            if (WaitForSingleObject(stop_.get(), backoff) == WAIT_OBJECT_0) {
                break;
            }
            if (failures >= kQuickRetries) {
                backoff = std::min(backoff * 2, kLastBackoffMs);
            }
            continue;
        }
        NoteConnected(failures);
        backoff = kFirstBackoffMs;
        failures = 0;
        std::string detail;
        const pipelink::PumpEnd end = pipelink::RunPump(pipe.get(), stop_.get(), wake_.get(), Greeting(), hooks, detail);
        if (end == pipelink::PumpEnd::Malformed) {
            LogNotice(L"Pipelink dropped a malformed frame (" + Widen(detail) + L"), reconnecting");
        }
        if (end != pipelink::PumpEnd::Stopped && !keepConnected_) {
            GiveUp();
            break;
        }
    }
}

// ---- inbound ----

void IPCMessageClient::State::Receive(pipelink::Frame&& frame)
{
    if (frame.fields.kind == pipelink::kKindAck) {
        Acknowledge(pipelink::CarriedSequence(frame.fields));
    }
    if (frame.fields.kind != pipelink::kKindMessage) {
        return;
    }
    bool wasEmpty = false;
    {
        std::lock_guard<SlimLock> lock(inLock_);
        wasEmpty = inbound_.empty();
        inboundBytes_ += frame.head.size() + frame.payload.size();
        inbound_.push_back(std::move(frame));
    }
    // The delivery thread drains the queue before it waits again.
    if (wasEmpty) {
        WakeConditionVariable(&inboundReady_);
    }
}

bool IPCMessageClient::State::InboundFull() const
{
    return inbound_.size() >= kMaxInboundFrames || inboundBytes_ >= kMaxInboundBytes;
}

bool IPCMessageClient::State::InboundHasRoom()
{
    std::lock_guard<SlimLock> lock(inLock_);
    return !InboundFull();
}

bool IPCMessageClient::State::NextInbound(pipelink::Frame& frame)
{
    bool wasFull = false;
    {
        std::unique_lock<SlimLock> lock(inLock_);
        while (inbound_.empty() && !stopping_) {
            SleepConditionVariableSRW(&inboundReady_, inLock_.native(), INFINITE, 0);
        }
        if (stopping_) {
            return false;
        }
        wasFull = InboundFull();
        frame = std::move(inbound_.front());
        inbound_.pop_front();
        inboundBytes_ -= frame.head.size() + frame.payload.size();
    }
    if (wasFull) {
        SetEvent(wake_.get());
    }
    return true;
}

void IPCMessageClient::State::RunDelivery()
{
    deliveryThreadId_ = GetCurrentThreadId();
    pipelink::Frame frame;
    while (NextInbound(frame)) {
        Deliver(frame);
    }
    // The pool thread goes on to run other work.
    deliveryThreadId_ = 0;
}

void IPCMessageClient::State::Deliver(pipelink::Frame& frame)
{
    std::lock_guard<std::mutex> dispatch(dispatchMutex_);
    if (stopping_) {
        return;
    }
    std::shared_ptr<MessageCallback> callable;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        const auto found = callbacks_.find(frame.fields.messageId);
        if (found == callbacks_.end()) {
            return;
        }
        callable = found->second;
    }
    static const char kEmpty[1] = {0};
    TagIPCMessageItem item;
    item.headText = std::move(frame.head);
    item.destModuleId = frame.fields.destModuleId;
    item.auxId1 = frame.fields.auxId1;
    item.messageId = frame.fields.messageId;
    item.auxId2 = frame.fields.auxId2;
    item.auxId3 = frame.fields.auxId3;
    item.auxValue = frame.fields.auxValue;
    item.messageLength = static_cast<int>(frame.payload.size());
    item.message = !frame.fields.hasMessage ? nullptr : frame.payload.empty() ? kEmpty : frame.payload.data();
    item.auxFlag = frame.fields.auxFlag;
    item.auxValue2 = frame.fields.auxValue2;
    try {
        (*callable)(item);
    } catch (...) {
        LogNotice(L"Pipelink message callable threw; message dropped");
    }
}

// ---- registrations ----

void IPCMessageClient::State::Register(int messageId, MessageCallback callback)
{
    auto shared = std::make_shared<MessageCallback>(std::move(callback));
    std::lock_guard<std::mutex> lock(registryMutex_);
    callbacks_[messageId] = std::move(shared);
}

void IPCMessageClient::State::UnregisterAll()
{
    std::unordered_map<int, std::shared_ptr<MessageCallback>> removed;
    if (GetCurrentThreadId() == deliveryThreadId_) {
        // Called from a callable: the dispatch lock is ours already.
        std::lock_guard<std::mutex> lock(registryMutex_);
        removed.swap(callbacks_);
        return;
    }
    {
        // From here on no lookup finds a callable...
        std::lock_guard<std::mutex> lock(registryMutex_);
        removed.swap(callbacks_);
    }
    // ...and this waits for one that was found before and may be running.
    std::lock_guard<std::mutex> dispatch(dispatchMutex_);
}

void IPCMessageClient::State::Shutdown()
{
    {
        std::lock_guard<std::mutex> lock(outMutex_);
        stopping_ = true;
    }
    SetEvent(stop_.get());
    {
        // The delivery thread either sees stopping_ or is asleep and woken here.
        std::lock_guard<SlimLock> lock(inLock_);
    }
    WakeAllConditionVariable(&inboundReady_);
    // The callables may live in a module that is being unloaded: none may run or even
    // be destroyed after this returns.
    UnregisterAll();
}

void IPCMessageClient::State::Join()
{
    // A callback that has not started is cancelled rather than waited for: its pool
    // thread may be new and waiting for the loader lock to attach.
    if (connectionWork_) {
        WaitForThreadpoolWorkCallbacks(connectionWork_.get(), TRUE);
    }
    // A callable that destroys its own client cannot wait for itself; the delivery
    // callback keeps the state alive until it returns.
    if (deliveryWork_ && GetCurrentThreadId() != deliveryThreadId_) {
        WaitForThreadpoolWorkCallbacks(deliveryWork_.get(), TRUE);
    }
    if (settleWork_) {
        WaitForThreadpoolWorkCallbacks(settleWork_.get(), TRUE);
    }
}

// ---- the client ----

IPCMessageClient::IPCMessageClient(int moduleId, bool announceModule, bool keepConnected,
                                   const std::wstring& pipeName)
    : state_(std::make_shared<State>(moduleId, announceModule, keepConnected, PipeNameFromEnvironment(pipeName)))
{
    if (!state_->Ready() || !state_->Start(state_)) {
        LogNotice(L"Pipelink could not start its threads; messages stay queued");
    }
}

// Signals both loops, waits for a callable that is running right now to return, then
// waits until neither loop runs. That is possible also under the loader lock (the
// owning module unloaded by FreeLibrary): the loops run as callbacks on the process's
// thread pool, whose threads outlive them and need no lock to leave a callback. So no
// code of this DLL runs once the destructor has returned, and no thread of the client
// is on its way out when the process exits: with threads of its own that ended through
// FreeLibraryAndExitThread, a process exiting at that moment (right after FreeLibrary,
// or right after a static client was destroyed) was now and then killed under Wine after
// its work was done. During process exit the pool's threads are already dead and nothing
// is touched.
IPCMessageClient::~IPCMessageClient()
{
    if (ProcessIsExiting()) {
        // Left alive without touching the heap: a killed thread may have held its lock.
        alignas(std::shared_ptr<State>) unsigned char forgotten[sizeof(std::shared_ptr<State>)];
        new (forgotten) std::shared_ptr<State>(std::move(state_)); // never destroyed
        return;
    }
    state_->Shutdown();
    state_->Join();
}

void IPCMessageClient::RegisterMessageCallback(int messageId, MessageCallback callback)
{
    state_->Register(messageId, std::move(callback));
}

bool IPCMessageClient::PostIPCMessage(const TagIPCMessageItem& item) const
{
    const bool lengthValid = item.messageLength >= 0 &&
                             static_cast<std::size_t>(item.messageLength) <= pipelink::kMaxPayloadBytes &&
                             (item.message != nullptr || item.messageLength == 0);
    if (!lengthValid || item.headText.size() > pipelink::kMaxHeadBytes) {
        return false;
    }
    return state_->Enqueue(item);
}

bool IPCMessageClient::UnRegisterMessageCallbackAll()
{
    state_->UnregisterAll();
    return true;
}
