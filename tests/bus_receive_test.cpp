// What every kind of received transfer reaches: nothing, a waiting sender, a
// port's receive callback, or the one-time enumeration.
#include "support/bus_harness.h"

#include "host/verifier/fault_injection.h"

#include <gtest/gtest.h>

#include <future>

namespace {

using Bytes = std::vector<uint8_t>;
namespace wire = bridge::wire;

Bytes Header(uint8_t port, uint8_t type, uint16_t length, uint8_t magic0 = 0x4F, uint8_t magic1 = 0x42,
             uint8_t version = 1, uint8_t reserved = 0)
{
    return {magic0, magic1, version, port, type, reserved, static_cast<uint8_t>(length & 0xFF),
            static_cast<uint8_t>(length >> 8)};
}

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Filled(size_t count, uint8_t first)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

class BusReceiveTest : public testing::Test {
protected:
    void SetUp() override
    {
        test::ReceiveRecorder::Clear();
        BusPortRegisterReceiveCallback(Harness.Port(4), test::ReceiveRecorder::Receive, &PortFourContext);
    }
    void TearDown() override { BusPortRegisterReceiveCallback(Harness.Port(4), nullptr, nullptr); }

    std::vector<test::ReceiveRecorder::Delivery> Deliver(const Bytes& transfer)
    {
        Model.InjectIn(transfer);
        Harness.DrainIn();
        return test::ReceiveRecorder::Take();
    }

    int PortFourContext = 0;
    bridge::BridgeModel Model;
    test::BusHarness Harness{Model};
};

struct DataCase {
    const char* Name;
    Bytes Transfer;
    Bytes Delivered;  // empty: dropped
};

TEST_F(BusReceiveTest, DataFramesAreDeliveredOnlyWhenEveryRuleHolds)
{
    const Bytes five = {1, 2, 3, 4, 5};
    const DataCase cases[] = {
        {"valid frame", Concat(Header(4, 0x01, 5), five), five},
        {"full 56-byte payload", Concat(Header(4, 0x01, 56), Filled(56, 0x10)), Filled(56, 0x10)},
        {"reserved byte not examined", Concat(Header(4, 0x01, 5, 0x4F, 0x42, 1, 0xEE), five), five},
        {"empty transfer", {}, {}},
        {"seven bytes", Bytes{0x4F, 0x42, 0x01, 0x04, 0x01, 0x00, 0x00}, {}},
        {"header only: valid but nothing to deliver", Header(4, 0x01, 0), {}},
        {"magic bytes swapped", Concat(Header(4, 0x01, 5, 0x42, 0x4F), five), {}},
        {"version 2", Concat(Header(4, 0x01, 5, 0x4F, 0x42, 2), five), {}},
        {"length 57 in a full transfer", Concat(Header(4, 0x01, 57), Filled(56, 0)), {}},
        {"trailing byte", Concat(Concat(Header(4, 0x01, 5), five), {0}), {}},
        {"transfer shorter than its length", Concat(Header(4, 0x01, 6), five), {}},
        {"two frames in one transfer",
         Concat(Concat(Header(4, 0x01, 12), Filled(12, 0)), Concat(Header(4, 0x01, 12), Filled(12, 0))), {}},
        {"port 8", Concat(Header(8, 0x01, 5), five), {}},
        {"device port", Concat(Header(0xFF, 0x01, 5), five), {}},
        {"set-config type from the device", Concat(Header(4, 0x02, 8), Filled(8, 0)), {}},
        {"control type from the device", Concat(Header(4, 0x03, 2), Bytes{1, 1}), {}},
        {"unknown type", Concat(Header(4, 0x55, 5), five), {}},
        {"port without a callback", Concat(Header(5, 0x01, 5), five), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto deliveries = Deliver(c.Transfer);
        if (c.Delivered.empty()) {
            EXPECT_TRUE(deliveries.empty());
        } else {
            ASSERT_EQ(deliveries.size(), 1u);
            EXPECT_EQ(deliveries[0].Context, &PortFourContext);
            EXPECT_EQ(deliveries[0].Bytes, c.Delivered);
        }
    }
}

TEST_F(BusReceiveTest, RemovedCallbackReceivesNothing)
{
    BusPortRegisterReceiveCallback(Harness.Port(4), nullptr, nullptr);
    EXPECT_TRUE(Deliver(wire::Data(4, {9, 9})).empty());
}

TEST_F(BusReceiveTest, ReaderFailureRestartsTheReaderAndLosesNothingAfter)
{
    Model.FailNextIn(STATUS_UNSUCCESSFUL);
    Harness.DrainIn();
    const auto deliveries = Deliver(wire::Data(4, {7}));
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].Bytes, Bytes{7});
}

struct AnnounceCase {
    const char* Name;
    Bytes Transfer;
    bool Queues;
};

TEST(BusAnnounce, OnlyAValidAnnounceQueuesTheEnumeration)
{
    const Bytes payload = Concat({1, 8}, Bytes(10, 0));
    const AnnounceCase cases[] = {
        {"twelve-byte payload, bytes 2 to 11 zero", Concat(Header(0xFF, 0x7E, 12), payload), true},
        {"longer payload", Concat(Header(0xFF, 0x7E, 20), Concat(payload, Bytes(8, 0xAA))), true},
        {"port other than the device", Concat(Header(0, 0x7E, 12), payload), false},
        {"eleven-byte payload", Concat(Header(0xFF, 0x7E, 11), Bytes(payload.begin(), payload.end() - 1)), false},
        {"port count other than 8", Concat(Header(0xFF, 0x7E, 12), Concat({1, 7}, Bytes(10, 0))), false},
        {"first byte other than 1", Concat(Header(0xFF, 0x7E, 12), Concat({2, 8}, Bytes(10, 0))), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        bridge::BridgeModel model;
        model.SetHelloBehaviour(bridge::HelloBehaviour::Silent());
        test::BusHarness harness(model);
        model.InjectIn(c.Transfer);
        harness.Settle();
        EXPECT_EQ(harness.Rig().Children().size(), c.Queues ? 8u : 0u);
    }
}

// The first run of the enumeration fails at its first call and leaves the bus
// without children, ready to try again: any further run would create them.
TEST(BusAnnounce, RepeatedAnnouncesQueueTheEnumerationOnce)
{
    bridge::BridgeModel model;
    model.SetHelloBehaviour(bridge::HelloBehaviour::Silent());
    test::BusHarness harness(model);
    host::ClearInjectedFailures();
    host::FailCall("WdfPdoInitAllocate");
    for (int i = 0; i < 3; ++i) {
        model.SendAnnounce();
        harness.Settle();
    }
    EXPECT_EQ(host::CallCount("WdfPdoInitAllocate"), 1) << "runs of the enumeration";
    EXPECT_TRUE(harness.Rig().Children().empty());
    host::ClearInjectedFailures();
}

// A data command of ten bytes waits on port 2 (the bridge stays silent) while
// the test sends one response; the command's outcome shows what it matched.
struct ResponseCase {
    const char* Name;
    Bytes Response;
    NTSTATUS Status;
    ULONG Accepted;
};

TEST(BusResponses, ResponsesReleaseOnlyTheSenderTheyMatch)
{
    const ResponseCase cases[] = {
        {"ACK status 0", wire::Ack(2, 0x01, 0, 10), STATUS_SUCCESS, 10},
        {"ACK status 2", wire::Ack(2, 0x01, 2, 10), STATUS_SUCCESS, 10},
        {"ACK with a partial count", wire::Ack(2, 0x01, 0, 4), STATUS_SUCCESS, 4},
        {"ACK with bytes beyond the value", Concat(Header(2, 0x80, 6), Bytes{0x01, 0, 10, 0, 0xEE, 0xEE}),
         STATUS_SUCCESS, 10},
        {"ACK with a failing status", wire::Ack(2, 0x01, 1, 10), STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"ACK above the length sent", wire::Ack(2, 0x01, 0, 11), STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"NAK, whatever its second byte", Concat(Header(2, 0xFF, 2), Bytes{0x01, 0x05}), STATUS_DEVICE_PROTOCOL_ERROR,
         0},
        {"ACK for another port", wire::Ack(3, 0x01, 0, 10), STATUS_IO_TIMEOUT, 0},
        {"ACK echoing another command", wire::Ack(2, 0x03, 0, 10), STATUS_IO_TIMEOUT, 0},
        {"ACK for the device port", wire::Ack(0xFF, 0x01, 0, 10), STATUS_IO_TIMEOUT, 0},
        {"ACK with three payload bytes", Concat(Header(2, 0x80, 3), Bytes{0x01, 0, 10}), STATUS_IO_TIMEOUT, 0},
        {"NAK with one payload byte", Concat(Header(2, 0xFF, 1), Bytes{0x01}), STATUS_IO_TIMEOUT, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        bridge::BridgeModel model;
        model.SetPortBehaviour(2, bridge::Command::Any, bridge::PortBehaviour::Silent());
        test::BusHarness harness(model);
        const Bytes data(10, 0x5A);
        ULONG accepted = 77;
        auto sender = std::async(std::launch::async,
                                 [&] { return BusPortWrite(harness.Port(2), data.data(), 10, &accepted); });
        ASSERT_TRUE(model.WaitForOutTransfers(1, std::chrono::seconds(10)));
        model.InjectIn(c.Response);
        EXPECT_EQ(sender.get(), c.Status);
        EXPECT_EQ(accepted, c.Accepted);
    }
}

TEST(BusResponses, AnswerForAnUnansweredPortIsDiscarded)
{
    bridge::BridgeModel model;
    model.SetPortBehaviour(0, bridge::Command::Any, bridge::PortBehaviour::Refuse());
    test::BusHarness harness(model);
    ULONG accepted = 0;
    EXPECT_EQ(BusPortWrite(harness.Port(0), "abc", 3, &accepted), STATUS_SUCCESS);
    EXPECT_EQ(accepted, 3u);
    harness.DrainIn();
    EXPECT_EQ(InterlockedCompareExchange(&harness.Bus()->ResponsePending, 1, 1), 0);
}

} // namespace
