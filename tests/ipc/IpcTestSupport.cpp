#include "IpcTestSupport.h"

#include "support/PeFile.h"

#include <atomic>
#include <cstdio>
#include <cstring>
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
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

std::vector<unsigned char> Bytes(const std::string& text, bool withTerminator)
{
    std::vector<unsigned char> bytes(text.begin(), text.end());
    if (withTerminator) {
        bytes.push_back(0);
    }
    return bytes;
}

namespace {

// Flat objects only: {"key":value,...} with string values free of escaped quotes.
Record ParseRecord(const std::string& line)
{
    Record record;
    std::size_t at = line.find('{');
    while (at != std::string::npos && at < line.size()) {
        const std::size_t keyStart = line.find('"', at);
        if (keyStart == std::string::npos) {
            break;
        }
        const std::size_t keyEnd = line.find('"', keyStart + 1);
        const std::string key = line.substr(keyStart + 1, keyEnd - keyStart - 1);
        std::size_t valueStart = keyEnd + 2; // past '":'
        std::string value;
        if (line[valueStart] == '"') {
            const std::size_t valueEnd = line.find('"', valueStart + 1);
            value = line.substr(valueStart + 1, valueEnd - valueStart - 1);
            at = valueEnd + 1;
        } else {
            const std::size_t valueEnd = line.find_first_of(",}", valueStart);
            value = line.substr(valueStart, valueEnd - valueStart);
            at = valueEnd;
        }
        record[key] = value;
        at = line.find(',', at);
    }
    return record;
}

std::wstring TemporaryFile(const wchar_t* prefix)
{
    wchar_t folder[MAX_PATH + 1];
    GetTempPathW(MAX_PATH, folder);
    wchar_t path[MAX_PATH + 1];
    GetTempFileNameW(folder, prefix, 0, path);
    return path;
}

} // namespace

std::vector<Record> ReadRecords(const std::wstring& path)
{
    std::vector<Record> records;
    std::ifstream file(path.c_str());
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty()) {
            records.push_back(ParseRecord(line));
        }
    }
    return records;
}

std::vector<Record> WaitForRecords(const std::wstring& path, std::size_t count, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::vector<Record> records = ReadRecords(path);
    while (records.size() < count && GetTickCount64() < deadline) {
        Sleep(20);
        records = ReadRecords(path);
    }
    return records;
}

Service::Service() : pipeName_(UsePrivatePipeName()), recordPath_(TemporaryFile(L"fdr")) {}

Service::~Service()
{
    process_.Stop();
    DeleteFileW(recordPath_.c_str());
}

bool Service::Start(const std::wstring& extraArguments)
{
    return process_.Start(testsupport::BesideExecutable(L"ferrydock-service.exe"),
                          L"--pipe \"" + pipeName_ + L"\" --record \"" + recordPath_ + L"\" " + extraArguments);
}

namespace {

// Under Wine an unhandled access violation starts the debugger and the test hangs;
// report the over-read and end the process instead.
LONG CALLBACK FailOnAccessViolation(EXCEPTION_POINTERS* info)
{
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        std::fputs("\nFAILED: access violation (read past the end of a message?)\n", stderr);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 4);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

GuardedBytes::GuardedBytes(const std::vector<unsigned char>& bytes) : size_(static_cast<int>(bytes.size()))
{
    static void* const handler = AddVectoredExceptionHandler(1, FailOnAccessViolation);
    (void)handler;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const std::size_t page = info.dwPageSize;
    const std::size_t dataPages = (bytes.size() + page - 1) / page + 1;
    region_ = VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    char* guard = static_cast<char*>(region_) + dataPages * page;
    DWORD old = 0;
    VirtualProtect(guard, page, PAGE_NOACCESS, &old);
    char* start = guard - bytes.size();
    if (!bytes.empty()) {
        std::memcpy(start, bytes.data(), bytes.size());
    }
    data_ = start;
}

GuardedBytes::~GuardedBytes() { VirtualFree(region_, 0, MEM_RELEASE); }

} // namespace ipctest
