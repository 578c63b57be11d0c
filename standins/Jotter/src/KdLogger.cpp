#include "KdLogger.h"

#include "TempFile.h"
#include "ferrydock/Resource.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace {

struct Sink {
    KdLoggerSink function = nullptr;
    void* context = nullptr;
};

std::mutex g_sinkMutex;
Sink g_sink;

// The open log file, kept for the life of the process and reopened when
// FERRYDOCK_LOG_FILE names another file.
struct LogFile {
    std::mutex mutex;
    std::wstring path;
    FerrydockIpc::UniqueHandle handle;

    void Reopen(const std::wstring& newPath)
    {
        handle.reset();
        handle.reset(CreateFileW(newPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        path = newPath;
    }
};

LogFile g_file;

std::wstring EnvironmentValue(const wchar_t* name)
{
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(name, buffer, ARRAYSIZE(buffer));
    if (length == 0 || length >= ARRAYSIZE(buffer)) {
        return {};
    }
    return std::wstring(buffer, length);
}

std::wstring LogFilePath()
{
    std::wstring path = EnvironmentValue(L"FERRYDOCK_LOG_FILE");
    if (!path.empty()) {
        return path;
    }
    return standin::FileInTempFolder(L"FerrydockUITrans.log");
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                            nullptr);
    }
    return result;
}

std::string Timestamp()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    char buffer[40];
    std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return buffer;
}

// Appending through a FILE_APPEND_DATA handle makes each WriteFile land whole at the
// end of the file, also when other processes append to it at the same time.
void AppendToFile(const std::string& record)
{
    const FerrydockIpc::LastErrorKeeper keep;
    const std::wstring path = LogFilePath();
    std::lock_guard<std::mutex> lock(g_file.mutex);
    if (!g_file.handle || path != g_file.path) {
        g_file.Reopen(path);
    }
    if (g_file.handle) {
        DWORD written = 0;
        // One unbuffered WriteFile per line: the line is in the file when Log returns.
        WriteFile(g_file.handle.get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    }
}

} // namespace

KdLogger* KdLogger::GetInstance()
{
    static KdLogger instance;
    return &instance;
}

void KdLogger::Log(LOG_MESSAGE_LEVEL level, std::wostringstream& line)
{
    const std::wstring text = line.str();
    {
        // Held while the sink runs, so that a sink being removed is never called afterwards.
        std::lock_guard<std::mutex> lock(g_sinkMutex);
        if (g_sink.function != nullptr) {
            g_sink.function(static_cast<int>(level), text.c_str(), g_sink.context);
        }
    }
    std::string record = Timestamp();
    record += '\t';
    record += std::to_string(GetCurrentThreadId());
    record += '\t';
    record += std::to_string(static_cast<int>(level));
    record += '\t';
    record += ToUtf8(text);
    record += '\n';
    AppendToFile(record);
}

void __stdcall KdLoggerSetSink(KdLoggerSink sink, void* context)
{
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sink = Sink{sink, context};
}
