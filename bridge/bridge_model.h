// A model of the bridge's firmware on the far end of the two bulk pipes.
//
// Healthy by default: it answers the host's hello with its announce, ACKs
// every data, set-config and control command on ports 2 to 7 in full, never
// answers ports 0 and 1, and loops each port's accepted data back as received
// data on the same port. Tests bend that with the knobs below, all of which
// may be changed from any thread at any time.
#pragma once

#include "bridge/timing.h"
#include "bridge/wire.h"
#include "host/usb/device_model.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace bridge {

// Which commands a port behaviour applies to. An entry for one type wins over
// the port's Any entry.
enum class Command : uint8_t {
    Any = 0,
    Data = wire::kTypeData,
    SetConfig = wire::kTypeSetConfig,
    Control = wire::kTypeControl,
};

// How the bridge answers a command on a port. Default-constructed: a full ACK.
struct PortBehaviour {
    enum class Reply : uint8_t { Ack, Nak, Silent };
    Reply Answer = Reply::Ack;
    uint8_t Status = 0;                    // ACK status byte
    std::vector<uint16_t> AcceptCounts;    // ACK values used in turn, the last repeated, each capped at
                                           // the sent length; empty: the whole payload
    bool ClaimMoreThanSent = false;        // ACK value = sent length + 1
    uint8_t NakReason = 0;                 // NAK second payload byte
    std::optional<uint8_t> EchoCommand;    // command byte to echo instead of the one sent
    std::optional<uint8_t> AnswerPort;     // port byte of the answer instead of the command's
    int64_t LateBy = 0;                    // kernel time (100 ns units) before the answer is sent
    bool HoldAnswer = false;               // the answer waits for ReleaseHeldAnswer; the loopback does not
    bool OneShot = false;                  // applies to the next matching command only

    static PortBehaviour Accept(std::vector<uint16_t> counts) { PortBehaviour b; b.AcceptCounts = std::move(counts); return b; }
    static PortBehaviour AcceptNone() { return Accept({0}); }
    static PortBehaviour WithStatus(uint8_t status) { PortBehaviour b; b.Status = status; return b; }
    static PortBehaviour Refuse(uint8_t reason = 0) { PortBehaviour b; b.Answer = Reply::Nak; b.NakReason = reason; return b; }
    static PortBehaviour Silent() { PortBehaviour b; b.Answer = Reply::Silent; return b; }
    static PortBehaviour Late(int64_t hundredNanoseconds) { PortBehaviour b; b.LateBy = hundredNanoseconds; return b; }
    static PortBehaviour Held() { PortBehaviour b; b.HoldAnswer = true; return b; }
    PortBehaviour Once() const { PortBehaviour b = *this; b.OneShot = true; return b; }
};

// How the bridge answers the hello.
struct HelloBehaviour {
    enum class Reply : uint8_t { Announce, Silent, Raw };
    Reply Answer = Reply::Announce;
    wire::Bytes Raw;                       // the transfer sent for Reply::Raw (a malformed announce, say)
    int64_t LateBy = 0;                    // kernel time (100 ns units) before the answer is sent
    bool OneShot = false;

    static HelloBehaviour Silent() { HelloBehaviour b; b.Answer = Reply::Silent; return b; }
    static HelloBehaviour ReplyWith(wire::Bytes transfer) { HelloBehaviour b; b.Answer = Reply::Raw; b.Raw = std::move(transfer); return b; }
    HelloBehaviour Once() const { HelloBehaviour b = *this; b.OneShot = true; return b; }
};

// Which OUT transfers a write fault hits: the hello (port 0xFF, type 0x7E) or
// everything else.
enum class OutScope : uint8_t { Hello, Commands };

// What happens to the host's OUT writes. A failed or hanging write never
// reaches the firmware: no answer, no loopback.
struct OutWriteFault {
    enum class Kind : uint8_t { None, Fail, Hang };
    Kind Outcome = Kind::None;
    int32_t Status = 0;
    bool OneShot = false;

    static OutWriteFault None() { return {}; }
    static OutWriteFault Fail(int32_t status, bool oneShot = false) { return {Kind::Fail, status, oneShot}; }
    static OutWriteFault Hang(bool oneShot = false) { return {Kind::Hang, 0, oneShot}; }
};

// Seeded random faults for stress runs. Each answered command (ports 2 to 7)
// rolls once per fault, in this order, and takes the first that hits; a
// partial accept takes a random count below the sent length, a late answer a
// random delay up to MaxLateBy.
struct RandomFaults {
    uint64_t Seed = 0;
    double FailOut = 0;
    double Silent = 0;
    double Refuse = 0;
    double BadStatus = 0;
    double Partial = 0;
    double Late = 0;
    int64_t MaxLateBy = 20'000'000;        // 2 s of kernel time: beyond the host's response time-out
    int32_t FailOutStatus = static_cast<int32_t>(0xC0000001); // STATUS_UNSUCCESSFUL
};

// What the timing mode has seen since the bridge was last plugged in.
struct TimingReport {
    TimingConfig Config;
    std::array<BridgeTimeline::ChannelCounts, wire::kPortCount> Channels{};
    std::array<double, wire::kPortCount> LineRate{};   // bytes per second, as the lines are set now
    uint64_t Digest = 0;
    // IN transfers sent more than a microframe after the model's time for
    // them: the host machine could not keep up, and the figures of the run
    // may differ from another with the same seed.
    uint64_t LateDeliveries = 0;
    // Commands the host submitted a microframe or more after it last heard
    // from the bus (BridgeTimeline::HostSlips).
    uint64_t HostSlips = 0;
};

// One OUT transfer as the host wrote it.
struct OutTransfer {
    uint8_t Endpoint = 0;
    wire::Bytes Bytes;
    std::optional<wire::Frame> Frame;      // empty when the bytes are not a well-formed frame
    host::UsbOutResult Result;             // what the host's write was given
};

class BridgeModel : public host::UsbDeviceModel {
public:
    BridgeModel();
    ~BridgeModel() override;
    BridgeModel(const BridgeModel&) = delete;
    BridgeModel& operator=(const BridgeModel&) = delete;

    // host::UsbDeviceModel
    std::vector<host::UsbEndpointDescriptor> Endpoints() const override;
    void Connect(host::UsbHostLink* link) override;
    host::UsbOutResult OnOutTransfer(uint8_t endpoint, const uint8_t* data, size_t length) override;

    // Replaces the interface's endpoints; call before the device is plugged in.
    void SetEndpoints(std::vector<host::UsbEndpointDescriptor> endpoints);

    void SetPortBehaviour(uint8_t port, Command command, PortBehaviour behaviour);
    void ClearPortBehaviour(uint8_t port, Command command);
    void SetHelloBehaviour(HelloBehaviour behaviour);
    void SetOutWriteFault(OutScope scope, OutWriteFault fault);
    void SetLoopback(bool enabled);
    // The next `count` reads the host posts on the IN endpoint fail with `status`.
    void FailNextIn(int32_t status, unsigned count = 1);
    void SetRandomFaults(const RandomFaults& faults);
    // Back to the healthy bridge: every knob above cleared, random faults off.
    // The timing mode stays as it is.
    void ResetBehaviour();

    // Timing mode on (a config) or off (nothing): OUT writes complete, and
    // answers and received data reach the host, when the timeline says. A
    // fresh timeline starts with the host's first OUT transfer after this
    // call and after every plug-in.
    void SetTiming(std::optional<TimingConfig> config);
    std::optional<TimingReport> Timing() const;
    // In timing mode, waits until the timeline has sent everything it holds
    // but what received streams keep bringing; true at once otherwise.
    bool WaitTimedSent(std::chrono::milliseconds timeout);
    // How many IN transfers of that kind the timeline has sent; 0 when not timed.
    uint64_t TimedSentCount() const;

    // Raw IN transfers; false when the device is not plugged in.
    bool InjectIn(const wire::Bytes& transfer);
    // Sends the oldest answer a Held behaviour kept, waiting up to
    // `timeout` for one; false when none came or the device is unplugged.
    bool ReleaseHeldAnswer(std::chrono::milliseconds timeout);
    bool SendAnnounce();
    bool SendData(uint8_t port, const wire::Bytes& payload);

    std::vector<OutTransfer> OutTransfers() const;
    std::vector<wire::Frame> OutFrames() const;     // the well-formed ones, in order
    size_t OutTransferCount() const;
    void ClearOutTransfers();
    // True once at least `count` transfers are recorded (since the last clear).
    bool WaitForOutTransfers(size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Answer {
        wire::Bytes Transfer;
        int64_t LateBy = 0;
        bool Held = false;
    };
    struct Late {
        std::chrono::steady_clock::time_point Due;
        uint64_t Order;
        wire::Bytes Transfer;
        bool operator>(const Late& other) const { return std::tie(Due, Order) > std::tie(other.Due, other.Order); }
    };
    struct Stored {
        PortBehaviour Behaviour;
        size_t NextCount = 0;
    };

    // These run with StateMutex held.
    host::UsbOutResult TakeOutFault(OutScope scope);
    std::optional<Answer> AnswerHello(const wire::Frame& frame);
    // `taken`: the payload bytes the firmware took, of a data frame never more
    // than `room`; 0 for a command it refused.
    std::optional<Answer> AnswerCommand(const wire::Frame& frame, size_t room, size_t& taken,
                                        host::UsbOutResult& result);
    // Plans a transfer that reached the firmware on the timeline; returns when
    // the host learns its write completed.
    int64_t PlanTimed(const wire::Frame& frame, bool isHello, std::optional<Answer>& answer,
                      host::UsbOutResult& result);
    std::optional<PortBehaviour> RandomBehaviour(size_t sentLength, bool& failOut);
    double Roll();
    uint8_t InEndpoint() const;
    void Schedule(Answer answer);

    // Sends late answers and, in timing mode, every IN transfer, each when due.
    void LateLoop();
    // Blocks the writing thread until kernel time `until`, or the unplug.
    void SleepUntilKernelTime(std::unique_lock<std::mutex>& lock, int64_t until);
    void StopLateThread();
    bool SendToHost(const wire::Bytes& transfer);

    // Lock order: StateMutex is never held while LinkMutex is taken.
    mutable std::mutex StateMutex;
    mutable std::condition_variable RecordChanged;
    std::condition_variable LateChanged;
    std::vector<host::UsbEndpointDescriptor> EndpointList;
    std::map<std::pair<uint8_t, Command>, Stored> PortBehaviours;
    HelloBehaviour Hello;
    std::map<OutScope, OutWriteFault> OutFaults;
    bool Loopback = true;
    std::vector<int32_t> PendingInFailures;     // asked for while unplugged; handed over at plug-in
    std::optional<RandomFaults> Random;
    std::mt19937_64 Rng;
    std::vector<OutTransfer> Record;
    std::vector<Late> LateQueue;                 // a min-heap on (Due, Order)
    uint64_t LateOrder = 0;
    std::deque<wire::Bytes> HeldAnswers;          // oldest first
    std::condition_variable HeldChanged;
    std::optional<TimingConfig> TimingSettings;
    std::optional<BridgeTimeline> Timeline;       // in timing mode, from the host's first transfer
    uint64_t LateDeliveries = 0;
    uint64_t TimedInFlight = 0;                   // taken from the timeline, not yet in the cable
    std::condition_variable TimedSent;            // after every IN transfer of the timeline reached the cable
    bool Connected = false;
    bool Stopping = false;
    std::thread LateThread;

    // Serialises every call into the link, so Connect(nullptr) can wait out a send in flight.
    std::mutex LinkMutex;
    host::UsbHostLink* Link = nullptr;
};

} // namespace bridge
