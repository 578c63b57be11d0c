#include "RecordFile.h"

#include <windows.h>

#include <cinttypes>
#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <cstdint>

namespace service {

namespace {

void AppendJsonText(std::string& out, const std::string& text)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto unit = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (unit < 0x20) {
            out += "\\u00";
            out += kHex[unit >> 4];
            out += kHex[unit & 0xF];
        } else {
            out += c; // UTF-8 passes through
        }
    }
    out += '"';
}

void AppendJsonTextOrNull(std::string& out, const std::optional<std::string>& text)
{
    if (text) {
        AppendJsonText(out, *text);
    } else {
        out += "null";
    }
}

void AppendHex(std::string& out, const std::vector<char>& bytes)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : bytes) {
        const auto unit = static_cast<unsigned char>(c);
        out += kHex[unit >> 4];
        out += kHex[unit & 0xF];
    }
    out += '"';
}

} // namespace

std::string RecordLine(const pipelink::Frame& frame, std::uint64_t client, std::uint64_t sequence,
                       const Traffic& traffic)
{
    const pipelink::FrameFields& f = frame.fields;
    std::string line = "{\"src\":" + std::to_string(f.srcModule) + ",\"dest\":" + std::to_string(f.destModuleId) +
                       ",\"id\":" + std::to_string(f.messageId) + ",\"aux1\":" + std::to_string(f.auxId1) +
                       ",\"aux2\":" + std::to_string(f.auxId2) + ",\"aux3\":" + std::to_string(f.auxId3) +
                       ",\"auxValue\":" + std::to_string(f.auxValue) +
                       ",\"length\":" + std::to_string(frame.payload.size()) +
                       ",\"auxFlag\":" + (f.auxFlag ? "true" : "false") +
                       ",\"auxValue2\":" + std::to_string(f.auxValue2) + ",\"head\":";
    AppendJsonText(line, frame.head);
    line += ",\"payload\":";
    if (f.hasMessage) {
        AppendHex(line, frame.payload);
    } else {
        line += "null";
    }
    line += traffic.direction == Direction::Out ? ",\"dir\":\"out\"" : ",\"dir\":\"in\"";
    line += ",\"t\":" + std::to_string(traffic.t) + ",\"name\":";
    AppendJsonTextOrNull(line, traffic.name != nullptr ? std::optional<std::string>(traffic.name) : std::nullopt);
    line += ",\"text\":";
    AppendJsonTextOrNull(line, traffic.text);
    line += traffic.reply ? ",\"reply\":true" : "";
    // Last, so that a line cut by a kill has no numbers (see Recover).
    if (sequence > 0) {
        char numbered[64];
        std::snprintf(numbered, sizeof(numbered), ",\"client\":\"%016" PRIx64 "\",\"seq\":%" PRIu64, client, sequence);
        line += numbered;
    }
    line += '}';
    return line;
}

RecordFile::RecordFile() : started_(GetTickCount64()) {}

bool RecordFile::Open(const std::wstring& path)
{
    Recover(path);
    file_.reset(_wfopen(path.c_str(), L"ab"));
    if (file_ && endsMidLine_) {
        std::fputc('\n', file_.get()); // what follows starts a line of its own
    }
    return file_.valid();
}

// A service killed in the middle of a line leaves it without its numbers: that
// message was not acknowledged and comes again.
void RecordFile::Recover(const std::wstring& path)
{
    std::ifstream existing(path.c_str(), std::ios::binary);
    std::string line;
    bool ended = true;
    while (std::getline(existing, line)) {
        ended = !existing.eof();
        const std::size_t at = line.rfind(",\"client\":\"");
        if (at == std::string::npos) {
            continue;
        }
        char* end = nullptr;
        const std::uint64_t client = std::strtoull(line.c_str() + at + 11, &end, 16);
        const std::size_t seq = line.find("\",\"seq\":", at);
        if (seq == std::string::npos || end != line.c_str() + seq) {
            continue;
        }
        const std::uint64_t sequence = std::strtoull(line.c_str() + seq + 8, &end, 10);
        if (*end == '}') {
            std::uint64_t& taken = lastTaken_[client];
            taken = std::max(taken, sequence);
        }
    }
    endsMidLine_ = !ended;
}

bool RecordFile::Take(const pipelink::Frame& frame, std::uint64_t client, std::uint64_t sequence)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (sequence > 0) {
        std::uint64_t& last = lastTaken_[client];
        if (sequence <= last) {
            return false;
        }
        last = sequence;
    }
    WriteLocked(frame, client, sequence, Direction::Out, false);
    return true;
}

void RecordFile::Sent(const pipelink::Frame& frame, bool reply)
{
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked(frame, 0, 0, Direction::In, reply);
}

void RecordFile::WriteLocked(const pipelink::Frame& frame, std::uint64_t client, std::uint64_t sequence,
                             Direction direction, bool reply)
{
    Traffic traffic;
    traffic.direction = direction;
    traffic.name = MessageName(direction, frame.fields.messageId);
    if (file_ || listenerWantsText_) {
        traffic.text = MessageText(direction, frame);
    }
    traffic.reply = reply;
    traffic.t = GetTickCount64() - started_;
    if (file_) {
        const std::string line = RecordLine(frame, client, sequence, traffic) + "\n";
        std::fwrite(line.data(), 1, line.size(), file_.get());
        std::fflush(file_.get());
    }
    if (listener_) {
        listener_(traffic, frame);
    }
}

} // namespace service
