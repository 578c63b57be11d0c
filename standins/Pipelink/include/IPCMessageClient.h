// Pipelink.dll: the suite's IPC client. A module of a process connects to the
// service's named pipe under its module id, posts records to other modules and
// receives the records addressed to it.
//
// Stand-in build:
// - The pipe named in the constructor is used unless FERRYDOCK_PIPE_NAME names another.
// - The client's two loops run as long callbacks on the process's thread pool (the
//   "connection thread" and the "delivery thread" below).
// - A background thread connects (and reconnects after a loss: ten tries 20 ms apart,
//   then a back-off doubling up to 500 ms). The constructor returns once the pool's
//   threads for the client run (at most two seconds; see the source), every operation
//   at once.
// - A failed connect is logged with its error code once per run of identical errors,
//   and the connect that ends such a run once.
// - PostIPCMessage encodes the record into an outbound queue and returns. Queued
//   records are written in blocks of up to 64 KiB whenever the pipe is connected;
//   records posted while it is not wait in the queue. false means the record was NOT
//   queued: its lengths are invalid (negative or over the bounds of PipelinkWire.h,
//   or a null message with a non-zero length), the queue already holds
//   kPipelinkMaxQueuedMessages records or kPipelinkMaxQueuedBytes bytes, counting
//   records written but not yet acknowledged (the new record is refused, queued ones
//   are kept), or the client has given up (keepConnected false and the connection was
//   lost). Against a service that reads nothing the client so holds at most
//   kPipelinkMaxQueuedBytes of frames, plus a copy of the block being written.
// - Delivery of accepted records: each is numbered; the client keeps it after writing
//   until the service acknowledges its number, and writes every unacknowledged record
//   again, with the same numbers, on each new connection. The service takes a number
//   only once per client (its record file keeps the numbers across its restarts;
//   without one a restarted service may take a record twice), so
//   a record accepted by PostIPCMessage reaches the service exactly once and in
//   posting order, however often the connection breaks or the service restarts. Lost
//   are only the records still queued when the client is destroyed or gives up.
//   Records from the service to the client are not numbered: those it had queued
//   when it died are lost; the others arrive once and in order.
// - Received records are delivered in order on the client's delivery thread to the
//   callable registered for their messageId (a second registration for an id
//   replaces the first). The record's message points to messageLength bytes valid
//   until the callable returns, or is null when the sender posted a null message.
// - Once UnRegisterMessageCallbackAll returns, no callable is invoked any more, also
//   for records already received. Callables may post, register and unregister.
// - Frames on the wire: see PipelinkWire.h.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#ifdef PIPELINK_EXPORTS
#define PIPELINK_API __declspec(dllexport)
#else
#define PIPELINK_API __declspec(dllimport)
#endif

// The message record, laid out as the suite's modules exchange it (x86-64).
struct TagIPCMessageItem {
    std::string headText;
    int destModuleId = 0;
    int auxId1 = 0;
    int messageId = 0;
    int auxId2 = 0;
    int auxId3 = 0;
    int auxValue = 0;
    int messageLength = 0; // bytes at message; never negative
    const char* message = nullptr;
    bool auxFlag = false;
    int auxValue2 = 0;
};

#if defined(_WIN64)
static_assert(sizeof(std::string) == 32, "headText is a 32-byte string object");
static_assert(offsetof(TagIPCMessageItem, headText) == 0, "headText");
static_assert(offsetof(TagIPCMessageItem, destModuleId) == 32, "destModuleId");
static_assert(offsetof(TagIPCMessageItem, auxId1) == 36, "auxId1");
static_assert(offsetof(TagIPCMessageItem, messageId) == 40, "messageId");
static_assert(offsetof(TagIPCMessageItem, auxId2) == 44, "auxId2");
static_assert(offsetof(TagIPCMessageItem, auxId3) == 48, "auxId3");
static_assert(offsetof(TagIPCMessageItem, auxValue) == 52, "auxValue");
static_assert(offsetof(TagIPCMessageItem, messageLength) == 56, "messageLength");
static_assert(offsetof(TagIPCMessageItem, message) == 64, "message");
static_assert(offsetof(TagIPCMessageItem, auxFlag) == 72, "auxFlag");
static_assert(offsetof(TagIPCMessageItem, auxValue2) == 76, "auxValue2");
static_assert(sizeof(TagIPCMessageItem) == 80, "TagIPCMessageItem is 80 bytes");
#endif

class PIPELINK_API IPCMessageClient {
public:
    using MessageCallback = std::function<void(TagIPCMessageItem&)>;

    // announceModule: tell the service this client's module id, so that records for
    // it are routed here (false: post only). keepConnected: reconnect after a lost
    // connection (false: give up after the first loss; posts then return false).
    IPCMessageClient(int moduleId, bool announceModule, bool keepConnected, const std::wstring& pipeName);
    // Stops both loops and returns once neither runs, also under the loader lock (see
    // the source); during process exit it touches nothing.
    ~IPCMessageClient();
    IPCMessageClient(const IPCMessageClient&) = delete;
    IPCMessageClient& operator=(const IPCMessageClient&) = delete;

    void RegisterMessageCallback(int messageId, MessageCallback callback);
    bool PostIPCMessage(const TagIPCMessageItem& item) const;
    bool UnRegisterMessageCallbackAll();

    class State;

private:
    std::shared_ptr<State> state_;
};

// Bounds of the outbound queue.
constexpr std::size_t kPipelinkMaxQueuedMessages = 131072;
constexpr std::size_t kPipelinkMaxQueuedBytes = 16u * 1024u * 1024u;
