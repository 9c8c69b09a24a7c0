#include "tools/usbip/device.h"

#include "rig/windows_inf.h"
#include "tools/usbip/session.h"

#include <algorithm>
#include <cctype>

namespace usbip {

namespace {

void PutLe16(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

std::optional<uint16_t> Hex4(const std::string& text)
{
    if (text.size() != 4 || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); })) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(std::stoul(text, nullptr, 16));
}

Bytes StringDescriptor(const std::string& text)
{
    // ASCII text as UTF-16LE; a descriptor holds at most 126 characters.
    const size_t characters = std::min<size_t>(text.size(), 126);
    Bytes out{static_cast<uint8_t>(2 + 2 * characters), 3};
    for (size_t i = 0; i < characters; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        PutLe16(out, c < 0x80 ? c : '?');
    }
    return out;
}

} // namespace

bool ParseUsbHardwareId(const std::string& id, uint16_t& vendor, uint16_t& product)
{
    std::string upper = id;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    const std::string prefix = "USB\\VID_";
    if (upper.rfind(prefix, 0) != 0 || upper.size() < prefix.size() + 13) {
        return false;
    }
    const auto vid = Hex4(upper.substr(prefix.size(), 4));
    const bool pidTag = upper.compare(prefix.size() + 4, 5, "&PID_") == 0;
    const auto pid = Hex4(upper.substr(prefix.size() + 9, 4));
    const size_t end = prefix.size() + 13;
    if (!vid || !pidTag || !pid || (upper.size() > end && upper[end] != '&')) {
        return false;
    }
    vendor = *vid;
    product = *pid;
    return true;
}

std::optional<Identity> IdentityFromInf(const std::filesystem::path& inf, std::string& error)
{
    const rig::InfFile file = rig::InfFile::Load(inf);
    for (const rig::InfModel& model : file.Models()) {
        for (const std::string& id : model.HardwareIds) {
            Identity identity;
            if (!ParseUsbHardwareId(id, identity.VendorId, identity.ProductId)) {
                continue;
            }
            const auto& manufacturers = file.Section("Manufacturer");
            identity.Manufacturer = manufacturers.empty() ? "" : file.Expand(manufacturers.front().Key);
            identity.Product = model.Description;
            return identity;
        }
    }
    const auto problems = file.Problems();
    error = inf.string() + ": " + (problems.empty() ? "no USB\\VID_xxxx&PID_yyyy hardware ID in its models"
                                                    : problems.front());
    return std::nullopt;
}

Descriptors::Descriptors(const Identity& identity, std::vector<host::UsbEndpointDescriptor> endpoints)
    : Who(identity), EndpointList(std::move(endpoints))
{
    DeviceBytes = {18, 1};
    PutLe16(DeviceBytes, 0x0200);                     // bcdUSB 2.0
    DeviceBytes.insert(DeviceBytes.end(), {0, 0, 0}); // class, subclass, protocol: per interface
    DeviceBytes.push_back(kControlMaxPacket);
    PutLe16(DeviceBytes, Who.VendorId);
    PutLe16(DeviceBytes, Who.ProductId);
    PutLe16(DeviceBytes, 0x0100);                     // bcdDevice
    DeviceBytes.insert(DeviceBytes.end(), {1, 2, 3, 1}); // strings, one configuration

    const auto endpointCount = static_cast<uint8_t>(std::min<size_t>(EndpointList.size(), 30));
    const uint16_t total = static_cast<uint16_t>(9 + 9 + 7 * endpointCount);
    ConfigurationBytes = {9, 2};
    PutLe16(ConfigurationBytes, total);
    ConfigurationBytes.insert(ConfigurationBytes.end(), {1, kConfigurationValue, 0, 0x80, 50}); // bus powered, 100 mA
    ConfigurationBytes.insert(ConfigurationBytes.end(), {9, 4, 0, 0, endpointCount, kInterfaceClass, 0, 0, 0});
    for (size_t i = 0; i < endpointCount; ++i) {
        const host::UsbEndpointDescriptor& endpoint = EndpointList[i];
        ConfigurationBytes.insert(ConfigurationBytes.end(), {7, 5, endpoint.Address, static_cast<uint8_t>(endpoint.Type)});
        PutLe16(ConfigurationBytes, endpoint.MaximumPacketSize);
        ConfigurationBytes.push_back(endpoint.Type == host::UsbEndpointType::Interrupt ? 1 : 0);
    }
    EndpointList.resize(endpointCount);
}

std::optional<Bytes> Descriptors::String(uint8_t index, uint16_t language) const
{
    if (index == 0) {
        Bytes out{4, 3};
        PutLe16(out, kLanguage);
        return out;
    }
    if (language != kLanguage) {
        return std::nullopt;
    }
    switch (index) {
    case 1: return StringDescriptor(Who.Manufacturer);
    case 2: return StringDescriptor(Who.Product);
    case 3: return StringDescriptor(Who.SerialNumber);
    default: return std::nullopt;
    }
}

const host::UsbEndpointDescriptor* Descriptors::FindEndpoint(uint8_t address) const
{
    for (const auto& endpoint : EndpointList) {
        if (endpoint.Address == address) {
            return &endpoint;
        }
    }
    return nullptr;
}

ExportedDevice::ExportedDevice(bridge::BridgeModel& model, const Identity& identity, std::string busId)
    : Bridge(model), UsbDescriptors(identity, model.Endpoints())
{
    DeviceRecord& record = DeviceRecordValue;
    record.BusId = std::move(busId);
    record.Path = "/sys/devices/platform/ombrel-usbip/usb1/" + record.BusId;
    record.BusNum = 1;
    record.DevNum = 2;
    record.Speed = kSpeedHigh;
    record.VendorId = identity.VendorId;
    record.ProductId = identity.ProductId;
    record.BcdDevice = 0x0100;
    record.ConfigurationValue = Descriptors::kConfigurationValue;
    record.NumConfigurations = 1;
    record.Interfaces.push_back({Descriptors::kInterfaceClass, 0, 0});
}

bool ExportedDevice::Claim(Session* session)
{
    std::lock_guard lock(Mutex);
    if (Owner != nullptr) {
        return false;
    }
    Owner = session;
    ++ImportCount;
    return true;
}

void ExportedDevice::Release(Session* session)
{
    std::lock_guard lock(Mutex);
    if (Owner == session) {
        Owner = nullptr;
    }
}

bool ExportedDevice::Imported() const
{
    std::lock_guard lock(Mutex);
    return Owner != nullptr;
}

uint64_t ExportedDevice::Imports() const
{
    std::lock_guard lock(Mutex);
    return ImportCount;
}

void ExportedDevice::Unplug(const std::string& reason)
{
    // The owner stays registered until its Release, which waits for this lock,
    // so it cannot go away while it is told.
    std::lock_guard lock(Mutex);
    if (Owner != nullptr) {
        Owner->Close(reason);
    }
}

} // namespace usbip
