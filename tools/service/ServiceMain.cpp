// ferrydock-service [--pipe NAME] [--record FILE] [--devices FILE]
// Prints "ready" once the pipe listens, then reads commands on standard input:
//   send <messageId> <hex payload | ->   message to the bridge's module 0xF00000
//   flood <messageId> <count> <hex payload>   count copies at once (benchmarks)
//   stats                                 prints "received <messages received so far>"
//   pause / resume                        stop / restart reading from the clients
//   quit
// Events are printed one a line: "connected <module>", "disconnected <module>",
// "sent <messageId>", "error: ...".
#include "DeviceList.h"
#include "PipeServer.h"
#include "RecordFile.h"

#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

const wchar_t kDefaultPipe[] = L"\\\\.\\Pipe\\iOrvaneAssistant";

struct Options {
    std::wstring pipe = kDefaultPipe;
    std::wstring record;
    std::wstring devices;
};

std::mutex g_printMutex;

void PrintLine(const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_printMutex);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

Options ParseOptions(int argc, wchar_t** argv)
{
    Options options;
    if (const wchar_t* fromEnvironment = _wgetenv(L"FERRYDOCK_PIPE_NAME")) {
        options.pipe = fromEnvironment;
    }
    for (int i = 1; i < argc; ++i) {
        const std::wstring flag = argv[i];
        if (i + 1 >= argc || (flag != L"--pipe" && flag != L"--record" && flag != L"--devices")) {
            throw std::invalid_argument("usage: ferrydock-service [--pipe NAME] [--record FILE] [--devices FILE]");
        }
        std::wstring& target = flag == L"--pipe" ? options.pipe : flag == L"--record" ? options.record : options.devices;
        target = argv[++i];
    }
    if (options.pipe.rfind(L"\\\\.\\pipe\\", 0) != 0 && options.pipe.rfind(L"\\\\.\\Pipe\\", 0) != 0) {
        throw std::invalid_argument("--pipe: a pipe name starts with \\\\.\\pipe\\");
    }
    return options;
}

bool ParseNumber(const std::string& text, int& value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text.empty() || text[0] == '-') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (*end != '\0' || errno != 0 || parsed > 0x7FFFFFFF) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

bool ParseHex(const std::string& text, std::vector<char>& bytes)
{
    if (text.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0]))) {
            return false;
        }
        bytes.push_back(static_cast<char>(value));
    }
    return true;
}

bool BridgeMessage(const std::string& idText, const std::string& payloadText, pipelink::FrameFields& fields,
                   std::vector<char>& payload)
{
    if (!ParseNumber(idText, fields.messageId) || payloadText.empty() ||
        (payloadText != "-" && !ParseHex(payloadText, payload)) || payload.size() > pipelink::kMaxPayloadBytes) {
        return false;
    }
    fields.srcModule = service::kTransferModule;
    fields.destModuleId = service::kBridgeModule;
    fields.auxId1 = fields.auxId2 = fields.auxId3 = -1;
    fields.hasMessage = payloadText != "-";
    return true;
}

void RunSend(service::PipeServer& server, const std::string& arguments)
{
    const std::size_t space = arguments.find(' ');
    const std::string idText = arguments.substr(0, space);
    const std::string payloadText = space == std::string::npos ? "" : arguments.substr(space + 1);
    pipelink::FrameFields fields;
    std::vector<char> payload;
    if (!BridgeMessage(idText, payloadText, fields, payload)) {
        PrintLine("error: usage: send <messageId> <hex payload | ->");
    } else if (server.SendToModule(fields, payload)) {
        PrintLine("sent " + std::to_string(fields.messageId));
    } else {
        PrintLine("error: no client for module " + std::to_string(service::kBridgeModule));
    }
}

void RunFlood(service::PipeServer& server, const std::string& arguments)
{
    std::istringstream words(arguments);
    std::string idText, countText, payloadText;
    words >> idText >> countText >> payloadText;
    pipelink::FrameFields fields;
    std::vector<char> payload;
    int count = 0;
    if (!BridgeMessage(idText, payloadText, fields, payload) || !ParseNumber(countText, count)) {
        PrintLine("error: usage: flood <messageId> <count> <hex payload | ->");
        return;
    }
    int sent = 0;
    while (sent < count && server.SendToModule(fields, payload)) {
        ++sent;
    }
    PrintLine("flooded " + std::to_string(sent));
}

void ReadCommands(service::PipeServer& server)
{
    std::string line;
    while (std::getline(std::cin, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (line == "quit") {
            return;
        }
        if (line.rfind("send ", 0) == 0) {
            RunSend(server, line.substr(5));
        } else if (line.rfind("flood ", 0) == 0) {
            RunFlood(server, line.substr(6));
        } else if (line == "stats") {
            PrintLine("received " + std::to_string(server.Received()));
        } else if (line == "pause" || line == "resume") {
            server.SetPaused(line == "pause");
            PrintLine(line == "pause" ? "paused" : "resumed");
        } else if (!line.empty()) {
            PrintLine("error: unknown command (send, flood, stats, pause, resume, quit)");
        }
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    std::vector<service::Device> devices = service::DefaultDevices();
    service::RecordFile record;
    try {
        options = ParseOptions(argc, argv);
        std::string error;
        if (!options.devices.empty() && !service::LoadDevices(options.devices, devices, error)) {
            throw std::invalid_argument(error);
        }
        if (!options.record.empty() && !record.Open(options.record)) {
            throw std::invalid_argument("cannot open the record file");
        }
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 2;
    }
    service::PipeServer server(options.pipe, record, service::BuildDevicePayload(devices), PrintLine);
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    PrintLine("ready");
    ReadCommands(server);
    server.Stop();
    return 0;
}
