// The receive ring and reads, through the real system: data the bridge sends
// for a port, read back by an application through its COM handle.
#include "support/port_system.h"
#include "support/white_box.h"

#include "host/framework/usb_target.h"
#include "host/verifier/fault_injection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Sequence(size_t count, uint8_t first = 0)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

Bytes ReadNow(host::FileHandle& handle, ULONG length)
{
    Bytes data;
    EXPECT_EQ(handle.Read(length, data), STATUS_SUCCESS);
    return data;
}

ULONG InQueue(host::FileHandle& handle)
{
    Bytes status;
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, &status), STATUS_SUCCESS);
    return test::AsUlong(status, 8);
}

constexpr unsigned kPort = 5;

TEST(PortReads, ServedAtOnceWholeOrInPart)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kPort);
    system.Receive(kPort, Sequence(10));
    EXPECT_EQ(ReadNow(*handle, 3), Sequence(3));
    EXPECT_EQ(ReadNow(*handle, 100), Sequence(7, 3));
    EXPECT_EQ(InQueue(*handle), 0u);
}

TEST(PortReads, ParkedReadsAreServedOldestFirst)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kPort);
    auto older = handle->ReadAsync(4);
    auto newer = handle->ReadAsync(4);
    system.Receive(kPort, {0xAA});
    ASSERT_TRUE(older->Wait());
    EXPECT_EQ(older->Output(), Bytes{0xAA});
    EXPECT_FALSE(newer->Done());
    system.Receive(kPort, {1, 2, 3, 4, 5});
    ASSERT_TRUE(newer->Wait());
    EXPECT_EQ(newer->Output(), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(ReadNow(*handle, 8), Bytes{5});
}

// The stored time-outs ask for an immediate return; the port has no timer
// and a read still waits for data.
TEST(PortReads, StoredTimeoutsDoNotEndAParkedRead)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kPort);
    const Bytes immediate = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(handle->DeviceIoControl(IOCTL_SERIAL_SET_TIMEOUTS, immediate, 0), STATUS_SUCCESS);
    auto read = handle->ReadAsync(8);
    EXPECT_EQ(InQueue(*handle), 0u);  // answered after the read was parked
    EXPECT_FALSE(read->Done());
    read->Cancel();
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Information(), 0u);
}

TEST(PortReads, BytesWrapAroundTheEndOfTheRingInOrder)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kPort);
    system.Receive(kPort, Sequence(8000));
    EXPECT_EQ(ReadNow(*handle, 8000).size(), 8000u);
    const Bytes acrossTheEnd = Sequence(500, 7);
    system.Receive(kPort, acrossTheEnd);
    OMBREL_PORT_CONTEXT* context = test::PortContext(system.PortNode(kPort));
    ASSERT_NE(context, nullptr);
    EXPECT_LT(context->RxHead, context->RxTail);  // the write index wrapped past 8191
    EXPECT_EQ(ReadNow(*handle, 1000), acrossTheEnd);
}

TEST(PortReads, AFullRingKeepsItsOldestBytesAndDropsTheRest)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kPort);
    const Bytes filler = Sequence(8191 - 10);
    system.Receive(kPort, filler);
    system.Receive(kPort, Sequence(56, 100));  // ten of these fit
    EXPECT_EQ(InQueue(*handle), 8191u);

    // A frame that stores nothing raises no SERIAL_EV_RXCHAR.
    ASSERT_EQ(handle->DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, test::Ulong(SERIAL_EV_RXCHAR), 0), STATUS_SUCCESS);
    system.Receive(kPort, {1, 2, 3});
    auto wait = handle->DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(InQueue(*handle), 8191u);
    EXPECT_FALSE(wait->Done());

    Bytes expected = filler;
    const Bytes kept = Sequence(10, 100);
    expected.insert(expected.end(), kept.begin(), kept.end());
    EXPECT_EQ(ReadNow(*handle, 9000), expected);
    wait->Cancel();
    ASSERT_TRUE(wait->Wait());
}

TEST(PortReads, DataReceivedWhileClosedIsReadAfterTheNextOpen)
{
    test::PortSystem system;
    system.Receive(kPort, {9, 8, 7});
    auto first = system.OpenOrFail(kPort);
    first->Close();
    system.Receive(kPort, {6});
    auto second = system.OpenOrFail(kPort);
    EXPECT_EQ(ReadNow(*second, 10), (Bytes{9, 8, 7, 6}));
}

TEST(PortReads, ZeroLengthReadIsAnsweredWithoutTheDriver)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kPort);
    system.Receive(kPort, {1});
    Bytes data;
    EXPECT_EQ(handle->Read(0, data), STATUS_SUCCESS);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(InQueue(*handle), 1u);
}

// Bytes that arrive between a read finding the ring empty and its parking
// are handed to it at once, not left beside it until the next frame.
TEST(PortReads, ReadParkedJustAfterDataArrivedIsServed)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kPort);
    host::OnNextCall("WdfRequestForwardToIoQueue", [&] { system.Receive(kPort, {0x42, 0x43}); });
    auto read = handle->ReadAsync(8);
    ASSERT_TRUE(read->Wait(std::chrono::seconds(5))) << "the read stayed parked beside its data";
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), (Bytes{0x42, 0x43}));
}

// A read that arrives while bytes wait beside a parked read (stored, not yet
// handed out) parks behind it: the older read gets the older bytes.
TEST(PortReads, ANewReadDoesNotOvertakeAParkedOne)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(kPort);
    // With RXCHAR in the mask, the receive path looks for a parked wait
    // between storing the bytes and serving the reads: the hook runs there.
    ASSERT_EQ(handle->DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, test::Ulong(SERIAL_EV_RXCHAR), 0), STATUS_SUCCESS);
    auto older = handle->ReadAsync(4);
    EXPECT_EQ(InQueue(*handle), 0u);  // answered after the read was parked

    std::shared_ptr<host::IoOperation> newer;
    host::OnNextCall("WdfIoQueueRetrieveNextRequest", [&] {
        newer = handle->ReadAsync(4);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!older->Done() && !newer->Done() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    system.Receive(kPort, {0xAA});
    ASSERT_TRUE(older->Wait(std::chrono::seconds(5))) << "the newer read took the bytes";
    EXPECT_EQ(older->Output(), Bytes{0xAA});
    ASSERT_NE(newer, nullptr);
    EXPECT_FALSE(newer->Done());
    system.Receive(kPort, {1, 2});
    ASSERT_TRUE(newer->Wait());
    EXPECT_EQ(newer->Output(), (Bytes{1, 2}));
}

// On a multiprocessor the completions of two transfers in flight can run at
// once and finish in either order; a port's bytes must still reach the
// application in the order the bridge sent them.
TEST(PortReads, BytesKeepTheBridgesOrderWhenCompletionsCanOverlap)
{
    struct OverlappingCompletions {
        OverlappingCompletions() { host::SetConcurrentReadCompletions(2); }
        ~OverlappingCompletions() { host::SetConcurrentReadCompletions(1); }
    } overlapping;
    test::PortSystem system;
    auto handle = system.OpenOrFail(kPort);
    uint8_t next = 0;
    for (int round = 0; round < 50; ++round) {
        Bytes sent;
        for (int frame = 0; frame < 128; ++frame) {
            const Bytes payload = Sequence(7, next);
            next = static_cast<uint8_t>(next + 7);
            system.Model.SendData(kPort, payload);
            sent.insert(sent.end(), payload.begin(), payload.end());
        }
        system.DrainIn();
        const Bytes got = ReadNow(*handle, static_cast<ULONG>(sent.size()));
        ASSERT_EQ(got.size(), sent.size()) << "round " << round;
        const auto differs = std::mismatch(got.begin(), got.end(), sent.begin()).first;
        ASSERT_TRUE(differs == got.end()) << "round " << round << ": out of order from byte " << (differs - got.begin());
    }
}

// A long write on a looped-back port brings its own bytes back while it is
// still going; an application reading meanwhile gets every one of them, in
// order, although they are far more than the ring holds. The bridge answers
// each chunk only once the application has read that chunk's bytes, so the
// write cannot outrun the reads, and a read that is not served while the
// write is pending stops the test instead of overflowing the ring.
TEST(PortReads, AnApplicationReadingDuringALongWriteLosesNothing)
{
    test::RealTimeScope realTime;
    test::PortSystem system;
    auto handle = system.OpenOrFail(kPort);
    ASSERT_TRUE(handle);
    system.Model.SetPortBehaviour(kPort, bridge::Command::Data, bridge::PortBehaviour::Held());
    Bytes sent(1 << 20);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    }

    auto write = handle->WriteAsync(sent);
    Bytes got;
    while (got.size() < sent.size()) {
        auto read = handle->ReadAsync(8191);
        ASSERT_TRUE(read->Wait(std::chrono::seconds(5))) << "no data after " << got.size() << " bytes";
        ASSERT_EQ(read->Status(), STATUS_SUCCESS);
        const Bytes part = read->Output();
        got.insert(got.end(), part.begin(), part.end());
        EXPECT_FALSE(write->Done()) << "the write ended before its bytes were all read";
        ASSERT_TRUE(system.Model.ReleaseHeldAnswer(std::chrono::seconds(5))) << "no chunk answered after " << got.size();
    }
    ASSERT_TRUE(write->Wait());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), sent.size());
    ASSERT_EQ(got.size(), sent.size());
    const auto differs = std::mismatch(got.begin(), got.end(), sent.begin()).first;
    EXPECT_TRUE(differs == got.end()) << "bytes differ from offset " << (differs - got.begin());
}

} // namespace
