// Helpers of the IPC tests: unique pipe names, the stand-in service as a child process,
// its record file read back as flat JSON objects, and byte buffers that end at a guard
// page so that reading one byte too far crashes the test.
#pragma once

#include "ServiceProcess.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace ipctest {

// A pipe name no other test process uses; also set as FERRYDOCK_PIPE_NAME.
std::wstring UsePrivatePipeName();

std::string Hex(const std::vector<unsigned char>& bytes);
std::vector<unsigned char> Bytes(const std::string& text, bool withTerminator = true);

// One line of the service's record: key -> the JSON value as written ("null", "true",
// numbers in decimal, strings without their quotes).
using Record = std::map<std::string, std::string>;
std::vector<Record> ReadRecords(const std::wstring& path);
// Waits until the file holds at least count records; returns what it holds then.
std::vector<Record> WaitForRecords(const std::wstring& path, std::size_t count, DWORD timeoutMs = 10000);

// The stand-in service on a private pipe, recording into a fresh temporary file.
class Service {
public:
    Service();
    ~Service();
    bool Start(const std::wstring& extraArguments = L"");
    void Kill() { process_.Kill(); }
    void Stop() { process_.Stop(); }
    bool Send(const std::string& command) { return process_.SendLine(command); }
    bool WaitForLine(const std::string& line, int count = 1, DWORD timeoutMs = 10000)
    {
        return process_.WaitForLine(line, count, timeoutMs);
    }
    std::vector<std::string> Lines() const { return process_.Lines(); }
    const std::wstring& RecordPath() const { return recordPath_; }
    const std::wstring& PipeName() const { return pipeName_; }

private:
    service::ServiceProcess process_;
    std::wstring pipeName_;
    std::wstring recordPath_;
};

constexpr const char* kBridgeConnected = "connected 15728640";

// Bytes placed so that the one after the last is on a no-access page.
class GuardedBytes {
public:
    explicit GuardedBytes(const std::vector<unsigned char>& bytes);
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    const char* data() const { return data_; }
    int size() const { return size_; }

private:
    void* region_ = nullptr;
    const char* data_ = nullptr;
    int size_ = 0;
};

} // namespace ipctest
