// Helpers of the IPC tests: unique pipe names, the stand-in service as a child process
// and its record file read back as flat JSON objects.
#pragma once

#include "ServiceProcess.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ipctest {

constexpr const char* kBridgeConnected = "connected 15728640";

// A pipe name no other test process uses; also set as FERRYDOCK_PIPE_NAME.
std::wstring UsePrivatePipeName();

std::string Hex(const std::vector<unsigned char>& bytes);
std::vector<unsigned char> Bytes(const std::string& text); // with its terminating zero

// GetProcessHandleCount gives 0 under Wine. A new handle takes the lowest free slot of
// the handle table, so the value of a fresh one grows with leaked handles.
std::uintptr_t FreshHandleValue();

// Values added from any thread, in arrival order.
template <typename T>
class Collector {
public:
    void Add(T value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }
    bool WaitFor(std::size_t count, DWORD timeoutMs = 30000)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return values_.size() >= count; });
    }
    std::vector<T> Values()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }
    std::size_t Count() { return Values().size(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

// One line of the service's record: key -> the JSON value as written ("null", "true",
// numbers in decimal, strings without their quotes).
using Record = std::map<std::string, std::string>;
// Waits until the file holds at least count records of the direction ("out": posted by
// the bridge; nullptr: both); returns those it holds then.
std::vector<Record> WaitForRecords(const std::wstring& path, std::size_t count, DWORD timeoutMs = 10000,
                                   const char* direction = "out");

// The stand-in service on a private pipe, recording into a fresh temporary file.
class Service : public service::ServiceProcess {
public:
    Service();
    ~Service();
    bool Start(const std::wstring& extraArguments = L"");
    bool Send(const std::string& command) { return SendLine(command); }
    bool WaitForLine(const std::string& line, int count = 1, DWORD timeoutMs = 10000)
    {
        return ServiceProcess::WaitForLine(line, count, timeoutMs);
    }
    const std::wstring& RecordPath() const { return recordPath_; }

private:
    std::wstring pipeName_;
    std::wstring recordPath_;
};

} // namespace ipctest
