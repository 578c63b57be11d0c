// What the workbench knows about each message id: the export that posts it (bridge to
// service) or the interface callback it reaches (service to bridge), and how its payload
// reads as text.
#pragma once

#include "PipelinkWire.h"

#include <optional>
#include <string>
#include <vector>

namespace service {

enum class Direction { Out, In }; // out: posted by the bridge; in: sent by this service

// nullptr for an id the bridge does not post (Out) or has no handler for (In).
const char* MessageName(Direction direction, int messageId);
// The id the bridge posts under this export name; 0 when it posts no such notification.
int OutboundId(const std::string& exportName);
// The export names of every notification the bridge posts, in one line.
std::string OutboundNames();

// The payload read the way the bridge encodes (Out) or decodes (In) it, as UTF-8: text up
// to its first zero, the main-window integer in decimal, or a device list as its count and
// one "name|id|type" line per device. nullopt: no payload, or no text for this id.
std::optional<std::string> MessageText(Direction direction, const pipelink::Frame& frame);

std::string AnsiToUtf8(const std::string& ansi);
std::wstring Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::wstring& wide);
std::string Utf8ToAnsi(const std::string& utf8);

// One message as the record and the --print lines show it.
struct Traffic {
    Direction direction = Direction::Out;
    unsigned long long t = 0; // milliseconds since the service started
    const char* name = nullptr;
    std::optional<std::string> text;
    bool reply = false; // answered by the service on its own (device list requests)
};

// `out SendSaveFileToFilesystem "C:\a.txt"`; an unknown id shows as 0x.. in hex.
std::string HumanLine(const Traffic& traffic, int messageId);

} // namespace service
