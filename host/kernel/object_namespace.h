// The object namespace as applications and the system reach a device: the
// symbolic links that name it and the device interfaces it registered. Names
// compare without regard to case, as Windows compares them.
#pragma once

#include <ntdef.h>

#include <string>
#include <vector>

namespace host {

class FrameworkDevice;

// STATUS_OBJECT_NAME_INVALID for a name outside the namespace,
// STATUS_OBJECT_NAME_COLLISION for one that already leads somewhere.
NTSTATUS CreateSymbolicLink(const std::string& name, FrameworkDevice* device);
// The device a name leads to, if any.
FrameworkDevice* LookupSymbolicLink(const std::string& name);
std::vector<std::string> SymbolicLinksOf(FrameworkDevice* device);

struct DeviceInterfaceRecord {
    GUID InterfaceClass;
    std::string ReferenceString;
    FrameworkDevice* Owner;
};
void RegisterDeviceInterface(DeviceInterfaceRecord record);
std::vector<DeviceInterfaceRecord> DeviceInterfaces(const GUID& interfaceClass);

// The device's links and interfaces are gone, as when its device object is deleted.
void RemoveNamesOf(FrameworkDevice* device);

} // namespace host
