#include "Workbench.h"

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>

namespace service {

namespace {

constexpr std::size_t kMaxUnexpectedPosts = 100000;

std::string TrimLine(std::string line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    const std::size_t start = line.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : line.substr(start);
}

// One record line: key -> value, strings unescaped, other values as written. Only what
// RecordLine writes: a flat object, \" \\ and \u00XX escapes.
bool ParseRecordLine(const std::string& line, std::map<std::string, std::string>& values)
{
    std::size_t at = 1;
    const auto readString = [&](std::string& out) {
        for (++at; at < line.size() && line[at] != '"'; ++at) {
            if (line[at] == '\\' && at + 1 < line.size()) {
                ++at;
                if (line[at] == 'u' && at + 4 < line.size()) {
                    out += static_cast<char>(std::strtol(line.substr(at + 1, 4).c_str(), nullptr, 16));
                    at += 4;
                    continue;
                }
            }
            out += line[at];
        }
        return at++ < line.size();
    };
    if (line.empty() || line[0] != '{') {
        return false;
    }
    while (at < line.size() && line[at] == '"') {
        std::string key, value;
        if (!readString(key) || at >= line.size() || line[at++] != ':') {
            return false;
        }
        if (at < line.size() && line[at] == '"') {
            if (!readString(value)) {
                return false;
            }
        } else {
            const std::size_t end = line.find_first_of(",}", at);
            value = line.substr(at, end - at);
            at = end;
        }
        values[key] = value;
        if (at < line.size() && line[at] == ',') {
            ++at;
        }
    }
    return at + 1 == line.size() && line[at] == '}';
}

bool HexBytes(const std::string& hex, std::vector<char>& bytes)
{
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return hex.size() % 2 == 0;
}

// The record's fields of an "in" line as a Send command.
bool ReplayCommand(std::map<std::string, std::string>& values, Command& command)
{
    command.kind = Command::Kind::Send;
    pipelink::FrameFields& f = command.fields;
    const auto number = [&](const char* key) { return std::atoi(values[key].c_str()); };
    f.srcModule = number("src");
    f.destModuleId = number("dest");
    f.messageId = number("id");
    f.auxId1 = number("aux1");
    f.auxId2 = number("aux2");
    f.auxId3 = number("aux3");
    f.auxValue = number("auxValue");
    f.auxValue2 = number("auxValue2");
    f.auxFlag = values["auxFlag"] == "true";
    f.hasMessage = values["payload"] != "null";
    return !f.hasMessage || HexBytes(values["payload"], command.payload);
}

} // namespace

bool LoadScript(const std::wstring& path, const std::string& shownPath, const CommandContext& context,
                std::vector<ScenarioLine>& lines, std::string& errors)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file) {
        errors = shownPath + ": cannot read the script\n";
        return false;
    }
    lines.clear();
    errors.clear();
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        line = TrimLine(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        ScenarioLine parsed{shownPath + ":" + std::to_string(number), {}};
        std::string error;
        if (!ParseCommand(line, context, parsed.command, error)) {
            errors += parsed.where + ": " + error + "\n";
        } else if (parsed.command.kind == Command::Kind::Quit) {
            errors += parsed.where + ": quit ends the service; give --exit to end it after the script\n";
        } else {
            lines.push_back(std::move(parsed));
        }
    }
    if (!errors.empty()) {
        lines.clear();
    }
    return errors.empty();
}

bool LoadReplay(const std::wstring& path, const std::string& shownPath, double speed,
                std::vector<ScenarioLine>& lines, std::string& error)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file) {
        error = shownPath + ": cannot read the record";
        return false;
    }
    lines.clear();
    Command connect;
    connect.kind = Command::Kind::Connect;
    connect.ms = INFINITE;
    lines.push_back({shownPath + ":0", connect});
    double previous = -1;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        line = TrimLine(line);
        std::map<std::string, std::string> values;
        const std::string where = shownPath + ":" + std::to_string(number);
        if (line.empty()) {
            continue;
        }
        if (!ParseRecordLine(line, values)) {
            error = where + ": not a record line";
            return false;
        }
        if (values.count("dir") == 0) {
            error = where + ": no \"dir\": this record was written by an older ferrydock-service and holds only "
                            "the bridge's messages; record the session again to replay it";
            return false;
        }
        if (values["dir"] != "in" || values["reply"] == "true") {
            continue;
        }
        const double t = std::atof(values["t"].c_str());
        if (previous >= 0 && t > previous) {
            Command pause;
            pause.kind = Command::Kind::Wait;
            pause.ms = static_cast<unsigned long>((t - previous) / speed);
            lines.push_back({where, pause});
        }
        previous = t;
        Command send;
        if (!ReplayCommand(values, send)) {
            error = where + ": the payload is not hex";
            return false;
        }
        lines.push_back({where, send});
    }
    return true;
}

void Workbench::Observe(const Traffic& traffic)
{
    if (traffic.direction != Direction::Out) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(OutboundId(traffic.name != nullptr ? traffic.name : ""));
    if (posted_.size() > kMaxUnexpectedPosts) {
        posted_.pop_front();
    }
    changed_.notify_all();
}

void Workbench::Cancel()
{
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
}

Workbench::Outcome Workbench::Run(const Command& command, std::string& error)
{
    switch (command.kind) {
    case Command::Kind::Send:
        return Send(command, error);
    case Command::Kind::Flood: {
        unsigned long sent = 0;
        while (sent < command.count && server_.SendToModule(command.fields, command.payload, false)) {
            ++sent;
        }
        print_("flooded " + std::to_string(sent));
        return Outcome::Done;
    }
    case Command::Kind::Wait:
        return Pause(command.ms);
    case Command::Kind::Expect:
        return Expect(command.exportName, command.ms, error);
    case Command::Kind::Connect:
        return Connect(command.ms, error);
    case Command::Kind::Repeat:
        for (unsigned long i = 0; i < command.count; ++i) {
            const Outcome outcome = Run(*command.repeated, error);
            if (outcome != Outcome::Done) {
                return outcome;
            }
        }
        return Outcome::Done;
    case Command::Kind::Stats:
        print_("received " + std::to_string(server_.Received()));
        return Outcome::Done;
    case Command::Kind::Pause:
    case Command::Kind::Resume:
        server_.SetPaused(command.kind == Command::Kind::Pause);
        print_(command.kind == Command::Kind::Pause ? "paused" : "resumed");
        return Outcome::Done;
    case Command::Kind::Help: {
        const std::string help = HelpText();
        print_("commands:\n" + help.substr(0, help.size() - 1));
        return Outcome::Done;
    }
    case Command::Kind::Quit:
        break;
    }
    return Outcome::Quit;
}

Workbench::Outcome Workbench::Send(const Command& command, std::string& error)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) {
            return Outcome::Quit;
        }
    }
    if (!server_.SendToModule(command.fields, command.payload)) {
        error = "no client for module " + std::to_string(command.fields.destModuleId);
        return Outcome::Failed;
    }
    print_("sent " + std::to_string(command.fields.messageId));
    return Outcome::Done;
}

Workbench::Outcome Workbench::Pause(unsigned long ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return cancelled_; });
    return cancelled_ ? Outcome::Quit : Outcome::Done;
}

Workbench::Outcome Workbench::Expect(const std::string& exportName, unsigned long ms, std::string& error)
{
    const int id = OutboundId(exportName);
    std::unique_lock<std::mutex> lock(mutex_);
    const auto seen = [&] {
        while (!posted_.empty() && posted_.front() != id) {
            posted_.pop_front();
        }
        return !posted_.empty() || cancelled_;
    };
    changed_.wait_for(lock, std::chrono::milliseconds(ms), seen);
    if (cancelled_) {
        return Outcome::Quit;
    }
    if (posted_.empty()) {
        error = "expect " + exportName + ": not posted within " + std::to_string(ms) + " ms";
        return Outcome::Failed;
    }
    posted_.pop_front();
    return Outcome::Done;
}

// The server reports no connections as they happen: look every 20 ms.
Workbench::Outcome Workbench::Connect(unsigned long ms, std::string& error)
{
    const ULONGLONG deadline = ms == INFINITE ? ~0ULL : GetTickCount64() + ms;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!cancelled_ && !server_.HasModule(kBridgeModule)) {
        if (GetTickCount64() >= deadline) {
            error = "connect: the bridge did not connect within " + std::to_string(ms) + " ms";
            return Outcome::Failed;
        }
        changed_.wait_for(lock, std::chrono::milliseconds(20), [&] { return cancelled_; });
    }
    return cancelled_ ? Outcome::Quit : Outcome::Done;
}

int Workbench::RunScenario(const std::vector<ScenarioLine>& lines, Outcome& outcome)
{
    for (const ScenarioLine& line : lines) {
        std::string error;
        outcome = Run(line.command, error);
        if (outcome == Outcome::Failed) {
            print_("error: " + line.where + ": " + error);
            return 1;
        }
        if (outcome == Outcome::Quit) {
            return 0;
        }
    }
    outcome = Outcome::Done;
    return 0;
}

} // namespace service
