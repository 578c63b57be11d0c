// The Pipelink client against the stand-in service killed and restarted while both
// sides stream.
#include "IPCMessageClient.h"
#include "IpcTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

namespace {

constexpr int kModule = 0xF00000;
constexpr int kOutboundId = 0x55;
constexpr int kInboundId = 0x77;
constexpr int kFloodPerRun = 400;

// Posts numbered messages (auxValue) until stopped, at the pace of a busy interface (the
// record file stays small); keeps the numbers that were accepted.
class Poster {
public:
    explicit Poster(const IPCMessageClient& client)
        : thread_([this, &client] {
              static const char kText[] = "restart storm";
              TagIPCMessageItem item;
              item.destModuleId = 0xF10000;
              item.messageId = kOutboundId;
              item.message = kText;
              item.messageLength = sizeof(kText);
              for (item.auxValue = 0; running_; ++item.auxValue) {
                  if (client.PostIPCMessage(item)) {
                      accepted_.push_back(item.auxValue);
                  }
                  if (item.auxValue % 8 == 0) {
                      Sleep(1);
                  }
              }
          })
    {
    }
    ~Poster() { Stop(); }
    std::vector<int> Stop()
    {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
        return accepted_;
    }

private:
    std::atomic<bool> running_{true};
    std::vector<int> accepted_;
    std::thread thread_;
};

} // namespace

// Every kill drops the service's unacknowledged frames, its queued outbound frames and
// possibly an acknowledgement for frames it has recorded already; the client's resend
// must neither lose nor repeat any of them.
TEST(RestartStorm, AcceptedMessagesArriveExactlyOnceInOrderAcrossHundredKills)
{
    constexpr int kKills = 100;
    ipctest::Service service;
    IPCMessageClient client(kModule, true, true, L"\\\\.\\pipe\\unused");
    std::atomic<long long> inbound{0};
    std::atomic<long long> damaged{0};
    client.RegisterMessageCallback(kInboundId, [&](TagIPCMessageItem& item) {
        ++(item.messageLength == 1 && item.message[0] == '\x2a' ? inbound : damaged);
    });
    Poster poster(client);
    std::mt19937 random(7);
    int connections = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        ASSERT_TRUE(service.Start()) << kill;
        // Killed at times spread over the client's connect back-off and its streaming.
        if (random() % 4 != 0 && service.WaitForLine(ipctest::kBridgeConnected, 1, 5000)) {
            ++connections;
            service.Send("flood " + std::to_string(kInboundId) + " " + std::to_string(kFloodPerRun) + " 2a");
            Sleep(random() % 40);
        } else {
            Sleep(random() % 20);
        }
        service.Kill();
    }
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.WaitForLine(ipctest::kBridgeConnected));
    const std::vector<int> accepted = poster.Stop();

    const auto records = ipctest::WaitForRecords(service.RecordPath(), accepted.size(), 30000);
    std::vector<int> arrived;
    for (const auto& record : records) {
        arrived.push_back(std::stoi(record.at("auxValue")));
    }
    ASSERT_EQ(arrived.size(), accepted.size());
    EXPECT_TRUE(arrived == accepted) << "each accepted message once, in posting order";
    EXPECT_GT(connections, kKills / 2);
    EXPECT_GT(accepted.size(), 1000u);
    EXPECT_GT(inbound.load(), 0);
    EXPECT_EQ(damaged.load(), 0);
    EXPECT_LE(inbound.load(), static_cast<long long>(connections) * kFloodPerRun);
    std::printf("[ storm ] %d kills, %d while connected, %zu messages accepted, %lld inbound delivered\n", kKills,
                connections, accepted.size(), inbound.load());
}
