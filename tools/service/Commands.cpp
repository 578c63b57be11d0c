#include "Commands.h"

#include "DeviceList.h"
#include "Messages.h"
#include "PipeServer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace service {

namespace {

constexpr unsigned long kMaxRepeat = 1000000;

struct Entry {
    const char* name;
    const char* usage;
    const char* help;
};

const Entry kEntries[] = {
    {"main-window", "<integer>", "WndShowCallback gets the decimal integer (0xF00001, 4 bytes little-endian)"},
    {"show-file", "<text>", "WndShowFileCallback gets the text (0xF00002, UTF-8)"},
    {"send-files", "<text>", "WndShowSendFilesCallback gets the text (0xF10005, UTF-8)"},
    {"progress", "<text>", "WndShowRecieveFilesProgressCallback gets the text (0xF10006, UTF-8)"},
    {"receive-files", "<text>", "WndShowRecieveFilesCallback gets the text (0xF10007, UTF-8)"},
    {"find-save-file", "<text>", "WndShowRecieveFindSaveFileCallback gets the text (0xF10008, UTF-8)"},
    {"find-device-type", "<text>", "WndShowRecieveFindDeviceTypeCallback gets the text (0xF10009, UTF-8)"},
    {"devices", "[FILE]", "WndShowDeviceCallback gets the configured device list, or the one in FILE (0x1502BE)"},
    {"send", "<messageId> <hex | ->", "any message to the bridge's module; - sends it without payload"},
    {"flood", "<messageId> <count> <hex | ->", "count copies at once, not recorded (load tests)"},
    {"wait", "<milliseconds>", "pause the script"},
    {"expect", "<ExportName> [timeout ms]", "wait until the bridge posts that export's notification (10 s)"},
    {"connect", "[timeout ms]", "wait until the bridge's client is connected (10 s)"},
    {"repeat", "<n> <command>", "run the command n times"},
    {"stats", "", "print \"received <messages received so far>\""},
    {"pause", "", "stop reading from the clients (a hung service)"},
    {"resume", "", "read from the clients again"},
    {"help", "", "this list"},
    {"quit", "", "stop the service"},
};

struct TextMessage {
    const char* name;
    int id;
};

const TextMessage kTextMessages[] = {
    {"show-file", 0xF00002},      {"send-files", 0xF10005},     {"progress", 0xF10006},
    {"receive-files", 0xF10007},  {"find-save-file", 0xF10008}, {"find-device-type", 0xF10009},
};

bool ParseNumber(const std::string& text, unsigned long limit, unsigned long& value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[hex ? 2 : 0]))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (*end != '\0' || errno != 0 || parsed > limit) {
        return false;
    }
    value = static_cast<unsigned long>(parsed);
    return true;
}

bool ParseHex(const std::string& text, std::vector<char>& bytes)
{
    if (text.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
            return false;
        }
        bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return true;
}

std::vector<std::string> Words(const std::string& text)
{
    std::vector<std::string> words;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        if (end > at) {
            words.push_back(text.substr(at, end - at));
        }
        at = end + 1;
    }
    return words;
}

void ToBridge(Command& command, int source, int messageId)
{
    command.kind = Command::Kind::Send;
    command.fields.srcModule = source;
    command.fields.destModuleId = kBridgeModule;
    command.fields.messageId = messageId;
    command.fields.auxId1 = command.fields.auxId2 = command.fields.auxId3 = -1;
    command.fields.hasMessage = true;
}

void AppendUtf8(std::string& out, unsigned long code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// `\u{...}` at text[at]: 1 to 6 hex digits naming a character other than zero or a surrogate.
bool ParseCodePoint(const std::string& text, std::size_t& at, std::string& out, std::string& error)
{
    const std::size_t close = text.find('}', at);
    unsigned long code = 0;
    if (at + 2 >= text.size() || text[at + 1] != '{' || close == std::string::npos || close - at - 2 > 6 ||
        !ParseNumber("0x" + text.substr(at + 2, close - at - 2), 0x10FFFF, code) || code == 0 ||
        (code >= 0xD800 && code <= 0xDFFF)) {
        error = "\\u{...} takes 1 to 6 hex digits of a character other than zero or a surrogate";
        return false;
    }
    AppendUtf8(out, code);
    at = close;
    return true;
}

bool ParseNamed(const std::string& name, const std::string& rest, const CommandContext& context, Command& command,
                std::string& error)
{
    for (const TextMessage& message : kTextMessages) {
        if (name == message.name) {
            std::string text;
            if (!ParseText(rest, text, error)) {
                return false;
            }
            ToBridge(command, kTransferModule, message.id);
            command.payload.assign(text.begin(), text.end());
            command.payload.push_back('\0');
            return true;
        }
    }
    if (name == "main-window") {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(rest.c_str(), &end, 10);
        if (rest.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX) {
            error = "main-window takes one 32-bit integer";
            return false;
        }
        ToBridge(command, kTransferModule, 0xF00001);
        const auto bits = static_cast<std::uint32_t>(value);
        command.payload = {static_cast<char>(bits), static_cast<char>(bits >> 8), static_cast<char>(bits >> 16),
                           static_cast<char>(bits >> 24)};
        return true;
    }
    // devices
    std::vector<Device> devices;
    if (!rest.empty()) {
        std::wstring path = Utf8ToWide(rest);
        if (!context.folder.empty() && path.find(L':') == std::wstring::npos && path[0] != L'\\' && path[0] != L'/') {
            path = context.folder + L"\\" + path;
        }
        if (!LoadDevices(path, devices, error)) {
            error = "devices " + rest + ": " + error;
            return false;
        }
    }
    ToBridge(command, kDeviceModule, kDeviceListMessage);
    command.payload = rest.empty() ? context.devicePayload : BuildDevicePayload(devices);
    return true;
}

bool ParseSend(bool flood, const std::vector<std::string>& words, Command& command, std::string& error)
{
    unsigned long id = 0;
    const std::size_t payloadAt = flood ? 2 : 1;
    if (words.size() != payloadAt + 1 || !ParseNumber(words[0], 0x7FFFFFFF, id) ||
        (flood && !ParseNumber(words[1], 0x7FFFFFFF, command.count)) ||
        (words[payloadAt] != "-" && !ParseHex(words[payloadAt], command.payload)) ||
        command.payload.size() > pipelink::kMaxPayloadBytes) {
        error = flood ? "usage: flood <messageId> <count> <hex payload | ->" : "usage: send <messageId> <hex payload | ->";
        return false;
    }
    ToBridge(command, kTransferModule, static_cast<int>(id));
    command.kind = flood ? Command::Kind::Flood : Command::Kind::Send;
    command.fields.hasMessage = words[payloadAt] != "-";
    return true;
}

// wait, expect, connect: an optional name, then a number of milliseconds.
bool ParseTimed(const std::string& name, const std::vector<std::string>& words, Command& command, std::string& error)
{
    const bool named = name == "expect";
    const std::size_t numberAt = named ? 1 : 0;
    command.kind = named ? Command::Kind::Expect : name == "wait" ? Command::Kind::Wait : Command::Kind::Connect;
    command.ms = kDefaultTimeoutMs;
    if (named && (words.empty() || OutboundId(words[0]) == 0)) {
        error = "expect takes the name of an export that posts a notification: " + OutboundNames();
        return false;
    }
    const bool needsNumber = name == "wait";
    if (words.size() > numberAt + 1 || (needsNumber && words.size() != numberAt + 1) ||
        (words.size() == numberAt + 1 && !ParseNumber(words[numberAt], 0x7FFFFFFF, command.ms))) {
        error = name == "wait" ? "usage: wait <milliseconds>"
                               : "usage: " + name + (named ? " <ExportName>" : "") + " [timeout ms]";
        return false;
    }
    if (named) {
        command.exportName = words[0];
    }
    return true;
}

} // namespace

bool ParseText(const std::string& argument, std::string& text, std::string& error)
{
    text.clear();
    if (argument.empty()) {
        error = "a text is missing (the rest of the line, or \"...\")";
        return false;
    }
    if (argument[0] != '"') {
        text = argument;
        return true;
    }
    for (std::size_t at = 1; at < argument.size(); ++at) {
        const char c = argument[at];
        if (c == '"') {
            if (at + 1 != argument.size()) {
                error = "nothing may follow the closing quote";
                return false;
            }
            return true;
        }
        if (c != '\\') {
            text += c;
            continue;
        }
        const char escaped = ++at < argument.size() ? argument[at] : '\0';
        if (escaped == 'u') {
            if (!ParseCodePoint(argument, at, text, error)) {
                return false;
            }
        } else if (std::strchr("\"\\nt", escaped) != nullptr && escaped != '\0') {
            text += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
        } else {
            error = std::string("unknown escape \\") + escaped + " (use \\\" \\\\ \\n \\t \\u{hex})";
            return false;
        }
    }
    error = "the closing quote is missing";
    return false;
}

bool ParseCommand(const std::string& line, const CommandContext& context, Command& command, std::string& error)
{
    command = Command{};
    const std::size_t space = line.find(' ');
    const std::string name = line.substr(0, space);
    const std::size_t restAt = space == std::string::npos ? space : line.find_first_not_of(' ', space);
    const std::string rest = restAt == std::string::npos ? "" : line.substr(restAt);
    const std::vector<std::string> words = Words(rest);
    const auto bare = [&](Command::Kind kind) {
        command.kind = kind;
        if (!rest.empty()) {
            error = name + " takes no argument";
        }
        return rest.empty();
    };
    if (name == "main-window" || name == "devices" ||
        std::any_of(std::begin(kTextMessages), std::end(kTextMessages),
                    [&](const TextMessage& message) { return name == message.name; })) {
        return ParseNamed(name, rest, context, command, error);
    }
    if (name == "send" || name == "flood") {
        return ParseSend(name == "flood", words, command, error);
    }
    if (name == "wait" || name == "expect" || name == "connect") {
        return ParseTimed(name, words, command, error);
    }
    if (name == "repeat") {
        command.kind = Command::Kind::Repeat;
        const std::size_t inner = rest.find(' ');
        if (words.size() < 2 || !ParseNumber(words[0], kMaxRepeat, command.count) || command.count == 0) {
            error = "usage: repeat <n 1.." + std::to_string(kMaxRepeat) + "> <command>";
            return false;
        }
        command.repeated = std::make_shared<Command>();
        return ParseCommand(rest.substr(rest.find_first_not_of(' ', inner)), context, *command.repeated, error);
    }
    const struct {
        const char* name;
        Command::Kind kind;
    } bareCommands[] = {{"stats", Command::Kind::Stats}, {"pause", Command::Kind::Pause},
                        {"resume", Command::Kind::Resume}, {"help", Command::Kind::Help},
                        {"quit", Command::Kind::Quit}};
    for (const auto& candidate : bareCommands) {
        if (name == candidate.name) {
            return bare(candidate.kind);
        }
    }
    error = "unknown command \"" + name + "\" (help lists them)";
    return false;
}

std::string HelpText()
{
    std::string text;
    for (const Entry& entry : kEntries) {
        std::string usage = std::string(entry.name) + (*entry.usage != '\0' ? " " : "") + entry.usage;
        usage.resize(std::max<std::size_t>(usage.size() + 2, 44), ' ');
        text += "  " + usage + entry.help + "\n";
    }
    return text;
}

} // namespace service
