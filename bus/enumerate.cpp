//
// Port enumeration: after the bridge's first announce, one static child per
// channel, in port order, each with its identity, capabilities and the port
// interface. Runs in the enumeration work item at PASSIVE_LEVEL.
//
#include "bus.h"

namespace {

// The device ID is also the child's only hardware ID, which the port driver's
// installation matches.
constexpr WCHAR PortDeviceIdFormat[] = L"OMBREL\\PORT_%02u";
constexpr ULONG PortDeviceIdChars = 32;
constexpr WCHAR PortInstanceIdFormat[] = L"%02u";
constexpr ULONG PortInstanceIdChars = 8;

constexpr LCID PortTextLocale = 0x409;  // en-US

// Indexed by port number; also tells which kind of channel each port is.
constexpr PCWSTR PortDescriptions[BRIDGE_PORT_COUNT] = {
    L"Ombrel CAN FD 1",
    L"Ombrel CAN FD 2",
    L"Ombrel RS485 1",
    L"Ombrel RS485 2",
    L"Ombrel RS485 3",
    L"Ombrel RS485 4",
    L"Ombrel RS232 1",
    L"Ombrel RS232 2",
};

DECLARE_CONST_UNICODE_STRING(PortLocation, L"Ombrel Vesk Bridge");

// Gives the initialisation record the child's type, IDs and text. The strings
// live on this stack; the framework copies them.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AssignChildIdentity(PWDFDEVICE_INIT ChildInit, UCHAR PortIndex)
{
    WdfDeviceInitSetDeviceType(ChildInit, FILE_DEVICE_SERIAL_PORT);
    // The port's link names this child, so the system enforces the port's
    // one open handle here; the port driver's own FDO is unnamed.
    WdfDeviceInitSetExclusive(ChildInit, TRUE);

    DECLARE_UNICODE_STRING_SIZE(deviceId, PortDeviceIdChars);
    NTSTATUS status = RtlUnicodeStringPrintf(&deviceId, PortDeviceIdFormat, static_cast<ULONG>(PortIndex));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfPdoInitAssignDeviceID(ChildInit, &deviceId);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfPdoInitAddHardwareID(ChildInit, &deviceId);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    DECLARE_UNICODE_STRING_SIZE(instanceId, PortInstanceIdChars);
    status = RtlUnicodeStringPrintf(&instanceId, PortInstanceIdFormat, static_cast<ULONG>(PortIndex));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfPdoInitAssignInstanceID(ChildInit, &instanceId);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING description;
    RtlInitUnicodeString(&description, PortDescriptions[PortIndex]);
    status = WdfPdoInitAddDeviceText(ChildInit, &description, &PortLocation, PortTextLocale);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfPdoInitSetDefaultLocale(ChildInit, PortTextLocale);
    return STATUS_SUCCESS;
}

// Publishes the port's interface on the child. The record is zero-filled, so
// padding reads as zero to the consumer; the framework keeps its own copy and
// answers every query for the GUID on this child from it.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS PublishPortInterface(WDFDEVICE Child, BRIDGE_BUS_PORT* Port)
{
    BRIDGE_PORT_INTERFACE portInterface;
    RtlZeroMemory(&portInterface, sizeof(portInterface));
    portInterface.InterfaceHeader.Size = static_cast<USHORT>(sizeof(portInterface));
    portInterface.InterfaceHeader.Version = BRIDGE_PORT_INTERFACE_VERSION;
    portInterface.InterfaceHeader.Context = Port;
    portInterface.InterfaceHeader.InterfaceReference = BusInterfaceNoop;
    portInterface.InterfaceHeader.InterfaceDereference = BusInterfaceNoop;
    portInterface.PortHandle = Port;
    portInterface.PortIndex = Port->PortIndex;
    portInterface.Write = BusPortWrite;
    portInterface.SetConfig = BusPortSetConfig;
    portInterface.Control = BusPortControl;
    portInterface.RegisterReceiveCallback = BusPortRegisterReceiveCallback;

    WDF_QUERY_INTERFACE_CONFIG queryConfig;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&queryConfig, &portInterface.InterfaceHeader, &GUID_BRIDGE_PORT_INTERFACE, nullptr);

    return WdfDeviceAddQueryInterface(Child, &queryConfig);
}

// Removable, surprise removal allowed; address and UI number are the port number.
_IRQL_requires_(PASSIVE_LEVEL)
void SetChildCapabilities(WDFDEVICE Child, UCHAR PortIndex)
{
    WDF_DEVICE_PNP_CAPABILITIES capabilities;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&capabilities);
    capabilities.Removable = WdfTrue;
    capabilities.SurpriseRemovalOK = WdfTrue;
    capabilities.Address = PortIndex;
    capabilities.UINumber = PortIndex;
    WdfDeviceSetPnpCapabilities(Child, &capabilities);
}

}  // namespace

// Creates the children once in the life of the bus device. At the first
// failure the children already added stay, the later ports get none, and
// ChildrenCreated is lowered again; nothing is reported.
_Use_decl_annotations_
VOID
EvtBusEnumerateWorkItem(
    WDFWORKITEM WorkItem
    )
{
    const WDFDEVICE busDevice = static_cast<WDFDEVICE>(WdfWorkItemGetParentObject(WorkItem));
    OMBREL_DEVICE_CONTEXT* bus = BusGetDeviceContext(busDevice);

    if (InterlockedCompareExchange(&bus->ChildrenCreated, 1, 0) != 0) {
        return;
    }

    for (UCHAR portIndex = 0; portIndex < BRIDGE_PORT_COUNT; ++portIndex) {
        if (!NT_SUCCESS(BusCreatePortChild(busDevice, &bus->Ports[portIndex]))) {
            InterlockedExchange(&bus->ChildrenCreated, 0);
            return;
        }
    }
}

// Until the child device exists its initialisation record is ours and is freed
// on failure; once it exists, a failure deletes the child, which would otherwise
// be left outside the bus's child list.
_Use_decl_annotations_
NTSTATUS
BusCreatePortChild(
    WDFDEVICE BusDevice,
    BRIDGE_BUS_PORT* Port
    )
{
    PWDFDEVICE_INIT childInit = WdfPdoInitAllocate(BusDevice);
    if (childInit == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    WDFDEVICE child = nullptr;
    NTSTATUS status = AssignChildIdentity(childInit, Port->PortIndex);
    if (NT_SUCCESS(status)) {
        WDF_OBJECT_ATTRIBUTES childAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&childAttributes, OMBREL_PDO_CONTEXT);
        status = WdfDeviceCreate(&childInit, &childAttributes, &child);
    }
    if (!NT_SUCCESS(status)) {
        WdfDeviceInitFree(childInit);
        return status;
    }

    BusGetPdoContext(child)->BusPort = Port;

    status = PublishPortInterface(child, Port);
    if (NT_SUCCESS(status)) {
        SetChildCapabilities(child, Port->PortIndex);
        status = WdfFdoAddStaticChild(BusDevice, child);
    }
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(child);
    }
    return status;
}
