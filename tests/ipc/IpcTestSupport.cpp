#include "IpcTestSupport.h"

#include "ferrydock/Resource.h"
#include "support/PeFile.h"

#include <atomic>
#include <fstream>

namespace ipctest {

std::wstring UsePrivatePipeName()
{
    static std::atomic<int> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\ferrydock-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
    SetEnvironmentVariableW(L"FERRYDOCK_PIPE_NAME", name.c_str());
    return name;
}

std::string Hex(const std::vector<unsigned char>& bytes)
{
    std::string text;
    for (const unsigned char byte : bytes) {
        text += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 0xF]};
    }
    return text;
}

std::vector<unsigned char> Bytes(const std::string& text) { return {text.c_str(), text.c_str() + text.size() + 1}; }

namespace {

// Flat objects only: {"key":value,...} with string values free of escaped quotes.
Record ParseRecord(const std::string& line)
{
    Record record;
    for (std::size_t at = line.find('"'); at != std::string::npos;) {
        const std::size_t keyEnd = line.find('"', at + 1);
        const bool quoted = line[keyEnd + 2] == '"';
        const std::size_t valueStart = keyEnd + (quoted ? 3 : 2); // past '":' and the quote
        const std::size_t valueEnd = line.find_first_of(quoted ? "\"" : ",}", valueStart);
        record[line.substr(at + 1, keyEnd - at - 1)] = line.substr(valueStart, valueEnd - valueStart);
        at = line.find('"', line.find(',', valueEnd));
    }
    return record;
}

} // namespace

std::vector<Record> WaitForRecords(const std::wstring& path, std::size_t count, DWORD timeoutMs, const char* direction)
{
    std::vector<Record> records;
    const auto read = [&] {
        records.clear();
        std::ifstream file(path.c_str());
        for (std::string line; std::getline(file, line);) {
            Record record = ParseRecord(line);
            if (!record.empty() && (direction == nullptr || record["dir"] == direction)) {
                records.push_back(std::move(record));
            }
        }
        return records.size() >= count;
    };
    Eventually(read, timeoutMs);
    return records;
}

// The record in the working folder, which the service shares, named after the pipe (past "\\.\pipe\").
Service::Service(bool record) : pipeName_(UsePrivatePipeName()), recordPath_(record ? pipeName_.substr(9) + L".jsonl" : L"") {}

Service::~Service()
{
    Stop();
    DeleteFileW(recordPath_.c_str()); // fails harmlessly for an empty path
}

bool Service::Start(const std::wstring& extraArguments)
{
    const std::wstring record = recordPath_.empty() ? L"" : L" --record \"" + recordPath_ + L"\"";
    return ServiceProcess::Start(testsupport::BesideExecutable(L"ferrydock-service.exe"),
                                 L"--pipe \"" + pipeName_ + L"\"" + record + L" " + extraArguments);
}

} // namespace ipctest
