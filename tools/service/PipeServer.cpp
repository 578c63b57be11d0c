#include "PipeServer.h"

#include "PipelinkPump.h"

#include <sddl.h>
#include <algorithm>
#include <windows.h>

namespace service {

using FerrydockIpc::UniqueFileHandle;
using FerrydockIpc::UniqueHandle;
using FerrydockIpc::UniqueLocalMemory;

struct PipeServer::Session {
    UniqueFileHandle pipe;
    UniqueHandle wake{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::mutex mutex;
    pipelink::FrameQueue out;
    int module = -1;
    // From the client's hello: its identity and the number of its next message (0:
    // no hello yet, messages not numbered).
    std::uint64_t client = 0;
    std::uint64_t nextSequence = 0;
    std::uint64_t acknowledged = 0;
    std::thread thread;

    void Queue(const pipelink::FrameFields& fields, const std::vector<char>& payload)
    {
        bool wasEmpty = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            wasEmpty = out.Empty();
            out.Append(fields, nullptr, 0, payload.data(), payload.size());
        }
        if (wasEmpty) {
            SetEvent(wake.get());
        }
    }

    // Ahead of every frame not yet taken for writing: a flood queued for this client
    // delays it by the one block being written at most.
    void QueueAhead(const pipelink::FrameFields& fields)
    {
        bool wasEmpty = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            wasEmpty = out.Empty();
            out.PushFront(fields);
        }
        if (wasEmpty) {
            SetEvent(wake.get());
        }
    }

    bool Idle()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return out.Empty();
    }

    void TakeBlock(std::vector<char>& block)
    {
        std::size_t frames = 0;
        std::lock_guard<std::mutex> lock(mutex);
        out.Take(block, frames);
    }
};

namespace {

constexpr DWORD kBufferBytes = 64 * 1024;

std::wstring CurrentUserSid()
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return {};
    }
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
        return {};
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        return {};
    }
    UniqueLocalMemory owned(text);
    return text;
}

// Full access for the current user and LocalSystem only; nothing inherited.
UniqueLocalMemory PipeSecurity()
{
    const std::wstring sid = CurrentUserSid();
    if (sid.empty()) {
        return {};
    }
    const std::wstring sddl = L"D:P(A;;GA;;;" + sid + L")(A;;GA;;;SY)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return {};
    }
    return UniqueLocalMemory(descriptor);
}

} // namespace

PipeServer::PipeServer(std::wstring pipeName, RecordFile& record, std::vector<char> devicePayload, Printer print)
    : pipeName_(std::move(pipeName)), record_(record), devicePayload_(std::move(devicePayload)),
      print_(std::move(print)), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

PipeServer::~PipeServer() { Stop(); }

UniqueFileHandle PipeServer::CreateInstance(bool first, DWORD& error)
{
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), securityDescriptor_.get(), FALSE};
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    UniqueFileHandle instance(CreateNamedPipeW(pipeName_.c_str(), openMode,
                                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                                   PIPE_REJECT_REMOTE_CLIENTS,
                                               PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, 0, &attributes));
    error = instance ? ERROR_SUCCESS : GetLastError();
    return instance;
}

bool PipeServer::Start(std::string& error)
{
    securityDescriptor_ = PipeSecurity();
    if (!securityDescriptor_ || !stop_) {
        error = "cannot build the pipe's access list (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    // A client of a service that just died may hold the old pipe for a moment.
    DWORD lastError = ERROR_SUCCESS;
    UniqueFileHandle first;
    for (int attempt = 0; attempt < 40 && !first; ++attempt) {
        first = CreateInstance(true, lastError);
        if (!first && lastError == ERROR_ACCESS_DENIED) {
            Sleep(50);
        } else if (!first) {
            break;
        }
    }
    if (!first) {
        error = lastError == ERROR_ACCESS_DENIED ? "another service already serves this pipe"
                                                 : "cannot create the pipe (error " + std::to_string(lastError) + ")";
        return false;
    }
    listener_ = std::thread([this, instance = std::make_shared<UniqueFileHandle>(std::move(first))] {
        Listen(std::move(*instance));
    });
    return true;
}

bool PipeServer::AwaitClient(HANDLE instance)
{
    UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = connected.get();
    if (ConnectNamedPipe(instance, &overlapped)) {
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
        return true;
    }
    if (error != ERROR_IO_PENDING) {
        return false;
    }
    HANDLE handles[] = {stop_.get(), connected.get()};
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        DWORD ignored = 0;
        return GetOverlappedResult(instance, &overlapped, &ignored, FALSE) != FALSE;
    }
    CancelIoEx(instance, &overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(instance, &overlapped, &ignored, TRUE);
    return false;
}

void PipeServer::Listen(UniqueFileHandle instance)
{
    while (WaitForSingleObject(stop_.get(), 0) != WAIT_OBJECT_0) {
        if (!instance) {
            DWORD error = 0;
            instance = CreateInstance(false, error);
            if (!instance) {
                Sleep(50);
                continue;
            }
        }
        if (!AwaitClient(instance.get())) {
            instance.reset();
            continue;
        }
        auto session = std::make_shared<Session>();
        session->pipe = std::move(instance);
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.push_back(session);
        session->thread = std::thread([this, session] { Serve(session); });
    }
}

void PipeServer::Serve(const std::shared_ptr<Session>& session)
{
    pipelink::PumpHooks hooks;
    hooks.takeOutbound = [&](std::vector<char>& out) { session->TakeBlock(out); };
    hooks.onFrame = [&](pipelink::Frame&& frame) { OnFrame(session, std::move(frame)); };
    hooks.afterBlock = [&] { Acknowledge(*session); };
    hooks.mayRead = [this] { return !paused_; };
    std::string detail;
    const pipelink::PumpEnd end =
        pipelink::RunPump(session->pipe.get(), stop_.get(), session->wake.get(), {}, hooks, detail);
    if (end == pipelink::PumpEnd::Malformed) {
        print_("dropped client: malformed frame (" + detail + ")");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (session->module >= 0) {
        const auto found = modules_.find(session->module);
        if (found != modules_.end() && found->second.lock() == session) {
            modules_.erase(found);
        }
        print_("disconnected " + std::to_string(session->module));
    }
    session->pipe.reset();
}

void PipeServer::OnFrame(const std::shared_ptr<Session>& session, pipelink::Frame&& frame)
{
    if (frame.fields.kind == pipelink::kKindHello) {
        session->client = pipelink::HelloClient(frame.fields);
        session->nextSequence = pipelink::CarriedSequence(frame.fields);
        session->acknowledged = session->nextSequence > 0 ? session->nextSequence - 1 : 0;
        if (!frame.fields.auxFlag) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        session->module = frame.fields.srcModule;
        modules_[session->module] = session;
        print_("connected " + std::to_string(session->module));
        return;
    }
    if (frame.fields.kind != pipelink::kKindMessage) {
        return;
    }
    const std::uint64_t sequence = session->nextSequence > 0 ? session->nextSequence++ : 0;
    if (!record_.Take(frame, session->client, sequence)) {
        return; // sent again after a lost acknowledgement; taken before
    }
    ++received_;
    if (Route(frame.fields.destModuleId, frame.fields, frame.payload)) {
        return;
    }
    if (frame.fields.messageId == kDeviceListMessage) {
        pipelink::FrameFields reply;
        reply.srcModule = kDeviceModule;
        reply.destModuleId = frame.fields.srcModule;
        reply.messageId = kDeviceListMessage;
        reply.auxId1 = reply.auxId2 = reply.auxId3 = -1;
        reply.hasMessage = true;
        record_.Sent(pipelink::Frame{reply, {}, devicePayload_}, true);
        session->Queue(reply, devicePayload_);
    }
}

// Once per read block: the client keeps every frame until it is acknowledged, and
// counts those against its posting bound, so the acknowledgement overtakes the
// messages queued for that client.
void PipeServer::Acknowledge(Session& session)
{
    if (session.nextSequence == 0 || session.nextSequence - 1 == session.acknowledged) {
        return;
    }
    session.acknowledged = session.nextSequence - 1;
    session.QueueAhead(pipelink::AckFields(session.acknowledged));
}

std::shared_ptr<PipeServer::Session> PipeServer::SessionOf(int module)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = modules_.find(module);
    return found != modules_.end() ? found->second.lock() : nullptr;
}

bool PipeServer::HasModule(int module) { return SessionOf(module) != nullptr; }

bool PipeServer::Route(int module, const pipelink::FrameFields& fields, const std::vector<char>& payload)
{
    const std::shared_ptr<Session> target = SessionOf(module);
    if (!target) {
        return false;
    }
    target->Queue(fields, payload);
    return true;
}

bool PipeServer::SendToModule(const pipelink::FrameFields& fields, const std::vector<char>& payload, bool record)
{
    const std::shared_ptr<Session> target = SessionOf(fields.destModuleId);
    if (!target) {
        return false;
    }
    // Recorded before it can leave, so that the bridge's answer is never recorded first.
    if (record) {
        record_.Sent(pipelink::Frame{fields, {}, payload}, false);
    }
    target->Queue(fields, payload);
    return true;
}

void PipeServer::Flush(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    const auto allIdle = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::all_of(sessions_.begin(), sessions_.end(), [](const auto& session) {
            return !session->pipe || session->Idle();
        });
    };
    while (!allIdle() && GetTickCount64() < deadline) {
        Sleep(10);
    }
    // The last block taken from a queue may still be on its way into the pipe.
    Sleep(100);
}

void PipeServer::SetPaused(bool paused)
{
    paused_ = paused;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& session : sessions_) {
        SetEvent(session->wake.get());
    }
}

void PipeServer::Stop()
{
    if (!stop_) {
        return;
    }
    SetEvent(stop_.get());
    if (listener_.joinable()) {
        listener_.join();
    }
    std::list<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions.swap(sessions_);
    }
    for (const auto& session : sessions) {
        if (session->thread.joinable()) {
            session->thread.join();
        }
    }
}

} // namespace service
