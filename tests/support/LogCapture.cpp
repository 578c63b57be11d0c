#include "support/LogCapture.h"

#include "KdLogger.h"

#include <cwchar>
#include <ostream>

namespace testsupport {

std::vector<std::wstring> ConnectNotes() { return {L"Pipelink cannot connect", L"Pipelink connected"}; }

LogCapture::LogCapture(std::vector<std::wstring> ignoredPrefixes) : ignored_(std::move(ignoredPrefixes))
{
    KdLoggerSetSink(&LogCapture::Sink, this);
}

LogCapture::~LogCapture() { KdLoggerSetSink(nullptr, nullptr); }

void __stdcall LogCapture::Sink(int level, const wchar_t* line, void* context)
{
    auto* self = static_cast<LogCapture*>(context);
    for (const std::wstring& prefix : self->ignored_) {
        if (std::wcsncmp(line, prefix.c_str(), prefix.size()) == 0) {
            return;
        }
    }
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->records_.push_back({level, line});
}

std::vector<LogRecord> LogCapture::Records() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::vector<std::wstring> LogCapture::Lines() const
{
    std::vector<std::wstring> lines;
    for (const auto& record : Records()) {
        lines.push_back(record.line);
    }
    return lines;
}

void PrintTo(const LogRecord& record, std::ostream* os)
{
    *os << "[" << record.level << "] ";
    for (const wchar_t unit : record.line) {
        if (unit >= 0x20 && unit < 0x7F) {
            *os << static_cast<char>(unit);
        } else {
            *os << "\\u" << std::hex << static_cast<unsigned>(unit) << std::dec;
        }
    }
}

} // namespace testsupport
