// Failures on the I/O paths: every fallible framework call that a port's
// request makes is made to fail once, on a fresh system each time. A healthy
// run of each request first counts the calls it makes (in the port driver and,
// for what reaches the device, in the bus driver), so a fallible call added
// to a path is swept without touching this file, and the expectation table
// must name it before the sweep passes.
//
// Each case checks what an application would see: the request completes once
// (the verifier stops a second completion) with the right status and
// information; the receive ring holds exactly the bytes it should, none lost
// and none twice; the events pending are those that happened; and the port
// carries data afterwards.
#include "support/port_system.h"

#include "bridge_port_interface.h"
#include "host/framework/device.h"
#include "host/framework/object.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace {

using Bytes = std::vector<uint8_t>;
using bridge::PortBehaviour;
using CallCounts = std::map<std::string, int>;

constexpr unsigned kPort = 3;  // answered: every chunk and command waits for the bridge's acknowledgement
constexpr auto kLong = std::chrono::seconds(10);
constexpr ULONG kEvents = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;  // the mask every case runs with

Bytes Pattern(size_t count, uint8_t seed)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t to = SIZE_MAX)
{
    to = std::min(to, bytes.size());
    return from >= to ? Bytes{} : Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes Joined(Bytes first, const Bytes& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// What the port holds once a request has run: the bytes in its ring and the
// events pending in the mask.
struct PortState {
    Bytes Ring;
    ULONG Events;
};

// One request as an application sends it. `Setup` runs before the calls are
// counted, `Send` sends the request, `Trigger` makes happen what completes it
// (data arriving), and `Healthy` is what a run without failures ends with.
struct Scenario {
    std::string Name;
    std::function<void(test::PortSystem&, host::FileHandle&)> Setup;
    std::function<std::shared_ptr<host::IoOperation>(host::FileHandle&)> Send;
    std::function<void(test::PortSystem&)> Trigger;
    NTSTATUS HealthyStatus;
    ULONG_PTR HealthyInformation;
    Bytes HealthyOutput;
    PortState Healthy;
    PortState Refused;  // the request failed before it changed anything
};

const Bytes kWaiting = Pattern(20, 1);   // in the ring before the request
const Bytes kArriving = Pattern(20, 2);  // arrives while the request is pending
const Bytes kLater = Pattern(10, 3);     // arrives after that, for a request left waiting
const Bytes kWritten = Pattern(120, 4);  // three chunks, looped back by the bridge

void Nothing(test::PortSystem&, host::FileHandle&) {}
void NoTrigger(test::PortSystem&) {}
void DataWaits(test::PortSystem& system, host::FileHandle&) { system.Receive(kPort, kWaiting); }
void DataArrives(test::PortSystem& system) { system.Receive(kPort, kArriving); }

std::function<std::shared_ptr<host::IoOperation>(host::FileHandle&)> Control(ULONG code, Bytes input = {},
                                                                               ULONG output = 0)
{
    return [=](host::FileHandle& handle) { return handle.DeviceIoControlAsync(code, input, output); };
}

// A control code that changes nothing the ring or the events show.
Scenario ControlScenario(std::string name, ULONG code, Bytes input, ULONG output, Bytes healthyOutput)
{
    const ULONG_PTR information = healthyOutput.empty() ? output : healthyOutput.size();
    return {std::move(name), Nothing, Control(code, std::move(input), output), NoTrigger, STATUS_SUCCESS,
            information, std::move(healthyOutput), {{}, 0}, {{}, 0}};
}

Bytes LineControl(UCHAR stopBits, UCHAR parity, UCHAR wordLength) { return {stopBits, parity, wordLength}; }

std::vector<Scenario> Scenarios()
{
    const Bytes timeouts = Pattern(20, 9);
    return {
        {"read of data waiting", DataWaits, [](host::FileHandle& h) { return h.ReadAsync(8); }, NoTrigger,
         STATUS_SUCCESS, 8, Slice(kWaiting, 0, 8), {Slice(kWaiting, 8), SERIAL_EV_RXCHAR},
         {kWaiting, SERIAL_EV_RXCHAR}},
        {"read parked until data arrives", Nothing, [](host::FileHandle& h) { return h.ReadAsync(8); },
         DataArrives, STATUS_SUCCESS, 8, Slice(kArriving, 0, 8), {Slice(kArriving, 8), SERIAL_EV_RXCHAR},
         {kArriving, SERIAL_EV_RXCHAR}},
        {"write", Nothing, [](host::FileHandle& h) { return h.WriteAsync(kWritten); }, NoTrigger, STATUS_SUCCESS,
         kWritten.size(), {}, {kWritten, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY}, {{}, 0}},
        {"wait on mask", Nothing, Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4), DataArrives, STATUS_SUCCESS, 4,
         test::Ulong(SERIAL_EV_RXCHAR), {kArriving, 0}, {kArriving, SERIAL_EV_RXCHAR}},
        {"purge", DataWaits, Control(IOCTL_SERIAL_PURGE, test::Ulong(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR)),
         NoTrigger, STATUS_SUCCESS, 0, {}, {{}, 0}, {kWaiting, SERIAL_EV_RXCHAR}},
        ControlScenario("set baud rate", IOCTL_SERIAL_SET_BAUD_RATE, test::Ulong(9600), 0, {}),
        ControlScenario("set line control", IOCTL_SERIAL_SET_LINE_CONTROL, LineControl(STOP_BITS_2, EVEN_PARITY, 7),
                        0, {}),
        ControlScenario("get baud rate", IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, test::Ulong(115200)),
        ControlScenario("get line control", IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3, LineControl(STOP_BIT_1, NO_PARITY, 8)),
        ControlScenario("set break on", IOCTL_SERIAL_SET_BREAK_ON, {}, 0, {}),
        ControlScenario("get wait mask", IOCTL_SERIAL_GET_WAIT_MASK, {}, 4, test::Ulong(kEvents)),
        ControlScenario("set wait mask", IOCTL_SERIAL_SET_WAIT_MASK, test::Ulong(kEvents), 0, {}),
        ControlScenario("set time-outs", IOCTL_SERIAL_SET_TIMEOUTS, timeouts, 0, {}),
        ControlScenario("get time-outs", IOCTL_SERIAL_GET_TIMEOUTS, {}, 20, Bytes(20, 0)),
        ControlScenario("get chars", IOCTL_SERIAL_GET_CHARS, {}, 6, Bytes(6, 0)),
        ControlScenario("get handflow", IOCTL_SERIAL_GET_HANDFLOW, {}, 16, Bytes(16, 0)),
        ControlScenario("get modem status", IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4, test::Ulong(0xB0)),
        ControlScenario("get comm status", IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, Bytes(20, 0)),
        ControlScenario("get properties", IOCTL_SERIAL_GET_PROPERTIES, {}, 64, {}),
        ControlScenario("get DTR and RTS", IOCTL_SERIAL_GET_DTRRTS, {}, 4, test::Ulong(0)),
        ControlScenario("set DTR", IOCTL_SERIAL_SET_DTR, {}, 0, {}),
    };
}

// What the failure of one call must do to the request.
enum class Outcome {
    Fails,            // the request completes with the call's status and nothing changes
    FailsAfterEffect, // the request completes with the call's status; what it did first stays done
    FailsPartway,     // a write: completes with the call's status and the chunks taken before it
    Unaffected,       // the call's failure changes nothing the application sees
    Delayed,          // the request waits for the next data to arrive, then ends as a healthy one
};

struct Expectation {
    const char* Scenario;
    const char* Operation;
    Outcome What;
    int Occurrence = 0;  // the request's nth call of the operation; 0: every call without a row of its own
};

// One row per fallible call each request makes.
const Expectation kExpectations[] = {
    {"read of data waiting", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},

    // The second fetch is the receive path's, for the parked read: it fails
    // the read and leaves the bytes in the ring.
    {"read parked until data arrives", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    {"read parked until data arrives", "WdfRequestForwardToIoQueue", Outcome::Fails},
    // Data arriving looks for a parked wait first (none), then takes the
    // parked read; when it cannot, the read waits for the next data and the
    // bytes stay in the ring. The last look finds no other read.
    {"read parked until data arrives", "WdfIoQueueRetrieveNextRequest", Outcome::Unaffected},
    {"read parked until data arrives", "WdfIoQueueRetrieveNextRequest", Outcome::Delayed, 2},

    {"write", "WdfRequestRetrieveInputBuffer", Outcome::Fails},
    {"write", "WdfUsbTargetPipeWriteSynchronously", Outcome::FailsPartway},
    // Looped-back data finds no read parked, whether or not the look fails.
    {"write", "WdfIoQueueRetrieveNextRequest", Outcome::Unaffected},

    {"wait on mask", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    // Completing the wait fetches its buffer again; failing, it ends the wait
    // with that status, and the events it took are gone with it.
    {"wait on mask", "WdfRequestRetrieveOutputBuffer", Outcome::FailsAfterEffect, 2},
    {"wait on mask", "WdfRequestForwardToIoQueue", Outcome::Fails},
    // The parked wait is taken when data arrives; when it cannot be, the
    // event stays pending and the next data completes the wait. The second
    // look is for a parked read (none).
    {"wait on mask", "WdfIoQueueRetrieveNextRequest", Outcome::Delayed, 1},
    {"wait on mask", "WdfIoQueueRetrieveNextRequest", Outcome::Unaffected},

    // Codes that reach the device go to the port's device-control queue.
    {"purge", "WdfRequestForwardToIoQueue", Outcome::Fails},
    {"purge", "WdfRequestRetrieveInputBuffer", Outcome::Fails},
    // The ring is emptied before the device is told; a failed command leaves it empty.
    {"purge", "WdfUsbTargetPipeWriteSynchronously", Outcome::FailsAfterEffect},

    {"set baud rate", "WdfRequestForwardToIoQueue", Outcome::Fails},
    {"set baud rate", "WdfRequestRetrieveInputBuffer", Outcome::Fails},
    {"set baud rate", "WdfUsbTargetPipeWriteSynchronously", Outcome::FailsAfterEffect},
    {"set line control", "WdfRequestForwardToIoQueue", Outcome::Fails},
    {"set line control", "WdfRequestRetrieveInputBuffer", Outcome::Fails},
    {"set line control", "WdfUsbTargetPipeWriteSynchronously", Outcome::FailsAfterEffect},
    {"get baud rate", "WdfRequestForwardToIoQueue", Outcome::Fails},
    {"get baud rate", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    {"get line control", "WdfRequestForwardToIoQueue", Outcome::Fails},
    {"get line control", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    {"set break on", "WdfRequestForwardToIoQueue", Outcome::Fails},
    {"set break on", "WdfUsbTargetPipeWriteSynchronously", Outcome::Fails},
    {"get wait mask", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    {"set wait mask", "WdfRequestRetrieveInputBuffer", Outcome::Fails},
    // A new mask ends a parked wait; with none parked, the look changes nothing.
    {"set wait mask", "WdfIoQueueRetrieveNextRequest", Outcome::Unaffected},
    {"set time-outs", "WdfRequestRetrieveInputBuffer", Outcome::Fails},
    {"get time-outs", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    {"get chars", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    {"get handflow", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    {"get modem status", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    {"get comm status", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    {"get properties", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
    {"get DTR and RTS", "WdfRequestRetrieveOutputBuffer", Outcome::Fails},
};

const Expectation* FindExpectation(const std::string& scenario, const std::string& operation, int occurrence)
{
    const Expectation* any = nullptr;
    for (const auto& e : kExpectations) {
        if (scenario == e.Scenario && operation == e.Operation) {
            if (e.Occurrence == occurrence) {
                return &e;
            }
            if (e.Occurrence == 0) {
                any = &e;
            }
        }
    }
    return any;
}

// A fresh system with the port open and the mask set; the bridge loops back
// what it is sent.
struct OpenPort {
    OpenPort()
    {
        EXPECT_EQ(Handle->DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, test::Ulong(kEvents), 0), STATUS_SUCCESS);
    }

    // The bytes in the ring, read out, and the events pending, taken by a wait.
    PortState Drain()
    {
        PortState state{{}, 0};
        auto wait = Handle->DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        // The default queue is sequential: once a request sent after the wait
        // is answered, the wait has been answered or parked.
        EXPECT_EQ(Handle->DeviceIoControl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4), STATUS_SUCCESS);
        if (!wait->Done()) {
            wait->Cancel();
        }
        EXPECT_TRUE(wait->Wait(kLong));
        if (wait->Status() == STATUS_SUCCESS) {
            state.Events = test::AsUlong(wait->Output());
        } else {
            EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
        }
        std::vector<uint8_t> status;
        EXPECT_EQ(Handle->DeviceIoControl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, &status), STATUS_SUCCESS);
        const ULONG inQueue = test::AsUlong(status, 8);
        if (inQueue != 0) {
            EXPECT_EQ(Handle->Read(inQueue, state.Ring), STATUS_SUCCESS);
        }
        return state;
    }

    // Data goes out and comes back, and a control code is answered.
    void ExpectWorking()
    {
        const Bytes data = Pattern(30, 5);
        ULONG written = 0;
        EXPECT_EQ(Handle->Write(data, &written), STATUS_SUCCESS);
        EXPECT_EQ(written, data.size());
        System.Settle();
        Bytes back;
        EXPECT_EQ(Handle->Read(static_cast<ULONG>(data.size()), back), STATUS_SUCCESS);
        EXPECT_EQ(back, data) << "the port no longer carries data";
        EXPECT_EQ(Handle->DeviceIoControl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4), STATUS_SUCCESS);
    }

    test::PortSystem System;
    std::unique_ptr<host::FileHandle> Handle = System.OpenOrFail(kPort);
};

// Sends the request and returns once the port's default queue has passed it
// (answered it, parked it or handed it on), so what the test makes happen
// next comes after it: the default queue is sequential, and the request sent
// behind it makes no fallible call.
std::shared_ptr<host::IoOperation> SendAndPass(const Scenario& scenario, host::FileHandle& handle)
{
    auto op = scenario.Send(handle);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SERIAL_SET_DTR, {}, 0), STATUS_SUCCESS);
    return op;
}

// The fallible calls a healthy run of the request makes, by name.
CallCounts HealthyCalls(const Scenario& scenario)
{
    OpenPort port;
    scenario.Setup(port.System, *port.Handle);
    port.System.Settle();
    host::ClearInjectedFailures();
    auto op = SendAndPass(scenario, *port.Handle);
    scenario.Trigger(port.System);
    EXPECT_TRUE(op->Wait(kLong)) << scenario.Name << " never ended";
    port.System.Settle();
    CallCounts calls = host::CallCounts();
    EXPECT_EQ(op->Status(), scenario.HealthyStatus) << scenario.Name;
    EXPECT_EQ(op->Information(), scenario.HealthyInformation) << scenario.Name;
    if (!scenario.HealthyOutput.empty()) {
        EXPECT_EQ(Slice(op->Output(), 0, op->Information()), scenario.HealthyOutput) << scenario.Name;
    }
    const PortState state = port.Drain();
    EXPECT_EQ(state.Ring, scenario.Healthy.Ring) << scenario.Name;
    EXPECT_EQ(state.Events, scenario.Healthy.Events) << scenario.Name;
    return calls;
}

// A failing request ends with the injected status, or with `reported` where
// the driver gives the application a clearer one.
void RunCase(const Scenario& scenario, const std::string& operation, int occurrence, Outcome outcome,
             NTSTATUS injected, std::optional<NTSTATUS> reported = std::nullopt)
{
    SCOPED_TRACE(scenario.Name + ": " + operation + " #" + std::to_string(occurrence));
    OpenPort port;
    scenario.Setup(port.System, *port.Handle);
    port.System.Settle();
    host::ClearInjectedFailures();
    host::FailCall(operation, occurrence, injected);
    const uint64_t injectedBefore = host::Counters().InjectedFailures;

    auto op = SendAndPass(scenario, *port.Handle);
    scenario.Trigger(port.System);
    PortState expected = scenario.Healthy;
    if (outcome == Outcome::Delayed) {
        port.System.Settle();
        EXPECT_FALSE(op->Done()) << "ended although the receive path could not take it";
        port.System.Receive(kPort, kLater);
        expected.Ring = Joined(expected.Ring, kLater);
    }
    ASSERT_TRUE(op->Wait(kLong)) << "the request never ended";
    port.System.Settle();
    EXPECT_EQ(host::Counters().InjectedFailures - injectedBefore, 1u) << "the armed failure never fired";
    host::ClearInjectedFailures();

    switch (outcome) {
    case Outcome::Fails:
        expected = scenario.Refused;
        [[fallthrough]];
    case Outcome::FailsAfterEffect:
        EXPECT_EQ(op->Status(), reported.value_or(injected));
        EXPECT_EQ(op->Information(), 0u);
        break;
    case Outcome::FailsPartway: {
        // Chunks are sent one after the other, one transfer each.
        const size_t taken = std::min<size_t>(static_cast<size_t>(occurrence - 1) * 56, kWritten.size());
        EXPECT_EQ(op->Status(), injected);
        EXPECT_EQ(op->Information(), taken) << "a write reports the bytes taken before the failure";
        expected = {Slice(kWritten, 0, taken), taken != 0 ? static_cast<ULONG>(SERIAL_EV_RXCHAR) : 0u};
        break;
    }
    case Outcome::Unaffected:
    case Outcome::Delayed:
        EXPECT_EQ(op->Status(), scenario.HealthyStatus);
        EXPECT_EQ(op->Information(), scenario.HealthyInformation);
        if (!scenario.HealthyOutput.empty()) {
            EXPECT_EQ(Slice(op->Output(), 0, op->Information()), scenario.HealthyOutput);
        }
        break;
    }
    const PortState state = port.Drain();
    EXPECT_EQ(state.Ring, expected.Ring) << "bytes lost, doubled or left in the ring";
    EXPECT_EQ(state.Events, expected.Events) << "events pending that did not happen, or missing";
    port.ExpectWorking();
}

// Every fallible call of the request, failed one at a time with
// STATUS_INSUFFICIENT_RESOURCES; returns the number of cases run.
int SweepScenario(const Scenario& scenario)
{
    SCOPED_TRACE(scenario.Name);
    const CallCounts calls = HealthyCalls(scenario);
    EXPECT_EQ(calls, HealthyCalls(scenario)) << "two healthy runs made different calls";
    int cases = 0;
    for (const auto& [operation, count] : calls) {
        for (int n = 1; n <= count; ++n) {
            const Expectation* expected = FindExpectation(scenario.Name, operation, n);
            if (expected == nullptr) {
                ADD_FAILURE() << scenario.Name << " makes " << count << " call(s) of " << operation
                              << ", which the expectation table does not know";
                break;
            }
            RunCase(scenario, operation, n, expected->What, STATUS_INSUFFICIENT_RESOURCES);
            ++cases;
        }
    }
    for (const auto& e : kExpectations) {
        if (scenario.Name == e.Scenario) {
            const auto made = calls.find(e.Operation);
            EXPECT_TRUE(made != calls.end() && made->second >= e.Occurrence)
                << "the table expects " << e.Operation << (e.Occurrence ? " #" + std::to_string(e.Occurrence) : "")
                << " of " << scenario.Name << ", which a healthy run does not call";
        }
    }
    return cases;
}

class IoFailures : public ::testing::TestWithParam<Scenario> {};

TEST_P(IoFailures, EveryFallibleCallOfTheRequest)
{
    const int cases = SweepScenario(GetParam());
    ::testing::Test::RecordProperty("cases", cases);
    std::printf("%s: %d fallible calls swept\n", GetParam().Name.c_str(), cases);
}

INSTANTIATE_TEST_SUITE_P(Requests, IoFailures, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& parameter) {
                             std::string name;
                             for (char c : parameter.param.Name) {
                                 if (std::isalnum(static_cast<unsigned char>(c))) {
                                     name += c;
                                 }
                             }
                             return name;
                         });

const Scenario& Named(const std::string& name)
{
    static const std::vector<Scenario> scenarios = Scenarios();
    for (const auto& s : scenarios) {
        if (s.Name == name) {
            return s;
        }
    }
    ADD_FAILURE() << "no scenario " << name;
    return scenarios.front();
}

// A read that cannot be parked completes with the forward's own status, so
// the application learns of it and the read is not lost; so does a wait.
TEST(IoFailureStatuses, AForwardThatFailsCompletesTheRequestWithItsStatus)
{
    RunCase(Named("read parked until data arrives"), "WdfRequestForwardToIoQueue", 1, Outcome::Fails,
            STATUS_INVALID_DEVICE_STATE);
    RunCase(Named("wait on mask"), "WdfRequestForwardToIoQueue", 1, Outcome::Fails, STATUS_DELETE_PENDING);
}

// A queue purged as the device leaves refuses a forward with the framework's
// own STATUS_WDF_BUSY, which no application can interpret. A request caught
// so fails as one reaching the purged queue from the system does.
TEST(IoFailureStatuses, AForwardRefusedAsTheDeviceLeavesFailsAsTheDeviceIsGone)
{
    for (const char* name : {"read parked until data arrives", "wait on mask", "set baud rate"}) {
        RunCase(Named(name), "WdfRequestForwardToIoQueue", 1, Outcome::Fails, STATUS_WDF_BUSY,
                STATUS_INVALID_DEVICE_STATE);
    }
}

// A write the device takes only part of ends with what was taken, and raises
// no SERIAL_EV_TXEMPTY; the next write taken whole does. The bus reports a
// chunk taken not at all as STATUS_DEVICE_BUSY; an interface that reports it
// as success with nothing taken ends the write the same way, successfully.
PFN_BRIDGE_PORT_WRITE g_busWrite = nullptr;
std::atomic<int> g_chunksBeforeNothing{0};

NTSTATUS TakesNothingAfterSomeChunks(PVOID PortHandle, const VOID* Data, ULONG Length, PULONG Accepted)
{
    if (g_chunksBeforeNothing.fetch_sub(1) <= 0) {
        *Accepted = 0;
        return STATUS_SUCCESS;
    }
    return g_busWrite(PortHandle, Data, Length, Accepted);
}

TEST(IoFailureStatuses, AWriteTakenInPartRaisesNoTransmitEmpty)
{
    {
        SCOPED_TRACE("the bridge takes the first chunk only");
        OpenPort port;
        port.System.Model.SetPortBehaviour(kPort, bridge::Command::Data, PortBehaviour::Accept({56, 0}));
        ULONG written = 0;
        EXPECT_EQ(port.Handle->Write(kWritten, &written), STATUS_DEVICE_BUSY);
        EXPECT_EQ(written, 56u);
        PortState state = port.Drain();
        EXPECT_EQ(state.Ring, Slice(kWritten, 0, 56));
        EXPECT_EQ(state.Events, static_cast<ULONG>(SERIAL_EV_RXCHAR)) << "a write taken in part raised TXEMPTY";

        port.System.Model.SetPortBehaviour(kPort, bridge::Command::Data, PortBehaviour{});
        EXPECT_EQ(port.Handle->Write(kWritten, &written), STATUS_SUCCESS);
        EXPECT_EQ(written, kWritten.size());
        state = port.Drain();
        EXPECT_EQ(state.Events, static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY));
    }
    {
        SCOPED_TRACE("the interface reports nothing taken as success");
        constexpr unsigned kFirstPort = 0;  // the first port to ask for its interface
        test::PortSystem system({}, false);
        host::OnNextCall("WdfFdoQueryForInterface", [&system] {
            const auto children = host::StaticChildrenOf(system.System.BusDevices().at(0));
            auto* pdo = static_cast<host::FrameworkDevice*>(host::FromAnyHandle(children.at(kFirstPort).Device, "test"));
            auto& record = pdo->QueryInterfaces.at(0).Record;
            const size_t at = offsetof(BRIDGE_PORT_INTERFACE, Write);
            std::memcpy(&g_busWrite, record.data() + at, sizeof(g_busWrite));
            const PFN_BRIDGE_PORT_WRITE replacement = TakesNothingAfterSomeChunks;
            std::memcpy(record.data() + at, &replacement, sizeof(replacement));
        });
        system.Start();
        auto handle = system.OpenOrFail(kFirstPort);
        ASSERT_TRUE(handle);
        ASSERT_EQ(handle->DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, test::Ulong(SERIAL_EV_TXEMPTY), 0),
                  STATUS_SUCCESS);
        g_chunksBeforeNothing = 1;
        ULONG written = 0;
        EXPECT_EQ(handle->Write(kWritten, &written), STATUS_SUCCESS);
        EXPECT_EQ(written, 56u);
        auto wait = handle->DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        EXPECT_EQ(handle->DeviceIoControl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4), STATUS_SUCCESS);
        EXPECT_FALSE(wait->Done()) << "a write taken in part raised TXEMPTY";
        g_chunksBeforeNothing = 100;
        EXPECT_EQ(handle->Write(kWritten, &written), STATUS_SUCCESS);
        ASSERT_TRUE(wait->Wait(kLong));
        EXPECT_EQ(test::AsUlong(wait->Output()), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
    }
}

} // namespace
