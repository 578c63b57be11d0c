// Throughput, latency and caller-side cost of the bridge's IPC, each beside the same
// figure for a raw client that does one WriteFile per 96-byte message on a byte-mode pipe.
//   ipc_benchmark [repetitions]   (default 3; medians are printed)
// Progress goes to standard error, the table to standard output.
#include "FerrydockUITrans.h"
#include "IPCMessageClient.h"
#include "PipelinkWire.h"
#include "ServiceProcess.h"
#include "ferrydock/Resource.h"
#include "ipc/IPCHelper.h"
#include "ipc/MessageRecord.h"
#include "support/ProcessUsage.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using FerrydockIpc::UniqueFileHandle;

namespace {

constexpr std::size_t kMessageBytes = 96;
constexpr int kRawMessages = 20000;
constexpr int kBridgeMessages = 200000;
constexpr int kLatencySamples = 200;
constexpr int kPostSamples = 20000;
constexpr int kHungPosts = 200000;
constexpr int kWindow = 6000;
// A 96-byte text in its frame.
constexpr std::size_t kTextFrameBytes = pipelink::kHeaderBytes + kMessageBytes;

double Now()
{
    static const LARGE_INTEGER frequency = [] {
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
    return values.empty() ? 0.0 : values[values.size() / 2];
}

void Progress(const char* phase)
{
    std::fprintf(stderr, "ipc_benchmark: %s\n", phase);
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

bool WriteAll(HANDLE pipe, const char* data, DWORD size)
{
    DWORD written = 0;
    return WriteFile(pipe, data, size, &written, nullptr) && written == size;
}

UniqueFileHandle CreateServerEnd(const std::wstring& name)
{
    return UniqueFileHandle(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 1,
                                             65536, 65536, 0, nullptr));
}

// ---- the raw baseline: one WriteFile and one ReadFile per 96-byte message ----

struct RawPair {
    UniqueFileHandle server;
    UniqueFileHandle client;
};

RawPair ConnectRaw(const std::wstring& name)
{
    RawPair pair;
    pair.server = CreateServerEnd(name);
    pair.client.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ConnectNamedPipe(pair.server.get(), nullptr);
    return pair;
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
    const char message[kMessageBytes] = {'m'};
    for (int i = 0; i < messages; ++i) {
        WriteAll(pair.client.get(), message, kMessageBytes);
    }
    reader.join();
    return messages / (Now() - start);
}

// One message at a time, the receiver idle in its wait when it is written: from
// just before the write to the receiver holding the bytes, in microseconds.
template <typename Write, typename Arrivals>
std::vector<double> OneWayLatencies(Write write, const std::atomic<int>& arrivals, Arrivals& arrivedAt)
{
    std::vector<double> samples;
    for (int i = 0; i < kLatencySamples; ++i) {
        Sleep(2);
        const int before = arrivals;
        const double start = Now();
        if (!write()) {
            break;
        }
        while (arrivals == before) {
            Sleep(0);
        }
        samples.push_back((arrivedAt.load() - start) * 1e6);
    }
    return samples;
}

std::vector<double> RawLatencies()
{
    RawPair pair = ConnectRaw(PipeName(L"latency-raw"));
    std::atomic<int> arrivals{0};
    std::atomic<double> arrivedAt{0.0};
    std::thread reader([&] {
        char buffer[kMessageBytes];
        while (ReadExactly(pair.server.get(), buffer, kMessageBytes)) {
            arrivedAt = Now();
            ++arrivals;
        }
    });
    const char message[kMessageBytes] = {'l'};
    auto samples = OneWayLatencies([&] { return WriteAll(pair.client.get(), message, kMessageBytes); }, arrivals,
                                   arrivedAt);
    pair.client.reset();
    reader.join();
    return samples;
}

// ---- the bridge ----

template <typename Fn>
Fn Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class Bridge {
public:
    explicit Bridge(const std::wstring& pipe)
    {
        SetEnvironmentVariableW(L"FERRYDOCK_PIPE_NAME", pipe.c_str());
        module_ = LoadLibraryW(L"FerrydockUITrans.dll");
    }
    ~Bridge()
    {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    bool Loaded() const { return module_ != nullptr; }
    template <typename Fn>
    Fn Get(const char* name) const
    {
        return Export<Fn>(module_, name);
    }
    void SendText(const std::wstring& text) const { Get<PFN_VoidText>("SendFileInfoAllToFilesystem")(text.c_str()); }

private:
    HMODULE module_ = nullptr;
};

std::atomic<int> g_texts{0};
std::atomic<double> g_lastTextAt{0.0};
void FERRYDOCK_CALL CountText(const wchar_t*)
{
    g_lastTextAt = Now();
    ++g_texts;
}

bool WaitUntil(const std::atomic<int>& counter, int target, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (counter < target) {
        if (GetTickCount64() > deadline) {
            return false;
        }
        Sleep(0);
    }
    return true;
}

// The benchmark is the service here: it writes each frame itself, so the figure
// runs from the service's write to the interface's callback.
std::vector<double> BridgeLatencies()
{
    const std::wstring pipe = PipeName(L"latency-bridge");
    UniqueFileHandle server = CreateServerEnd(pipe);
    Bridge bridge(pipe);
    bridge.Get<PFN_RegisterTextCallback>("RegisterWndShowSendFilesCallback")(CountText);
    bridge.Get<PFN_BoolVoid>("InitIPCModule")();
    if (!ConnectNamedPipe(server.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        return {};
    }
    std::vector<char> hello(pipelink::kHeaderBytes);
    if (!ReadExactly(server.get(), hello.data(), static_cast<DWORD>(hello.size()))) {
        return {};
    }
    pipelink::FrameFields fields;
    fields.srcModule = FerrydockIpc::ModuleId::Transfer;
    fields.destModuleId = FerrydockIpc::kBridgeModuleId;
    fields.messageId = FerrydockIpc::MessageId::SendFiles;
    fields.auxId1 = fields.auxId2 = fields.auxId3 = -1;
    fields.hasMessage = true;
    std::string text(kMessageBytes - 1, 'x');
    std::vector<char> frame;
    pipelink::AppendFrame(frame, fields, nullptr, 0, text.c_str(), text.size() + 1);
    return OneWayLatencies([&] { return WriteAll(server.get(), frame.data(), static_cast<DWORD>(frame.size())); },
                           g_texts, g_lastTextAt);
}

unsigned long long Received(service::ServiceProcess& service)
{
    std::string count;
    return service.Ask("stats", "received ", count, 10000) ? std::stoull(count) : 0;
}

// The service's count once it has stopped rising for half a second.
unsigned long long Settled(service::ServiceProcess& service)
{
    unsigned long long last = Received(service);
    for (;;) {
        Sleep(500);
        const unsigned long long now = Received(service);
        if (now == last) {
            return now;
        }
        last = now;
    }
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

// Posts count texts as fast as the client accepts them (it refuses posts beyond its
// queue bound: at most two windows are kept in flight); messages per second until
// the service has received them all.
double Outbound(const Bridge& bridge, service::ServiceProcess& service, const std::wstring& text, int count)
{
    const unsigned long long before = Received(service);
    const double start = Now();
    unsigned long long received = before;
    for (int sent = 0; sent < count;) {
        for (int i = 0; i < kWindow && sent < count; ++i, ++sent) {
            bridge.SendText(text);
        }
        while ((received = Received(service)) + kWindow < before + sent) {
        }
    }
    while (received < before + count) {
        received = Received(service);
    }
    return count / (Now() - start);
}

// The service floods count texts; messages per second until the callback saw them all.
double Inbound(service::ServiceProcess& service, const std::string& hexText, int count)
{
    const int before = g_texts;
    const double start = Now();
    service.SendLine("flood 0xF10005 " + std::to_string(count) + " " + hexText);
    if (!WaitUntil(g_texts, before + count, 60000)) {
        return 0.0;
    }
    return count / (Now() - start);
}

void Row(const char* figure, double ours, double baseline, const char* unit, const char* target)
{
    std::printf("%-46s %14.1f %14.1f %-9s %8.2fx  %s\n", figure, ours, baseline, unit,
                baseline > 0 ? ours / baseline : 0.0, target);
}

void PostingRow(const char* figure, const Percentiles& percentiles)
{
    std::printf("%-46s %14.1f p99 %10.1f max us   (target p99 <= 100 us)\n", figure, percentiles.p99,
                percentiles.max);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int repetitions = argc > 1 ? std::max(1, _wtoi(argv[1])) : 3;
    const std::wstring text(kMessageBytes - 1, L'x'); // 95 characters: 96 bytes with the terminator
    std::string hexText;
    for (std::size_t i = 0; i + 1 < kMessageBytes; ++i) {
        hexText += "78";
    }
    hexText += "00";

    Progress("first call and posting with the service absent");
    double firstCallUs = 0;
    Percentiles absent{};
    {
        Bridge bridge(PipeName(L"absent"));
        if (!bridge.Loaded()) {
            std::printf("cannot load FerrydockUITrans.dll\n");
            return 1;
        }
        const double start = Now();
        bridge.SendText(text);
        firstCallUs = (Now() - start) * 1e6;
        absent = TimeCalls([&] { bridge.SendText(text); }, kPostSamples);
    }

    std::vector<double> rawOut, rawIn, ourOut, ourIn, rawLatency, ourLatency;
    for (int r = 0; r < repetitions; ++r) {
        Progress("raw baseline");
        rawOut.push_back(RawOneWay(kRawMessages));
        rawIn.push_back(RawOneWay(kRawMessages)); // symmetric pipe: the same measure, the other end
        Progress("one-way latency, raw and through the bridge");
        const auto raw = RawLatencies();
        const auto ours = BridgeLatencies();
        rawLatency.insert(rawLatency.end(), raw.begin(), raw.end());
        ourLatency.insert(ourLatency.end(), ours.begin(), ours.end());
    }

    Progress("starting the stand-in service");
    const std::wstring pipe = PipeName(L"service");
    service::ServiceProcess service;
    if (!service.Start(Beside(L"ferrydock-service.exe"), L"--pipe \"" + pipe + L"\"")) {
        std::printf("the stand-in service did not start\n");
        return 1;
    }
    Bridge bridge(pipe);
    bridge.Get<PFN_RegisterTextCallback>("RegisterWndShowSendFilesCallback")(CountText);
    bridge.Get<PFN_BoolVoid>("InitIPCModule")();
    if (!service.WaitForLine("connected 15728640", 1, 10000)) {
        std::printf("the bridge did not connect to the service\n");
        return 1;
    }
    for (int r = 0; r < repetitions; ++r) {
        Progress("outbound throughput");
        ourOut.push_back(Outbound(bridge, service, text, kBridgeMessages));
        Progress("inbound throughput");
        ourIn.push_back(Inbound(service, hexText, kBridgeMessages));
    }

    Progress("posting while the service reads, then while it is hung");
    const Percentiles reading = TimeCalls([&] { bridge.SendText(text); }, kPostSamples);
    const unsigned long long beforeHung = Settled(service);
    service.SendLine("pause");
    service.WaitForLine("paused", 1, 5000);
    const SIZE_T privateBefore = testsupport::CommittedPrivateBytes();
    const Percentiles hung = TimeCalls([&] { bridge.SendText(text); }, kPostSamples);
    for (int i = 0; i < kHungPosts; ++i) {
        bridge.SendText(text);
    }
    const SIZE_T privateAfter = testsupport::CommittedPrivateBytes();
    service.SendLine("resume");
    const unsigned long long acceptedWhileHung = Settled(service) - beforeHung;

    std::printf("IPC benchmark: %d repetitions, medians; under Wine on this machine\n", repetitions);
    std::printf("%-46s %14s %14s %-9s %9s  %s\n", "figure", "bridge", "raw baseline", "unit", "ratio", "target");
    Row("outbound, 96-byte texts through the export", Median(ourOut), Median(rawOut), "msg/s", ">= 10x");
    Row("inbound, 96-byte texts to the callback", Median(ourIn), Median(rawIn), "msg/s", ">= 10x");
    Row("one-way latency, write to callback / reader", Median(ourLatency), Median(rawLatency), "us", "<= 1.5x");
    PostingRow("posting export, service reading", reading);
    PostingRow("posting export, service hung", hung);
    PostingRow("posting export, service absent", absent);
    std::printf("%-46s %14.1f us                  (target <= 5000 us)\n", "first export call, service absent",
                firstCallUs);
    std::printf("%-46s %14.1f MiB after %d posts (queue bound 16 MiB)\n", "committed private growth, service hung",
                (static_cast<double>(privateAfter) - static_cast<double>(privateBefore)) / (1024.0 * 1024.0),
                kPostSamples + kHungPosts);
    std::printf("%-46s %14llu of %d, all received after resume\n", "posts accepted while the service was hung",
                acceptedWhileHung, kPostSamples + kHungPosts);
    std::printf("%-46s %14zu frames of %zu bytes (a read in flight at the pause takes a few more)\n",
                "queue bound", kPipelinkMaxQueuedBytes / kTextFrameBytes, kTextFrameBytes);
    std::fflush(stdout);
    service.Stop();
    return 0;
}
