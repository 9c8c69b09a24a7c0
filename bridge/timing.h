// The bridge's timing mode: when the USB bus carries each transfer and how
// fast each channel's line takes and gives bytes. All of it is one
// deterministic timeline on kernel time (100 ns units), with no thread and no
// lock of its own; the bridge model drives it under its state lock.
//
// The rules, deliberately conservative:
//  - USB 2.0 high speed runs in microframes of 125 us, counted from the
//    timeline's start (the bus reset at plug-in). A transfer the host
//    submits (an OUT write, or a re-posted IN read) is carried from the start
//    of the next microframe, and the host learns of its completion at the end
//    of the microframe that carried it. A 64-byte frame takes about 1 us of
//    the microframe's 125, so bandwidth never binds here; scheduling does.
//  - The host keeps one IN read posted (the bus driver's continuous reader
//    has one), so the IN pipe carries at most one frame per two microframes:
//    the read completed at the end of one is re-posted during the next. The
//    framework re-sends a reader's request only after the driver's completion
//    routine has run (fxusbpipe.cpp, FxUsbPipeContinuousReader::
//    _FxUsbPipeRequestComplete calls ResubmitRepeater after the callback).
//  - The firmware answers a command on ports 2 to 7 DeviceTurnaround after the
//    bus carried it. Its IN frames (answers and received data) leave in the
//    order they became ready; a data frame carries up to 56 bytes of the
//    channel whose oldest waiting byte is oldest.
//  - Each channel has a transmit FIFO drained at its line rate. On ports 2 to
//    7 the answer to a data frame accepts what fits (possibly nothing); ports
//    0 and 1 answer nothing, so the device NAKs the OUT transfer until the
//    whole frame fits, and the bus carries it in the first microframe that
//    it does.
//  - Received bytes (the loopback of transmitted ones, or a stream generated
//    at the line rate) wait in a per-channel receive buffer; a byte that finds
//    it full is lost and counted.
#pragma once

#include "bridge/wire.h"

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace bridge {

// Every figure of the timing mode, in one place. Times in kernel units (100 ns).
struct TimingConfig {
    int64_t Microframe = 1250;               // 125 us, fixed by USB 2.0 high speed
    int64_t DeviceTurnaround = 400;          // 40 us from a command carried to its answer ready
    uint32_t TxFifoBytes = 512;              // per channel
    uint32_t RxBufferBytes = 512;            // per channel
    // Payload rate of a CAN FD channel: a 64-byte frame at 500 kbit/s
    // arbitration and 2 Mbit/s data takes about 365 us (about 40 bits of
    // arbitration and end, and 570 data-phase bits with CRC and stuffing).
    uint32_t CanFdBytesPerSecond = 175'000;
    // Channels whose line delivers a continuous stream of received bytes at
    // the line rate, seeded random; a channel's loopback is separate.
    std::array<bool, wire::kPortCount> ReceiveStream{};
    uint64_t Seed = 1;

    // One line naming the model and its figures, for every report that uses it.
    std::string Describe() const;
};

// A serial channel's framing: start bit, data bits, parity bit, stop bits.
struct LineSettings {
    uint32_t BaudRate = 115200;
    uint8_t DataBits = 8;
    uint8_t Parity = 0;      // NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY, SPACE_PARITY
    uint8_t StopBits = 0;    // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
    double BitsPerByte() const;
};

// What the rules give on paper, for a host that submits its next command as
// soon as it learns the last one ended. Kernel units and bytes per second.
namespace paper {

// From one command's carry to the next one's on ports 2 to 7: the answer is
// carried DeviceTurnaround after the command, reported at the end of that
// microframe, and the next command is carried from the microframe after.
int64_t AnsweredCommandTime(const TimingConfig& config);
// The same on ports 0 and 1, whose frames are not answered, while the FIFO
// has room; when it has none the device's NAKs pace the port at its line, on
// average 56 bytes' line time per command.
int64_t UnansweredCommandTime(const TimingConfig& config, double lineRate);
// One command in flight for the whole bridge: ports 2 to 7 together move at
// most 56 bytes per answered command time, however many of them stream.
double AnsweredAggregate(const TimingConfig& config);
// Per-channel limit while `answered` answered ports and the unanswered ports
// at `unansweredRates` stream, each taking its turn on the command channel:
// the line rate, or 56 bytes per turn of all of them, whichever is less. A
// turn is every streaming port's command time, but no shorter than the line
// time of 56 bytes on the slowest streaming unanswered port, whose NAKs hold
// the channel until then.
double ChannelLimit(const TimingConfig& config, double lineRate, unsigned answered,
                    const std::vector<double>& unansweredRates);
// The IN pipe's rate (one frame of up to 56 bytes per two microframes) as
// channels receiving streams at `lineRates` share it when sent oldest byte
// first: a channel whose line is below an even share of what is left gets
// its line, and the others split the rest evenly. Bytes per second, by channel.
std::vector<double> ReceiveShares(const TimingConfig& config, const std::vector<double>& lineRates);
// Worst wait of one command on a port while the others stream: each of them
// has one command carried or waiting ahead of it, then its own round trip.
int64_t CommandLatency(const TimingConfig& config, unsigned otherAnswered,
                       const std::vector<double>& otherUnansweredRates);

} // namespace paper

class BridgeTimeline {
public:
    // Streams of received bytes start at `start`.
    BridgeTimeline(const TimingConfig& config, int64_t start);

    const TimingConfig& Config() const { return Settings; }

    // Kernel time per byte on the channel's line: its last line settings for
    // an RS485 or RS232 channel, CanFdBytesPerSecond for ports 0 and 1.
    double ByteTime(uint8_t port) const;
    // Bytes per second the channel's line carries.
    double LineRate(uint8_t port) const;

    // An OUT transfer of `length` payload bytes on `port` (0xFF: the device
    // itself) submitted at `now`: when the bus carries it and the host learns
    // it completed. `Room` is what the channel's FIFO can take at that moment.
    struct OutPlan {
        int64_t Carried = 0;
        int64_t Reported = 0;
        size_t Room = 0;
    };
    OutPlan PlanOut(int64_t now, uint8_t port, uint8_t type, size_t length);

    // The firmware takes `bytes` into the channel's FIFO at the carry time;
    // with `loopback` they come back as received bytes as they leave the line.
    void Transmit(uint8_t port, int64_t carried, const uint8_t* bytes, size_t count, bool loopback);
    // New line settings, from a set-config frame carried at `carried`; bytes
    // already in the FIFO keep the timing they were given.
    void SetLine(uint8_t port, const LineSettings& line);
    // An IN frame (an answer) the firmware has ready at `ready`.
    void QueueAnswer(int64_t ready, wire::Bytes frame);

    // The next IN transfer the bus will carry, if the device has anything to
    // send: when the host learns of it. An OUT transfer planned after that
    // transfer's carry time cannot change it: all it brings is ready later.
    std::optional<int64_t> NextInReport() const;
    struct InTransfer {
        int64_t Carried = 0;
        int64_t Reported = 0;
        wire::Bytes Frame;
    };
    // Takes that transfer; call only when NextInReport() has a value.
    InTransfer TakeIn();

    struct ChannelCounts {
        uint64_t Transmitted = 0;   // bytes taken into the FIFO
        uint64_t Received = 0;      // bytes that reached the receive buffer
        uint64_t Sent = 0;          // received bytes sent to the host
        uint64_t Lost = 0;          // received bytes that found the buffer full
        uint64_t Nakked = 0;        // microframes an OUT waited for FIFO room
    };
    // Commands submitted a microframe or more after the host last heard from
    // the bus (a completion or an IN transfer reported): the application
    // paused, or the host could not keep up. Either way the plan from there
    // on is not the one a host that never waits would get.
    uint64_t HostSlips() const { return Slips; }

    // Nothing left to send but what received streams keep bringing.
    bool Quiet() const;
    // IN transfers sent so far of the kind Quiet() waits for.
    uint64_t SentBeforeQuiet() const { return QuietSends; }

    const ChannelCounts& Counts(uint8_t port) const { return Channels[port].Counts; }
    // FNV-1a over every planned transfer's times, counted from the start, and
    // bytes: equal runs give equal digests whenever they start. OUT and IN
    // transfers are hashed apart, each in its own order, so that the host
    // taking an IN transfer before or after planning an OUT one that the IN
    // transfer cannot see leaves the digest as it is.
    uint64_t Digest() const;

private:
    struct Arrival {
        int64_t Time;
        uint8_t Byte;
    };
    struct Channel {
        LineSettings Line;
        std::deque<double> Fifo;              // when each byte taken leaves the line, oldest first
        std::deque<Arrival> Incoming;         // loopback bytes still on their way, in time order
        std::deque<Arrival> Buffer;           // received, not yet sent to the host
        double NextStreamByte = 0;            // ReceiveStream: when the next byte arrives
        ChannelCounts Counts;
    };
    struct Pending {
        int64_t Ready;
        wire::Bytes Frame;
    };

    int64_t NextMicroframe(int64_t time) const;   // the first microframe start after `time`
    int64_t MicroframeAtOrAfter(double time) const;  // the first microframe start at or after `time`
    // Room in the FIFO at `time`; forgets the bytes that have left by then,
    // so it is asked at times that never go back.
    size_t FifoRoom(Channel& channel, int64_t time) const;
    // Moves every byte that has arrived by `time` into the channel's buffer.
    void Receive(uint8_t port, int64_t time);
    // When the next IN transfer is carried, if the device has anything to send.
    std::optional<int64_t> NextInCarry() const;
    // When the channel's oldest received byte arrives (or arrived).
    std::optional<int64_t> OldestReceived(uint8_t port) const;
    static constexpr uint64_t kFnvBasis = 14695981039346656037ull;
    static void Mix(uint64_t& hash, int64_t value);
    static void Mix(uint64_t& hash, const wire::Bytes& bytes);

    TimingConfig Settings;
    int64_t Origin;                                // the start: microframes begin here
    std::array<Channel, wire::kPortCount> Channels;
    std::deque<Pending> Answers;                   // in the order they become ready
    int64_t ReadPostedFrom = 0;                    // the IN read is there from this time
    std::mt19937_64 Rng;
    uint64_t QuietSends = 0;
    int64_t LastOutReported = 0;                   // the latest OUT completion planned
    int64_t LastInReported = 0;                    // the latest IN transfer taken
    uint64_t Slips = 0;
    uint64_t OutHash = kFnvBasis;                  // every OutPlan, in the order planned
    uint64_t InHash = kFnvBasis;                   // every IN transfer, in the order taken
};

} // namespace bridge
