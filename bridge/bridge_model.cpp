#include "bridge/bridge_model.h"

#include "host/kernel/time_scale.h"
#include "host/usb/little_endian.h"

#include <algorithm>
#include <climits>
#include <functional>

namespace bridge {

namespace {

constexpr uint8_t kFirstAnsweredPort = 2;

bool IsPortCommand(uint8_t type)
{
    return type == wire::kTypeData || type == wire::kTypeSetConfig || type == wire::kTypeControl;
}

} // namespace

BridgeModel::BridgeModel()
    : EndpointList{{0x81, host::UsbEndpointType::Bulk, 512}, {0x02, host::UsbEndpointType::Bulk, 512}}
{
}

BridgeModel::~BridgeModel() { Connect(nullptr); }

std::vector<host::UsbEndpointDescriptor> BridgeModel::Endpoints() const
{
    std::lock_guard lock(StateMutex);
    return EndpointList;
}

void BridgeModel::SetEndpoints(std::vector<host::UsbEndpointDescriptor> endpoints)
{
    std::lock_guard lock(StateMutex);
    EndpointList = std::move(endpoints);
}

void BridgeModel::Connect(host::UsbHostLink* link)
{
    // Whatever was plugged in before is unplugged first: its late answers are dropped.
    StopLateThread();
    {
        std::lock_guard lock(LinkMutex);
        Link = link;
    }
    if (link == nullptr) return;

    std::vector<int32_t> inFailures;
    uint8_t inEndpoint;
    {
        std::lock_guard lock(StateMutex);
        Connected = true;
        Stopping = false;
        inFailures.swap(PendingInFailures);
        // A fresh timeline, started by the host's first transfer (the hello).
        Timeline.reset();
        LateDeliveries = 0;
        inEndpoint = InEndpoint();
    }
    LateThread = std::thread(&BridgeModel::LateLoop, this);
    if (inEndpoint == 0) return;
    std::lock_guard lock(LinkMutex);
    for (int32_t status : inFailures) Link->FailIn(inEndpoint, status);
}

host::UsbOutResult BridgeModel::OnOutTransfer(uint8_t endpoint, const uint8_t* data, size_t length)
{
    std::optional<wire::Frame> frame = wire::Decode(data, length);
    const bool isHello = frame && frame->Port == wire::kDevicePort && frame->Type == wire::kTypeAnnounce;

    std::optional<Answer> answer;
    size_t loopedBack = 0;
    host::UsbOutResult result;
    std::unique_lock lock(StateMutex);
    result = TakeOutFault(isHello ? OutScope::Hello : OutScope::Commands);
    const bool reachedFirmware = result.Outcome == host::UsbOutResult::Kind::Completed && result.Status == 0;
    std::optional<int64_t> reported;
    if (TimingSettings && !Timeline && Connected) {
        // Every timeline starts with a transfer of the host's, so the same
        // traffic gives the same plan however long the host took to begin.
        Timeline.emplace(*TimingSettings, host::KernelTimeNow());
    }
    if (reachedFirmware && frame && Timeline) {
        reported = PlanTimed(*frame, isHello, answer, result);
    } else if (reachedFirmware && frame) {
        size_t taken = 0;
        answer = isHello ? AnswerHello(*frame) : AnswerCommand(*frame, wire::kMaxPayload, taken, result);
        loopedBack = Loopback && frame->Type == wire::kTypeData ? taken : 0;
    }
    if (answer && answer->Held && Connected) {
        HeldAnswers.push_back(std::move(answer->Transfer));
        answer.reset();
    } else if (answer && answer->LateBy > 0) {
        Schedule(std::move(*answer));
        answer.reset();
    }
    Record.push_back({endpoint, wire::Bytes(data, data + length), frame, result});
    RecordChanged.notify_all();
    HeldChanged.notify_all();
    if (reported) {
        LateChanged.notify_all();
        SleepUntilKernelTime(lock, *reported);
        return result;
    }
    lock.unlock();

    // Sent before the write returns: the answer races the write's completion
    // as it does on the bus.
    if (answer) SendToHost(answer->Transfer);
    if (loopedBack > 0) {
        SendToHost(wire::Data(frame->Port, wire::Bytes(frame->Payload.begin(), frame->Payload.begin() + loopedBack)));
    }
    return result;
}

int64_t BridgeModel::PlanTimed(const wire::Frame& frame, bool isHello, std::optional<Answer>& answer,
                               host::UsbOutResult& result)
{
    BridgeTimeline& timeline = *Timeline;
    const auto plan = timeline.PlanOut(host::KernelTimeNow(), frame.Port, frame.Type, frame.Payload.size());
    size_t taken = 0;
    answer = isHello ? AnswerHello(frame) : AnswerCommand(frame, plan.Room, taken, result);
    if (result.Outcome != host::UsbOutResult::Kind::Completed || result.Status != 0) {
        return plan.Reported;
    }
    if (frame.Port < wire::kPortCount && frame.Type == wire::kTypeData && taken > 0) {
        timeline.Transmit(frame.Port, plan.Carried, frame.Payload.data(), taken, Loopback);
    }
    if (frame.Type == wire::kTypeSetConfig && frame.Payload.size() >= 8 && taken == frame.Payload.size()) {
        const wire::Bytes& p = frame.Payload;
        LineSettings line;
        line.BaudRate = host::little_endian::Get<uint32_t>(p.data());
        line.DataBits = p[4];
        line.Parity = p[5];
        line.StopBits = p[6];
        timeline.SetLine(frame.Port, line);
    }
    if (answer && !answer->Held) {
        timeline.QueueAnswer(plan.Carried + timeline.Config().DeviceTurnaround + answer->LateBy,
                             std::move(answer->Transfer));
        answer.reset();
    }
    return plan.Reported;
}

void BridgeModel::SleepUntilKernelTime(std::unique_lock<std::mutex>& lock, int64_t until)
{
    for (;;) {
        const int64_t now = host::KernelTimeNow();
        if (Stopping || now >= until) {
            return;
        }
        LateChanged.wait_for(lock, host::KernelIntervalToReal(until - now));
    }
}

host::UsbOutResult BridgeModel::TakeOutFault(OutScope scope)
{
    auto found = OutFaults.find(scope);
    if (found == OutFaults.end()) return host::UsbOutResult::Ok();
    const OutWriteFault fault = found->second;
    if (fault.OneShot) OutFaults.erase(found);
    switch (fault.Outcome) {
    case OutWriteFault::Kind::Fail: return host::UsbOutResult::Fail(fault.Status);
    case OutWriteFault::Kind::Hang: return host::UsbOutResult::Hang();
    case OutWriteFault::Kind::None: break;
    }
    return host::UsbOutResult::Ok();
}

std::optional<BridgeModel::Answer> BridgeModel::AnswerHello(const wire::Frame& frame)
{
    // Only the exact hello is answered; any other device-wide frame is ignored.
    if (frame.Reserved != 0 || !frame.Payload.empty()) return std::nullopt;
    const HelloBehaviour behaviour = Hello;
    if (behaviour.OneShot) Hello = HelloBehaviour{};
    switch (behaviour.Answer) {
    case HelloBehaviour::Reply::Announce: return Answer{wire::Announce(), behaviour.LateBy};
    case HelloBehaviour::Reply::Raw: return Answer{behaviour.Raw, behaviour.LateBy};
    case HelloBehaviour::Reply::Silent: break;
    }
    return std::nullopt;
}

std::optional<BridgeModel::Answer> BridgeModel::AnswerCommand(const wire::Frame& frame, size_t room, size_t& taken,
                                                              host::UsbOutResult& result)
{
    if (!IsPortCommand(frame.Type) || frame.Port >= wire::kPortCount) return std::nullopt;
    const size_t sent = frame.Payload.size();

    PortBehaviour behaviour{};
    size_t countIndex = 0;
    auto found = PortBehaviours.find({frame.Port, static_cast<Command>(frame.Type)});
    if (found == PortBehaviours.end()) found = PortBehaviours.find({frame.Port, Command::Any});
    if (found != PortBehaviours.end()) {
        behaviour = found->second.Behaviour;
        countIndex = found->second.NextCount++;
        if (behaviour.OneShot) PortBehaviours.erase(found);
    } else if (frame.Port < kFirstAnsweredPort) {
        behaviour = PortBehaviour::Silent();
    } else if (Random) {
        bool failOut = false;
        if (auto drawn = RandomBehaviour(sent, failOut)) behaviour = *drawn;
        if (failOut) {
            result = host::UsbOutResult::Fail(Random->FailOutStatus);
            return std::nullopt;
        }
    }

    size_t accepted = sent;
    if (!behaviour.AcceptCounts.empty()) {
        const size_t count = behaviour.AcceptCounts[std::min(countIndex, behaviour.AcceptCounts.size() - 1)];
        accepted = std::min(count, sent);
    }
    if (frame.Type == wire::kTypeData) {
        accepted = std::min(accepted, room);  // what the channel's FIFO has room for
    }
    const size_t value = behaviour.ClaimMoreThanSent ? sent + 1 : accepted;

    // The firmware takes nothing it refused, and all of a frame whose answer
    // it withholds.
    const bool took = behaviour.Answer == PortBehaviour::Reply::Silent ||
                      (behaviour.Answer == PortBehaviour::Reply::Ack && (behaviour.Status == 0 || behaviour.Status == 2));
    if (took) {
        const bool silent = behaviour.Answer == PortBehaviour::Reply::Silent;
        taken = frame.Type == wire::kTypeData ? std::min(silent ? sent : accepted, room) : sent;
    }

    const uint8_t port = behaviour.AnswerPort.value_or(frame.Port);
    const uint8_t command = behaviour.EchoCommand.value_or(frame.Type);
    switch (behaviour.Answer) {
    case PortBehaviour::Reply::Ack:
        return Answer{wire::Ack(port, command, behaviour.Status, static_cast<uint16_t>(value)), behaviour.LateBy,
                      behaviour.HoldAnswer};
    case PortBehaviour::Reply::Nak:
        return Answer{wire::Nak(port, command, behaviour.NakReason), behaviour.LateBy, behaviour.HoldAnswer};
    case PortBehaviour::Reply::Silent: break;
    }
    return std::nullopt;
}

std::optional<PortBehaviour> BridgeModel::RandomBehaviour(size_t sentLength, bool& failOut)
{
    const RandomFaults& faults = *Random;
    if (Roll() < faults.FailOut) {
        failOut = true;
        return std::nullopt;
    }
    if (Roll() < faults.Silent) return PortBehaviour::Silent();
    if (Roll() < faults.Refuse) return PortBehaviour::Refuse();
    if (Roll() < faults.BadStatus) return PortBehaviour::WithStatus(1);
    if (Roll() < faults.Partial) {
        return PortBehaviour::Accept({static_cast<uint16_t>(sentLength == 0 ? 0 : Rng() % sentLength)});
    }
    if (Roll() < faults.Late && faults.MaxLateBy > 0) {
        return PortBehaviour::Late(1 + static_cast<int64_t>(Rng() % static_cast<uint64_t>(faults.MaxLateBy)));
    }
    return std::nullopt;
}

double BridgeModel::Roll()
{
    // 53 random bits into [0, 1): the same sequence for a seed on every library.
    return static_cast<double>(Rng() >> 11) * (1.0 / 9007199254740992.0);
}

uint8_t BridgeModel::InEndpoint() const
{
    // With two bulk IN endpoints the host reads the later one.
    for (auto it = EndpointList.rbegin(); it != EndpointList.rend(); ++it) {
        if (it->IsIn() && it->Type == host::UsbEndpointType::Bulk) return it->Address;
    }
    return 0;
}

void BridgeModel::Schedule(Answer answer)
{
    if (!Connected) return;
    const auto due = std::chrono::steady_clock::now() + host::KernelIntervalToReal(answer.LateBy);
    LateQueue.push_back({due, LateOrder++, std::move(answer.Transfer)});
    std::push_heap(LateQueue.begin(), LateQueue.end(), std::greater<>());
    LateChanged.notify_all();
}

void BridgeModel::LateLoop()
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(StateMutex);
    while (!Stopping) {
        std::optional<Clock::time_point> due;
        if (!LateQueue.empty()) {
            due = LateQueue.front().Due;
        }
        // INT64_MAX: nothing to send on the timeline.
        const int64_t reportAt = Timeline ? Timeline->NextInReport().value_or(INT64_MAX) : INT64_MAX;
        const int64_t now = host::KernelTimeNow();
        if (reportAt != INT64_MAX) {
            const auto timed = Clock::now() + (reportAt > now ? host::KernelIntervalToReal(reportAt - now)
                                                              : std::chrono::nanoseconds(0));
            due = due ? std::min(*due, timed) : timed;
        }
        if (!due) {
            LateChanged.wait(lock);
            continue;
        }
        if (Clock::now() < *due) {
            // A new OUT transfer wakes this early: it may bring something sooner.
            LateChanged.wait_until(lock, *due);
            continue;
        }
        wire::Bytes transfer;
        bool fromTimeline = false;
        if (!LateQueue.empty() && LateQueue.front().Due <= Clock::now()) {
            std::pop_heap(LateQueue.begin(), LateQueue.end(), std::greater<>());
            transfer = std::move(LateQueue.back().Transfer);
            LateQueue.pop_back();
        } else if (now >= reportAt) {
            if (now - reportAt > Timeline->Config().Microframe) {
                LateDeliveries++;
            }
            transfer = Timeline->TakeIn().Frame;
            fromTimeline = true;
            TimedInFlight++;
        } else {
            continue;
        }
        lock.unlock();
        SendToHost(transfer);
        lock.lock();
        if (fromTimeline) {
            TimedInFlight--;
            TimedSent.notify_all();
        }
    }
}

void BridgeModel::StopLateThread()
{
    {
        std::lock_guard lock(StateMutex);
        Connected = false;
        Stopping = true;
        LateQueue.clear();
        HeldAnswers.clear();
    }
    LateChanged.notify_all();
    if (LateThread.joinable()) LateThread.join();
}

bool BridgeModel::SendToHost(const wire::Bytes& transfer)
{
    uint8_t endpoint;
    {
        std::lock_guard lock(StateMutex);
        endpoint = InEndpoint();
    }
    if (endpoint == 0) return false;
    std::lock_guard lock(LinkMutex);
    if (Link == nullptr) return false;
    Link->SendIn(endpoint, transfer.data(), transfer.size());
    return true;
}

void BridgeModel::SetPortBehaviour(uint8_t port, Command command, PortBehaviour behaviour)
{
    std::lock_guard lock(StateMutex);
    PortBehaviours[{port, command}] = Stored{std::move(behaviour), 0};
}

void BridgeModel::ClearPortBehaviour(uint8_t port, Command command)
{
    std::lock_guard lock(StateMutex);
    PortBehaviours.erase({port, command});
}

void BridgeModel::SetHelloBehaviour(HelloBehaviour behaviour)
{
    std::lock_guard lock(StateMutex);
    Hello = std::move(behaviour);
}

void BridgeModel::SetOutWriteFault(OutScope scope, OutWriteFault fault)
{
    std::lock_guard lock(StateMutex);
    OutFaults[scope] = fault;
}

void BridgeModel::SetLoopback(bool enabled)
{
    std::lock_guard lock(StateMutex);
    Loopback = enabled;
}

void BridgeModel::FailNextIn(int32_t status, unsigned count)
{
    uint8_t endpoint;
    {
        std::lock_guard lock(StateMutex);
        if (!Connected) {
            PendingInFailures.insert(PendingInFailures.end(), count, status);
            return;
        }
        endpoint = InEndpoint();
    }
    std::lock_guard lock(LinkMutex);
    if (Link == nullptr || endpoint == 0) return;
    for (unsigned i = 0; i < count; ++i) Link->FailIn(endpoint, status);
}

void BridgeModel::SetRandomFaults(const RandomFaults& faults)
{
    std::lock_guard lock(StateMutex);
    Random = faults;
    Rng.seed(faults.Seed);
}

void BridgeModel::ResetBehaviour()
{
    std::lock_guard lock(StateMutex);
    PortBehaviours.clear();
    Hello = HelloBehaviour{};
    OutFaults.clear();
    Loopback = true;
    PendingInFailures.clear();
    Random.reset();
}

void BridgeModel::SetTiming(std::optional<TimingConfig> config)
{
    {
        std::lock_guard lock(StateMutex);
        TimingSettings = config;
        Timeline.reset();  // the next one starts with the host's next transfer
        LateDeliveries = 0;
    }
    LateChanged.notify_all();
}

std::optional<TimingReport> BridgeModel::Timing() const
{
    std::lock_guard lock(StateMutex);
    if (!TimingSettings) {
        return std::nullopt;
    }
    // Before the host's first transfer, what a timeline holds at its start.
    const BridgeTimeline unstarted(*TimingSettings, 0);
    const BridgeTimeline& timeline = Timeline ? *Timeline : unstarted;
    TimingReport report;
    report.Config = timeline.Config();
    for (uint8_t port = 0; port < wire::kPortCount; ++port) {
        report.Channels[port] = timeline.Counts(port);
        report.LineRate[port] = timeline.LineRate(port);
    }
    report.Digest = timeline.Digest();
    report.LateDeliveries = LateDeliveries;
    report.HostSlips = timeline.HostSlips();
    return report;
}

bool BridgeModel::WaitTimedSent(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(StateMutex);
    return TimedSent.wait_for(lock, timeout,
                              [&] { return !Timeline || !Connected || (Timeline->Quiet() && TimedInFlight == 0); });
}

uint64_t BridgeModel::TimedSentCount() const
{
    std::lock_guard lock(StateMutex);
    return Timeline ? Timeline->SentBeforeQuiet() : 0;
}

bool BridgeModel::InjectIn(const wire::Bytes& transfer) { return SendToHost(transfer); }

bool BridgeModel::ReleaseHeldAnswer(std::chrono::milliseconds timeout)
{
    wire::Bytes transfer;
    {
        std::unique_lock lock(StateMutex);
        if (!HeldChanged.wait_for(lock, timeout, [&] { return !HeldAnswers.empty(); })) return false;
        transfer = std::move(HeldAnswers.front());
        HeldAnswers.pop_front();
    }
    return SendToHost(transfer);
}

bool BridgeModel::SendAnnounce() { return SendToHost(wire::Announce()); }

bool BridgeModel::SendData(uint8_t port, const wire::Bytes& payload) { return SendToHost(wire::Data(port, payload)); }

std::vector<OutTransfer> BridgeModel::OutTransfers() const
{
    std::lock_guard lock(StateMutex);
    return Record;
}

std::vector<wire::Frame> BridgeModel::OutFrames() const
{
    std::lock_guard lock(StateMutex);
    std::vector<wire::Frame> frames;
    for (const OutTransfer& transfer : Record) {
        if (transfer.Frame) frames.push_back(*transfer.Frame);
    }
    return frames;
}

size_t BridgeModel::OutTransferCount() const
{
    std::lock_guard lock(StateMutex);
    return Record.size();
}

void BridgeModel::ClearOutTransfers()
{
    std::lock_guard lock(StateMutex);
    Record.clear();
}

bool BridgeModel::WaitForOutTransfers(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(StateMutex);
    return RecordChanged.wait_for(lock, timeout, [&] { return Record.size() >= count; });
}

} // namespace bridge
