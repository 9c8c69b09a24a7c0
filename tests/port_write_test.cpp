// Writes through the real system: an application's bytes on a COM handle, the
// data frames the bridge receives for them and the outcome of each write.
#include "support/port_system.h"

#include "host/verifier/fault_injection.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using bridge::Command;
using bridge::PortBehaviour;
using Bytes = std::vector<uint8_t>;

constexpr unsigned kAnsweredPort = 3;
constexpr unsigned kUnansweredPort = 0;

// Every byte tells its offset, so a chunk cut from the wrong place shows.
Bytes Pattern(size_t count)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(i + 1);
    }
    return bytes;
}

Bytes Slice(const Bytes& bytes, size_t offset, size_t count)
{
    return Bytes(bytes.begin() + offset, bytes.begin() + offset + count);
}

// Cuts `data` into the chunks the bridge should see, by their lengths.
std::vector<Bytes> Chunks(const Bytes& data, const std::vector<size_t>& lengths)
{
    std::vector<Bytes> chunks;
    size_t offset = 0;
    for (size_t length : lengths) {
        chunks.push_back(Slice(data, offset, length));
        offset += length;
    }
    return chunks;
}

// Parks a wait for SERIAL_EV_TXEMPTY. The default queue is sequential, so a
// request sent after this finds the wait parked.
// Writes have a queue of their own; a request of the default queue issued
// after the wait (which is presented one at a time there) shows it is parked.
std::shared_ptr<host::IoOperation> ParkTxEmptyWait(host::FileHandle& handle)
{
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, test::Ulong(SERIAL_EV_TXEMPTY), 0), STATUS_SUCCESS);
    auto wait = handle.DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4), STATUS_SUCCESS);
    EXPECT_FALSE(wait->Done());
    return wait;
}

// The first chunk of the next write is answered as the bridge is set up to;
// every later chunk on the port gets `behaviour`. The switch is made at the
// start of the second chunk's USB write, so no timing is involved.
void FromSecondChunk(bridge::BridgeModel& model, unsigned port, PortBehaviour behaviour)
{
    host::OnNextCall("WdfUsbTargetPipeWriteSynchronously", [&model, port, behaviour] {
        host::OnNextCall("WdfUsbTargetPipeWriteSynchronously", [&model, port, behaviour] {
            model.SetPortBehaviour(static_cast<uint8_t>(port), Command::Data, behaviour);
        });
    });
}

struct ChunkCase {
    const char* Name;
    unsigned Port;
    size_t Length;
    std::vector<size_t> ChunkLengths;
};

TEST(PortWrites, AreCutIntoFramesOfAtMost56Bytes)
{
    const ChunkCase cases[] = {
        {"one byte", kAnsweredPort, 1, {1}},
        {"56 bytes: one frame", kAnsweredPort, 56, {56}},
        {"57 bytes", kAnsweredPort, 57, {56, 1}},
        {"200 bytes", kAnsweredPort, 200, {56, 56, 56, 32}},
        {"200 bytes on an unanswered port", kUnansweredPort, 200, {56, 56, 56, 32}},
    };
    test::PortSystem system;
    auto answered = system.OpenOrFail(kAnsweredPort);
    auto unanswered = system.OpenOrFail(kUnansweredPort);
    ASSERT_TRUE(answered && unanswered);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        system.Model.ClearOutTransfers();
        const Bytes data = Pattern(c.Length);
        ULONG written = 0;
        auto& handle = c.Port == kAnsweredPort ? *answered : *unanswered;
        EXPECT_EQ(handle.Write(data, &written), STATUS_SUCCESS);
        EXPECT_EQ(written, c.Length);
        EXPECT_EQ(system.DataFramesSent(c.Port), Chunks(data, c.ChunkLengths));
    }
}

TEST(PortWrites, NextChunkStartsAfterTheLastAcceptedByte)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kAnsweredPort);
    ASSERT_TRUE(handle);
    system.Model.SetPortBehaviour(kAnsweredPort, Command::Data, PortBehaviour::Accept({40, 56}));

    const Bytes data = Pattern(100);
    ULONG written = 0;
    EXPECT_EQ(handle->Write(data, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 100u);
    EXPECT_EQ(system.DataFramesSent(kAnsweredPort),
              (std::vector<Bytes>{Slice(data, 0, 56), Slice(data, 40, 56), Slice(data, 96, 4)}));
}

struct FailedWriteCase {
    const char* Name;
    std::function<void(bridge::BridgeModel&)> Arrange;
    NTSTATUS Status;
    ULONG Written;
    size_t FramesSent;
};

// A write the bridge does not take whole ends at the first chunk that fails or
// is taken not at all, retries nothing and raises no SERIAL_EV_TXEMPTY.
TEST(PortWrites, EndAtTheFirstChunkNotTakenAndRaiseNoTxEmpty)
{
    const FailedWriteCase cases[] = {
        {"second chunk unanswered",
         [](bridge::BridgeModel& model) { FromSecondChunk(model, kAnsweredPort, PortBehaviour::Silent()); },
         STATUS_IO_TIMEOUT, 56, 2},
        {"second chunk refused",
         [](bridge::BridgeModel& model) { FromSecondChunk(model, kAnsweredPort, PortBehaviour::Refuse()); },
         STATUS_DEVICE_PROTOCOL_ERROR, 56, 2},
        {"first chunk taken not at all",
         [](bridge::BridgeModel& model) {
             model.SetPortBehaviour(kAnsweredPort, Command::Data, PortBehaviour::AcceptNone());
         },
         STATUS_DEVICE_BUSY, 0, 1},
        {"part of the first chunk, none of the next",
         [](bridge::BridgeModel& model) {
             model.SetPortBehaviour(kAnsweredPort, Command::Data, PortBehaviour::Accept({40, 0}));
         },
         STATUS_DEVICE_BUSY, 40, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        test::PortSystem system;
        auto handle = system.OpenOrFail(kAnsweredPort);
        ASSERT_TRUE(handle);
        auto wait = ParkTxEmptyWait(*handle);
        c.Arrange(system.Model);

        ULONG written = 12345;
        EXPECT_EQ(handle->Write(Pattern(150), &written), c.Status);
        EXPECT_EQ(written, c.Written);
        EXPECT_EQ(system.DataFramesSent(kAnsweredPort).size(), c.FramesSent);

        system.Settle();
        EXPECT_FALSE(wait->Done());
        host::ClearInjectedFailures();
    }
}

TEST(PortWrites, WholeWriteRaisesTxEmptyBeforeItCompletes)
{
    const struct {
        const char* Name;
        unsigned Port;
        size_t Length;
    } cases[] = {
        {"one byte, answered port", kAnsweredPort, 1},
        {"several chunks, answered port", kAnsweredPort, 150},
        {"several chunks, unanswered port", kUnansweredPort, 150},
    };
    test::PortSystem system;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto handle = system.OpenOrFail(c.Port);
        ASSERT_TRUE(handle);
        auto wait = ParkTxEmptyWait(*handle);
        auto write = handle->WriteAsync(Pattern(c.Length));
        ASSERT_TRUE(write->Wait());
        EXPECT_EQ(write->Status(), STATUS_SUCCESS);
        EXPECT_EQ(write->Information(), c.Length);
        ASSERT_TRUE(wait->Done()) << "SERIAL_EV_TXEMPTY came after the write completed, or not at all";
        EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
        EXPECT_EQ(wait->Information(), 4u);
        EXPECT_EQ(test::AsUlong(wait->Output()), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
        EXPECT_LT(wait->CompletionOrder(), write->CompletionOrder());
        handle->Close();
    }
}

// The framework answers an empty write itself: the driver sends nothing and
// raises nothing for it.
TEST(PortWrites, EmptyWriteSucceedsWithoutAFrame)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kAnsweredPort);
    ASSERT_TRUE(handle);
    auto wait = ParkTxEmptyWait(*handle);

    ULONG written = 12345;
    EXPECT_EQ(handle->Write({}, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(system.DataFramesSent(kAnsweredPort).empty());
    system.Settle();
    EXPECT_FALSE(wait->Done());
}

// A write waiting for the device holds back no read, status or event request
// of its port: an application that keeps reading during a long write on a
// looped-back port loses nothing.
TEST(PortWrites, ReadsStatusAndEventsAreServedWhileAWriteWaitsForTheDevice)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kAnsweredPort);
    ASSERT_TRUE(handle);
    system.Model.SetPortBehaviour(kAnsweredPort, Command::Data, PortBehaviour::Late(5'000'000));
    const size_t before = system.Model.OutTransferCount();

    auto write = handle->WriteAsync(Pattern(200));
    // The first chunk is on the wire: the write is in progress, three chunks to go.
    ASSERT_TRUE(system.Model.WaitForOutTransfers(before + 1, std::chrono::seconds(30)));
    auto status = handle->DeviceIoControlAsync(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
    auto mask = handle->DeviceIoControlAsync(IOCTL_SERIAL_SET_WAIT_MASK, test::Ulong(SERIAL_EV_RXCHAR), 0);
    auto purge = handle->DeviceIoControlAsync(IOCTL_SERIAL_PURGE, test::Ulong(SERIAL_PURGE_RXCLEAR), 0);

    ASSERT_TRUE(status->Wait());
    ASSERT_TRUE(mask->Wait());
    EXPECT_EQ(status->Status(), STATUS_SUCCESS);
    EXPECT_EQ(mask->Status(), STATUS_SUCCESS);
    EXPECT_FALSE(write->Done()) << "the status request waited for the write";
    ASSERT_TRUE(purge->Wait());
    EXPECT_EQ(purge->Status(), STATUS_SUCCESS);
    ASSERT_TRUE(write->Wait());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 200u);
    EXPECT_LT(status->CompletionOrder(), write->CompletionOrder());
    EXPECT_LT(purge->CompletionOrder(), write->CompletionOrder()) << "the purge waited for the whole write";
}

} // namespace
