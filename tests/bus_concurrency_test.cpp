// Commands of several ports at once, deliveries racing sends, and removal of a
// receive callback racing a stream of deliveries.
#include "support/bus_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace {

using bridge::Command;
using bridge::PortBehaviour;

// A bridge that notices when a command reaches it while an earlier answered
// command still waits for its answer: the one response slot would then be
// shared by two senders.
class SerialisationCheckingBridge : public bridge::BridgeModel {
public:
    host::UsbOutResult OnOutTransfer(uint8_t endpoint, const uint8_t* data, size_t length) override
    {
        if (length >= 8 && data[3] >= 2 && data[3] < 8) {
            if (Outstanding.exchange(true)) {
                Overlaps++;
            }
        }
        return BridgeModel::OnOutTransfer(endpoint, data, length);
    }
    void Connect(host::UsbHostLink* link) override
    {
        Link.Inner = link;
        BridgeModel::Connect(link != nullptr ? &Link : nullptr);
    }

    std::atomic<bool> Outstanding{false};
    std::atomic<int> Overlaps{0};

private:
    struct AnswerWatch final : host::UsbHostLink {
        SerialisationCheckingBridge* Owner;
        host::UsbHostLink* Inner = nullptr;
        explicit AnswerWatch(SerialisationCheckingBridge* owner) : Owner(owner) {}
        void SendIn(uint8_t endpoint, const uint8_t* data, size_t length) override
        {
            if (length >= 8 && (data[4] == 0x80 || data[4] == 0xFF)) {
                Owner->Outstanding = false;
            }
            Inner->SendIn(endpoint, data, length);
        }
        void FailIn(uint8_t endpoint, int32_t status) override { Inner->FailIn(endpoint, status); }
    } Link{this};
};

TEST(BusConcurrency, EightPortsAreSerialisedAndEachGetsItsOwnAnswer)
{
    SerialisationCheckingBridge model;
    for (uint8_t port = 2; port < 8; ++port) {
        PortBehaviour behaviour = PortBehaviour::Accept({static_cast<uint16_t>(port + 10)});
        behaviour.LateBy = 20'000;  // 2 ms of kernel time: the sender really waits
        model.SetPortBehaviour(port, Command::Any, behaviour);
    }
    test::BusHarness harness(model);
    std::vector<std::future<int>> senders;
    for (UCHAR port = 0; port < 8; ++port) {
        senders.push_back(std::async(std::launch::async, [&, port] {
            int mismatches = 0;
            const std::vector<uint8_t> data(40, port);
            for (int i = 0; i < 20; ++i) {
                ULONG accepted = 0;
                const NTSTATUS status = BusPortWrite(harness.Port(port), data.data(), 40, &accepted);
                const ULONG expected = port < 2 ? 40u : port + 10u;
                mismatches += (status != STATUS_SUCCESS || accepted != expected) ? 1 : 0;
            }
            return mismatches;
        }));
    }
    for (auto& sender : senders) {
        EXPECT_EQ(sender.get(), 0);
    }
    EXPECT_EQ(model.Overlaps.load(), 0);
}

TEST(BusConcurrency, SenderWaitsOutAnotherPortsTimeOutThenGetsItsAnswer)
{
    bridge::BridgeModel model;
    model.SetPortBehaviour(3, Command::Any, PortBehaviour::Silent());
    test::BusHarness harness(model);
    ULONG silentAccepted = 0;
    auto silent = std::async(std::launch::async,
                             [&] { return BusPortWrite(harness.Port(3), "abc", 3, &silentAccepted); });
    ASSERT_TRUE(model.WaitForOutTransfers(1, std::chrono::seconds(10)));
    ULONG accepted = 0;
    EXPECT_EQ(BusPortWrite(harness.Port(4), "defg", 4, &accepted), STATUS_SUCCESS);
    EXPECT_EQ(accepted, 4u);
    EXPECT_EQ(silent.get(), STATUS_IO_TIMEOUT);
    // Port 3's frame went out first; port 4's command, held behind it, still got its own answer.
    const auto frames = model.OutFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].Port, 3);
    EXPECT_EQ(frames[1].Port, 4);
}

// Every port writes while the bridge loops each write back: what each port
// receives is exactly what it sent, in order, while commands keep flowing.
TEST(BusConcurrency, LoopedBackDataArrivesWhileCommandsFlow)
{
    bridge::BridgeModel model;
    test::BusHarness harness(model);
    test::ReceiveRecorder::Clear();
    int contexts[8];
    for (UCHAR port = 0; port < 8; ++port) {
        BusPortRegisterReceiveCallback(harness.Port(port), test::ReceiveRecorder::Receive, &contexts[port]);
    }
    std::vector<std::vector<uint8_t>> sent(8);
    std::vector<std::thread> writers;
    for (UCHAR port = 0; port < 8; ++port) {
        writers.emplace_back([&, port] {
            for (int i = 0; i < 30; ++i) {
                std::vector<uint8_t> chunk(1 + (i * 7 + port) % 56);
                for (size_t j = 0; j < chunk.size(); ++j) {
                    chunk[j] = static_cast<uint8_t>(port * 31 + i + j);
                }
                ULONG accepted = 0;
                ASSERT_EQ(BusPortWrite(harness.Port(port), chunk.data(), static_cast<ULONG>(chunk.size()), &accepted),
                          STATUS_SUCCESS);
                sent[port].insert(sent[port].end(), chunk.begin(), chunk.end());
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    harness.DrainIn();
    std::vector<std::vector<uint8_t>> received(8);
    for (const auto& delivery : test::ReceiveRecorder::Take()) {
        const auto port = static_cast<int*>(delivery.Context) - contexts;
        received[port].insert(received[port].end(), delivery.Bytes.begin(), delivery.Bytes.end());
    }
    for (UCHAR port = 0; port < 8; ++port) {
        EXPECT_EQ(received[port], sent[port]) << "port " << int(port);
        BusPortRegisterReceiveCallback(harness.Port(port), nullptr, nullptr);
    }
}

// A receiver whose context is torn down the moment its removal returns, as a
// port driver's context goes with its device: no delivery may still be inside
// it, or enter it afterwards.
struct TornDownReceiver {
    std::atomic<int> Inside{0};
    std::atomic<bool> Gone{false};
    std::atomic<int> DeliveriesAfterRemoval{0};
    std::atomic<int> Deliveries{0};

    static VOID Receive(PVOID context, const UCHAR*, ULONG)
    {
        auto* self = static_cast<TornDownReceiver*>(context);
        self->Inside++;
        if (self->Gone) {
            self->DeliveriesAfterRemoval++;
        }
        for (volatile int spin = 0; spin < 20000; ++spin) {
        }
        if (self->Gone) {
            self->DeliveriesAfterRemoval++;
        }
        self->Deliveries++;
        self->Inside--;
    }
};

// The bus keeps one read in flight: deliveries come from the reader one at a
// time, each racing the removal on the test's thread.
TEST(BusConcurrency, NoDeliveryReachesACallbackAfterItsRemovalReturns)
{
    bridge::BridgeModel model;
    test::BusHarness harness(model);
    std::atomic<bool> streaming{true};
    std::thread feeder([&] {
        // Bursts keep deliveries back to back without an unbounded backlog.
        while (streaming) {
            for (int i = 0; i < 32; ++i) {
                model.SendData(6, {1, 2, 3, 4});
            }
            harness.DrainIn();
        }
    });
    int delivered = 0;
    int violations = 0;
    for (int round = 0; round < 200; ++round) {
        TornDownReceiver receiver;
        BusPortRegisterReceiveCallback(harness.Port(6), TornDownReceiver::Receive, &receiver);
        while (receiver.Deliveries < 2) {
            std::this_thread::yield();
        }
        BusPortRegisterReceiveCallback(harness.Port(6), nullptr, nullptr);
        violations += receiver.Inside.load();
        receiver.Gone = true;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        violations += receiver.DeliveriesAfterRemoval.load();
        delivered += receiver.Deliveries.load();
    }
    streaming = false;
    feeder.join();
    EXPECT_EQ(violations, 0);
    EXPECT_GT(delivered, 0);
}

} // namespace
