// Moves frames over one connected pipe end (client or server) opened for overlapped
// I/O: queued outbound bytes go out in as few writes as they allow, inbound bytes are
// read in large blocks and split into frames.
#pragma once

#include "PipelinkWire.h"

#include <windows.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace pipelink {

constexpr std::size_t kReadBlockBytes = 64 * 1024;
constexpr std::size_t kWriteBlockBytes = 64 * 1024;

// Outbound frames in blocks of at most kWriteBlockBytes (a larger frame makes a block
// of its own); a write takes one block. A frame pushed to the front therefore waits
// behind one block at most, and a taken block exists twice at most while written.
// Not synchronised.
class FrameQueue {
public:
    void Append(const FrameFields& fields, const char* head, std::size_t headLength, const char* payload,
                std::size_t payloadLength);
    // A frame without head text or payload (an acknowledgement), before every frame
    // not yet taken (in the front block, which may grow past kWriteBlockBytes by it).
    void PushFront(const FrameFields& fields);
    // Moves the front block into block (its old bytes are dropped) and counts its
    // frames; false, with block emptied, when nothing is queued.
    bool Take(std::vector<char>& block, std::size_t& frames);
    void Clear();

    bool Empty() const { return blocks_.empty(); }
    std::size_t Bytes() const { return bytes_; }
    std::size_t Frames() const { return frames_; }

private:
    struct Block {
        std::vector<char> bytes;
        std::size_t frames = 0;
    };
    std::deque<Block> blocks_;
    std::size_t bytes_ = 0;
    std::size_t frames_ = 0;
};

struct PumpHooks {
    // Moves the next queued bytes (one FrameQueue block) into out, left empty when
    // nothing is queued; called again as soon as they are written. Bytes taken and
    // not written when the connection ends are dropped here: a caller
    // that must not lose them keeps its own copy until the peer acknowledges them.
    std::function<void(std::vector<char>& out)> takeOutbound;
    // One complete, well-formed frame.
    std::function<void(Frame&& frame)> onFrame;
    // After the frames of one read block went to onFrame (may be empty).
    std::function<void()> afterBlock;
    // false holds back the next read until wake is signalled (the receiver is full).
    std::function<bool()> mayRead;
};

enum class PumpEnd { Stopped, Broken, Malformed };

// Runs until stop is signalled, the pipe breaks or a malformed frame arrives. After a
// failed write it goes on reading, for a second at most, until the end of the stream:
// frames the peer wrote before it closed its end still reach onFrame. wake
// (auto-reset) is signalled whenever bytes are queued or the receiver has room.
// greeting is written before anything queued. detail says why the run ended.
PumpEnd RunPump(HANDLE pipe, HANDLE stop, HANDLE wake, std::vector<char> greeting, const PumpHooks& hooks,
                std::string& detail);

} // namespace pipelink
