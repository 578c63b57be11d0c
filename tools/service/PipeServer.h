// The service's end of the pipe: one instance per connected client, each served by a
// thread of its own; messages are routed by destModuleId to the client that announced
// that module, recorded, and device requests answered.
#pragma once

#include "DeviceList.h"
#include "PipelinkWire.h"
#include "RecordFile.h"
#include "ferrydock/Resource.h"

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace service {

constexpr int kBridgeModule = 0xF00000;
constexpr int kTransferModule = 0xF10000;
constexpr int kDeviceModule = 0x5D0000;
constexpr int kDeviceListMessage = 0x1502BE;

class PipeServer {
public:
    using Printer = std::function<void(const std::string& line)>;

    PipeServer(std::wstring pipeName, RecordFile& record, std::vector<char> devicePayload, Printer print);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Creates the first pipe instance and starts listening; false with a message.
    bool Start(std::string& error);
    // Queues a message for the client that announced fields.destModuleId, and records it
    // unless told not to (floods); false when no client announced that module.
    bool SendToModule(const pipelink::FrameFields& fields, const std::vector<char>& payload, bool record = true);
    bool HasModule(int module);
    // Waits up to timeoutMs until every client's queue has gone to its pipe.
    void Flush(DWORD timeoutMs);
    void Stop();

    // Messages received since the start.
    unsigned long long Received() const { return received_; }
    // Paused: the service keeps its clients connected but reads nothing (a hung service).
    void SetPaused(bool paused);

private:
    struct Session;

    FerrydockIpc::UniqueFileHandle CreateInstance(bool first, DWORD& error);
    void Listen(FerrydockIpc::UniqueFileHandle instance);
    bool AwaitClient(HANDLE instance);
    void Serve(const std::shared_ptr<Session>& session);
    void OnFrame(const std::shared_ptr<Session>& session, pipelink::Frame&& frame);
    void Acknowledge(Session& session);
    bool Route(int module, const pipelink::FrameFields& fields, const std::vector<char>& payload);
    std::shared_ptr<Session> SessionOf(int module);

    const std::wstring pipeName_;
    RecordFile& record_;
    const std::vector<char> devicePayload_;
    Printer print_;
    FerrydockIpc::UniqueLocalMemory securityDescriptor_;
    FerrydockIpc::UniqueHandle stop_;
    std::thread listener_;

    std::mutex mutex_;
    std::list<std::shared_ptr<Session>> sessions_;
    std::map<int, std::weak_ptr<Session>> modules_;
    std::atomic<unsigned long long> received_{0};
    std::atomic<bool> paused_{false};
};

} // namespace service
