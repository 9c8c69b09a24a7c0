#include "bridge/bridge_model.h"

#include "host/kernel/time_scale.h"

#include <algorithm>
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
    : endpoints_{{0x81, host::UsbEndpointType::Bulk, 512}, {0x02, host::UsbEndpointType::Bulk, 512}}
{
}

BridgeModel::~BridgeModel() { Connect(nullptr); }

std::vector<host::UsbEndpointDescriptor> BridgeModel::Endpoints() const
{
    std::lock_guard lock(stateMutex_);
    return endpoints_;
}

void BridgeModel::SetEndpoints(std::vector<host::UsbEndpointDescriptor> endpoints)
{
    std::lock_guard lock(stateMutex_);
    endpoints_ = std::move(endpoints);
}

void BridgeModel::Connect(host::UsbHostLink* link)
{
    // Whatever was plugged in before is unplugged first: its late answers are dropped.
    StopLateThread();
    {
        std::lock_guard lock(linkMutex_);
        link_ = link;
    }
    if (link == nullptr) return;

    std::vector<int32_t> inFailures;
    uint8_t inEndpoint;
    {
        std::lock_guard lock(stateMutex_);
        connected_ = true;
        stopping_ = false;
        inFailures.swap(pendingInFailures_);
        inEndpoint = InEndpoint();
    }
    lateThread_ = std::thread(&BridgeModel::LateLoop, this);
    if (inEndpoint == 0) return;
    std::lock_guard lock(linkMutex_);
    for (int32_t status : inFailures) link_->FailIn(inEndpoint, status);
}

host::UsbOutResult BridgeModel::OnOutTransfer(uint8_t endpoint, const uint8_t* data, size_t length)
{
    std::optional<wire::Frame> frame = wire::Decode(data, length);
    const bool isHello = frame && frame->port == wire::kDevicePort && frame->type == wire::kTypeAnnounce;

    std::optional<Answer> answer;
    size_t loopedBack = 0;
    host::UsbOutResult result;
    {
        std::lock_guard lock(stateMutex_);
        result = TakeOutFault(isHello ? OutScope::Hello : OutScope::Commands);
        const bool reachedFirmware = result.Outcome == host::UsbOutResult::Kind::Completed && result.Status == 0;
        if (reachedFirmware && frame) {
            answer = isHello ? AnswerHello(*frame) : AnswerCommand(*frame, loopedBack, result);
        }
        if (answer && answer->held && connected_) {
            heldAnswers_.push_back(std::move(answer->transfer));
            answer.reset();
        } else if (answer && answer->lateBy > 0) {
            Schedule(std::move(*answer));
            answer.reset();
        }
        record_.push_back({endpoint, wire::Bytes(data, data + length), frame, result});
    }
    recordChanged_.notify_all();
    heldChanged_.notify_all();

    // Sent before the write returns: the answer races the write's completion
    // as it does on the bus.
    if (answer) SendToHost(answer->transfer);
    if (loopedBack > 0) {
        SendToHost(wire::Data(frame->port, wire::Bytes(frame->payload.begin(), frame->payload.begin() + loopedBack)));
    }
    return result;
}

host::UsbOutResult BridgeModel::TakeOutFault(OutScope scope)
{
    auto found = outFaults_.find(scope);
    if (found == outFaults_.end()) return host::UsbOutResult::Ok();
    const OutWriteFault fault = found->second;
    if (fault.oneShot) outFaults_.erase(found);
    switch (fault.kind) {
    case OutWriteFault::Kind::Fail: return host::UsbOutResult::Fail(fault.status);
    case OutWriteFault::Kind::Hang: return host::UsbOutResult::Hang();
    case OutWriteFault::Kind::None: break;
    }
    return host::UsbOutResult::Ok();
}

std::optional<BridgeModel::Answer> BridgeModel::AnswerHello(const wire::Frame& frame)
{
    // Only the exact hello is answered; any other device-wide frame is ignored.
    if (frame.reserved != 0 || !frame.payload.empty()) return std::nullopt;
    const HelloBehaviour behaviour = hello_;
    if (behaviour.oneShot) hello_ = HelloBehaviour{};
    switch (behaviour.reply) {
    case HelloBehaviour::Reply::Announce: return Answer{wire::Announce(), behaviour.lateBy};
    case HelloBehaviour::Reply::Raw: return Answer{behaviour.raw, behaviour.lateBy};
    case HelloBehaviour::Reply::Silent: break;
    }
    return std::nullopt;
}

std::optional<BridgeModel::Answer> BridgeModel::AnswerCommand(const wire::Frame& frame, size_t& loopedBack,
                                                              host::UsbOutResult& result)
{
    if (!IsPortCommand(frame.type) || frame.port >= wire::kPortCount) return std::nullopt;
    const size_t sent = frame.payload.size();

    PortBehaviour behaviour{};
    size_t countIndex = 0;
    auto found = portBehaviours_.find({frame.port, static_cast<Command>(frame.type)});
    if (found == portBehaviours_.end()) found = portBehaviours_.find({frame.port, Command::Any});
    if (found != portBehaviours_.end()) {
        behaviour = found->second.behaviour;
        countIndex = found->second.nextCount++;
        if (behaviour.oneShot) portBehaviours_.erase(found);
    } else if (frame.port < kFirstAnsweredPort) {
        behaviour = PortBehaviour::Silent();
    } else if (random_) {
        bool failOut = false;
        if (auto drawn = RandomBehaviour(sent, failOut)) behaviour = *drawn;
        if (failOut) {
            result = host::UsbOutResult::Fail(random_->failOutStatus);
            return std::nullopt;
        }
    }

    size_t accepted = sent;
    if (!behaviour.acceptCounts.empty()) {
        const size_t count = behaviour.acceptCounts[std::min(countIndex, behaviour.acceptCounts.size() - 1)];
        accepted = std::min(count, sent);
    }
    const size_t value = behaviour.claimMoreThanSent ? sent + 1 : accepted;

    // The loopback carries what the firmware took: nothing it refused, all of
    // a frame whose answer it withholds.
    const bool took = behaviour.reply == PortBehaviour::Reply::Silent ||
                      (behaviour.reply == PortBehaviour::Reply::Ack && (behaviour.status == 0 || behaviour.status == 2));
    if (loopback_ && frame.type == wire::kTypeData && took) {
        loopedBack = behaviour.reply == PortBehaviour::Reply::Silent ? sent : accepted;
    }

    const uint8_t port = behaviour.answerPort.value_or(frame.port);
    const uint8_t command = behaviour.echoCommand.value_or(frame.type);
    switch (behaviour.reply) {
    case PortBehaviour::Reply::Ack:
        return Answer{wire::Ack(port, command, behaviour.status, static_cast<uint16_t>(value)), behaviour.lateBy,
                      behaviour.held};
    case PortBehaviour::Reply::Nak:
        return Answer{wire::Nak(port, command, behaviour.nakReason), behaviour.lateBy, behaviour.held};
    case PortBehaviour::Reply::Silent: break;
    }
    return std::nullopt;
}

std::optional<PortBehaviour> BridgeModel::RandomBehaviour(size_t sentLength, bool& failOut)
{
    const RandomFaults& faults = *random_;
    if (Roll() < faults.failOut) {
        failOut = true;
        return std::nullopt;
    }
    if (Roll() < faults.silent) return PortBehaviour::Silent();
    if (Roll() < faults.refuse) return PortBehaviour::Refuse();
    if (Roll() < faults.badStatus) return PortBehaviour::WithStatus(1);
    if (Roll() < faults.partial) {
        return PortBehaviour::Accept({static_cast<uint16_t>(sentLength == 0 ? 0 : rng_() % sentLength)});
    }
    if (Roll() < faults.late && faults.maxLateBy > 0) {
        return PortBehaviour::Late(1 + static_cast<int64_t>(rng_() % static_cast<uint64_t>(faults.maxLateBy)));
    }
    return std::nullopt;
}

double BridgeModel::Roll()
{
    // 53 random bits into [0, 1): the same sequence for a seed on every library.
    return static_cast<double>(rng_() >> 11) * (1.0 / 9007199254740992.0);
}

uint8_t BridgeModel::InEndpoint() const
{
    // With two bulk IN endpoints the host reads the later one.
    for (auto it = endpoints_.rbegin(); it != endpoints_.rend(); ++it) {
        if (it->IsIn() && it->Type == host::UsbEndpointType::Bulk) return it->Address;
    }
    return 0;
}

void BridgeModel::Schedule(Answer answer)
{
    if (!connected_) return;
    const auto due = std::chrono::steady_clock::now() + host::KernelIntervalToReal(answer.lateBy);
    lateQueue_.push_back({due, lateOrder_++, std::move(answer.transfer)});
    std::push_heap(lateQueue_.begin(), lateQueue_.end(), std::greater<>());
    lateChanged_.notify_all();
}

void BridgeModel::LateLoop()
{
    std::unique_lock lock(stateMutex_);
    while (!stopping_) {
        if (lateQueue_.empty()) {
            lateChanged_.wait(lock);
            continue;
        }
        const auto due = lateQueue_.front().due;
        if (std::chrono::steady_clock::now() < due) {
            lateChanged_.wait_until(lock, due);
            continue;
        }
        std::pop_heap(lateQueue_.begin(), lateQueue_.end(), std::greater<>());
        wire::Bytes transfer = std::move(lateQueue_.back().transfer);
        lateQueue_.pop_back();
        lock.unlock();
        SendToHost(transfer);
        lock.lock();
    }
}

void BridgeModel::StopLateThread()
{
    {
        std::lock_guard lock(stateMutex_);
        connected_ = false;
        stopping_ = true;
        lateQueue_.clear();
        heldAnswers_.clear();
    }
    lateChanged_.notify_all();
    if (lateThread_.joinable()) lateThread_.join();
}

bool BridgeModel::SendToHost(const wire::Bytes& transfer)
{
    uint8_t endpoint;
    {
        std::lock_guard lock(stateMutex_);
        endpoint = InEndpoint();
    }
    if (endpoint == 0) return false;
    std::lock_guard lock(linkMutex_);
    if (link_ == nullptr) return false;
    link_->SendIn(endpoint, transfer.data(), transfer.size());
    return true;
}

void BridgeModel::SetPortBehaviour(uint8_t port, Command command, PortBehaviour behaviour)
{
    std::lock_guard lock(stateMutex_);
    portBehaviours_[{port, command}] = Stored{std::move(behaviour), 0};
}

void BridgeModel::ClearPortBehaviour(uint8_t port, Command command)
{
    std::lock_guard lock(stateMutex_);
    portBehaviours_.erase({port, command});
}

void BridgeModel::SetHelloBehaviour(HelloBehaviour behaviour)
{
    std::lock_guard lock(stateMutex_);
    hello_ = std::move(behaviour);
}

void BridgeModel::SetOutWriteFault(OutScope scope, OutWriteFault fault)
{
    std::lock_guard lock(stateMutex_);
    outFaults_[scope] = fault;
}

void BridgeModel::SetLoopback(bool enabled)
{
    std::lock_guard lock(stateMutex_);
    loopback_ = enabled;
}

void BridgeModel::FailNextIn(int32_t status, unsigned count)
{
    uint8_t endpoint;
    {
        std::lock_guard lock(stateMutex_);
        if (!connected_) {
            pendingInFailures_.insert(pendingInFailures_.end(), count, status);
            return;
        }
        endpoint = InEndpoint();
    }
    std::lock_guard lock(linkMutex_);
    if (link_ == nullptr || endpoint == 0) return;
    for (unsigned i = 0; i < count; ++i) link_->FailIn(endpoint, status);
}

void BridgeModel::SetRandomFaults(const RandomFaults& faults)
{
    std::lock_guard lock(stateMutex_);
    random_ = faults;
    rng_.seed(faults.seed);
}

void BridgeModel::ResetBehaviour()
{
    std::lock_guard lock(stateMutex_);
    portBehaviours_.clear();
    hello_ = HelloBehaviour{};
    outFaults_.clear();
    loopback_ = true;
    pendingInFailures_.clear();
    random_.reset();
}

bool BridgeModel::InjectIn(const wire::Bytes& transfer) { return SendToHost(transfer); }

bool BridgeModel::ReleaseHeldAnswer(std::chrono::milliseconds timeout)
{
    wire::Bytes transfer;
    {
        std::unique_lock lock(stateMutex_);
        if (!heldChanged_.wait_for(lock, timeout, [&] { return !heldAnswers_.empty(); })) return false;
        transfer = std::move(heldAnswers_.front());
        heldAnswers_.pop_front();
    }
    return SendToHost(transfer);
}

bool BridgeModel::SendAnnounce() { return SendToHost(wire::Announce()); }

bool BridgeModel::SendData(uint8_t port, const wire::Bytes& payload) { return SendToHost(wire::Data(port, payload)); }

std::vector<OutTransfer> BridgeModel::OutTransfers() const
{
    std::lock_guard lock(stateMutex_);
    return record_;
}

std::vector<wire::Frame> BridgeModel::OutFrames() const
{
    std::lock_guard lock(stateMutex_);
    std::vector<wire::Frame> frames;
    for (const OutTransfer& transfer : record_) {
        if (transfer.frame) frames.push_back(*transfer.frame);
    }
    return frames;
}

size_t BridgeModel::OutTransferCount() const
{
    std::lock_guard lock(stateMutex_);
    return record_.size();
}

void BridgeModel::ClearOutTransfers()
{
    std::lock_guard lock(stateMutex_);
    record_.clear();
}

bool BridgeModel::WaitForOutTransfers(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(stateMutex_);
    return recordChanged_.wait_for(lock, timeout, [&] { return record_.size() >= count; });
}

} // namespace bridge
