//
// The port's names: the \DosDevices\Global\ link under the name that the
// installation gives the port, and its value under the SERIALCOMM device map,
// where applications look COM ports up. Runs at PASSIVE_LEVEL; every key and
// every queried property is released on every path.
//
#include "port.h"

namespace {

DECLARE_CONST_UNICODE_STRING(PortNameValueName, L"PortName");
DECLARE_CONST_UNICODE_STRING(SerialCommKeyName, L"SERIALCOMM");

constexpr WCHAR LinkNamePrefix[] = L"\\DosDevices\\Global\\";
constexpr WCHAR LinkNameFormat[] = L"%ws%wZ";

// A longer port name fails the query; any name that fits also fits the link.
constexpr USHORT PortNameChars = 32;
constexpr USHORT LinkNameChars = 64;
static_assert(sizeof(LinkNamePrefix) / sizeof(WCHAR) - 1 + PortNameChars <= LinkNameChars, "link name fits");

// Writes the SERIALCOMM value and keeps its key and name for the removal.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AddSerialCommValue(OMBREL_PORT_CONTEXT* Port, PCUNICODE_STRING PortName)
{
    WDFMEMORY objectNameMemory;
    NTSTATUS status = WdfDeviceAllocAndQueryProperty(Port->Device, DevicePropertyPhysicalDeviceObjectName,
                                                     NonPagedPoolNx, WDF_NO_OBJECT_ATTRIBUTES, &objectNameMemory);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto objectName = static_cast<PCWSTR>(WdfMemoryGetBuffer(objectNameMemory, nullptr));
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, objectName);
    if (objectName == nullptr) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    } else if (valueName.Length > sizeof(Port->DeviceMapValueName)) {
        status = STATUS_BUFFER_OVERFLOW;
    } else {
        RtlCopyMemory(Port->DeviceMapValueName, valueName.Buffer, valueName.Length);
        Port->DeviceMapValueNameLength = valueName.Length;
    }
    WdfObjectDelete(objectNameMemory);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Parented to the driver: the key stays open until the removal at
    // clean-up, when the device's own children may already be gone.
    WDFKEY deviceMapKey;
    status = WdfDeviceOpenDevicemapKey(Port->Device, &SerialCommKeyName, KEY_SET_VALUE, WDF_NO_OBJECT_ATTRIBUTES,
                                       &deviceMapKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING storedName = {Port->DeviceMapValueNameLength, sizeof(Port->DeviceMapValueName),
                                 Port->DeviceMapValueName};
    status = WdfRegistryAssignUnicodeString(deviceMapKey, &storedName, PortName);
    if (!NT_SUCCESS(status)) {
        WdfRegistryClose(deviceMapKey);
        return status;
    }
    Port->DeviceMapKey = deviceMapKey;
    return STATUS_SUCCESS;
}

// Removes the value this port wrote, if it wrote one, and closes its key. A
// value already gone counts as removed.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RemoveSerialCommValue(OMBREL_PORT_CONTEXT* Port)
{
    if (Port->DeviceMapKey == nullptr) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING storedName = {Port->DeviceMapValueNameLength, sizeof(Port->DeviceMapValueName),
                                 Port->DeviceMapValueName};
    NTSTATUS status = WdfRegistryRemoveValue(Port->DeviceMapKey, &storedName);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        status = STATUS_SUCCESS;
    }
    WdfRegistryClose(Port->DeviceMapKey);
    Port->DeviceMapKey = nullptr;
    return status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS
PortCreateSymbolicLink(
    WDFDEVICE Device
    )
{
    WDFKEY hardwareKey;
    NTSTATUS status =
        WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, WDF_NO_OBJECT_ATTRIBUTES, &hardwareKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    DECLARE_UNICODE_STRING_SIZE(portName, PortNameChars);
    status = WdfRegistryQueryUnicodeString(hardwareKey, &PortNameValueName, nullptr, &portName);
    WdfRegistryClose(hardwareKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    DECLARE_UNICODE_STRING_SIZE(linkName, LinkNameChars);
    status = RtlUnicodeStringPrintf(&linkName, LinkNameFormat, LinkNamePrefix, &portName);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = WdfDeviceCreateSymbolicLink(Device, &linkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    return PortUpdateDeviceMap(Device, &portName, TRUE);
}

// Adding needs the port name; removing takes away what adding wrote, without
// allocating, so that a removal at clean-up cannot fail for want of memory.
_Use_decl_annotations_
NTSTATUS
PortUpdateDeviceMap(
    WDFDEVICE Device,
    PCUNICODE_STRING PortName,
    BOOLEAN Add
    )
{
    OMBREL_PORT_CONTEXT* port = PortGetContext(Device);
    if (!Add) {
        return RemoveSerialCommValue(port);
    }
    if (PortName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return AddSerialCommValue(port, PortName);
}
