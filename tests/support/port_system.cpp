#include "support/port_system.h"

#include "rig/windows_inf.h"

#include "host/framework/io_queue.h"
#include "host/framework/object.h"
#include "host/kernel/registry.h"
#include "host/kernel/strings.h"
#include "host/usb/usb.h"

#include <gtest/gtest.h>

#include <cstring>

namespace test {

PortSystem::PortSystem(std::vector<std::string> portNames, bool start) : Names(std::move(portNames))
{
    ObjectsBefore = host::LiveObjectCount();
    // Each driver serves the hardware IDs its INF names, as on Windows.
    const auto busIds = rig::PackageHardwareIds("OmbrelBus");
    const auto portIds = rig::PackageHardwareIds("OmbrelPort");
    EXPECT_FALSE(busIds.empty() || portIds.empty()) << "no hardware IDs in the INFs under windows/";
    EXPECT_EQ(System.InstallDriverModule("OmbrelBus", OMBREL_BUS_MODULE, busIds), STATUS_SUCCESS);
    EXPECT_EQ(System.InstallDriverModule("OmbrelPort", OMBREL_PORT_MODULE, portIds, true), STATUS_SUCCESS);
    if (!Names.empty()) {
        System.SetPortNames(Names);
    }
    if (start) {
        Start();
    }
}

PortSystem::~PortSystem()
{
    if (BusNode != nullptr) {
        System.Remove(*BusNode);
    }
    EXPECT_EQ(host::OutstandingDriverRequests(), 0);
    EXPECT_TRUE(host::RegistryStrings(host::SerialCommKeyPath).empty()) << "a SERIALCOMM value outlived its port";
}

void PortSystem::Start()
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    BusNode = &System.PlugUsbDevice(Model, "OmbrelBus", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    Settle();
}

std::string PortSystem::PortName(unsigned port) const
{
    return port < Names.size() ? Names[port] : "COM" + std::to_string(3 + port);
}

NTSTATUS PortSystem::Open(unsigned port, std::unique_ptr<host::FileHandle>& handle)
{
    return host::OpenDevice("\\\\.\\" + PortName(port), handle);
}

std::unique_ptr<host::FileHandle> PortSystem::OpenOrFail(unsigned port)
{
    std::unique_ptr<host::FileHandle> handle;
    EXPECT_EQ(Open(port, handle), STATUS_SUCCESS) << PortName(port);
    return handle;
}

void PortSystem::Receive(unsigned port, const std::vector<uint8_t>& bytes)
{
    for (size_t offset = 0; offset < bytes.size(); offset += 56) {
        const size_t count = std::min<size_t>(56, bytes.size() - offset);
        Model.SendData(static_cast<uint8_t>(port), std::vector<uint8_t>(bytes.begin() + offset,
                                                                        bytes.begin() + offset + count));
    }
    ASSERT_TRUE(BusNode->Physical().Usb->WaitInIdle(0x81));
}

void PortSystem::Settle()
{
    ASSERT_TRUE(BusNode->Physical().Usb->WaitInIdle(0x81));
    ASSERT_TRUE(System.WaitIdle());
}

host::DeviceNode* PortSystem::PortNode(unsigned port)
{
    for (host::DeviceNode* node : System.ChildNodes(*BusNode)) {
        auto* pdo = node->Physical().Pdo;
        if (pdo != nullptr && pdo->Init.InstanceId == host::Widen("0" + std::to_string(port))) {
            return node;
        }
    }
    return nullptr;
}

OMBREL_PORT_CONTEXT* PortSystem::PortContext(unsigned port)
{
    host::DeviceNode* node = PortNode(port);
    if (node == nullptr || node->Device() == nullptr) {
        ADD_FAILURE() << "port " << port << " has no device";
        return nullptr;
    }
    return static_cast<OMBREL_PORT_CONTEXT*>(
        host::FromAnyHandle(node->Device(), "test")->ContextByName("OMBREL_PORT_CONTEXT"));
}

std::vector<std::vector<uint8_t>> PortSystem::DataFramesSent(unsigned port)
{
    std::vector<std::vector<uint8_t>> frames;
    for (const auto& frame : Model.OutFrames()) {
        if (frame.port == port && frame.type == bridge::wire::kTypeData) {
            frames.push_back(frame.payload);
        }
    }
    return frames;
}

std::vector<std::pair<uint8_t, uint8_t>> PortSystem::ControlFramesSent(unsigned port)
{
    std::vector<std::pair<uint8_t, uint8_t>> frames;
    for (const auto& frame : Model.OutFrames()) {
        if (frame.port == port && frame.type == bridge::wire::kTypeControl && frame.payload.size() == 2) {
            frames.emplace_back(frame.payload[0], frame.payload[1]);
        }
    }
    return frames;
}

std::vector<uint8_t> Ulong(ULONG value)
{
    std::vector<uint8_t> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

ULONG AsUlong(const std::vector<uint8_t>& bytes, size_t offset)
{
    ULONG value = 0;
    if (bytes.size() >= offset + 4) {
        std::memcpy(&value, bytes.data() + offset, 4);
    }
    return value;
}

} // namespace test
