// The --record file: one JSON line per received message, flushed per line.
#pragma once

#include "PipelinkWire.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace service {

// {"src":…,"dest":…,"id":…,"aux1":…,"aux2":…,"aux3":…,"auxValue":…,"length":…,
//  "auxFlag":…,"auxValue2":…,"head":"…","payload":"<hex>"|null}, numbers in decimal.
std::string RecordLine(const pipelink::Frame& frame);

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    bool Open(const std::wstring& path);
    void Append(const pipelink::Frame& frame);

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

} // namespace service
