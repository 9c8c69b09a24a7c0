//
// Driver entry of OmbrelPort and the port device's creation and removal. This
// translation unit emits the GUIDs that the port driver uses. All of it runs at
// PASSIVE_LEVEL.
//
#define OMBREL_DEFINE_GUIDS
#include "port.h"

namespace {

// Line settings until an application sets its own; no parity and one stop
// bit are the zeros of the cleared context.
constexpr ULONG DefaultBaudRate = 115200;
constexpr UCHAR DefaultDataBits = 8;

// Copies the bus child's interface into the context. All four operations are
// required, since every request path calls the one it needs without a test.
// A failed query leaves the copy zeroed, so clean-up calls nothing through it.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS QueryBusInterface(OMBREL_PORT_CONTEXT* Port)
{
    BRIDGE_PORT_INTERFACE* bus = &Port->BusInterface;
    constexpr USHORT interfaceSize = sizeof(BRIDGE_PORT_INTERFACE);

    RtlZeroMemory(bus, sizeof(*bus));
    bus->InterfaceHeader.Size = interfaceSize;
    bus->InterfaceHeader.Version = BRIDGE_PORT_INTERFACE_VERSION;

    const NTSTATUS status = WdfFdoQueryForInterface(Port->Device, &GUID_BRIDGE_PORT_INTERFACE, &bus->InterfaceHeader,
                                                    interfaceSize, BRIDGE_PORT_INTERFACE_VERSION, nullptr);
    if (!NT_SUCCESS(status)) {
        RtlZeroMemory(bus, sizeof(*bus));
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    if (bus->Write == nullptr || bus->SetConfig == nullptr || bus->Control == nullptr ||
        bus->RegisterReceiveCallback == nullptr) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    return STATUS_SUCCESS;
}

// The default queue takes reads and the control codes the port answers
// itself, and leaves zero-length reads and writes to the framework. WriteQueue
// and ControlQueue hand their requests to the work items, which block on the
// bus; WriteQueue's EvtIoStop lets a power-down stop a write between chunks.
// Each of the three presents one request at a time at PASSIVE_LEVEL. The
// manual queues hold parked reads and the one parked wait; neither touches
// the device, so both go on while it is out of D0, and data that arrives
// before the port is back in D0 still reaches a parked read.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CreateQueues(OMBREL_PORT_CONTEXT* Port)
{
    WDF_OBJECT_ATTRIBUTES queueAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&queueAttributes);
    queueAttributes.ExecutionLevel = WdfExecutionLevelPassive;

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoRead = EvtPortIoRead;
    queueConfig.EvtIoDeviceControl = EvtPortIoDeviceControl;
    NTSTATUS status = WdfIoQueueCreate(Port->Device, &queueConfig, &queueAttributes, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoWrite = EvtPortIoWrite;
    queueConfig.EvtIoStop = EvtPortIoStopWrite;
    status = WdfIoQueueCreate(Port->Device, &queueConfig, &queueAttributes, &Port->WriteQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDeviceConfigureRequestDispatching(Port->Device, Port->WriteQueue, WdfRequestTypeWrite);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoDeviceControl = EvtPortIoDeviceControlToDevice;
    status = WdfIoQueueCreate(Port->Device, &queueConfig, &queueAttributes, &Port->ControlQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchManual);
    queueConfig.PowerManaged = WdfFalse;
    status = WdfIoQueueCreate(Port->Device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &Port->ReadQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchManual);
    queueConfig.PowerManaged = WdfFalse;
    return WdfIoQueueCreate(Port->Device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &Port->WaitMaskQueue);
}

// The two work items that run what may block: a write, and a control request
// that reaches the device. Created before the queues that hand them requests.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CreateWorkItems(OMBREL_PORT_CONTEXT* Port)
{
    WDF_OBJECT_ATTRIBUTES ownedByDevice;
    WDF_OBJECT_ATTRIBUTES_INIT(&ownedByDevice);
    ownedByDevice.ParentObject = Port->Device;

    WDF_WORKITEM_CONFIG workItemConfig;
    WDF_WORKITEM_CONFIG_INIT(&workItemConfig, EvtPortWriteWorkItem);
    NTSTATUS status = WdfWorkItemCreate(&workItemConfig, &ownedByDevice, &Port->WriteWorkItem);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_WORKITEM_CONFIG_INIT(&workItemConfig, EvtPortControlWorkItem);
    return WdfWorkItemCreate(&workItemConfig, &ownedByDevice, &Port->ControlWorkItem);
}

}  // namespace

// No unload routine and no driver attributes: every object the driver creates
// belongs to a port device and goes away with it.
extern "C"
_Use_decl_annotations_
NTSTATUS
DriverEntry(
    PDRIVER_OBJECT DriverObject,
    PUNICODE_STRING RegistryPath
    )
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtPortDeviceAdd);

    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

// Makes the child an exclusive COM port bound to its channel. On a failure
// after the device exists the framework deletes it, and EvtPortDeviceCleanup
// undoes what was published.
_Use_decl_annotations_
NTSTATUS
EvtPortDeviceAdd(
    WDFDRIVER Driver,
    PWDFDEVICE_INIT DeviceInit
    )
{
    UNREFERENCED_PARAMETER(Driver);

    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_SERIAL_PORT);
    WdfDeviceInitSetExclusive(DeviceInit, TRUE);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtPortFileCreate, EvtPortFileClose, EvtPortFileCleanup);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, OMBREL_REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);

    // The framework's queues take no flush; without a preprocessor it would
    // fail every FlushFileBuffers on the port.
    NTSTATUS status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, EvtPortWdmFlush,
                                                                  IRP_MJ_FLUSH_BUFFERS, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // No synchronisation scope: the port's own locks and its sequential
    // queues order its callbacks.
    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, OMBREL_PORT_CONTEXT);
    deviceAttributes.EvtCleanupCallback = EvtPortDeviceCleanup;
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeNone;

    WDFDEVICE device;
    status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    OMBREL_PORT_CONTEXT* port = PortGetContext(device);
    RtlZeroMemory(port, sizeof(*port));
    port->Device = device;
    port->LineConfig.BaudRate = DefaultBaudRate;
    port->LineConfig.DataBits = DefaultDataBits;
    KeInitializeEvent(&port->WriteEnded, NotificationEvent, FALSE);

    status = QueryBusInterface(port);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_OBJECT_ATTRIBUTES ownedByDevice;
    WDF_OBJECT_ATTRIBUTES_INIT(&ownedByDevice);
    ownedByDevice.ParentObject = device;

    status = WdfSpinLockCreate(&ownedByDevice, &port->RingLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfSpinLockCreate(&ownedByDevice, &port->EventLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_COMPORT, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = PortCreateSymbolicLink(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = CreateWorkItems(port);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateQueues(port);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Last, so that data reaches the port only once the ring, both locks and
    // both manual queues exist. From here on data is kept whether or not a
    // handle is open.
    port->BusInterface.RegisterReceiveCallback(port->BusInterface.PortHandle, PortReceiveData, port);
    return STATUS_SUCCESS;
}

// Also runs for a device whose add failed part-way. Removing the receive
// callback returns only once no delivery is running in it, so the context may
// go after this; the reference the query took on the interface is released
// last. A missing SERIALCOMM value is no failure, and there is no one to
// report any other to.
_Use_decl_annotations_
VOID
EvtPortDeviceCleanup(
    WDFOBJECT Object
    )
{
    const WDFDEVICE device = static_cast<WDFDEVICE>(Object);
    OMBREL_PORT_CONTEXT* port = PortGetContext(device);

    if (port->BusInterface.RegisterReceiveCallback != nullptr) {
        port->BusInterface.RegisterReceiveCallback(port->BusInterface.PortHandle, nullptr, nullptr);
    }
    PortUpdateDeviceMap(device, nullptr, FALSE);
    if (port->BusInterface.InterfaceHeader.InterfaceDereference != nullptr) {
        port->BusInterface.InterfaceHeader.InterfaceDereference(port->BusInterface.InterfaceHeader.Context);
    }
}
