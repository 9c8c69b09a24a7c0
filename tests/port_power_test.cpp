// A port across a system sleep and resume with I/O in flight, on the stand-in
// that powers queues as the framework does: requests held while asleep are
// presented on the power-up thread, where nothing may block, and a
// power-managed queue gives out nothing outside D0.
#include "support/port_system.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using bridge::Command;
using bridge::PortBehaviour;
using Bytes = std::vector<uint8_t>;

constexpr unsigned kAnsweredPort = 4;

Bytes Pattern(size_t count)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return bytes;
}

Bytes Joined(const std::vector<Bytes>& frames)
{
    Bytes all;
    for (const auto& frame : frames) {
        all.insert(all.end(), frame.begin(), frame.end());
    }
    return all;
}

// Leaving D0 waits for the chunk in flight, not for the whole write; the rest
// goes out after resume, every byte once and in order.
TEST(PortPower, SleepStopsAWriteBetweenChunksAndResumeFinishesIt)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kAnsweredPort);
    ASSERT_TRUE(handle);
    system.Model.SetPortBehaviour(kAnsweredPort, Command::Data, PortBehaviour::Late(2'000'000));
    const size_t before = system.Model.OutTransferCount();
    const Bytes data = Pattern(40 * 56);

    auto write = handle->WriteAsync(data);
    ASSERT_TRUE(system.Model.WaitForOutTransfers(before + 1, std::chrono::seconds(30)));
    ASSERT_EQ(system.System.Sleep(system.Bus()), STATUS_SUCCESS);

    // Asleep, the write sends nothing more.
    const size_t chunksBeforeResume = system.DataFramesSent(kAnsweredPort).size();
    system.Settle();
    EXPECT_FALSE(write->Done()) << "leaving D0 waited for the whole write";
    EXPECT_LT(chunksBeforeResume, 10u);
    EXPECT_EQ(system.DataFramesSent(kAnsweredPort).size(), chunksBeforeResume);

    system.Model.SetPortBehaviour(kAnsweredPort, Command::Data, PortBehaviour{});
    ASSERT_EQ(system.System.Resume(system.Bus()), STATUS_SUCCESS);
    ASSERT_TRUE(write->Wait());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), data.size());
    EXPECT_EQ(Joined(system.DataFramesSent(kAnsweredPort)), data) << "bytes lost or sent twice across the sleep";
}

// Requests that arrive while the port sleeps wait in its queues and are
// presented when it powers up; those that talk to the device must not do so
// on the power-up thread (the verifier stops the run if they block there).
TEST(PortPower, RequestsHeldWhileAsleepRunAfterResumeWithoutBlockingIt)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kAnsweredPort);
    ASSERT_TRUE(handle);
    ASSERT_EQ(system.System.Sleep(system.Bus()), STATUS_SUCCESS);

    auto write = handle->WriteAsync(Pattern(100));
    auto baud = handle->DeviceIoControlAsync(IOCTL_SERIAL_SET_BAUD_RATE, test::Ulong(9600), 0);
    auto purge = handle->DeviceIoControlAsync(IOCTL_SERIAL_PURGE, test::Ulong(SERIAL_PURGE_RXCLEAR), 0);
    EXPECT_FALSE(write->Done());
    EXPECT_FALSE(baud->Done());

    ASSERT_EQ(system.System.Resume(system.Bus()), STATUS_SUCCESS);
    for (auto* op : {&write, &baud, &purge}) {
        ASSERT_TRUE((*op)->Wait());
        EXPECT_EQ((*op)->Status(), STATUS_SUCCESS);
    }
    EXPECT_EQ(write->Information(), 100u);
}

// The bus is back in D0 before its ports: data that arrives in between still
// reaches a read parked before the sleep.
TEST(PortPower, AReadParkedBeforeSleepGetsDataThatArrivesBeforeThePortResumes)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kAnsweredPort);
    ASSERT_TRUE(handle);
    auto read = handle->ReadAsync(64);
    // The default queue presents one request at a time: once this is
    // answered, the read is parked.
    ASSERT_EQ(handle->DeviceIoControl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20), STATUS_SUCCESS);
    ASSERT_FALSE(read->Done());

    ASSERT_EQ(system.System.Sleep(system.Bus()), STATUS_SUCCESS);
    ASSERT_EQ(system.Bus().Resume(), STATUS_SUCCESS);
    system.Receive(kAnsweredPort, {0x11, 0x22, 0x33});
    for (unsigned port = 0; port < 8; ++port) {
        ASSERT_EQ(system.PortNode(port)->Resume(), STATUS_SUCCESS);
    }

    ASSERT_TRUE(read->Wait(std::chrono::seconds(10))) << "the parked read was stranded";
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), (Bytes{0x11, 0x22, 0x33}));

    // Later reads are not stuck behind it.
    system.Receive(kAnsweredPort, {0x44});
    Bytes next;
    EXPECT_EQ(handle->Read(8, next), STATUS_SUCCESS);
    EXPECT_EQ(next, Bytes{0x44});
}

} // namespace
