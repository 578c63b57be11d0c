// The workbench's commands, read from standard input or from a scenario script: parsing
// checks a whole line before anything runs, and the named commands build their payloads
// exactly as the bridge reads each message.
#pragma once

#include "PipelinkWire.h"

#include <memory>
#include <string>
#include <vector>

namespace service {

constexpr unsigned long kDefaultTimeoutMs = 10000;

struct Command {
    enum class Kind { Send, Flood, Wait, Expect, Connect, Repeat, Stats, Pause, Resume, Help, Quit };
    Kind kind = Kind::Help;
    pipelink::FrameFields fields; // Send, Flood
    std::vector<char> payload;    // Send, Flood
    unsigned long count = 0;      // Flood, Repeat
    unsigned long ms = 0;         // Wait; the timeout of Expect and Connect
    std::string exportName;       // Expect
    std::shared_ptr<Command> repeated;
};

struct CommandContext {
    std::vector<char> devicePayload; // the configured list, for `devices` without a file
    std::wstring folder;             // relative device files are found here ("" : as given)
};

// false with what is wrong (no location: the caller adds FILE:LINE or "error: ").
bool ParseCommand(const std::string& line, const CommandContext& context, Command& command, std::string& error);

// A text argument: the rest of the line as it stands, or one "..." with the escapes
// \" \\ \n \t \u{hex}. UTF-8 in, UTF-8 out.
bool ParseText(const std::string& argument, std::string& text, std::string& error);

// One line per command.
std::string HelpText();

} // namespace service
