// ferrydock-service: the other end of the bridge's pipe, and the interface team's
// workbench. `ferrydock-service --help` lists the options and the commands.
// Prints "ready" once the pipe listens, then reads commands on standard input while a
// --script or --replay runs beside them. Events are printed one a line: "connected
// <module>", "disconnected <module>", "sent <messageId>", "error: ...".
#include "Commands.h"
#include "DeviceList.h"
#include "Messages.h"
#include "PipeServer.h"
#include "RecordFile.h"
#include "Workbench.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

const wchar_t kDefaultPipe[] = L"\\\\.\\Pipe\\iOrvaneAssistant";

const char kUsage[] =
    "usage: ferrydock-service [--pipe NAME] [--record FILE] [--devices FILE] [--print]\n"
    "                         [--script FILE | --replay RECORD [--speed X]] [--exit] [--help]\n"
    "  --pipe NAME      the pipe to serve (else FERRYDOCK_PIPE_NAME, else the product's pipe)\n"
    "  --record FILE    append one JSON line per message, both directions\n"
    "  --devices FILE   the device list: one name<TAB>id<TAB>type a line, at most 8\n"
    "  --print          print one line per message: out <export> \"text\" / in <callback> \"text\"\n"
    "  --script FILE    check the whole scenario, then run it; exit 2 for a bad line (nothing sent),\n"
    "                   1 when a step fails\n"
    "  --replay RECORD  wait for the bridge, then send the record's inbound messages with their\n"
    "                   spacing divided by --speed X (default 1); implies --print\n"
    "  --exit           end when the scenario has run, instead of serving standard input\n";

struct Options {
    std::wstring pipe = kDefaultPipe;
    std::wstring record;
    std::wstring devices;
    std::wstring script;
    std::wstring replay;
    double speed = 1;
    bool print = false;
    bool exitAfter = false;
    bool help = false;
};

std::mutex g_printMutex;

void PrintLine(const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_printMutex);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

double ParseSpeed(const std::wstring& text)
{
    wchar_t* end = nullptr;
    const double speed = std::wcstod(text.c_str(), &end);
    if (text.empty() || *end != L'\0' || !(speed > 0 && speed <= 1000)) {
        throw std::invalid_argument("--speed takes a number above 0, at most 1000");
    }
    return speed;
}

Options ParseOptions(int argc, wchar_t** argv)
{
    Options options;
    if (const wchar_t* fromEnvironment = _wgetenv(L"FERRYDOCK_PIPE_NAME")) {
        options.pipe = fromEnvironment;
    }
    const std::pair<const wchar_t*, bool*> switches[] = {
        {L"--print", &options.print}, {L"--exit", &options.exitAfter}, {L"--help", &options.help}};
    const std::pair<const wchar_t*, std::wstring*> values[] = {{L"--pipe", &options.pipe},
                                                               {L"--record", &options.record},
                                                               {L"--devices", &options.devices},
                                                               {L"--script", &options.script},
                                                               {L"--replay", &options.replay}};
    for (int i = 1; i < argc; ++i) {
        const std::wstring flag = argv[i];
        const auto isFlag = [&](const auto& entry) { return flag == entry.first; };
        const auto* isSwitch = std::find_if(std::begin(switches), std::end(switches), isFlag);
        const auto* isValue = std::find_if(std::begin(values), std::end(values), isFlag);
        if (isSwitch != std::end(switches)) {
            *isSwitch->second = true;
        } else if (isValue != std::end(values) && i + 1 < argc) {
            *isValue->second = argv[++i];
        } else if (flag == L"--speed" && i + 1 < argc) {
            options.speed = ParseSpeed(argv[++i]);
        } else {
            throw std::invalid_argument(kUsage);
        }
    }
    if (!options.script.empty() && !options.replay.empty()) {
        throw std::invalid_argument("--script and --replay: one scenario at a time");
    }
    if (options.pipe.rfind(L"\\\\.\\pipe\\", 0) != 0 && options.pipe.rfind(L"\\\\.\\Pipe\\", 0) != 0) {
        throw std::invalid_argument("--pipe: a pipe name starts with \\\\.\\pipe\\");
    }
    options.print = options.print || !options.replay.empty();
    return options;
}

std::wstring FolderOf(const std::wstring& path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"" : path.substr(0, slash);
}

// Loads what the options name; false after printing what is wrong on stderr.
bool LoadScenario(const Options& options, const service::CommandContext& context,
                  std::vector<service::ScenarioLine>& lines)
{
    std::string errors;
    if (!options.script.empty() &&
        !service::LoadScript(options.script, service::WideToUtf8(options.script), context, lines, errors)) {
        std::fputs(errors.c_str(), stderr);
        return false;
    }
    if (!options.replay.empty() &&
        !service::LoadReplay(options.replay, service::WideToUtf8(options.replay), options.speed, lines, errors)) {
        std::fprintf(stderr, "error: %s\n", errors.c_str());
        return false;
    }
    return true;
}

// How the process ends: the first of quit, the end of standard input once no scenario
// runs, a scenario that failed, or one that ran with --exit.
class Ending {
public:
    void Set(int code)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!code_) {
            code_ = code;
            changed_.notify_all();
        }
    }
    int Wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return code_.has_value(); });
        return *code_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<int> code_;
};

// Whether a scenario still runs and standard input has ended: the second of the two to
// end ends the process.
struct Activity {
    std::mutex mutex;
    bool scenarioRunning = false;
    bool inputEnded = false;
};

void ReadCommands(service::Workbench& bench, const service::CommandContext& context, Ending& ending,
                  Activity& activity)
{
    std::string line;
    while (std::getline(std::cin, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        service::Command command;
        std::string error;
        if (!service::ParseCommand(line, context, command, error)) {
            PrintLine("error: " + error);
            continue;
        }
        const service::Workbench::Outcome outcome = bench.Run(command, error);
        if (outcome == service::Workbench::Outcome::Quit) {
            ending.Set(0);
            return;
        }
        if (outcome == service::Workbench::Outcome::Failed) {
            PrintLine("error: " + error);
        }
    }
    std::lock_guard<std::mutex> lock(activity.mutex);
    activity.inputEnded = true;
    if (!activity.scenarioRunning) {
        ending.Set(0);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    std::vector<service::Device> devices = service::DefaultDevices();
    service::RecordFile record;
    service::CommandContext stdinContext;
    std::vector<service::ScenarioLine> scenario;
    try {
        options = ParseOptions(argc, argv);
        if (options.help) {
            std::printf("%s\ncommands (standard input and scripts; # starts a comment in a script):\n%s", kUsage,
                        service::HelpText().c_str());
            return 0;
        }
        std::string error;
        if (!options.devices.empty() && !service::LoadDevices(options.devices, devices, error)) {
            throw std::invalid_argument(error);
        }
        stdinContext.devicePayload = service::BuildDevicePayload(devices);
        service::CommandContext scriptContext{stdinContext.devicePayload, FolderOf(options.script)};
        if (!LoadScenario(options, scriptContext, scenario)) {
            return 2;
        }
        if (!options.record.empty() && !record.Open(options.record)) {
            throw std::invalid_argument("cannot open the record file");
        }
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 2;
    }
    service::PipeServer server(options.pipe, record, stdinContext.devicePayload, PrintLine);
    service::Workbench bench(server, PrintLine);
    record.SetListener([&](const service::Traffic& traffic, const pipelink::Frame& frame) {
        bench.Observe(traffic);
        if (options.print) {
            PrintLine(service::HumanLine(traffic, frame.fields.messageId));
        }
    }, options.print);
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    PrintLine("ready");

    Ending ending;
    Activity activity;
    activity.scenarioRunning = !options.script.empty() || !options.replay.empty();
    std::thread runner;
    if (activity.scenarioRunning) {
        runner = std::thread([&] {
            service::Workbench::Outcome outcome = service::Workbench::Outcome::Done;
            const int code = bench.RunScenario(scenario, outcome);
            if (outcome == service::Workbench::Outcome::Done) {
                PrintLine(options.script.empty() ? "replay finished" : "script finished");
            }
            std::lock_guard<std::mutex> lock(activity.mutex);
            activity.scenarioRunning = false;
            if (code != 0 || options.exitAfter || activity.inputEnded) {
                server.Flush(2000); // what the scenario sent reaches the bridge before the end
                ending.Set(code);
            }
        });
    }
    // Nothing interrupts a read of standard input: the reader is left to the end of the
    // process below.
    std::thread(ReadCommands, std::ref(bench), std::cref(stdinContext), std::ref(ending), std::ref(activity)).detach();
    const int code = ending.Wait();
    bench.Cancel();
    if (runner.joinable()) {
        runner.join();
    }
    server.Stop();
    std::fflush(stdout);
    // The reader may still be inside a command on the server: end without unwinding the
    // objects it uses.
    ExitProcess(static_cast<UINT>(code));
}
