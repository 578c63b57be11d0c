#include "PipelinkPump.h"

#include "ferrydock/Resource.h"

#include <algorithm>
#include <cstring>

namespace pipelink {

namespace {

using FerrydockIpc::UniqueHandle;

// One overlapped operation on the pipe, with its own manual-reset event. ReadFile and
// WriteFile reset the event when they start; it is waited for only while the
// operation is pending, so a completed one left signalled (a read held back while the
// receiver is full) never makes the wait return at once.
struct Operation {
    UniqueHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED overlapped{};
    bool pending = false;

    bool Started(BOOL result)
    {
        pending = result != FALSE || GetLastError() == ERROR_IO_PENDING;
        return pending;
    }
    bool Finish(HANDLE pipe, DWORD& bytes, BOOL wait)
    {
        pending = false;
        return GetOverlappedResult(pipe, &overlapped, &bytes, wait) != FALSE;
    }
    void Prepare()
    {
        std::memset(&overlapped, 0, sizeof(overlapped));
        overlapped.hEvent = event.get();
    }
};

std::string ErrorDetail(const char* what, DWORD error) { return std::string(what) + " error " + std::to_string(error); }

// After a failed write the frames the peer sent before it went away are still read, up
// to the end of the stream, but no longer than this.
constexpr ULONGLONG kReadToEndMs = 1000;

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
    // Under Wine every wait and every event call is a round trip to the wineserver:
    // one wait per step, and the operation that woke it is known from its index. The
    // wait reports the first signalled handle, so the operation handled last goes
    // after the other: a stream of reads that complete at once cannot starve a write.
    bool Step(HANDLE stop, HANDLE wake, PumpEnd& end, std::string& detail)
    {
        StartWriteIfQueued(detail);
        if (!StartReadIfRoom(detail)) {
            end = PumpEnd::Broken;
            return false;
        }
        const DWORD timeout = ReadToEndWait();
        HANDLE handles[4] = {stop, wake};
        Operation* operations[4] = {};
        DWORD count = 2;
        Operation* const order[2] = {readHandledLast_ ? &write_ : &read_, readHandledLast_ ? &read_ : &write_};
        for (Operation* operation : order) {
            if (operation->pending) {
                handles[count] = operation->event.get();
                operations[count++] = operation;
            }
        }
        const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, timeout);
        if (woke == WAIT_OBJECT_0) {
            end = PumpEnd::Stopped;
            return false;
        }
        if (woke == WAIT_TIMEOUT) {
            end = PumpEnd::Broken;
            return false;
        }
        if (woke >= WAIT_OBJECT_0 + count) {
            detail = ErrorDetail("wait", GetLastError());
            end = PumpEnd::Broken;
            return false;
        }
        const Operation* done = operations[woke - WAIT_OBJECT_0];
        readHandledLast_ = done == &read_;
        if (done == &read_) {
            return FinishRead(end, detail);
        }
        if (done == &write_) {
            FinishWrite(detail);
        }
        return true;
    }

    // The write side is over; the session ends when the read side is, or at the deadline.
    void WriteFailed(const char* what, std::string& detail)
    {
        detail = ErrorDetail(what, GetLastError());
        writeFailed_ = true;
        readToEndBy_ = GetTickCount64() + kReadToEndMs;
    }

    // After a failed write the end of the stream is the expected end: the write's error stays
    // the reason.
    void ReadFailed(std::string& detail) const
    {
        if (!writeFailed_) {
            detail = ErrorDetail("ReadFile", GetLastError());
        }
    }

    DWORD ReadToEndWait() const
    {
        if (!writeFailed_) {
            return INFINITE;
        }
        const ULONGLONG now = GetTickCount64();
        return now >= readToEndBy_ ? 0 : static_cast<DWORD>(readToEndBy_ - now);
    }

    void StartWriteIfQueued(std::string& detail)
    {
        if (write_.pending || writeFailed_) {
            return;
        }
        if (writing_.empty()) {
            hooks_.takeOutbound(writing_);
        }
        if (writing_.empty()) {
            return;
        }
        write_.Prepare();
        if (!write_.Started(WriteFile(pipe_, writing_.data(), static_cast<DWORD>(writing_.size()), nullptr,
                                      &write_.overlapped))) {
            WriteFailed("WriteFile", detail);
        }
    }

    bool StartReadIfRoom(std::string& detail)
    {
        if (read_.pending || !hooks_.mayRead()) {
            return true;
        }
        read_.Prepare();
        if (!read_.Started(ReadFile(pipe_, readBuffer_.data(), static_cast<DWORD>(readBuffer_.size()), nullptr,
                                    &read_.overlapped))) {
            ReadFailed(detail);
            return false;
        }
        return true;
    }

    void FinishWrite(std::string& detail)
    {
        DWORD written = 0;
        if (!write_.Finish(pipe_, written, FALSE)) {
            WriteFailed("WriteFile", detail);
            return;
        }
        // A pipe write completes whole; a remainder is written next on this connection.
        writing_.erase(writing_.begin(), writing_.begin() + std::min<std::size_t>(written, writing_.size()));
    }

    bool FinishRead(PumpEnd& end, std::string& detail)
    {
        DWORD got = 0;
        if (!read_.Finish(pipe_, got, FALSE)) {
            ReadFailed(detail);
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
    bool readHandledLast_ = false;
    bool writeFailed_ = false;
    ULONGLONG readToEndBy_ = 0;
    std::vector<char> readBuffer_;
    std::vector<char> assembly_;
    std::vector<char> writing_;
};

} // namespace

void FrameQueue::Append(const FrameFields& fields, const char* head, std::size_t headLength, const char* payload,
                        std::size_t payloadLength)
{
    const std::size_t frameBytes = kHeaderBytes + headLength + payloadLength;
    if (blocks_.empty() ||
        (!blocks_.back().bytes.empty() && blocks_.back().bytes.size() + frameBytes > kWriteBlockBytes)) {
        blocks_.emplace_back();
        // Grown frame by frame, the vector would double past the block's size.
        blocks_.back().bytes.reserve(std::max(kWriteBlockBytes, frameBytes));
    }
    Block& block = blocks_.back();
    const std::size_t before = block.bytes.size();
    AppendFrame(block.bytes, fields, head, headLength, payload, payloadLength);
    ++block.frames;
    bytes_ += block.bytes.size() - before;
    ++frames_;
}

void FrameQueue::PushFront(const FrameFields& fields)
{
    std::vector<char> frame;
    AppendFrame(frame, fields, nullptr, 0, nullptr, 0);
    if (blocks_.empty()) {
        blocks_.emplace_back();
    }
    Block& block = blocks_.front();
    block.bytes.insert(block.bytes.begin(), frame.begin(), frame.end());
    ++block.frames;
    bytes_ += frame.size();
    ++frames_;
}

bool FrameQueue::Take(std::vector<char>& block, std::size_t& frames)
{
    block.clear();
    frames = 0;
    if (blocks_.empty()) {
        return false;
    }
    block.swap(blocks_.front().bytes);
    frames = blocks_.front().frames;
    blocks_.pop_front();
    bytes_ -= block.size();
    frames_ -= frames;
    return true;
}

void FrameQueue::Clear()
{
    blocks_.clear();
    bytes_ = 0;
    frames_ = 0;
}

PumpEnd RunPump(HANDLE pipe, HANDLE stop, HANDLE wake, std::vector<char> greeting, const PumpHooks& hooks,
                std::string& detail)
{
    Session session(pipe, hooks);
    return session.Run(stop, wake, std::move(greeting), detail);
}

} // namespace pipelink
