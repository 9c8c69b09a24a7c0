// Serial events through the real system: the wait mask, the events recorded
// through it and the one parked IOCTL_SERIAL_WAIT_ON_MASK, as an application
// sees them on its COM handle.
#include "support/port_system.h"

#include "host/verifier/fault_injection.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

// Answered by the bridge, so a write on it is taken whole and looped back.
constexpr unsigned kPort = 3;

class PortEvents : public testing::Test {
protected:
    void SetUp() override
    {
        Handle = System.OpenOrFail(kPort);
        ASSERT_TRUE(Handle);
    }

    NTSTATUS SetMask(ULONG mask) { return Handle->DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, test::Ulong(mask), 0); }

    ULONG Mask()
    {
        Bytes output;
        EXPECT_EQ(Handle->DeviceIoControl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4, &output), STATUS_SUCCESS);
        return test::AsUlong(output);
    }

    std::shared_ptr<host::IoOperation> Wait() { return Handle->DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4); }

    // Every request sent before has been handled (the default queue is
    // sequential) and every received frame delivered.
    void Settle()
    {
        Mask();
        System.Settle();
    }

    void ExpectParked(const std::shared_ptr<host::IoOperation>& wait)
    {
        Settle();
        EXPECT_FALSE(wait->Done());
    }

    static void ExpectReported(const std::shared_ptr<host::IoOperation>& wait, ULONG events)
    {
        ASSERT_TRUE(wait->Wait());
        EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
        EXPECT_EQ(wait->Information(), 4u);
        EXPECT_EQ(test::AsUlong(wait->Output()), events);
    }

    static void ExpectRefused(const std::shared_ptr<host::IoOperation>& wait)
    {
        ASSERT_TRUE(wait->Wait());
        EXPECT_EQ(wait->Status(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(wait->Information(), 0u);
    }

    test::PortSystem System;
    std::unique_ptr<host::FileHandle> Handle;
};

struct MaskCase {
    const char* Name;
    ULONG Mask;
    bool Valid;
};

// A valid mask replaces the old one, drops what is pending and ends a parked
// wait with 0 before the set itself completes; an invalid one changes nothing.
TEST_F(PortEvents, SettingTheMask)
{
    constexpr ULONG kOldMask = SERIAL_EV_TXEMPTY;
    const MaskCase cases[] = {
        {"the same mask", kOldMask, true},
        {"another mask", SERIAL_EV_RXCHAR, true},
        {"every settable bit", 0x1FFF, true},
        {"zero", 0, true},
        {"first bit above the settable ones", 0x2000, false},
        {"top bit", 0x80000000, false},
        {"all bits", 0xFFFFFFFF, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_EQ(SetMask(kOldMask), STATUS_SUCCESS);
        auto wait = Wait();
        auto set = Handle->DeviceIoControlAsync(IOCTL_SERIAL_SET_WAIT_MASK, test::Ulong(c.Mask), 0);
        ASSERT_TRUE(set->Wait());
        EXPECT_EQ(set->Information(), 0u);
        if (c.Valid) {
            EXPECT_EQ(set->Status(), STATUS_SUCCESS);
            ExpectReported(wait, 0);
            EXPECT_LT(wait->CompletionOrder(), set->CompletionOrder());
            EXPECT_EQ(Mask(), c.Mask);
        } else {
            EXPECT_EQ(set->Status(), STATUS_INVALID_PARAMETER);
            ExpectParked(wait);
            EXPECT_EQ(Mask(), kOldMask);
        }
    }
}

TEST_F(PortEvents, OpenAndCloseClearTheMask)
{
    EXPECT_EQ(Mask(), 0u);
    ExpectRefused(Wait());

    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    Handle->Close();
    Handle = System.OpenOrFail(kPort);
    ASSERT_TRUE(Handle);
    EXPECT_EQ(Mask(), 0u);
    ExpectRefused(Wait());
}

// Frames received between two waits make one report.
TEST_F(PortEvents, PendingRxCharIsReportedAtOnceThenTheNextWaitParks)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    System.Receive(kPort, {1, 2, 3});
    System.Receive(kPort, {4});
    ExpectReported(Wait(), SERIAL_EV_RXCHAR);

    auto next = Wait();
    ExpectParked(next);
    System.Receive(kPort, {5});
    ExpectReported(next, SERIAL_EV_RXCHAR);
}

TEST_F(PortEvents, EventsBeforeAWaitAreReportedTogether)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    System.Receive(kPort, {1});
    ASSERT_EQ(Handle->Write({2, 3}), STATUS_SUCCESS);
    Settle();
    ExpectReported(Wait(), SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
}

// Data received under a mask without SERIAL_EV_RXCHAR is not remembered for a
// later mask that has it.
TEST_F(PortEvents, EventsOutsideTheMaskAreNotRecorded)
{
    ASSERT_EQ(SetMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    auto wait = Wait();
    System.Receive(kPort, {1, 2});
    ExpectParked(wait);

    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    ExpectReported(wait, 0);
    auto next = Wait();
    ExpectParked(next);
    System.Receive(kPort, {3});
    ExpectReported(next, SERIAL_EV_RXCHAR);
}

TEST_F(PortEvents, SecondWaitIsRefusedAndTheFirstStaysParked)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto first = Wait();
    ExpectRefused(Wait());
    ExpectParked(first);
    System.Receive(kPort, {1});
    ExpectReported(first, SERIAL_EV_RXCHAR);
}


// A wait cancelled while the driver parks it is completed by the framework
// inside the forward; the driver must not hold EventLock there (the verifier
// stops the run if a request completes under a driver spin lock).
TEST_F(PortEvents, AWaitCancelledAsItParksEndsCancelledAndTheNextOneParks)
{
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    host::OnNextCall("WdfRequestForwardToIoQueue", [this] { Handle->CancelAll(); });
    auto wait = Wait();
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);

    auto next = Wait();
    ExpectParked(next);
    System.Receive(kPort, {9});
    ExpectReported(next, SERIAL_EV_RXCHAR);
}

// Nothing in this system raises SERIAL_EV_CTS, whatever else happens.
TEST_F(PortEvents, WaitOnAnEventNeverRaisedEndsOnlyByCancelOrMask)
{
    ASSERT_EQ(SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    auto wait = Wait();
    System.Receive(kPort, {1});
    ASSERT_EQ(Handle->Write({2}), STATUS_SUCCESS);
    ExpectParked(wait);

    wait->Cancel();
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
    EXPECT_EQ(wait->Information(), 0u);

    // The cancelled wait has left the queue: a new one parks in its place.
    auto next = Wait();
    ExpectParked(next);
    ASSERT_EQ(SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    ExpectReported(next, 0);
}

TEST_F(PortEvents, ReceivePurgeDropsAPendingRxChar)
{
    const struct {
        const char* Name;
        ULONG PurgeMask;
        bool DropsRxChar;
    } cases[] = {
        {"receive clear", SERIAL_PURGE_RXCLEAR, true},
        {"receive abort", SERIAL_PURGE_RXABORT, true},
        {"transmit clear only", SERIAL_PURGE_TXCLEAR, false},
    };
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        System.Receive(kPort, {1});
        ASSERT_EQ(Handle->DeviceIoControl(IOCTL_SERIAL_PURGE, test::Ulong(c.PurgeMask), 0), STATUS_SUCCESS);
        auto wait = Wait();
        if (c.DropsRxChar) {
            ExpectParked(wait);
            System.Receive(kPort, {2});
        }
        ExpectReported(wait, SERIAL_EV_RXCHAR);
    }
}

// A short buffer changes neither the mask nor what is pending.
TEST_F(PortEvents, BuffersShorterThanFourBytesAreRefused)
{
    const struct {
        const char* Name;
        ULONG Code;
        Bytes Input;
        ULONG OutputLength;
    } cases[] = {
        {"get mask, 2-byte output", IOCTL_SERIAL_GET_WAIT_MASK, {}, 2},
        {"get mask, 3-byte output", IOCTL_SERIAL_GET_WAIT_MASK, {}, 3},
        {"set mask, 3-byte input", IOCTL_SERIAL_SET_WAIT_MASK, {SERIAL_EV_TXEMPTY, 0, 0}, 0},
        {"wait, 3-byte output", IOCTL_SERIAL_WAIT_ON_MASK, {}, 3},
    };
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    System.Receive(kPort, {1});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ULONG_PTR information = 12345;
        EXPECT_EQ(Handle->DeviceIoControl(c.Code, c.Input, c.OutputLength, nullptr, &information),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(information, 0u);
    }
    EXPECT_EQ(Mask(), static_cast<ULONG>(SERIAL_EV_RXCHAR));
    ExpectReported(Wait(), SERIAL_EV_RXCHAR);
}

} // namespace
