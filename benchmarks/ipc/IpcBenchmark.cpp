// Throughput, latency and caller-side cost of the bridge's IPC, each beside the same
// figure for a raw client that does one WriteFile per 96-byte message on a byte-mode pipe.
//   ipc_benchmark [repetitions]   (default 3; medians are printed)
#include "FerrydockUITrans.h"
#include "ServiceProcess.h"
#include "common/UniqueResource.h"

#include <psapi.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using FerrydockIpc::UniqueFileHandle;
using FerrydockIpc::UniqueHandle;

namespace {

constexpr std::size_t kMessageBytes = 96;
constexpr int kRawMessages = 20000;
constexpr int kBridgeMessages = 200000;
constexpr int kRoundTrips = 200;
constexpr int kPostSamples = 20000;
constexpr int kWindow = 6000;

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::wstring PipeName(const wchar_t* purpose)
{
    return L"\\\\.\\pipe\\ferrydock-bench-" + std::to_wstring(GetCurrentProcessId()) + L"-" + purpose;
}

std::wstring Beside(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1) + name;
}

// ---- the raw baseline: one WriteFile and one ReadFile per 96-byte message ----

struct RawPair {
    UniqueFileHandle server;
    UniqueFileHandle client;
};

RawPair ConnectRaw(const std::wstring& name)
{
    RawPair pair;
    pair.server.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 1,
                                       65536, 65536, 0, nullptr));
    pair.client.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ConnectNamedPipe(pair.server.get(), nullptr);
    return pair;
}

bool ReadExactly(HANDLE pipe, char* buffer, DWORD size)
{
    DWORD total = 0;
    while (total < size) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer + total, size - total, &got, nullptr) || got == 0) {
            return false;
        }
        total += got;
    }
    return true;
}

// Messages per second from writer to reader, each message its own write and read.
double RawOneWay(int messages)
{
    RawPair pair = ConnectRaw(PipeName(L"raw"));
    const double start = Now();
    std::thread reader([&] {
        char buffer[kMessageBytes];
        for (int i = 0; i < messages && ReadExactly(pair.server.get(), buffer, kMessageBytes); ++i) {
        }
    });
    char message[kMessageBytes] = {'m'};
    for (int i = 0; i < messages; ++i) {
        DWORD written = 0;
        WriteFile(pair.client.get(), message, kMessageBytes, &written, nullptr);
    }
    reader.join();
    return messages / (Now() - start);
}

// Half the median round trip of a 96-byte ping-pong, in microseconds.
double RawOneWayLatency()
{
    RawPair pair = ConnectRaw(PipeName(L"ping"));
    std::thread echo([&] {
        char buffer[kMessageBytes];
        for (int i = 0; i < kRoundTrips && ReadExactly(pair.server.get(), buffer, kMessageBytes); ++i) {
            DWORD written = 0;
            WriteFile(pair.server.get(), buffer, kMessageBytes, &written, nullptr);
        }
    });
    std::vector<double> trips;
    char message[kMessageBytes] = {'p'};
    for (int i = 0; i < kRoundTrips; ++i) {
        const double start = Now();
        DWORD written = 0;
        WriteFile(pair.client.get(), message, kMessageBytes, &written, nullptr);
        ReadExactly(pair.client.get(), message, kMessageBytes);
        trips.push_back(Now() - start);
    }
    echo.join();
    return Median(trips) / 2 * 1e6;
}

// ---- the bridge ----

template <typename Fn>
Fn Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::atomic<int> g_texts{0};
std::atomic<int> g_deviceLists{0};
void FERRYDOCK_CALL CountText(const wchar_t*) { ++g_texts; }
void FERRYDOCK_CALL CountDevices(DevicesInfo*) { ++g_deviceLists; }

void WaitUntil(const std::atomic<int>& counter, int target)
{
    while (counter < target) {
        Sleep(0);
    }
}

unsigned long long Received(service::ServiceProcess& service)
{
    std::string count;
    return service.Ask("stats", "received ", count, 10000) ? std::stoull(count) : 0;
}

struct Percentiles {
    double p99;
    double max;
};

template <typename Fn>
Percentiles TimeCalls(Fn call, int samples)
{
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(samples));
    for (int i = 0; i < samples; ++i) {
        const double start = Now();
        call();
        times.push_back((Now() - start) * 1e6);
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() * 99 / 100], times.back()};
}

std::size_t PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof(counters));
    return counters.PrivateUsage;
}

void Row(const char* figure, double ours, double baseline, const char* unit, const char* target)
{
    std::printf("%-46s %14.1f %14.1f %-9s %8.2fx  %s\n", figure, ours, baseline, unit,
                baseline > 0 ? ours / baseline : 0.0, target);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int repetitions = argc > 1 ? std::max(1, _wtoi(argv[1])) : 3;
    const std::wstring text(kMessageBytes - 1, L'x'); // 95 characters: 96 bytes with the terminator

    // First call after loading, with no service: it creates the client and its threads.
    SetEnvironmentVariableW(L"FERRYDOCK_PIPE_NAME", PipeName(L"absent").c_str());
    HMODULE module = LoadLibraryW(L"FerrydockUITrans.dll");
    if (module == nullptr) {
        std::printf("cannot load FerrydockUITrans.dll\n");
        return 1;
    }
    auto sendText = Export<PFN_VoidText>(module, "SendFileInfoAllToFilesystem");
    double start = Now();
    sendText(text.c_str());
    const double firstCallUs = (Now() - start) * 1e6;
    const Percentiles absent = TimeCalls([&] { sendText(text.c_str()); }, kPostSamples);
    FreeLibrary(module);

    const std::wstring pipe = PipeName(L"service");
    SetEnvironmentVariableW(L"FERRYDOCK_PIPE_NAME", pipe.c_str());
    service::ServiceProcess service;
    if (!service.Start(Beside(L"ferrydock-service.exe"), L"--pipe \"" + pipe + L"\"")) {
        std::printf("the stand-in service did not start\n");
        return 1;
    }
    module = LoadLibraryW(L"FerrydockUITrans.dll");
    sendText = Export<PFN_VoidText>(module, "SendFileInfoAllToFilesystem");
    Export<PFN_RegisterTextCallback>(module, "RegisterWndShowSendFilesCallback")(CountText);
    Export<PFN_RegisterWndShowDeviceCallback>(module, "RegisterWndShowDeviceCallback")(CountDevices);
    Export<PFN_BoolVoid>(module, "InitIPCModule")();
    sendText(text.c_str());
    service.WaitForLine("connected 15728640", 1, 10000);

    std::vector<double> rawOut, rawIn, ourOut, ourIn, rawLatency, ourLatency;
    std::string hexText;
    for (std::size_t i = 0; i + 1 < kMessageBytes; ++i) {
        hexText += "78";
    }
    hexText += "00";
    for (int r = 0; r < repetitions; ++r) {
        rawOut.push_back(RawOneWay(kRawMessages));
        rawIn.push_back(RawOneWay(kRawMessages)); // symmetric pipe: the same measure, the other end
        rawLatency.push_back(RawOneWayLatency());

        const unsigned long long before = Received(service);
        start = Now();
        // The client refuses posts beyond its queue bound: keep at most two windows in flight.
        unsigned long long received = before;
        for (int sent = 0; sent < kBridgeMessages;) {
            for (int i = 0; i < kWindow && sent < kBridgeMessages; ++i, ++sent) {
                sendText(text.c_str());
            }
            while ((received = Received(service)) + 2 * kWindow < before + sent + kWindow) {
            }
        }
        while (received < before + kBridgeMessages) {
            received = Received(service);
        }
        ourOut.push_back(kBridgeMessages / (Now() - start));

        const int textsBefore = g_texts;
        start = Now();
        service.SendLine("flood 0xF10005 " + std::to_string(kBridgeMessages) + " " + hexText);
        WaitUntil(g_texts, textsBefore + kBridgeMessages);
        ourIn.push_back(kBridgeMessages / (Now() - start));

        std::vector<double> trips;
        auto requestDevices = Export<PFN_VoidVoid>(module, "SendDeviceGetToFilesystem");
        for (int i = 0; i < kRoundTrips; ++i) {
            const int listsBefore = g_deviceLists;
            start = Now();
            requestDevices();
            WaitUntil(g_deviceLists, listsBefore + 1);
            trips.push_back(Now() - start);
        }
        ourLatency.push_back(Median(trips) / 2 * 1e6);
    }

    const Percentiles reading = TimeCalls([&] { sendText(text.c_str()); }, kPostSamples);
    service.SendLine("pause");
    service.WaitForLine("paused", 1, 5000);
    const std::size_t privateBefore = PrivateBytes();
    int accepted = 0;
    const Percentiles hung = TimeCalls([&] { sendText(text.c_str()); }, kPostSamples);
    for (int i = 0; i < 200000; ++i) {
        sendText(text.c_str());
    }
    const std::size_t privateAfter = PrivateBytes();
    (void)accepted;
    service.SendLine("resume");

    std::printf("IPC benchmark: %d repetitions, medians; under Wine on this machine\n", repetitions);
    std::printf("%-46s %14s %14s %-9s %9s  %s\n", "figure", "bridge", "raw baseline", "unit", "ratio", "target");
    Row("outbound, 96-byte texts through the export", Median(ourOut), Median(rawOut), "msg/s", ">= 10x");
    Row("inbound, 96-byte texts to the callback", Median(ourIn), Median(rawIn), "msg/s", ">= 10x");
    Row("one-way latency (half a round trip)", Median(ourLatency), Median(rawLatency), "us", "<= 1.5x");
    std::printf("%-46s %14.1f p99 %10.1f max us   (target p99 <= 100 us)\n", "posting export, service reading",
                reading.p99, reading.max);
    std::printf("%-46s %14.1f p99 %10.1f max us   (target p99 <= 100 us)\n", "posting export, service hung", hung.p99,
                hung.max);
    std::printf("%-46s %14.1f p99 %10.1f max us   (target p99 <= 100 us)\n", "posting export, service absent",
                absent.p99, absent.max);
    std::printf("%-46s %14.1f us                  (target <= 5000 us)\n", "first export call, service absent",
                firstCallUs);
    std::printf("%-46s %14.1f MiB after 220000 posts (queue bound 16 MiB / 16384 messages)\n",
                "private bytes growth, service hung",
                (static_cast<double>(privateAfter) - static_cast<double>(privateBefore)) / (1024.0 * 1024.0));
    FreeLibrary(module);
    service.Stop();
    return 0;
}
