// ui: the reference window, fed by a running stand-in service, or by one started here
// (with a scenario script when --script is given).
#include "Host.h"
#include "PrintingDropTarget.h"
#include "ReferenceWindow.h"
#include "ServiceProcess.h"

#include <ole2.h>

#include <cstdlib>

namespace {

using host::FormatText;
using host::PrintLine;

struct UiArgs {
    std::wstring script;
    host::ReferenceWindowOptions window;
};

std::wstring FullPath(const std::wstring& path)
{
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full, length) : path;
}

UiArgs ParseUiArgs(const std::vector<std::wstring>& args)
{
    UiArgs out;
    out.window.screenshotAfterMs = 3000;
    bool afterGiven = false;
    for (size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            throw std::invalid_argument("missing value after an option");
        }
        const std::wstring& value = args[i + 1];
        if (args[i] == L"--script") {
            out.script = FullPath(value);
        } else if (args[i] == L"--screenshot") {
            out.window.screenshot = FullPath(value);
        } else if (args[i] == L"--after") {
            wchar_t* end = nullptr;
            out.window.screenshotAfterMs = std::wcstoul(value.c_str(), &end, 10);
            if (value.empty() || *end != L'\0') {
                throw std::invalid_argument("--after takes milliseconds");
            }
            afterGiven = true;
        } else {
            throw std::invalid_argument("unknown option");
        }
    }
    if (afterGiven && out.window.screenshot.empty()) {
        throw std::invalid_argument("--after goes with --screenshot");
    }
    return out;
}

std::wstring Environment(const wchar_t* name)
{
    wchar_t buffer[512];
    const DWORD length = GetEnvironmentVariableW(name, buffer, ARRAYSIZE(buffer));
    return length > 0 && length < ARRAYSIZE(buffer) ? std::wstring(buffer, length) : std::wstring();
}

std::wstring BesideHost(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    const std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of(L"\\/") + 1) + name;
}

bool ServiceIsListening(const std::wstring& pipe)
{
    return WaitNamedPipeW(pipe.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

// Posting only queues: before the service is stopped, wait (bounded) until it has received
// everything the window posted, the closing SendWindowClose included.
void AwaitPosts(service::ServiceProcess& service, int posts)
{
    const ULONGLONG deadline = GetTickCount64() + 5000;
    std::string received;
    while (service.Ask("stats", "received ", received, 2000) && std::strtol(received.c_str(), nullptr, 10) < posts &&
           GetTickCount64() < deadline) {
        Sleep(20);
    }
}

std::wstring FromUtf8(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    wide.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), static_cast<int>(wide.size()))));
    return wide;
}

int RunUi(host::Api& api, const std::vector<std::wstring>& args)
{
    UiArgs parsed = ParseUiArgs(args);
    std::wstring& pipe = parsed.window.pipe;
    pipe = Environment(L"FERRYDOCK_PIPE_NAME");
    if (pipe.empty()) {
        // A scenario gets a service of its own; the library's client reads the variable
        // when it is created, by the first export call below.
        pipe = parsed.script.empty() ? L"\\\\.\\Pipe\\iOrvaneAssistant"
                                     : FormatText(L"\\\\.\\pipe\\FerrydockUi-%lu", GetCurrentProcessId());
        SetEnvironmentVariableW(L"FERRYDOCK_PIPE_NAME", pipe.c_str());
    }
    service::ServiceProcess service;
    if (!parsed.script.empty() || !ServiceIsListening(pipe)) {
        std::wstring arguments = L"--pipe \"" + pipe + L"\" --print";
        if (!parsed.script.empty()) {
            arguments += L" --script \"" + parsed.script + L"\"";
        }
        PrintLine(L"starting ferrydock-service.exe " + arguments);
        if (!service.Start(BesideHost(L"ferrydock-service.exe"), arguments)) {
            PrintLine(L"error: the stand-in service did not start");
            for (const std::string& line : service.Lines()) {
                PrintLine(L"  " + FromUtf8(line));
            }
            return 1;
        }
    }
    const host::OleScope ole;
    if (FAILED(ole.result)) {
        PrintLine(FormatText(L"error: OleInitialize failed (0x%08lx)", static_cast<unsigned long>(ole.result)));
        return 1;
    }
    const host::ReferenceWindowResult result = host::RunReferenceWindow(api, parsed.window);
    if (service.Running()) {
        AwaitPosts(service, result.posts);
        service.Stop();
        PrintLine(L"the stand-in service printed:");
        for (const std::string& line : service.Lines()) {
            PrintLine(L"  " + FromUtf8(line));
        }
    }
    return result.exitCode;
}

host::Registration uiCommand{{
    L"ui",
    L"[--script FILE] [--screenshot FILE.png [--after ms]]",
    L"the reference window: the library used the way the interface uses it",
    RunUi,
    {},
    100,
}};

} // namespace
