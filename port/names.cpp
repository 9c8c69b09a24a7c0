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

// Writes, or removes, the SERIALCOMM value called ValueName.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UpdateSerialCommValue(WDFDEVICE Device, PCUNICODE_STRING ValueName, PCUNICODE_STRING PortName, BOOLEAN Add)
{
    WDFKEY deviceMapKey;
    NTSTATUS status =
        WdfDeviceOpenDevicemapKey(Device, &SerialCommKeyName, KEY_SET_VALUE, WDF_NO_OBJECT_ATTRIBUTES, &deviceMapKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    if (Add) {
        status = WdfRegistryAssignUnicodeString(deviceMapKey, ValueName, PortName);
    } else {
        status = WdfRegistryRemoveValue(deviceMapKey, ValueName);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            status = STATUS_SUCCESS;
        }
    }

    WdfRegistryClose(deviceMapKey);
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

// The property memory is parented to the driver, not the device: clean-up
// calls this while the device is being deleted, when the framework gives it no
// new children. It is deleted here on every path.
_Use_decl_annotations_
NTSTATUS
PortUpdateDeviceMap(
    WDFDEVICE Device,
    PCUNICODE_STRING PortName,
    BOOLEAN Add
    )
{
    if (Add && PortName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    WDFMEMORY objectNameMemory;
    NTSTATUS status = WdfDeviceAllocAndQueryProperty(Device, DevicePropertyPhysicalDeviceObjectName, NonPagedPoolNx,
                                                     WDF_NO_OBJECT_ATTRIBUTES, &objectNameMemory);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    const auto objectName = static_cast<PCWSTR>(WdfMemoryGetBuffer(objectNameMemory, nullptr));
    if (objectName == nullptr) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    } else {
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, objectName);
        status = UpdateSerialCommValue(Device, &valueName, PortName, Add);
    }

    WdfObjectDelete(objectNameMemory);
    return status;
}
