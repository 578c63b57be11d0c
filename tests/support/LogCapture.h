// Collects the lines the logger receives while the capture is alive (any thread), but for
// those starting with one of the ignored prefixes.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// The IPC client's notes on failed connects and reconnects. They depend on timing, so
// captures leave them out unless given other prefixes to ignore (or none).
std::vector<std::wstring> ConnectNotes();

struct LogRecord {
    int level;
    std::wstring line;
    bool operator==(const LogRecord& other) const { return level == other.level && line == other.line; }
};

class LogCapture {
public:
    explicit LogCapture(std::vector<std::wstring> ignoredPrefixes = ConnectNotes());
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> Records() const;
    std::vector<std::wstring> Lines() const;

private:
    static void __stdcall Sink(int level, const wchar_t* line, void* context);
    const std::vector<std::wstring> ignored_;
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

// gtest printing of a record: "[level] line" with non-ASCII units escaped.
void PrintTo(const LogRecord& record, std::ostream* os);

} // namespace testsupport
