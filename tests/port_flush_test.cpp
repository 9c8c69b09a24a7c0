// The flush (FlushFileBuffers, IRP_MJ_FLUSH_BUFFERS) of a COM port: it ends
// once every write sent before it has ended, and never hangs, whatever else
// happens to those writes (a purge, the handle's close, a sleep, removal).
//
// A chunk's answer is held by the bridge model until the test releases it, so
// the order of events is fixed without timing. These tests run kernel time
// in real time, so that a stalled test thread has the bus's whole one-second
// time-out before a held answer counts as lost.
#include "support/port_system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using bridge::Command;
using bridge::PortBehaviour;
using Bytes = std::vector<uint8_t>;

constexpr unsigned kPort = 5;
constexpr auto kLong = std::chrono::seconds(10);

Bytes Pattern(size_t count, uint8_t seed)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i);
    }
    return bytes;
}

class PortFlush : public ::testing::Test {
protected:
    test::RealTimeScope Clock;
    test::PortSystem System;
    std::unique_ptr<host::FileHandle> Handle = System.OpenOrFail(kPort);

    // A one-chunk write whose answer the bridge holds; returns once the chunk
    // is on the wire, so the write is the one the port is sending.
    std::shared_ptr<host::IoOperation> HeldWrite(uint8_t seed)
    {
        System.Model.SetPortBehaviour(kPort, Command::Data, PortBehaviour::Held());
        const size_t before = System.Model.OutTransferCount();
        auto write = Handle->WriteAsync(Pattern(20, seed));
        EXPECT_TRUE(System.Model.WaitForOutTransfers(before + 1, kLong));
        return write;
    }

    // The flush has had every chance to end early: the port's work items and
    // the system are idle and, in D0, a request of the default queue sent
    // after it has been answered.
    void LetItRun(bool inD0 = true)
    {
        System.Settle();
        if (inD0) {
            EXPECT_EQ(Handle->DeviceIoControl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4), STATUS_SUCCESS);
        }
    }

    static void ExpectEndedWith(const std::shared_ptr<host::IoOperation>& op, NTSTATUS status)
    {
        ASSERT_TRUE(op->Wait(kLong));
        EXPECT_EQ(op->Status(), status);
    }
};

// Nothing to wait for, awake or asleep: the flush answers at once, so an
// application's close (which .NET flushes first) never waits on an idle port.
TEST_F(PortFlush, WithNoWriteSucceedsAtOnceAwakeAndAsleep)
{
    ASSERT_TRUE(Handle);
    EXPECT_EQ(Handle->Flush(), STATUS_SUCCESS);
    EXPECT_EQ(Handle->Write(Pattern(30, 1)), STATUS_SUCCESS);
    EXPECT_EQ(Handle->Flush(), STATUS_SUCCESS) << "after a write that has ended";

    ASSERT_EQ(System.Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(Handle->Flush(), STATUS_SUCCESS) << "asleep, with no write waiting";
    ASSERT_EQ(System.Resume(), STATUS_SUCCESS);
}

// The flush behind a write the device has not answered yet ends only after
// that write, and right after it, with nothing else to make it go.
TEST_F(PortFlush, EndsRightAfterTheWriteBeforeIt)
{
    ASSERT_TRUE(Handle);
    auto write = HeldWrite(1);
    auto flush = Handle->FlushAsync();
    LetItRun();
    EXPECT_FALSE(flush->Done()) << "the flush ended while the write before it was still with the device";
    EXPECT_FALSE(write->Done());

    System.Model.SetPortBehaviour(kPort, Command::Data, PortBehaviour{});
    ASSERT_TRUE(System.Model.ReleaseHeldAnswer(kLong));
    ExpectEndedWith(write, STATUS_SUCCESS);
    ExpectEndedWith(flush, STATUS_SUCCESS);
    EXPECT_LT(write->CompletionOrder(), flush->CompletionOrder());
}

// Every write sent before the flush counts, not only the one being sent when
// it came; a write sent after the flush does not hold it back.
TEST_F(PortFlush, WaitsForEveryEarlierWriteAndForNoLaterOne)
{
    ASSERT_TRUE(Handle);
    auto first = HeldWrite(1);
    auto second = Handle->WriteAsync(Pattern(20, 2));  // waits in the write queue
    auto flush = Handle->FlushAsync();
    auto later = Handle->WriteAsync(Pattern(20, 3));
    LetItRun();

    const size_t before = System.Model.OutTransferCount();
    ASSERT_TRUE(System.Model.ReleaseHeldAnswer(kLong));
    ExpectEndedWith(first, STATUS_SUCCESS);
    ASSERT_TRUE(System.Model.WaitForOutTransfers(before + 1, kLong)) << "the second write's chunk";
    LetItRun();
    EXPECT_FALSE(flush->Done()) << "the flush ended before the second write, which was queued before it";

    const size_t beforeLater = System.Model.OutTransferCount();
    ASSERT_TRUE(System.Model.ReleaseHeldAnswer(kLong));
    ExpectEndedWith(second, STATUS_SUCCESS);
    ExpectEndedWith(flush, STATUS_SUCCESS);
    ASSERT_TRUE(System.Model.WaitForOutTransfers(beforeLater + 1, kLong)) << "the later write's chunk";
    EXPECT_FALSE(later->Done()) << "the later write's answer is still held";

    System.Model.SetPortBehaviour(kPort, Command::Data, PortBehaviour{});
    ASSERT_TRUE(System.Model.ReleaseHeldAnswer(kLong));
    ExpectEndedWith(later, STATUS_SUCCESS);
    EXPECT_EQ(System.DataFramesSent(kPort),
              (std::vector<Bytes>{Pattern(20, 1), Pattern(20, 2), Pattern(20, 3)}));
}

// A transmit purge sent while a flush waits behind a write: the purge, the
// write and the flush all end, the flush last.
TEST_F(PortFlush, BehindAWriteWhenATransmitPurgeComesEndsAfterTheWrite)
{
    ASSERT_TRUE(Handle);
    auto write = HeldWrite(1);
    auto flush = Handle->FlushAsync();
    auto purge = Handle->DeviceIoControlAsync(IOCTL_SERIAL_PURGE, test::Ulong(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR), 0);
    LetItRun();
    EXPECT_FALSE(flush->Done());

    System.Model.SetPortBehaviour(kPort, Command::Data, PortBehaviour{});
    ASSERT_TRUE(System.Model.ReleaseHeldAnswer(kLong));
    ExpectEndedWith(purge, STATUS_SUCCESS);
    ASSERT_TRUE(write->Wait(kLong));
    ExpectEndedWith(flush, STATUS_SUCCESS);
    EXPECT_LT(write->CompletionOrder(), flush->CompletionOrder());
}

// Closing the handle cancels its flush at once, as it cancels the handle's
// other waiting requests, even while the write before it is still with the
// device; the close then waits for that write alone.
TEST_F(PortFlush, PendingAtCloseIsCancelled)
{
    ASSERT_TRUE(Handle);
    auto write = HeldWrite(1);
    auto flush = Handle->FlushAsync();
    LetItRun();

    std::thread closer([this] { Handle->Close(); });
    ExpectEndedWith(flush, STATUS_CANCELLED);
    EXPECT_FALSE(write->Done());
    System.Model.SetPortBehaviour(kPort, Command::Data, PortBehaviour{});
    ASSERT_TRUE(System.Model.ReleaseHeldAnswer(kLong));
    closer.join();
    EXPECT_TRUE(write->Done());

    Handle = System.OpenOrFail(kPort);
    ASSERT_TRUE(Handle);
    EXPECT_EQ(Handle->Flush(), STATUS_SUCCESS) << "the next handle's flush";
}

// A write sent while the port is out of D0 waits in its power-managed queue;
// a flush after it waits with it and ends after it once the port is back.
TEST_F(PortFlush, AsleepWaitsForTheWriteHeldThereAndEndsAfterResume)
{
    ASSERT_TRUE(Handle);
    ASSERT_EQ(System.Sleep(), STATUS_SUCCESS);
    auto write = Handle->WriteAsync(Pattern(20, 1));
    auto flush = Handle->FlushAsync();
    LetItRun(false);
    EXPECT_FALSE(write->Done());
    EXPECT_FALSE(flush->Done()) << "the flush ended before the write waiting for D0";

    ASSERT_EQ(System.Resume(), STATUS_SUCCESS);
    ExpectEndedWith(write, STATUS_SUCCESS);
    ExpectEndedWith(flush, STATUS_SUCCESS);
    EXPECT_LT(write->CompletionOrder(), flush->CompletionOrder());
}

// Pulling the bridge out ends the write and the flush behind it; a flush sent
// after the removal fails at once.
TEST_F(PortFlush, SurpriseRemovalEndsAWaitingFlush)
{
    ASSERT_TRUE(Handle);
    auto write = HeldWrite(1);
    auto flush = Handle->FlushAsync();
    LetItRun();

    System.SurpriseRemove();
    ASSERT_TRUE(write->Wait(kLong));
    EXPECT_NE(write->Status(), STATUS_SUCCESS);
    ExpectEndedWith(flush, STATUS_SUCCESS);
    EXPECT_EQ(Handle->Flush(), STATUS_INVALID_DEVICE_STATE) << "as every other request after removal";
    Handle->Close();
}

} // namespace
