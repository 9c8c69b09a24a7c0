// The registry as the drivers and the system see it: string values by key
// path and value name, names compared without regard to case as Windows
// compares them.
#pragma once

#include <ntdef.h>

#include <map>
#include <optional>
#include <string>

namespace host {

struct PhysicalDevice;

void RegistrySetString(const std::string& keyPath, const std::string& valueName, const std::string& data);
std::optional<std::string> RegistryGetString(const std::string& keyPath, const std::string& valueName);
// The string values of a key, by name (e.g. the SERIALCOMM device map).
std::map<std::string, std::string> RegistryStrings(const std::string& keyPath);
void RegistryDeleteKey(const std::string& keyPath);

// The same store in the kernel's terms, for the framework's key objects.
// Lookups answer with the status ZwQueryValueKey would give.
void RegistryAssign(const std::string& keyPath, const std::string& valueName, std::u16string text);
NTSTATUS RegistryQuery(const std::string& keyPath, const std::string& valueName, std::u16string* text);
NTSTATUS RegistryRemove(const std::string& keyPath, const std::string& valueName);

// The key path of a device's hardware key ("Device Parameters"), of a key
// under the device map, and of the serial device map.
std::string HardwareKeyPath(const PhysicalDevice& node);
std::string DeviceMapKeyPath(const std::string& keyName);
extern const char* const SerialCommKeyPath;

} // namespace host
