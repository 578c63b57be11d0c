#include "RecordFile.h"

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

std::string RecordLine(const pipelink::Frame& frame)
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
    line += '}';
    return line;
}

RecordFile::~RecordFile()
{
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool RecordFile::Open(const std::wstring& path)
{
    file_ = _wfopen(path.c_str(), L"ab");
    return file_ != nullptr;
}

void RecordFile::Append(const pipelink::Frame& frame)
{
    if (file_ == nullptr) {
        return;
    }
    const std::string line = RecordLine(frame) + "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

} // namespace service
