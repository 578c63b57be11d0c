#include "PipelinkPump.h"

#include "common/UniqueResource.h"

#include <algorithm>
#include <cstring>

namespace pipelink {

namespace {

using FerrydockIpc::UniqueHandle;

// One overlapped operation in flight on the pipe, with its own manual-reset event.
struct Operation {
    UniqueHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED overlapped{};
    bool pending = false;

    bool Started(BOOL result)
    {
        pending = result != FALSE || GetLastError() == ERROR_IO_PENDING;
        return pending;
    }
    bool Done() const { return pending && WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0; }
    // The event is reset: a read held back while the receiver is full must not leave
    // it signalled, or every wait returns at once and the thread spins.
    bool Finish(HANDLE pipe, DWORD& bytes, BOOL wait)
    {
        pending = false;
        const bool done = GetOverlappedResult(pipe, &overlapped, &bytes, wait) != FALSE;
        ResetEvent(event.get());
        return done;
    }
    void Prepare()
    {
        std::memset(&overlapped, 0, sizeof(overlapped));
        overlapped.hEvent = event.get();
    }
};

std::string ErrorDetail(const char* what, DWORD error) { return std::string(what) + " error " + std::to_string(error); }

class Session {
public:
    Session(HANDLE pipe, const PumpHooks& hooks) : pipe_(pipe), hooks_(hooks) { readBuffer_.resize(kReadBlockBytes); }

    PumpEnd Run(HANDLE stop, HANDLE wake, std::vector<char> greeting, std::string& detail)
    {
        if (!read_.event || !write_.event) {
            detail = ErrorDetail("CreateEvent", GetLastError());
            return PumpEnd::Broken;
        }
        writing_ = std::move(greeting);
        PumpEnd end = PumpEnd::Stopped;
        while (Step(stop, wake, end, detail)) {
        }
        Drain();
        return end;
    }

private:
    bool Step(HANDLE stop, HANDLE wake, PumpEnd& end, std::string& detail)
    {
        if (!StartWriteIfQueued(detail) || !StartReadIfRoom(detail)) {
            end = PumpEnd::Broken;
            return false;
        }
        HANDLE handles[] = {stop, wake, read_.event.get(), write_.event.get()};
        const DWORD woke = WaitForMultipleObjects(4, handles, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0) {
            end = PumpEnd::Stopped;
            return false;
        }
        if (woke == WAIT_FAILED) {
            detail = ErrorDetail("wait", GetLastError());
            end = PumpEnd::Broken;
            return false;
        }
        if (read_.Done() && !FinishRead(end, detail)) {
            return false;
        }
        if (write_.Done() && !FinishWrite(detail)) {
            end = PumpEnd::Broken;
            return false;
        }
        return true;
    }

    bool StartWriteIfQueued(std::string& detail)
    {
        if (write_.pending) {
            return true;
        }
        if (writing_.empty()) {
            hooks_.takeOutbound(writing_);
        }
        if (writing_.empty()) {
            return true;
        }
        write_.Prepare();
        if (!write_.Started(WriteFile(pipe_, writing_.data(), static_cast<DWORD>(writing_.size()), nullptr,
                                      &write_.overlapped))) {
            detail = ErrorDetail("WriteFile", GetLastError());
            return false;
        }
        return true;
    }

    bool StartReadIfRoom(std::string& detail)
    {
        if (read_.pending || !hooks_.mayRead()) {
            return true;
        }
        read_.Prepare();
        if (!read_.Started(ReadFile(pipe_, readBuffer_.data(), static_cast<DWORD>(readBuffer_.size()), nullptr,
                                    &read_.overlapped))) {
            detail = ErrorDetail("ReadFile", GetLastError());
            return false;
        }
        return true;
    }

    bool FinishWrite(std::string& detail)
    {
        DWORD written = 0;
        if (!write_.Finish(pipe_, written, FALSE)) {
            detail = ErrorDetail("WriteFile", GetLastError());
            return false;
        }
        // A pipe write completes whole; a remainder is written next on this connection.
        writing_.erase(writing_.begin(), writing_.begin() + std::min<std::size_t>(written, writing_.size()));
        return true;
    }

    bool FinishRead(PumpEnd& end, std::string& detail)
    {
        DWORD got = 0;
        if (!read_.Finish(pipe_, got, FALSE)) {
            detail = ErrorDetail("ReadFile", GetLastError());
            end = PumpEnd::Broken;
            return false;
        }
        assembly_.insert(assembly_.end(), readBuffer_.data(), readBuffer_.data() + got);
        if (!SplitFrames(detail)) {
            end = PumpEnd::Malformed;
            return false;
        }
        if (hooks_.afterBlock) {
            hooks_.afterBlock();
        }
        return true;
    }

    bool SplitFrames(std::string& detail)
    {
        std::size_t offset = 0;
        for (;;) {
            Frame frame;
            std::size_t consumed = 0;
            const char* reason = nullptr;
            const ParseResult result =
                ParseFrame(assembly_.data() + offset, assembly_.size() - offset, frame, consumed, reason);
            if (result == ParseResult::Malformed) {
                detail = reason;
                return false;
            }
            if (result == ParseResult::NeedMore) {
                break;
            }
            offset += consumed;
            hooks_.onFrame(std::move(frame));
        }
        assembly_.erase(assembly_.begin(), assembly_.begin() + offset);
        return true;
    }

    // Leaves no operation in flight on buffers that are about to go away.
    void Drain()
    {
        CancelIoEx(pipe_, nullptr);
        DWORD bytes = 0;
        if (read_.pending) {
            read_.Finish(pipe_, bytes, TRUE);
        }
        if (write_.pending) {
            write_.Finish(pipe_, bytes, TRUE);
        }
    }

    HANDLE pipe_;
    const PumpHooks& hooks_;
    Operation read_;
    Operation write_;
    std::vector<char> readBuffer_;
    std::vector<char> assembly_;
    std::vector<char> writing_;
};

} // namespace

PumpEnd RunPump(HANDLE pipe, HANDLE stop, HANDLE wake, std::vector<char> greeting, const PumpHooks& hooks,
                std::string& detail)
{
    Session session(pipe, hooks);
    return session.Run(stop, wake, std::move(greeting), detail);
}

} // namespace pipelink
