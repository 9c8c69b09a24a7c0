// The bridge model's timing mode: the timeline's rules on their own, where
// every time is exact, and the whole system against a timed bridge, where
// only what holds at any host speed is checked.
#include "bridge/timing.h"

#include "support/port_system.h"

#include "host/kernel/time_scale.h"

#include <gtest/gtest.h>

#include <ntddser.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using bridge::BridgeTimeline;
using bridge::TimingConfig;
using Bytes = std::vector<uint8_t>;
namespace wire = bridge::wire;

constexpr int64_t kFrame = 1250;     // one microframe, 100 ns units
constexpr int64_t kStart = 100 * kFrame;

// 115200 baud, 8N1: ten bits a byte.
constexpr double kByteTime115200 = 1e7 * 10 / 115200;

Bytes Filled(size_t count, uint8_t first = 0)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

TEST(BridgeTimeline, ACommandAndItsAnswerShareAMicroframeAndTheNextReadWaitsForTheOneAfter)
{
    BridgeTimeline timeline(TimingConfig{}, kStart);
    // Submitted a third into a microframe: carried from the next one.
    const auto plan = timeline.PlanOut(kStart + 400, 2, wire::kTypeData, 56);
    EXPECT_EQ(plan.Carried, kStart + kFrame);
    EXPECT_EQ(plan.Reported, kStart + 2 * kFrame);
    EXPECT_EQ(plan.Room, 512u);
    timeline.QueueAnswer(plan.Carried + timeline.Config().DeviceTurnaround, wire::Ack(2, wire::kTypeData, 0, 56));

    ASSERT_EQ(timeline.NextInReport(), kStart + 2 * kFrame);
    const auto answer = timeline.TakeIn();
    EXPECT_EQ(answer.Carried, kStart + kFrame + 400);
    EXPECT_EQ(answer.Frame, wire::Ack(2, wire::kTypeData, 0, 56));
    // The host's next command, sent as it learns of the answer: carry to
    // carry is the round trip the paper figures use.
    const auto next = timeline.PlanOut(answer.Reported + 10, 2, wire::kTypeData, 56);
    EXPECT_EQ(next.Carried - plan.Carried, bridge::paper::AnsweredCommandTime(timeline.Config()));
    EXPECT_EQ(timeline.HostSlips(), 0u);
    // A command a whole microframe after the host last heard from the bus
    // is a slip: the plan from there on is not a waitless host's.
    timeline.PlanOut(next.Reported + kFrame, 3, wire::kTypeControl, 2);
    EXPECT_EQ(timeline.HostSlips(), 1u);

    // The read is re-posted during the microframe after the report, so an
    // answer ready at once still waits for the one after that.
    timeline.QueueAnswer(kStart + 2 * kFrame, wire::Ack(3, wire::kTypeData, 0, 1));
    EXPECT_EQ(timeline.NextInReport(), kStart + 4 * kFrame);
    EXPECT_FALSE(timeline.TakeIn().Frame.empty());
    EXPECT_FALSE(timeline.NextInReport().has_value());
}

TEST(BridgeTimeline, AnAnsweredChannelAcceptsWhatItsFifoHasRoomForAsTheLineDrainsIt)
{
    BridgeTimeline timeline(TimingConfig{}, kStart);
    const Bytes bytes = Filled(512);
    timeline.Transmit(4, kStart, bytes.data(), bytes.size(), false);
    EXPECT_EQ(timeline.PlanOut(kStart - 1, 4, wire::kTypeData, 56).Room, 0u);

    // Twenty byte times after the start, twenty bytes have left the line.
    const int64_t later = kStart + static_cast<int64_t>(20 * kByteTime115200);
    const auto plan = timeline.PlanOut(later - 1, 4, wire::kTypeData, 56);
    const size_t drained = static_cast<size_t>((plan.Carried - kStart) / kByteTime115200);
    EXPECT_EQ(plan.Room, drained);
    EXPECT_GE(drained, 20u);

    // Slower framing leaves less room in the same time: 7 data bits, even
    // parity and two stop bits are eleven bits a byte.
    BridgeTimeline slower(TimingConfig{}, kStart);
    slower.SetLine(4, {115200, 7, 2, 2});
    slower.Transmit(4, kStart, bytes.data(), bytes.size(), false);
    EXPECT_LT(slower.PlanOut(later - 1, 4, wire::kTypeData, 56).Room, plan.Room);
    EXPECT_DOUBLE_EQ(slower.LineRate(4), 115200.0 / 11);
}

TEST(BridgeTimeline, AnUnansweredChannelIsNakkedUntilTheWholeFrameFits)
{
    TimingConfig config;
    config.CanFdBytesPerSecond = 100'000;   // 100 ns units: 100 a byte
    BridgeTimeline timeline(config, kStart);
    const Bytes bytes = Filled(512);
    timeline.Transmit(0, kStart, bytes.data(), bytes.size(), false);

    const auto plan = timeline.PlanOut(kStart, 0, wire::kTypeData, 56);
    // 56 bytes fit once 456 are left: after 56 byte times, at the first
    // microframe start from then.
    const int64_t fits = kStart + 56 * 100;
    EXPECT_EQ(plan.Carried, (fits + kFrame - 1) / kFrame * kFrame);
    EXPECT_GE(plan.Room, 56u);
    EXPECT_EQ(timeline.Counts(0).Nakked, static_cast<uint64_t>((plan.Carried - kStart - kFrame) / kFrame));
    EXPECT_GT(timeline.Counts(0).Nakked, 0u);

    // Commands other than data never wait for the FIFO.
    EXPECT_EQ(timeline.PlanOut(kStart, 0, wire::kTypeControl, 2).Carried, kStart + kFrame);
}

// Payloads of the data frames for `port`, joined.
Bytes Received(const std::vector<Bytes>& frames, uint8_t port)
{
    Bytes joined;
    for (const Bytes& transfer : frames) {
        const auto frame = wire::Decode(transfer);
        if (frame && frame->Type == wire::kTypeData && frame->Port == port) {
            EXPECT_LE(frame->Payload.size(), wire::kMaxPayload);
            joined.insert(joined.end(), frame->Payload.begin(), frame->Payload.end());
        }
    }
    return joined;
}

TEST(BridgeTimeline, LoopedBackBytesReturnWholeAndInOrderAndTheOlderOfAnswerAndDataGoesFirst)
{
    BridgeTimeline timeline(TimingConfig{}, kStart);
    const Bytes five = Filled(200, 0x10);
    const Bytes six = Filled(90, 0xA0);
    timeline.Transmit(5, kStart, five.data(), five.size(), true);
    timeline.Transmit(6, kStart + 5 * kFrame, six.data(), six.size(), true);
    std::vector<Bytes> frames;
    while (timeline.NextInReport()) {
        frames.push_back(timeline.TakeIn().Frame);
    }
    EXPECT_EQ(Received(frames, 5), five);
    EXPECT_EQ(Received(frames, 6), six);
    EXPECT_EQ(timeline.Counts(5).Sent, 200u);
    EXPECT_EQ(timeline.Counts(6).Lost, 0u);

    // One byte on the line and one answer, both waiting when the read comes.
    const Bytes one = {0x55};
    const Bytes ack = wire::Ack(7, wire::kTypeControl, 0, 2);
    for (bool dataFirst : {true, false}) {
        BridgeTimeline both(TimingConfig{}, kStart);
        both.QueueAnswer(kStart + kFrame, wire::Ack(2, wire::kTypeData, 0, 1));
        both.TakeIn();  // the read is busy until kStart + 3 microframes
        const int64_t byteSent = dataFirst ? kStart + kFrame : kStart + kFrame + 500;
        both.Transmit(7, byteSent, one.data(), one.size(), true);
        both.QueueAnswer(dataFirst ? kStart + kFrame + 1500 : kStart + kFrame + 100, ack);
        const auto next = both.TakeIn();
        EXPECT_EQ(next.Carried, kStart + 3 * kFrame);
        EXPECT_EQ(next.Frame, dataFirst ? wire::Data(7, one) : ack) << (dataFirst ? "data older" : "answer older");
    }
}

TEST(BridgeTimeline, AReceiveStreamIsSeededAndLosesWhatTheBufferCannotHold)
{
    TimingConfig config;
    config.ReceiveStream[3] = true;
    config.Seed = 7;
    BridgeTimeline one(config, kStart);
    BridgeTimeline two(config, kStart);
    config.Seed = 8;
    BridgeTimeline other(config, kStart);
    Bytes fromOne;
    Bytes fromOther;
    std::vector<Bytes> framesOne;
    std::vector<Bytes> framesOther;
    for (int i = 0; i < 40; ++i) {
        const auto a = one.TakeIn();
        const auto b = two.TakeIn();
        EXPECT_EQ(a.Frame, b.Frame);
        EXPECT_EQ(a.Carried, b.Carried);
        framesOne.push_back(a.Frame);
        framesOther.push_back(other.TakeIn().Frame);
    }
    fromOne = Received(framesOne, 3);
    fromOther = Received(framesOther, 3);
    // Forty reads two microframes apart: 10 ms of a 115200-baud line.
    EXPECT_GE(fromOne.size(), 110u);
    EXPECT_EQ(one.Digest(), two.Digest());
    EXPECT_NE(fromOne, fromOther);
    EXPECT_EQ(one.Counts(3).Lost, 0u);

    // A line faster than the IN pipe's one frame of 56 bytes per two
    // microframes fills the buffer, and what does not fit is lost.
    TimingConfig fast;
    fast.CanFdBytesPerSecond = 1'000'000;
    fast.ReceiveStream[0] = true;
    BridgeTimeline flooded(fast, kStart);
    flooded.TakeIn();  // the first byte, alone
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(flooded.TakeIn().Frame.size(), 8 + wire::kMaxPayload);
    }
    const auto& counts = flooded.Counts(0);
    EXPECT_EQ(counts.Sent, 1u + 5600u);
    EXPECT_GT(counts.Lost, 0u);
    EXPECT_LE(counts.Received - counts.Sent, fast.RxBufferBytes);
}

// Streams on all eight channels: sent oldest byte first, a line slower than
// an even share of the IN pipe gets all it brings and loses nothing, and the
// faster ones split the rest evenly and lose the difference.
TEST(BridgeTimeline, EightStreamsShareTheInPipeAsThePaperSharesSay)
{
    for (uint32_t baud : {115200u, 921600u}) {
        TimingConfig config;
        config.ReceiveStream.fill(true);
        BridgeTimeline timeline(config, kStart);
        std::vector<double> lines;
        for (uint8_t port = 0; port < wire::kPortCount; ++port) {
            timeline.SetLine(port, {baud, 8, 0, 0});
            lines.push_back(timeline.LineRate(port));
        }
        struct Counts {
            std::array<uint64_t, wire::kPortCount> Sent{};
            std::array<uint64_t, wire::kPortCount> Lost{};
        };
        auto runUntil = [&timeline](int64_t end) {
            while (timeline.NextInReport().value_or(end + 1) <= end) {
                timeline.TakeIn();
            }
            Counts counts;
            for (uint8_t port = 0; port < wire::kPortCount; ++port) {
                counts.Sent[port] = timeline.Counts(port).Sent;
                counts.Lost[port] = timeline.Counts(port).Lost;
            }
            return counts;
        };
        // 20 ms to fill the buffers, then 400 ms counted.
        const Counts before = runUntil(kStart + 200'000);
        const Counts after = runUntil(kStart + 4'200'000);
        const auto shares = bridge::paper::ReceiveShares(config, lines);
        double total = 0;
        for (uint8_t port = 0; port < wire::kPortCount; ++port) {
            const double rate = static_cast<double>(after.Sent[port] - before.Sent[port]) / 0.4;
            total += rate;
            const std::string where = "port " + std::to_string(port) + " at " + std::to_string(baud);
            EXPECT_NEAR(rate, shares[port], shares[port] * 0.03) << where;
            if (shares[port] < lines[port]) {
                EXPECT_GT(after.Lost[port], before.Lost[port]) << where;
            } else {
                EXPECT_EQ(after.Lost[port], before.Lost[port]) << where;
            }
        }
        // At 115200 the six serial lines get all they bring; at 921600 every
        // line is faster than the pipe's eighth, and the pipe is full.
        EXPECT_DOUBLE_EQ(shares[2], baud == 115200 ? 11520 : 28000);
        EXPECT_NEAR(total, 224'000, 224'000 * 0.01);
    }
}

// Two bridges plugged in at different moments, neither on a microframe of
// the other, that see the same traffic at the same times after their start:
// the same carries (a NAKed frame's too), the same IN transfers, the same digest.
TEST(BridgeTimeline, TheSameTrafficAfterAnyStartIsPlannedAlikeWithTheSameDigest)
{
    TimingConfig config;
    config.CanFdBytesPerSecond = 100'000;
    config.ReceiveStream[3] = true;
    struct Trace {
        std::vector<int64_t> Times;
        std::vector<Bytes> Frames;
        uint64_t Nakked = 0;
        uint64_t Digest = 0;
    };
    auto run = [&config](int64_t start) {
        BridgeTimeline timeline(config, start);
        const Bytes bytes = Filled(512);
        const auto fill = timeline.PlanOut(start + 300, 0, wire::kTypeData, bytes.size());
        timeline.Transmit(0, fill.Carried, bytes.data(), bytes.size(), true);
        const auto answered = timeline.PlanOut(start + 700, 5, wire::kTypeData, 56);
        timeline.Transmit(5, answered.Carried, bytes.data(), 56, true);
        timeline.QueueAnswer(answered.Carried + config.DeviceTurnaround, wire::Ack(5, wire::kTypeData, 0, 56));
        const auto paced = timeline.PlanOut(fill.Reported + 100, 0, wire::kTypeData, 56);
        timeline.Transmit(0, paced.Carried, bytes.data(), 56, true);
        Trace trace;
        for (const auto& plan : {fill, answered, paced}) {
            trace.Times.push_back(plan.Carried - start);
            trace.Times.push_back(plan.Reported - start);
        }
        for (int i = 0; i < 60; ++i) {
            auto in = timeline.TakeIn();
            trace.Times.push_back(in.Carried - start);
            trace.Frames.push_back(std::move(in.Frame));
        }
        trace.Nakked = timeline.Counts(0).Nakked;
        trace.Digest = timeline.Digest();
        return trace;
    };
    const Trace aligned = run(kStart);
    const Trace shifted = run(kStart + 617);
    EXPECT_GT(aligned.Nakked, 0u);
    EXPECT_EQ(aligned.Times, shifted.Times);
    EXPECT_EQ(aligned.Frames, shifted.Frames);
    EXPECT_EQ(aligned.Nakked, shifted.Nakked);
    EXPECT_EQ(aligned.Digest, shifted.Digest);
}

// The host may take an IN transfer before or after it submits a command the
// transfer cannot see (carried after it): the plan is the same, and so is
// the digest.
TEST(BridgeTimeline, TheDigestDoesNotDependOnWhetherAnInOrALaterOutIsPlannedFirst)
{
    auto run = [](bool inFirst) {
        BridgeTimeline timeline(TimingConfig{}, kStart);
        const auto first = timeline.PlanOut(kStart + 400, 2, wire::kTypeData, 56);
        timeline.QueueAnswer(first.Carried + timeline.Config().DeviceTurnaround, wire::Ack(2, wire::kTypeData, 0, 56));
        std::vector<Bytes> frames;
        if (inFirst) {
            frames.push_back(timeline.TakeIn().Frame);
        }
        const auto next = timeline.PlanOut(first.Reported + 10, 3, wire::kTypeData, 56);
        timeline.QueueAnswer(next.Carried + timeline.Config().DeviceTurnaround, wire::Ack(3, wire::kTypeData, 0, 56));
        while (timeline.NextInReport()) {
            frames.push_back(timeline.TakeIn().Frame);
        }
        EXPECT_EQ(frames.size(), 2u);
        return std::make_pair(frames, timeline.Digest());
    };
    const auto inFirst = run(true);
    const auto outFirst = run(false);
    EXPECT_EQ(inFirst.first, outFirst.first);
    EXPECT_EQ(inFirst.second, outFirst.second);
}

// The bridge timed from its plug-in, in real time, so that the host's own
// delays stay small beside the model's.
struct TimedSystem {
    explicit TimedSystem(const TimingConfig& config) : System({}, false)
    {
        System.Model.SetTiming(config);
        System.Start();
        EXPECT_TRUE(System.WaitForPorts()) << "the timed bring-up did not give eight ports";
    }
    test::RealTimeScope RealTime;
    test::PortSystem System;
};

// At 300 baud a byte takes 33 ms, so once 512 bytes fill the FIFO the next
// chunk finds no room, whatever the host's speed: the write ends with what
// was taken and the bus's STATUS_DEVICE_BUSY.
TEST(TimedBridge, AWriteToAFullFifoEndsWithTheBytesTakenAndDeviceBusy)
{
    TimedSystem timed(TimingConfig{});
    auto handle = timed.System.OpenOrFail(2);
    ASSERT_EQ(handle->DeviceIoControl(IOCTL_SERIAL_SET_BAUD_RATE, test::Ulong(300), 0), STATUS_SUCCESS);
    timed.System.Model.SetLoopback(false);
    ULONG written = 0;
    EXPECT_EQ(handle->Write(Filled(700), &written), STATUS_DEVICE_BUSY);
    EXPECT_GE(written, 512u);
    EXPECT_LT(written, 530u);
    const auto report = timed.System.Model.Timing();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->Channels[2].Transmitted, written);
    EXPECT_DOUBLE_EQ(report->LineRate[2], 30.0);
}

// A CAN FD port is never answered: the device holds each frame back until it
// fits, so a write far larger than the FIFO is taken whole and comes back
// whole, nothing lost.
TEST(TimedBridge, AnUnansweredPortIsPacedByTheDeviceAndLosesNothing)
{
    TimingConfig config;
    config.CanFdBytesPerSecond = 20'000;   // far below the bus's 56 bytes per 250 us
    TimedSystem timed(config);
    auto handle = timed.System.OpenOrFail(0);
    const Bytes data = Filled(3000, 1);
    ULONG written = 0;
    EXPECT_EQ(handle->Write(data, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, data.size());
    // A read ends with what has arrived; the ring holds all that is due.
    Bytes back;
    while (back.size() < data.size()) {
        Bytes part;
        ASSERT_EQ(handle->Read(static_cast<ULONG>(data.size() - back.size()), part), STATUS_SUCCESS);
        back.insert(back.end(), part.begin(), part.end());
    }
    EXPECT_EQ(back, data);
    const auto report = timed.System.Model.Timing();
    ASSERT_TRUE(report.has_value());
    EXPECT_GT(report->Channels[0].Nakked, 0u);
    EXPECT_EQ(report->Channels[0].Lost, 0u);
}

} // namespace
