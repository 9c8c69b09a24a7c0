// The command channel's outcomes, through the three sending operations of the
// port interface, against a bridge told how to answer.
#include "support/bus_harness.h"

#include "host/verifier/verifier.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using bridge::Command;
using bridge::PortBehaviour;
using Bytes = std::vector<uint8_t>;

struct WriteCase {
    const char* Name;
    UCHAR Port;
    std::function<void(bridge::BridgeModel&)> Arrange;
    NTSTATUS Status;
    ULONG Accepted;
};

// Ten bytes written through the interface's Write, whatever the bridge does.
TEST(BusCommandChannel, WriteOutcomes)
{
    const auto none = [](bridge::BridgeModel&) {};
    const auto behave = [](UCHAR port, PortBehaviour behaviour) {
        return [port, behaviour](bridge::BridgeModel& model) { model.SetPortBehaviour(port, Command::Any, behaviour); };
    };
    PortBehaviour wrongCommand;
    wrongCommand.EchoCommand = 0x03;
    PortBehaviour wrongPort;
    wrongPort.AnswerPort = 4;
    PortBehaviour overclaim;
    overclaim.ClaimMoreThanSent = true;

    const WriteCase cases[] = {
        {"unanswered port 0: written is accepted", 0, none, STATUS_SUCCESS, 10},
        {"unanswered port 1, a NAK sent anyway is discarded", 1, behave(1, PortBehaviour::Refuse()), STATUS_SUCCESS,
         10},
        {"ACK in full", 3, none, STATUS_SUCCESS, 10},
        {"ACK with status 2", 3, behave(3, PortBehaviour::WithStatus(2)), STATUS_SUCCESS, 10},
        {"ACK for part", 3, behave(3, PortBehaviour::Accept({4})), STATUS_SUCCESS, 4},
        {"ACK for none: busy", 3, behave(3, PortBehaviour::AcceptNone()), STATUS_DEVICE_BUSY, 0},
        {"ACK above the length", 3, behave(3, overclaim), STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"ACK with a failing status", 3, behave(3, PortBehaviour::WithStatus(1)), STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"NAK", 3, behave(3, PortBehaviour::Refuse(7)), STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"no answer", 3, behave(3, PortBehaviour::Silent()), STATUS_IO_TIMEOUT, 0},
        {"answer for another port", 3, behave(3, wrongPort), STATUS_IO_TIMEOUT, 0},
        {"answer echoing another command", 3, behave(3, wrongCommand), STATUS_IO_TIMEOUT, 0},
        {"failed USB write",
         3,
         [](bridge::BridgeModel& model) {
             model.SetOutWriteFault(bridge::OutScope::Commands, bridge::OutWriteFault::Fail(STATUS_UNSUCCESSFUL));
         },
         STATUS_UNSUCCESSFUL, 0},
        {"OUT transfer never taken: the write's own time-out",
         5,
         [](bridge::BridgeModel& model) {
             model.SetOutWriteFault(bridge::OutScope::Commands, bridge::OutWriteFault::Hang());
         },
         STATUS_IO_TIMEOUT, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        bridge::BridgeModel model;
        c.Arrange(model);
        test::BusHarness harness(model);
        ULONG accepted = 12345;
        {
            host::IoPathScope noAllocation;
            EXPECT_EQ(BusPortWrite(harness.Port(c.Port), "0123456789", 10, &accepted), c.Status);
        }
        EXPECT_EQ(accepted, c.Accepted);
        EXPECT_EQ(model.OutTransferCount(), 1u);
        // Every path leaves the slot idle and the command lock free.
        EXPECT_EQ(InterlockedCompareExchange(&harness.Bus()->ResponsePending, 0, 0), 0);
        model.ResetBehaviour();
        EXPECT_EQ(BusPortWrite(harness.Port(6), "x", 1, &accepted), STATUS_SUCCESS);
        EXPECT_EQ(accepted, 1u);
    }
}

TEST(BusCommandChannel, InvalidPayloadsSendNothing)
{
    bridge::BridgeModel model;
    test::BusHarness harness(model);
    const Bytes big(57, 0);
    USHORT accepted = 5;
    EXPECT_EQ(BusSendCommand(harness.Port(3), FRAME_TYPE_DATA, big.data(), 57, &accepted), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(accepted, 0);
    accepted = 5;
    EXPECT_EQ(BusSendCommand(harness.Port(3), FRAME_TYPE_DATA, nullptr, 1, &accepted), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(accepted, 0);
    ULONG written = 5;
    EXPECT_EQ(BusPortWrite(harness.Port(0), big.data(), 57, &written), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(BusPortSetConfig(harness.Port(2), nullptr), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(model.OutTransferCount(), 0u);
}

TEST(BusCommandChannel, AcceptedCountIsOptional)
{
    bridge::BridgeModel model;
    test::BusHarness harness(model);
    EXPECT_EQ(BusSendCommand(harness.Port(7), FRAME_TYPE_DATA, "ab", 2, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(BusSendCommand(harness.Port(1), FRAME_TYPE_DATA, "ab", 2, nullptr), STATUS_SUCCESS);
}

TEST(BusCommandChannel, EmptyWriteNeedsAnAnswerOfZero)
{
    bridge::BridgeModel model;
    test::BusHarness harness(model);
    ULONG accepted = 3;
    EXPECT_EQ(BusPortWrite(harness.Port(3), nullptr, 0, &accepted), STATUS_SUCCESS);
    EXPECT_EQ(accepted, 0u);
    PortBehaviour overclaim;
    overclaim.ClaimMoreThanSent = true;
    model.SetPortBehaviour(3, Command::Data, overclaim);
    EXPECT_EQ(BusPortWrite(harness.Port(3), nullptr, 0, &accepted), STATUS_DEVICE_PROTOCOL_ERROR);
}

TEST(BusCommandChannel, SetConfigNeedsAllEightBytesAndSkipsUnansweredPorts)
{
    bridge::BridgeModel model;
    test::BusHarness harness(model);
    const PORT_LINE_CONFIG config = {9600, 7, 2, 2, 0};
    EXPECT_EQ(BusPortSetConfig(harness.Port(1), &config), STATUS_SUCCESS);
    EXPECT_EQ(model.OutTransferCount(), 0u);
    EXPECT_EQ(BusPortSetConfig(harness.Port(2), &config), STATUS_SUCCESS);
    ASSERT_EQ(model.OutTransferCount(), 1u);
    EXPECT_EQ(model.OutTransfers()[0].Bytes.size(), 16u);
    model.SetPortBehaviour(2, Command::SetConfig, PortBehaviour::Accept({7}));
    EXPECT_EQ(BusPortSetConfig(harness.Port(2), &config), STATUS_DEVICE_PROTOCOL_ERROR);
}

TEST(BusCommandChannel, ControlNeedsBothBytesOnAnsweredPorts)
{
    bridge::BridgeModel model;
    test::BusHarness harness(model);
    EXPECT_EQ(BusPortControl(harness.Port(0), PORT_CONTROL_PURGE, 3), STATUS_SUCCESS);
    model.SetPortBehaviour(5, Command::Control, PortBehaviour::Accept({1}));
    EXPECT_EQ(BusPortControl(harness.Port(5), PORT_CONTROL_BREAK, 1), STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(model.OutTransferCount(), 2u);
}

// A response that comes after its sender gave up finds nobody waiting, and the
// next command gets its own answer.
TEST(BusCommandChannel, LateResponseIsDiscarded)
{
    bridge::BridgeModel model;
    model.SetPortBehaviour(2, Command::Any, PortBehaviour::Silent().Once());
    test::BusHarness harness(model);
    ULONG accepted = 0;
    EXPECT_EQ(BusPortWrite(harness.Port(2), "abcd", 4, &accepted), STATUS_IO_TIMEOUT);
    model.InjectIn(bridge::wire::Ack(2, 0x01, 0, 4));  // the late answer, before any new command
    harness.DrainIn();
    EXPECT_EQ(InterlockedCompareExchange(&harness.Bus()->ResponsePending, 0, 0), 0);
    model.SetPortBehaviour(2, Command::Any, PortBehaviour::Accept({2}));
    EXPECT_EQ(BusPortWrite(harness.Port(2), "abcd", 4, &accepted), STATUS_SUCCESS);
    EXPECT_EQ(accepted, 2u);
}

} // namespace
