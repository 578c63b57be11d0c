// Moves frames over one connected pipe end (client or server) opened for overlapped
// I/O: queued outbound bytes go out in as few writes as they allow, inbound bytes are
// read in large blocks and split into frames.
#pragma once

#include "PipelinkWire.h"

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace pipelink {

constexpr std::size_t kReadBlockBytes = 64 * 1024;

struct PumpHooks {
    // Moves every queued outbound byte into out (left empty when nothing is queued).
    // Bytes taken and not written when the connection ends are dropped here: a caller
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

// Runs until stop is signalled, the pipe breaks or a malformed frame arrives; wake
// (auto-reset) is signalled whenever bytes are queued or the receiver has room.
// greeting is written before anything queued. detail says why the run ended.
PumpEnd RunPump(HANDLE pipe, HANDLE stop, HANDLE wake, std::vector<char> greeting, const PumpHooks& hooks,
                std::string& detail);

} // namespace pipelink
