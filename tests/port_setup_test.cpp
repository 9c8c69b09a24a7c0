// A port's names, its interface with the bus, open and close, and removal with
// work in flight, through the real system.
#include "support/port_system.h"
#include "support/white_box.h"

#include "host/framework/creation.h"
#include "host/kernel/object_namespace.h"
#include "host/kernel/registry.h"
#include "host/framework/usb_target.h"
#include "host/verifier/fault_injection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using bridge::Command;
using bridge::PortBehaviour;

TEST(PortNames, LinkDeviceMapValueAndInterfaceComeAndGoWithThePort)
{
    test::PortSystem system({"COM7", "COM8", "COM9", "COM10", "COM11", "COM12", "COM13", "COM14"});
    host::DeviceNode* port = system.PortNode(0);
    ASSERT_NE(port, nullptr);
    auto* device = static_cast<host::FrameworkDevice*>(host::FromAnyHandle(port->Device(), "test"));
    EXPECT_EQ(host::LookupSymbolicLink("\\\\.\\COM7"), device);
    EXPECT_EQ(host::LookupSymbolicLink("COM7"), device);
    EXPECT_EQ(host::SymbolicLinksOf(device), std::vector<std::string>{"\\DosDevices\\Global\\COM7"});
    const auto serialComm = host::RegistryStrings(host::SerialCommKeyPath);
    ASSERT_EQ(serialComm.count(port->Physical().Name), 1u);
    EXPECT_EQ(serialComm.at(port->Physical().Name), "COM7");
    EXPECT_EQ(serialComm.size(), 8u);
    EXPECT_EQ(host::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT).size(), 8u);

    system.System.RemoveChild(*port);
    EXPECT_EQ(host::LookupSymbolicLink("COM7"), nullptr);
    EXPECT_EQ(host::RegistryStrings(host::SerialCommKeyPath).count(port->Physical().Name), 0u);
    EXPECT_EQ(host::DeviceInterfaces(GUID_DEVINTERFACE_COMPORT).size(), 7u);
}

struct NameCase {
    const char* Name;
    std::string PortName;
    NTSTATUS Start;
};

TEST(PortNames, APortWithoutAUsableNameIsNoPort)
{
    const NameCase cases[] = {
        {"no PortName value", "", STATUS_OBJECT_NAME_NOT_FOUND},
        {"a name longer than its 32-character buffer", std::string(33, 'X'), STATUS_BUFFER_OVERFLOW},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        test::PortSystem system({c.PortName});
        const auto results = system.System.ChildStartResults(system.Bus());
        ASSERT_EQ(results.size(), 8u);
        EXPECT_EQ(results[0], c.Start);
        EXPECT_EQ(system.System.ChildNodes(system.Bus()).size(), 7u);
        EXPECT_EQ(host::RegistryStrings(host::SerialCommKeyPath).size(), 7u);
    }
}

// A failure after the device-map value was written takes the value with it.
TEST(PortNames, FailedDeviceAddLeavesNoDeviceMapValue)
{
    test::PortSystem system({}, false);
    host::FailCall("WdfIoQueueCreate", 2, STATUS_INSUFFICIENT_RESOURCES);  // port 0's read queue
    system.Start();
    EXPECT_EQ(system.System.ChildStartResults(system.Bus())[0], STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::RegistryStrings(host::SerialCommKeyPath).size(), 7u);
    EXPECT_EQ(host::LookupSymbolicLink("COM3"), nullptr);
    host::ClearInjectedFailures();
}

// The removal takes the value away without allocating: a clean-up that could
// not get memory or open a key must not leave a COM name behind.
TEST(PortNames, DeviceMapValueGoesEvenWhenTheCleanUpCannotAllocate)
{
    test::PortSystem system;
    host::DeviceNode* port = system.PortNode(1);
    ASSERT_NE(port, nullptr);
    const std::string valueName = port->Physical().Name;
    ASSERT_EQ(host::RegistryStrings(host::SerialCommKeyPath).count(valueName), 1u);
    host::FailCall("WdfDeviceAllocAndQueryProperty", 1, STATUS_INSUFFICIENT_RESOURCES);
    host::FailCall("WdfDeviceOpenDevicemapKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    system.System.RemoveChild(*port);
    host::ClearInjectedFailures();
    EXPECT_EQ(host::RegistryStrings(host::SerialCommKeyPath).count(valueName), 0u);
}

// Port 0's published interface loses one operation before the port driver
// asks for it.
void RemoveOperationFromPortZero(test::PortSystem& system, size_t offset)
{
    host::OnNextCall("WdfFdoQueryForInterface", [&system, offset] {
        const auto children = host::StaticChildrenOf(system.System.BusDevices().at(0));
        auto* pdo = static_cast<host::FrameworkDevice*>(host::FromAnyHandle(children.at(0).Device, "test"));
        auto& record = pdo->QueryInterfaces.at(0).Record;
        std::fill(record.begin() + offset, record.begin() + offset + sizeof(void*), 0);
    });
}

TEST(PortInterface, DeviceAddNeedsEveryOperationOfTheInterface)
{
    const size_t operations[] = {offsetof(BRIDGE_PORT_INTERFACE, Write), offsetof(BRIDGE_PORT_INTERFACE, SetConfig),
                                 offsetof(BRIDGE_PORT_INTERFACE, Control),
                                 offsetof(BRIDGE_PORT_INTERFACE, RegisterReceiveCallback)};
    for (size_t offset : operations) {
        SCOPED_TRACE(offset);
        test::PortSystem system({}, false);
        RemoveOperationFromPortZero(system, offset);
        system.Start();
        EXPECT_EQ(system.System.ChildStartResults(system.Bus())[0], STATUS_DEVICE_CONFIGURATION_ERROR);
        EXPECT_EQ(system.System.ChildNodes(system.Bus()).size(), 7u);
    }
    test::PortSystem system({}, false);
    host::FailCall("WdfFdoQueryForInterface", 1, STATUS_NOT_SUPPORTED);
    system.Start();
    EXPECT_EQ(system.System.ChildStartResults(system.Bus())[0], STATUS_DEVICE_CONFIGURATION_ERROR);
    host::ClearInjectedFailures();
}

TEST(PortOpen, OpenAndCloseTellTheDeviceAndASecondOpenIsRefusedUnheard)
{
    test::PortSystem system;
    auto handle = system.OpenOrFail(2);
    std::unique_ptr<host::FileHandle> second;
    EXPECT_EQ(system.Open(2, second), STATUS_ACCESS_DENIED);
    handle->Close();
    using Frames = std::vector<std::pair<uint8_t, uint8_t>>;
    EXPECT_EQ(system.ControlFramesSent(2), (Frames{{1, 1}, {1, 0}}));
}

TEST(PortOpen, AnOpenTheDeviceDoesNotAnswerFailsAndTheNextOneRetries)
{
    test::PortSystem system;
    system.Model.SetPortBehaviour(3, Command::Control, PortBehaviour::Silent().Once());
    std::unique_ptr<host::FileHandle> handle;
    EXPECT_EQ(system.Open(3, handle), STATUS_IO_TIMEOUT);
    EXPECT_FALSE(handle);
    handle = system.OpenOrFail(3);
    // A refused close is the device's business; the handle closes all the same.
    system.Model.SetPortBehaviour(3, Command::Control, PortBehaviour::Refuse().Once());
    handle->Close();
    using Frames = std::vector<std::pair<uint8_t, uint8_t>>;
    EXPECT_EQ(system.ControlFramesSent(3), (Frames{{1, 1}, {1, 1}, {1, 0}}));
    handle = system.OpenOrFail(3);
}

// The port driver's device goes while the bridge streams data to it: the bus
// must not deliver into the context being torn down.
TEST(PortRemoval, RemovalRacesReceivedData)
{
    host::SetConcurrentReadCompletions(2);
    {
        test::PortSystem system;
        std::atomic<bool> streaming{true};
        std::thread feeder([&] {
            while (streaming) {
                for (int i = 0; i < 16; ++i) {
                    system.Model.SendData(4, Bytes(56, 0x5A));
                }
                system.DrainIn();
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        system.System.RemoveChild(*system.PortNode(4));
        streaming = false;
        feeder.join();
    }
    host::SetConcurrentReadCompletions(1);
}

// A read and a wait parked in their queues and a write waiting for the
// bridge's answer: whatever ends the handle or the device, each completes.
struct InFlight {
    std::shared_ptr<host::IoOperation> Read;
    std::shared_ptr<host::IoOperation> Wait;
    std::shared_ptr<host::IoOperation> Write;
};

InFlight StartReadWaitAndWrite(test::PortSystem& system, host::FileHandle& handle)
{
    system.Model.SetLoopback(false);  // the read must not be served by the write's own echo
    InFlight work;
    work.Read = handle.ReadAsync(16);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, test::Ulong(SERIAL_EV_CTS), 0), STATUS_SUCCESS);
    work.Wait = handle.DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    // The default queue presents one request at a time, so once this answer
    // is in, the read and the wait are parked; otherwise either might still
    // be on its way to its queue when the test ends the handle or the device.
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4), STATUS_SUCCESS);
    const size_t before = system.Model.OutTransferCount();
    work.Write = handle.WriteAsync(Bytes(20, 0x33));
    EXPECT_TRUE(system.Model.WaitForOutTransfers(before + 1, std::chrono::seconds(10)));
    return work;
}

TEST(PortRemoval, CloseWithAReadAWaitAndAWriteInFlight)
{
    test::PortSystem system;
    system.Model.SetPortBehaviour(6, Command::Data, PortBehaviour::Late(4'000'000));  // 0.4 s of kernel time
    auto handle = system.OpenOrFail(6);
    InFlight work = StartReadWaitAndWrite(system, *handle);
    handle->Close();
    ASSERT_TRUE(work.Read->Done() && work.Wait->Done() && work.Write->Done());
    EXPECT_EQ(work.Read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(work.Wait->Status(), STATUS_CANCELLED);
    EXPECT_EQ(work.Write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(work.Write->Information(), 20u);
}

TEST(PortRemoval, SurpriseRemovalWithAReadAWaitAndAWriteInFlight)
{
    test::PortSystem system;
    system.Model.SetPortBehaviour(6, Command::Data, PortBehaviour::Silent());
    auto handle = system.OpenOrFail(6);
    InFlight work = StartReadWaitAndWrite(system, *handle);
    system.System.SurpriseRemove(system.Bus());
    ASSERT_TRUE(work.Read->Wait());
    ASSERT_TRUE(work.Wait->Wait());
    ASSERT_TRUE(work.Write->Wait());
    EXPECT_EQ(work.Read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(work.Wait->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(NT_SUCCESS(work.Write->Status()));
    // The handle still works as far as the system lets it, and closes: the
    // purged queues answer a new request with STATUS_INVALID_DEVICE_STATE.
    Bytes data;
    EXPECT_EQ(handle->Read(4, data), STATUS_INVALID_DEVICE_STATE);
    handle->Close();
}

} // namespace

namespace {

// The creates the stand-in's headers declare: functions that make a framework
// object or a record for the driver (…Create, …CreateWithParameters,
// …Allocate, …AllocAndQueryProperty, …Open…Key).
std::set<std::string> DeclaredCreates()
{
    std::set<std::string> names;
    const std::regex create(R"(\b(Wdf\w*(Create|CreateWithParameters|Allocate|AllocAndQueryProperty)|WdfDeviceOpen\w*Key)\s*\()");
    for (const char* header : {"/host/include/wdf.h", "/host/include/wdfusb.h"}) {
        std::ifstream file(std::string(OMBREL_SOURCE_DIR) + header);
        EXPECT_TRUE(file.good()) << header;
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        for (std::sregex_iterator it(text.begin(), text.end(), create), end; it != end; ++it) {
            names.insert((*it)[1]);
        }
    }
    return names;
}

} // namespace

// Every create a driver can call is made through the stand-in's one creation
// path, which checks IRQL, allocation on I/O paths and injected failures; a
// create that skipped it (or one declared that no driver calls) shows here.
TEST(CreationPath, EveryDeclaredCreateIsCalledByTheDriversThroughTheCheckedPath)
{
    {
        test::PortSystem system;
        auto handle = system.OpenOrFail(2);
        handle->Close();
    }
    const std::set<std::string> seen = host::CreationsSeen();
    const std::set<std::string> declared = DeclaredCreates();
    EXPECT_GE(declared.size(), 11u);
    for (const std::string& name : declared) {
        EXPECT_EQ(seen.count(name), 1u) << name << " was not created through the checked creation path";
    }
}
