// Runs the workbench's commands against the pipe server: from standard input one at a
// time, or a checked scenario (a script, or the inbound half of a record) on a thread of
// its own, which `quit` can interrupt while it waits.
#pragma once

#include "Commands.h"
#include "Messages.h"
#include "PipeServer.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace service {

struct ScenarioLine {
    std::string where; // FILE:LINE
    Command command;
};

// Every line of a script checked first: false with one "FILE:LINE: what is wrong" line
// per bad line in errors, and no lines.
bool LoadScript(const std::wstring& path, const std::string& shownPath, const CommandContext& context,
                std::vector<ScenarioLine>& lines, std::string& errors);

// The "in" messages of a record (answers the service gave on its own left out) with
// their recorded spacing divided by speed, after waiting for the bridge without bound.
// false for a record without "dir" (written before records had both directions).
bool LoadReplay(const std::wstring& path, const std::string& shownPath, double speed,
                std::vector<ScenarioLine>& lines, std::string& error);

class Workbench {
public:
    using Printer = std::function<void(const std::string& line)>;

    Workbench(PipeServer& server, Printer print) : server_(server), print_(std::move(print)) {}

    // Fed with every message the record sees, in its order.
    void Observe(const Traffic& traffic);

    enum class Outcome { Done, Failed, Quit };
    // Failed: error says why (a timeout, or no client for the message).
    Outcome Run(const Command& command, std::string& error);
    // 0 when every line ran, 1 when one failed (printed as "error: FILE:LINE: ..."),
    // or the outcome Quit.
    int RunScenario(const std::vector<ScenarioLine>& lines, Outcome& outcome);
    // Ends waits at once and makes every later Run return Quit.
    void Cancel();

private:
    Outcome Send(const Command& command, std::string& error);
    Outcome Pause(unsigned long ms);
    Outcome Expect(const std::string& exportName, unsigned long ms, std::string& error);
    Outcome Connect(unsigned long ms, std::string& error);

    PipeServer& server_;
    Printer print_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool cancelled_ = false;
    // Ids of the bridge's posts not yet passed over by an `expect`, which matches the
    // first post after the one the previous expect matched. Bounded: in a session
    // that never expects, the oldest are dropped.
    std::deque<int> posted_;
};

} // namespace service
