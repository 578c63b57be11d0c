// The --record file: one JSON line per received message, flushed per line. It also
// remembers, per client identity, the last sequence number taken, so that a message a
// client sends again after a lost acknowledgement is taken once, also by a service
// started anew on the same file.
#pragma once

#include "PipelinkWire.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace service {

// {"src":…,"dest":…,"id":…,"aux1":…,"aux2":…,"aux3":…,"auxValue":…,"length":…,
//  "auxFlag":…,"auxValue2":…,"head":"…","payload":"<hex>"|null[,"client":"<16 hex>","seq":…]},
// numbers in decimal; client and seq for numbered messages (sequence > 0).
std::string RecordLine(const pipelink::Frame& frame, std::uint64_t client = 0, std::uint64_t sequence = 0);

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Reads the numbers already taken from an existing file, then appends to it.
    bool Open(const std::wstring& path);
    // Records the message unless sequence is not above the last one taken from client
    // (false: a duplicate, not recorded). Sequence 0: not numbered, always recorded.
    bool Take(const pipelink::Frame& frame, std::uint64_t client, std::uint64_t sequence);

private:
    void Recover(const std::wstring& path);

    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::map<std::uint64_t, std::uint64_t> lastTaken_;
    bool endsMidLine_ = false;
};

} // namespace service
