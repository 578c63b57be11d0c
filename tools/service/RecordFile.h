// The --record file: one JSON line per message of either direction, flushed per line. It also
// remembers, per client identity, the last sequence number taken, so that a message a
// client sends again after a lost acknowledgement is taken once, also by a service
// started anew on the same file.
#pragma once

#include "Messages.h"
#include "PipelinkWire.h"
#include "ferrydock/Resource.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace service {

// {"src":…,"dest":…,"id":…,"aux1":…,"aux2":…,"aux3":…,"auxValue":…,"length":…,
//  "auxFlag":…,"auxValue2":…,"head":"…","payload":"<hex>"|null,"dir":"out"|"in","t":…,
//  "name":"…"|null,"text":"…"|null[,"reply":true][,"client":"<16 hex>","seq":…]},
// numbers in decimal; client and seq for numbered messages (sequence > 0); reply for a
// message the service sent on its own as the answer to a request.
std::string RecordLine(const pipelink::Frame& frame, std::uint64_t client, std::uint64_t sequence,
                       const Traffic& traffic);

class RecordFile {
public:
    // Called for every message, under the file's lock, so in the record's order.
    using Listener = std::function<void(const Traffic& traffic, const pipelink::Frame& frame)>;

    RecordFile();

    // Reads the numbers already taken from an existing file, then appends to it.
    bool Open(const std::wstring& path);
    // Records the message unless sequence is not above the last one taken from client
    // (false: a duplicate, not recorded). Sequence 0: not numbered, always recorded.
    bool Take(const pipelink::Frame& frame, std::uint64_t client, std::uint64_t sequence);
    // Records a message this service sent to a client.
    void Sent(const pipelink::Frame& frame, bool reply);
    // Set before any message passes. Without a file, texts are decoded only when the
    // listener wants them: a flood of posts is not slowed by conversions nobody reads.
    void SetListener(Listener listener, bool wantsText)
    {
        listener_ = std::move(listener);
        listenerWantsText_ = wantsText;
    }

private:
    void Recover(const std::wstring& path);
    void WriteLocked(const pipelink::Frame& frame, std::uint64_t client, std::uint64_t sequence, Direction direction,
                     bool reply);

    std::mutex mutex_;
    FerrydockIpc::UniqueResource<std::FILE*, std::fclose> file_;
    std::map<std::uint64_t, std::uint64_t> lastTaken_;
    bool endsMidLine_ = false;
    const unsigned long long started_;
    Listener listener_;
    bool listenerWantsText_ = false;
};

} // namespace service
