// Low resources: every framework call that can fail while the bridge comes up
// is made to fail in turn, on a fresh system each time. A healthy bring-up
// first counts the calls of each phase (the bus's device add, prepare hardware
// and D0 entry; the enumeration of its children; the ports' device adds), so a
// fallible call added to a driver is swept without touching this file, and the
// expectation table must name it before the sweep passes.
#include "support/white_box.h"

#include "rig/system_rig.h"

#include "host/framework/io_queue.h"
#include "host/framework/object.h"
#include "host/framework/work_item.h"
#include "host/io_manager/io_manager.h"
#include "host/kernel/object_namespace.h"
#include "host/kernel/registry.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <ntddser.h>

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

constexpr int kPorts = 8;

enum class Phase { BusStart, Enumeration, PortAdd };

const char* PhaseName(Phase phase)
{
    switch (phase) {
    case Phase::BusStart: return "bus start";
    case Phase::Enumeration: return "enumeration";
    case Phase::PortAdd: return "port add";
    }
    return "?";
}

// What the failure of one call in one phase must do. Bus start: the start fails
// with the call's status. Enumeration: it stops at the child being created,
// the earlier children stay. Port add: that port's start fails with the call's
// status, or with `Reported` where the driver reports its own.
struct Expectation {
    const char* Operation;
    Phase Where;
    NTSTATUS Reported = STATUS_SUCCESS;  // STATUS_SUCCESS: the injected status itself
};

const Expectation kExpectations[] = {
    {"WdfDeviceCreate", Phase::BusStart},
    {"WdfWaitLockCreate", Phase::BusStart},
    {"WdfSpinLockCreate", Phase::BusStart},
    {"WdfWorkItemCreate", Phase::BusStart},
    {"WdfUsbTargetDeviceCreateWithParameters", Phase::BusStart},
    {"WdfUsbTargetDeviceSelectConfig", Phase::BusStart},
    {"WdfUsbTargetPipeConfigContinuousReader", Phase::BusStart},
    {"WdfIoTargetStart", Phase::BusStart},
    {"WdfUsbTargetPipeWriteSynchronously", Phase::BusStart},

    {"WdfPdoInitAllocate", Phase::Enumeration},
    {"WdfPdoInitAssignDeviceID", Phase::Enumeration},
    {"WdfPdoInitAddHardwareID", Phase::Enumeration},
    {"WdfPdoInitAssignInstanceID", Phase::Enumeration},
    {"WdfPdoInitAddDeviceText", Phase::Enumeration},
    {"WdfDeviceCreate", Phase::Enumeration},
    {"WdfDeviceAddQueryInterface", Phase::Enumeration},
    {"WdfFdoAddStaticChild", Phase::Enumeration},

    {"WdfDeviceInitAssignWdmIrpPreprocessCallback", Phase::PortAdd},
    {"WdfDeviceCreate", Phase::PortAdd},
    {"WdfFdoQueryForInterface", Phase::PortAdd, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"WdfSpinLockCreate", Phase::PortAdd},
    {"WdfDeviceCreateDeviceInterface", Phase::PortAdd},
    {"WdfDeviceOpenRegistryKey", Phase::PortAdd},
    {"WdfRegistryQueryUnicodeString", Phase::PortAdd},
    {"WdfDeviceCreateSymbolicLink", Phase::PortAdd},
    {"WdfDeviceAllocAndQueryProperty", Phase::PortAdd},
    {"WdfDeviceOpenDevicemapKey", Phase::PortAdd},
    {"WdfRegistryAssignUnicodeString", Phase::PortAdd},
    {"WdfWorkItemCreate", Phase::PortAdd},
    {"WdfIoQueueCreate", Phase::PortAdd},
    {"WdfDeviceConfigureRequestDispatching", Phase::PortAdd},
};

const Expectation* FindExpectation(const std::string& operation, Phase phase)
{
    for (const auto& e : kExpectations) {
        if (operation == e.Operation && phase == e.Where) {
            return &e;
        }
    }
    return nullptr;
}

std::string PortName(int port) { return "COM" + std::to_string(3 + port); }

// The whole system with both drivers installed. The bridge does not answer
// the hello: the test sends the announce itself once the bus has started, and
// the ports' drivers start only when the test lets them, so the three phases
// never overlap and each call's number within its phase is the same from run
// to run.
class Bridge {
public:
    Bridge() : Rig({{}, nullptr, false, nullptr, nullptr})
    {
        EXPECT_EQ(Rig.InstallResult(), STATUS_SUCCESS);
        Rig.Model.SetHelloBehaviour(bridge::HelloBehaviour::Silent());
        Rig.System.HoldChildStarts(true);
        ObjectsBefore = host::LiveObjectCount();
        InitsBefore = host::LiveDeviceInitCount();
    }

    ~Bridge()
    {
        if (Rig.Plugged()) {
            Remove();
        }
    }

    // Ports are named COM3 to COM10 again, in port order, at every plug-in.
    NTSTATUS StartBus() { return Rig.Plug(); }
    host::DeviceNode& Bus() { return Rig.Bus(); }

    void Enumerate()
    {
        if (Bus().Device() == nullptr) {
            return;
        }
        EXPECT_TRUE(Rig.Model.SendAnnounce());
        EXPECT_TRUE(Rig.DrainIn());
        EXPECT_TRUE(host::WaitForWorkItemsIdle());
    }

    void StartPorts()
    {
        Rig.System.HoldChildStarts(false);
        EXPECT_TRUE(Rig.System.WaitIdle());
        Rig.System.HoldChildStarts(true);
    }

    OMBREL_DEVICE_CONTEXT* BusContext() { return test::BusContext(Bus().Device()); }

    size_t DevicesUnderBus()
    {
        size_t devices = 0;
        for (auto* child : host::FromAnyHandle(Bus().Device(), "test")->ChildrenSnapshot()) {
            devices += child->Type() == host::ObjectType::Device ? 1 : 0;
        }
        return devices;
    }

    // Ports 0 to `ports` - 1 arrived; each but `failed` is a working COM port:
    // it opens, and it alone has its link, interface and SERIALCOMM value.
    void ExpectWorkingPorts(int ports, int failed = -1)
    {
        std::set<std::string> expectedNames;
        for (int port = 0; port < kPorts; ++port) {
            SCOPED_TRACE(PortName(port));
            if (port < ports && port != failed) {
                expectedNames.insert(PortName(port));
                std::unique_ptr<host::FileHandle> handle;
                EXPECT_EQ(host::OpenDevice(PortName(port), handle), STATUS_SUCCESS);
                if (handle) {
                    handle->Close();
                }
            } else {
                EXPECT_EQ(host::LookupSymbolicLink(PortName(port)), nullptr);
            }
        }
        std::set<std::string> published;
        for (const auto& [valueName, portName] : host::RegistryStrings(host::SerialCommKeyPath)) {
            EXPECT_TRUE(published.insert(portName).second) << "two SERIALCOMM values name " << portName;
        }
        EXPECT_EQ(published, expectedNames) << "SERIALCOMM values";
        std::set<host::FrameworkDevice*> working;
        for (host::DeviceNode* node : Rig.System.ChildNodes(Bus())) {
            working.insert(static_cast<host::FrameworkDevice*>(host::FromAnyHandle(node->Device(), "test")));
        }
        std::set<host::FrameworkDevice*> interfaceOwners;
        for (const auto& record : host::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT)) {
            interfaceOwners.insert(record.Owner);
        }
        EXPECT_EQ(interfaceOwners, working) << "COM-port interfaces";
        EXPECT_EQ(working.size(), expectedNames.size());
    }

    // Removes the bridge with its children; nothing of it may be left.
    void Remove()
    {
        Rig.System.HoldChildStarts(false);  // a start still held back would find its child gone
        Rig.Remove();
        Rig.System.HoldChildStarts(true);
        EXPECT_EQ(host::LiveObjectCount(), ObjectsBefore) << "framework objects (keys included) left undeleted";
        if (host::LiveObjectCount() != ObjectsBefore) {
            for (const auto& line : host::DescribeLiveObjects()) {
                ADD_FAILURE() << line;
            }
        }
        EXPECT_EQ(host::LiveDeviceInitCount(), InitsBefore) << "device initialisation records neither used nor freed";
        EXPECT_EQ(host::OutstandingDriverRequests(), 0);
        EXPECT_TRUE(host::RegistryStrings(host::SerialCommKeyPath).empty()) << "a SERIALCOMM value outlived its port";
        EXPECT_TRUE(host::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
    }

    rig::SystemRig Rig;

private:
    size_t ObjectsBefore = 0;
    int InitsBefore = 0;
};

using CallCounts = std::map<std::string, int>;

CallCounts Since(const CallCounts& before, const CallCounts& after)
{
    CallCounts calls;
    for (const auto& [operation, count] : after) {
        const auto earlier = before.find(operation);
        const int made = count - (earlier == before.end() ? 0 : earlier->second);
        if (made > 0) {
            calls[operation] = made;
        }
    }
    return calls;
}

// The fallible calls of a healthy bring-up, per phase.
const std::map<Phase, CallCounts>& HealthyCalls()
{
    static const std::map<Phase, CallCounts> calls = [] {
        std::map<Phase, CallCounts> phases;
        Bridge bridge;
        host::ClearInjectedFailures();
        EXPECT_EQ(bridge.StartBus(), STATUS_SUCCESS);
        const CallCounts afterBus = host::CallCounts();
        bridge.Enumerate();
        const CallCounts afterEnumeration = host::CallCounts();
        bridge.StartPorts();
        const CallCounts afterPorts = host::CallCounts();
        bridge.ExpectWorkingPorts(kPorts);
        phases[Phase::BusStart] = afterBus;
        phases[Phase::Enumeration] = Since(afterBus, afterEnumeration);
        phases[Phase::PortAdd] = Since(afterEnumeration, afterPorts);
        return phases;
    }();
    return calls;
}

struct Case {
    std::string Operation;
    Phase Where;
    int Occurrence;  // 1: the phase's first call of the operation
    NTSTATUS Injected;
    NTSTATUS Reported;
};

void RunCase(const Case& c)
{
    SCOPED_TRACE(c.Operation + " #" + std::to_string(c.Occurrence) + " in the " + PhaseName(c.Where));
    host::ClearInjectedFailures();
    Bridge bridge;
    auto armIn = [&c](Phase phase) {
        if (c.Where == phase) {
            host::FailCall(c.Operation, c.Occurrence, c.Injected);
        }
    };

    const uint64_t injectedBefore = host::Counters().InjectedFailures;
    armIn(Phase::BusStart);
    const NTSTATUS busStatus = bridge.StartBus();
    armIn(Phase::Enumeration);
    bridge.Enumerate();
    armIn(Phase::PortAdd);
    bridge.StartPorts();
    ASSERT_EQ(host::Counters().InjectedFailures - injectedBefore, 1u) << "the armed failure never fired";

    // The ports come one after the other, each making the same calls.
    const int callsPerPort = HealthyCalls().at(c.Where).at(c.Operation) / kPorts;
    const int failingPort = c.Where == Phase::BusStart ? -1 : (c.Occurrence - 1) / callsPerPort;
    int childrenCreated = kPorts;
    std::vector<NTSTATUS> childStarts(kPorts, STATUS_SUCCESS);
    switch (c.Where) {
    case Phase::BusStart:
        EXPECT_EQ(busStatus, c.Reported);
        EXPECT_EQ(bridge.Bus().Device(), nullptr) << "the framework deletes a device whose start failed";
        childrenCreated = 0;
        childStarts.clear();
        break;
    case Phase::Enumeration:
        ASSERT_EQ(busStatus, STATUS_SUCCESS);
        childrenCreated = failingPort;
        childStarts.resize(failingPort);
        EXPECT_EQ(InterlockedCompareExchange(&bridge.BusContext()->ChildrenCreated, 0, 0), 0);
        EXPECT_EQ(bridge.DevicesUnderBus(), static_cast<size_t>(failingPort)) << "a half-made child was left";
        break;
    case Phase::PortAdd:
        ASSERT_EQ(busStatus, STATUS_SUCCESS);
        childStarts[failingPort] = c.Reported;
        break;
    }
    if (bridge.Bus().Device() != nullptr) {
        EXPECT_EQ(host::StaticChildrenOf(bridge.Bus().Device()).size(), static_cast<size_t>(childrenCreated));
    }
    EXPECT_EQ(bridge.Rig.System.ChildStartResults(bridge.Bus()), childStarts);
    bridge.ExpectWorkingPorts(childrenCreated, c.Where == Phase::PortAdd ? failingPort : -1);
    bridge.Remove();

    // Neither the enumeration nor a port's add is ever retried for the same
    // bus device: what a failure cost comes back when the bridge is plugged in
    // again.
    host::ClearInjectedFailures();
    ASSERT_EQ(bridge.StartBus(), STATUS_SUCCESS);
    bridge.Enumerate();
    bridge.StartPorts();
    EXPECT_EQ(bridge.Rig.System.ChildStartResults(bridge.Bus()), std::vector<NTSTATUS>(kPorts, STATUS_SUCCESS));
    bridge.ExpectWorkingPorts(kPorts);
}

// Every call of the phase, failed one at a time with STATUS_INSUFFICIENT_RESOURCES.
void SweepPhase(Phase phase)
{
    const CallCounts& calls = HealthyCalls().at(phase);
    ASSERT_FALSE(calls.empty());
    int cases = 0;
    for (const auto& [operation, count] : calls) {
        const Expectation* expected = FindExpectation(operation, phase);
        if (expected == nullptr) {
            ADD_FAILURE() << "the " << PhaseName(phase) << " makes " << count << " call(s) of " << operation
                          << ", which the expectation table does not know";
            continue;
        }
        if (phase != Phase::BusStart) {
            ASSERT_EQ(count % kPorts, 0) << operation << ": the ports do not make the same calls";
        }
        for (int n = 1; n <= count; ++n) {
            const NTSTATUS injected = STATUS_INSUFFICIENT_RESOURCES;
            RunCase({operation, phase, n, injected, expected->Reported ? expected->Reported : injected});
            ++cases;
        }
    }
    for (const auto& e : kExpectations) {
        EXPECT_TRUE(e.Where != phase || calls.count(e.Operation) != 0)
            << "the table expects " << e.Operation << " in the " << PhaseName(phase)
            << ", which a healthy bring-up does not call there";
    }
    ::testing::Test::RecordProperty("cases", cases);
}

TEST(LowResources, EveryFallibleCallOfTheBusStart) { SweepPhase(Phase::BusStart); }
TEST(LowResources, EveryFallibleCallOfTheEnumeration) { SweepPhase(Phase::Enumeration); }
TEST(LowResources, EveryFallibleCallOfThePortAdd) { SweepPhase(Phase::PortAdd); }

// The failing call's own status is what surfaces, whatever it is; only the
// interface query is reported as the port's configuration error.
TEST(LowResources, FailureStatusesPassThrough)
{
    const Case cases[] = {
        {"WdfUsbTargetDeviceSelectConfig", Phase::BusStart, 1, STATUS_DEVICE_NOT_CONNECTED,
         STATUS_DEVICE_NOT_CONNECTED},
        {"WdfUsbTargetPipeWriteSynchronously", Phase::BusStart, 1, STATUS_IO_TIMEOUT, STATUS_IO_TIMEOUT},
        {"WdfDeviceCreateSymbolicLink", Phase::PortAdd, 5, STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_NAME_COLLISION},
        {"WdfRegistryAssignUnicodeString", Phase::PortAdd, 8, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED},
        {"WdfFdoQueryForInterface", Phase::PortAdd, 3, STATUS_NOT_SUPPORTED, STATUS_DEVICE_CONFIGURATION_ERROR},
    };
    for (const auto& c : cases) {
        RunCase(c);
    }
}

} // namespace
