// The one device the server exports: the bridge model behind the identity the
// bus INF installs the driver on, its standard USB descriptors, and the slot
// that lets one connection at a time import it.
#pragma once

#include "bridge/bridge_model.h"
#include "tools/usbip/protocol.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace usbip {

class Session;

// Who the device says it is. The IDs come from the bus INF's model line, so
// the driver package and the served device cannot disagree.
struct Identity {
    uint16_t VendorId = 0;
    uint16_t ProductId = 0;
    std::string Manufacturer;
    std::string Product;
    std::string SerialNumber = "OV0001";
};

// Reads the identity from the bus INF (rig::PackageInfPath("OmbrelBus")
// unless another file is given): the first USB\VID_xxxx&PID_yyyy hardware ID
// of its models, the manufacturer's and the model's descriptions. Nothing,
// with `error` set, when the file cannot be read or names no USB ID.
std::optional<Identity> IdentityFromInf(const std::filesystem::path& inf, std::string& error);
// "USB\VID_xxxx&PID_yyyy" in hex digits of either case; trailing &REV_ or &MI_ parts allowed.
bool ParseUsbHardwareId(const std::string& id, uint16_t& vendor, uint16_t& product);

// The standard descriptors, little-endian as on the bus: one configuration
// with one vendor-specific interface holding the model's endpoints.
class Descriptors {
public:
    Descriptors(const Identity& identity, std::vector<host::UsbEndpointDescriptor> endpoints);

    static constexpr uint8_t kConfigurationValue = 1;
    static constexpr uint8_t kInterfaceClass = 0xFF;
    static constexpr uint16_t kLanguage = 0x0409;  // English (United States)
    static constexpr uint8_t kControlMaxPacket = 64;

    const Bytes& Device() const { return DeviceBytes; }
    const Bytes& Configuration() const { return ConfigurationBytes; }
    // String 0 is the language list; 1 to 3 the manufacturer, product and
    // serial number in kLanguage. Nothing for another index or language.
    std::optional<Bytes> String(uint8_t index, uint16_t language) const;
    const std::vector<host::UsbEndpointDescriptor>& Endpoints() const { return EndpointList; }
    const host::UsbEndpointDescriptor* FindEndpoint(uint8_t address) const;

private:
    Identity Who;
    std::vector<host::UsbEndpointDescriptor> EndpointList;
    Bytes DeviceBytes;
    Bytes ConfigurationBytes;
};

class ExportedDevice {
public:
    ExportedDevice(bridge::BridgeModel& model, const Identity& identity, std::string busId = "1-1");

    bridge::BridgeModel& Model() { return Bridge; }
    const Descriptors& Usb() const { return UsbDescriptors; }
    const DeviceRecord& Record() const { return DeviceRecordValue; }

    // The import slot. Claim fails while another session holds it.
    bool Claim(Session* session);
    void Release(Session* session);
    bool Imported() const;
    // How many imports have begun, so a watcher can tell a new one from the last.
    uint64_t Imports() const;
    // Pulls the bridge out from under its importer: that connection closes,
    // with `reason` in the log; the device is importable again once it has.
    void Unplug(const std::string& reason);

private:
    bridge::BridgeModel& Bridge;
    Descriptors UsbDescriptors;
    DeviceRecord DeviceRecordValue;
    mutable std::mutex Mutex;
    Session* Owner = nullptr;
    uint64_t ImportCount = 0;
};

} // namespace usbip
