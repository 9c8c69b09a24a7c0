#include "support/port_system.h"

#include "host/framework/io_queue.h"
#include "host/kernel/registry.h"

#include <gtest/gtest.h>

#include <cstring>

namespace test {

namespace {

rig::SystemOptions Unplugged(std::vector<std::string> portNames)
{
    rig::SystemOptions options;
    options.PortNames = std::move(portNames);
    options.PlugIn = false;
    return options;
}

} // namespace

PortSystem::PortSystem(std::vector<std::string> portNames, bool start)
    : rig::SystemRig(Unplugged(portNames)), Names(std::move(portNames))
{
    EXPECT_EQ(InstallResult(), STATUS_SUCCESS) << "the drivers did not install from the INFs under windows/";
    if (start) {
        Start();
    }
}

PortSystem::~PortSystem()
{
    Remove();
    EXPECT_EQ(host::OutstandingDriverRequests(), 0);
    EXPECT_TRUE(host::RegistryStrings(host::SerialCommKeyPath).empty()) << "a SERIALCOMM value outlived its port";
}

void PortSystem::Start()
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_TRUE(rig::SystemRig::Settle());
}

void PortSystem::Settle() { ASSERT_TRUE(rig::SystemRig::Settle()); }

void PortSystem::DrainIn() { ASSERT_TRUE(rig::SystemRig::DrainIn()) << "the bus did not take the IN transfers"; }

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
    DrainIn();
}

std::vector<std::vector<uint8_t>> PortSystem::DataFramesSent(unsigned port)
{
    std::vector<std::vector<uint8_t>> frames;
    for (const auto& frame : Model.OutFrames()) {
        if (frame.Port == port && frame.Type == bridge::wire::kTypeData) {
            frames.push_back(frame.Payload);
        }
    }
    return frames;
}

std::vector<std::pair<uint8_t, uint8_t>> PortSystem::ControlFramesSent(unsigned port)
{
    std::vector<std::pair<uint8_t, uint8_t>> frames;
    for (const auto& frame : Model.OutFrames()) {
        if (frame.Port == port && frame.Type == bridge::wire::kTypeControl && frame.Payload.size() == 2) {
            frames.emplace_back(frame.Payload[0], frame.Payload[1]);
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
