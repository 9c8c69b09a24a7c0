// The registry and the object namespace as the drivers and the system see
// them: device hardware keys, the device map, symbolic links and device
// interfaces. Names compare without regard to case, as Windows compares them.
#pragma once

#include "host/framework/device.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace host {

// Registry values, by key path and value name.
void RegistrySetString(const std::string& keyPath, const std::string& valueName, const std::string& data);
std::optional<std::string> RegistryGetString(const std::string& keyPath, const std::string& valueName);
// The string values of a key, by name (e.g. the SERIALCOMM device map).
std::map<std::string, std::string> RegistryStrings(const std::string& keyPath);
void RegistryDeleteKey(const std::string& keyPath);

// The key path of a device's hardware key ("Device Parameters") and of the
// serial device map.
std::string HardwareKeyPath(const PhysicalDevice& node);
extern const char* const SerialCommKeyPath;

// Symbolic links: the device a name leads to, if any.
FrameworkDevice* LookupSymbolicLink(const std::string& name);
std::vector<std::string> SymbolicLinksOf(FrameworkDevice* device);
void RemoveNamesOf(FrameworkDevice* device);

struct DeviceInterfaceRecord {
    GUID InterfaceClass;
    std::string ReferenceString;
    FrameworkDevice* Owner;
};
std::vector<DeviceInterfaceRecord> DeviceInterfaces(const GUID& interfaceClass);

} // namespace host
