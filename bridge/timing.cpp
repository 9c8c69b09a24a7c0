#include "bridge/timing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bridge {

namespace {

constexpr uint8_t kFirstAnsweredPort = 2;
constexpr double kKernelUnitsPerSecond = 1e7;

} // namespace

std::string TimingConfig::Describe() const
{
    char text[320];
    std::snprintf(text, sizeof(text),
                  "timing model: USB 2.0 high speed, %.0f us microframes, one IN read posted, device turnaround "
                  "%.0f us, %u-byte TX FIFO and %u-byte RX buffer per channel, CAN FD %u B/s, seed %llu",
                  static_cast<double>(Microframe) / 10, static_cast<double>(DeviceTurnaround) / 10, TxFifoBytes,
                  RxBufferBytes, CanFdBytesPerSecond, static_cast<unsigned long long>(Seed));
    return text;
}

namespace paper {

int64_t AnsweredCommandTime(const TimingConfig& config)
{
    return config.Microframe * (config.DeviceTurnaround / config.Microframe + 2);
}

int64_t UnansweredCommandTime(const TimingConfig& config, double lineRate)
{
    // Paced by NAKs, a frame goes once 56 more bytes have left the line; the
    // FIFO absorbs the rounding to microframes, so on average that is the
    // line's time for 56 bytes.
    const double line = wire::kMaxPayload * kKernelUnitsPerSecond / lineRate;
    return std::max<int64_t>(2 * config.Microframe, static_cast<int64_t>(std::ceil(line)));
}

double AnsweredAggregate(const TimingConfig& config)
{
    return wire::kMaxPayload * kKernelUnitsPerSecond / static_cast<double>(AnsweredCommandTime(config));
}

double ChannelLimit(const TimingConfig& config, double lineRate, unsigned answered,
                    const std::vector<double>& unansweredRates)
{
    // An unanswered port's command takes two microframes unless its FIFO is
    // full; its line drains while the others take their turns, so its NAKs
    // stretch the turn only to its own 56 bytes' line time.
    double turn = static_cast<double>(answered) * static_cast<double>(AnsweredCommandTime(config)) +
                  static_cast<double>(unansweredRates.size()) * static_cast<double>(2 * config.Microframe);
    for (double rate : unansweredRates) {
        turn = std::max(turn, wire::kMaxPayload * kKernelUnitsPerSecond / rate);
    }
    return turn <= 0 ? lineRate : std::min(lineRate, wire::kMaxPayload * kKernelUnitsPerSecond / turn);
}

std::vector<double> ReceiveShares(const TimingConfig& config, const std::vector<double>& lineRates)
{
    std::vector<double> shares(lineRates.size(), 0);
    std::vector<bool> settled(lineRates.size(), false);
    double left = wire::kMaxPayload * kKernelUnitsPerSecond / static_cast<double>(2 * config.Microframe);
    size_t open = lineRates.size();
    // Each pass settles the channels whose line is below an even share of
    // what is left; once none is, the rest split it evenly.
    while (open > 0) {
        const double even = left / static_cast<double>(open);
        bool changed = false;
        for (size_t i = 0; i < lineRates.size(); ++i) {
            if (!settled[i] && lineRates[i] <= even) {
                shares[i] = lineRates[i];
                settled[i] = true;
                left -= lineRates[i];
                --open;
                changed = true;
            }
        }
        if (!changed) {
            for (size_t i = 0; i < lineRates.size(); ++i) {
                if (!settled[i]) {
                    shares[i] = even;
                }
            }
            break;
        }
    }
    return shares;
}

int64_t CommandLatency(const TimingConfig& config, unsigned otherAnswered,
                       const std::vector<double>& otherUnansweredRates)
{
    int64_t wait = static_cast<int64_t>(otherAnswered + 1) * AnsweredCommandTime(config);
    for (double rate : otherUnansweredRates) {
        wait += UnansweredCommandTime(config, rate);
    }
    return wait;
}

} // namespace paper

double LineSettings::BitsPerByte() const
{
    const double stop = StopBits == 0 ? 1.0 : StopBits == 1 ? 1.5 : 2.0;
    return 1.0 + DataBits + (Parity != 0 ? 1.0 : 0.0) + stop;
}

BridgeTimeline::BridgeTimeline(const TimingConfig& config, int64_t start)
    : Settings(config), Origin(start), Rng(config.Seed)
{
    for (uint8_t port = 0; port < wire::kPortCount; ++port) {
        Channels[port].NextStreamByte = static_cast<double>(start) + ByteTime(port);
    }
    ReadPostedFrom = start;
}

double BridgeTimeline::ByteTime(uint8_t port) const { return kKernelUnitsPerSecond / LineRate(port); }

double BridgeTimeline::LineRate(uint8_t port) const
{
    if (port < kFirstAnsweredPort) {
        return std::max<double>(1, Settings.CanFdBytesPerSecond);
    }
    const LineSettings& line = Channels[port].Line;
    return std::max<double>(1, line.BaudRate) / line.BitsPerByte();
}

int64_t BridgeTimeline::MicroframeAtOrAfter(double time) const
{
    return Origin + static_cast<int64_t>(std::ceil((time - static_cast<double>(Origin)) /
                                                   static_cast<double>(Settings.Microframe))) *
                        Settings.Microframe;
}

int64_t BridgeTimeline::NextMicroframe(int64_t time) const
{
    // Rounded down, so that a time before the start is in its microframe too.
    const int64_t since = time - Origin;
    const int64_t frame = Settings.Microframe;
    const int64_t index = since >= 0 ? since / frame : -((frame - 1 - since) / frame);
    return Origin + (index + 1) * frame;
}

size_t BridgeTimeline::FifoRoom(Channel& channel, int64_t time) const
{
    while (!channel.Fifo.empty() && channel.Fifo.front() <= static_cast<double>(time)) {
        channel.Fifo.pop_front();
    }
    return channel.Fifo.size() >= Settings.TxFifoBytes ? 0 : Settings.TxFifoBytes - channel.Fifo.size();
}

BridgeTimeline::OutPlan BridgeTimeline::PlanOut(int64_t now, uint8_t port, uint8_t type, size_t length)
{
    OutPlan plan;
    // A completion planned for later than now has not been heard of yet.
    int64_t heard = std::max(Origin, LastInReported);
    if (LastOutReported <= now) {
        heard = std::max(heard, LastOutReported);
    }
    if (now - heard >= Settings.Microframe) {
        Slips++;
    }
    plan.Carried = NextMicroframe(now);
    if (port < wire::kPortCount) {
        Channel& channel = Channels[port];
        const bool mustFit = port < kFirstAnsweredPort && type == wire::kTypeData &&
                             length <= Settings.TxFifoBytes;
        if (mustFit && FifoRoom(channel, plan.Carried) < length) {
            // NAKed until the frame fits: the first microframe start at which
            // no more than TxFifoBytes - length bytes are still queued, that
            // is once the byte that many from the end has left.
            const size_t mayStay = Settings.TxFifoBytes - length;
            const double fits = channel.Fifo[channel.Fifo.size() - mayStay - 1];
            int64_t retry = MicroframeAtOrAfter(fits);
            if (static_cast<double>(retry) == fits) {
                retry += Settings.Microframe;  // a byte leaving at the start is still there then
            }
            channel.Counts.Nakked += static_cast<uint64_t>((retry - plan.Carried) / Settings.Microframe);
            plan.Carried = retry;
        }
        plan.Room = FifoRoom(channel, plan.Carried);
    }
    plan.Reported = plan.Carried + Settings.Microframe;
    LastOutReported = std::max(LastOutReported, plan.Reported);
    Mix(OutHash, plan.Carried - Origin);
    Mix(OutHash, (int64_t{port} << 24) | (int64_t{type} << 16) | static_cast<int64_t>(length));
    Mix(OutHash, static_cast<int64_t>(plan.Room));
    return plan;
}

void BridgeTimeline::Transmit(uint8_t port, int64_t carried, const uint8_t* bytes, size_t count, bool loopback)
{
    Channel& channel = Channels[port];
    const double byteTime = ByteTime(port);
    double leaves = std::max(channel.Fifo.empty() ? 0.0 : channel.Fifo.back(), static_cast<double>(carried));
    for (size_t i = 0; i < count; ++i) {
        leaves += byteTime;
        channel.Fifo.push_back(leaves);
        if (loopback) {
            channel.Incoming.push_back({static_cast<int64_t>(std::ceil(leaves)), bytes[i]});
        }
    }
    channel.Counts.Transmitted += count;
}

void BridgeTimeline::SetLine(uint8_t port, const LineSettings& line)
{
    if (port >= kFirstAnsweredPort && port < wire::kPortCount) {
        Channels[port].Line = line;
    }
}

void BridgeTimeline::QueueAnswer(int64_t ready, wire::Bytes frame)
{
    auto at = std::upper_bound(Answers.begin(), Answers.end(), ready,
                               [](int64_t time, const Pending& pending) { return time < pending.Ready; });
    Answers.insert(at, Pending{ready, std::move(frame)});
}

void BridgeTimeline::Receive(uint8_t port, int64_t time)
{
    Channel& channel = Channels[port];
    auto store = [&](const Arrival& arrival) {
        if (channel.Buffer.size() >= Settings.RxBufferBytes) {
            channel.Counts.Lost++;
        } else {
            channel.Buffer.push_back(arrival);
            channel.Counts.Received++;
        }
    };
    // Loopback and stream bytes both arrive in time order; merged so.
    for (;;) {
        const bool loop = !channel.Incoming.empty() && channel.Incoming.front().Time <= time;
        const bool stream = Settings.ReceiveStream[port] && channel.NextStreamByte <= static_cast<double>(time);
        if (!loop && !stream) {
            return;
        }
        const int64_t streamTime = static_cast<int64_t>(std::ceil(channel.NextStreamByte));
        if (loop && (!stream || channel.Incoming.front().Time <= streamTime)) {
            store(channel.Incoming.front());
            channel.Incoming.pop_front();
        } else {
            store({streamTime, static_cast<uint8_t>(Rng())});
            channel.NextStreamByte += ByteTime(port);
        }
    }
}

std::optional<int64_t> BridgeTimeline::OldestReceived(uint8_t port) const
{
    const Channel& channel = Channels[port];
    if (!channel.Buffer.empty()) {
        return channel.Buffer.front().Time;
    }
    std::optional<int64_t> oldest;
    if (!channel.Incoming.empty()) {
        oldest = channel.Incoming.front().Time;
    }
    if (Settings.ReceiveStream[port]) {
        const int64_t next = static_cast<int64_t>(std::ceil(channel.NextStreamByte));
        oldest = oldest ? std::min(*oldest, next) : next;
    }
    return oldest;
}

std::optional<int64_t> BridgeTimeline::NextInCarry() const
{
    std::optional<int64_t> ready;
    if (!Answers.empty()) {
        ready = Answers.front().Ready;
    }
    for (uint8_t port = 0; port < wire::kPortCount; ++port) {
        if (auto oldest = OldestReceived(port)) {
            ready = ready ? std::min(*ready, *oldest) : *oldest;
        }
    }
    if (!ready) {
        return std::nullopt;
    }
    return std::max(*ready, ReadPostedFrom);
}

std::optional<int64_t> BridgeTimeline::NextInReport() const
{
    // The end of the microframe that carries it.
    const auto carried = NextInCarry();
    return carried ? std::optional<int64_t>(NextMicroframe(*carried)) : std::nullopt;
}

BridgeTimeline::InTransfer BridgeTimeline::TakeIn()
{
    InTransfer transfer;
    transfer.Carried = NextInCarry().value_or(ReadPostedFrom);
    for (uint8_t port = 0; port < wire::kPortCount; ++port) {
        Receive(port, transfer.Carried);
    }

    // Whatever became ready first goes first; an answer wins a tie.
    std::optional<uint8_t> dataPort;
    int64_t dataReady = 0;
    for (uint8_t port = 0; port < wire::kPortCount; ++port) {
        const auto& buffer = Channels[port].Buffer;
        if (!buffer.empty() && (!dataPort || buffer.front().Time < dataReady)) {
            dataPort = port;
            dataReady = buffer.front().Time;
        }
    }
    const bool answer = !Answers.empty() && Answers.front().Ready <= transfer.Carried &&
                        (!dataPort || Answers.front().Ready <= dataReady);
    if (answer) {
        transfer.Frame = std::move(Answers.front().Frame);
        Answers.pop_front();
        QuietSends++;
    } else if (dataPort) {
        QuietSends += Settings.ReceiveStream[*dataPort] ? 0 : 1;
        Channel& channel = Channels[*dataPort];
        const size_t count = std::min(channel.Buffer.size(), wire::kMaxPayload);
        wire::Bytes payload;
        payload.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            payload.push_back(channel.Buffer.front().Byte);
            channel.Buffer.pop_front();
        }
        channel.Counts.Sent += count;
        transfer.Frame = wire::Data(*dataPort, payload);
    }
    // The read re-posted when the host learns of this one is carried from
    // the microframe after.
    transfer.Reported = NextMicroframe(transfer.Carried);
    ReadPostedFrom = transfer.Reported + Settings.Microframe;
    LastInReported = transfer.Reported;
    Mix(InHash, transfer.Carried - Origin);
    Mix(InHash, transfer.Frame);
    return transfer;
}

bool BridgeTimeline::Quiet() const
{
    if (!Answers.empty()) {
        return false;
    }
    for (uint8_t port = 0; port < wire::kPortCount; ++port) {
        const Channel& channel = Channels[port];
        if (!Settings.ReceiveStream[port] && (!channel.Incoming.empty() || !channel.Buffer.empty())) {
            return false;
        }
    }
    return true;
}

uint64_t BridgeTimeline::Digest() const
{
    uint64_t hash = kFnvBasis;
    Mix(hash, static_cast<int64_t>(OutHash));
    Mix(hash, static_cast<int64_t>(InHash));
    return hash;
}

void BridgeTimeline::Mix(uint64_t& hash, int64_t value)
{
    for (int i = 0; i < 8; ++i) {
        hash = (hash ^ static_cast<uint8_t>(value >> (8 * i))) * 1099511628211ull;
    }
}

void BridgeTimeline::Mix(uint64_t& hash, const wire::Bytes& bytes)
{
    for (uint8_t byte : bytes) {
        hash = (hash ^ byte) * 1099511628211ull;
    }
}

} // namespace bridge
