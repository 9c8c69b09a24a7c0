//
// The bus device: its creation with the context, the binding to the bridge's
// single USB interface and its two bulk pipes, and the power transitions that
// start and stop the traffic. All of it runs at PASSIVE_LEVEL on the PnP and
// power path, one callback at a time.
//
#include "bus.h"

namespace {

// Takes the last bulk IN and the last bulk OUT pipe in pipe order; pipes of
// other types are not used. Selecting the configuration has replaced every
// pipe object, so no handle from an earlier prepare survives the lookup.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS FindBulkPipes(OMBREL_DEVICE_CONTEXT* Bus, WDFUSBINTERFACE UsbInterface)
{
    WDFUSBPIPE bulkIn = nullptr;
    WDFUSBPIPE bulkOut = nullptr;

    const BYTE pipeCount = WdfUsbInterfaceGetNumConfiguredPipes(UsbInterface);
    for (UCHAR pipeIndex = 0; pipeIndex < pipeCount; ++pipeIndex) {
        WDF_USB_PIPE_INFORMATION pipeInfo;
        WDF_USB_PIPE_INFORMATION_INIT(&pipeInfo);
        const WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(UsbInterface, pipeIndex, &pipeInfo);
        if (pipeInfo.PipeType != WdfUsbPipeTypeBulk) {
            continue;
        }
        if (WdfUsbTargetPipeIsInEndpoint(pipe)) {
            bulkIn = pipe;
        } else {
            bulkOut = pipe;
        }
    }

    Bus->BulkInPipe = bulkIn;
    Bus->BulkOutPipe = bulkOut;
    if (bulkIn == nullptr || bulkOut == nullptr) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    return STATUS_SUCCESS;
}

}  // namespace

// Creates the bus device with its context, the command lock, the eight receive
// locks and the enumeration work item. On a failure the framework deletes the
// device and everything parented to it.
_Use_decl_annotations_
NTSTATUS
EvtBusDeviceAdd(
    WDFDRIVER Driver,
    PWDFDEVICE_INIT DeviceInit
    )
{
    UNREFERENCED_PARAMETER(Driver);

    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_BUS_EXTENDER);
    WdfDeviceInitSetExclusive(DeviceInit, TRUE);

    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.EvtDeviceD0Entry = EvtBusD0Entry;
    pnpPowerCallbacks.EvtDeviceD0Exit = EvtBusD0Exit;
    pnpPowerCallbacks.EvtDevicePrepareHardware = EvtBusPrepareHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, OMBREL_DEVICE_CONTEXT);

    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    OMBREL_DEVICE_CONTEXT* bus = BusGetDeviceContext(device);
    RtlZeroMemory(bus, sizeof(*bus));
    bus->Device = device;
    KeInitializeEvent(&bus->ResponseEvent, NotificationEvent, FALSE);

    // Locks and the work item belong to the device and go with it.
    WDF_OBJECT_ATTRIBUTES ownedByDevice;
    WDF_OBJECT_ATTRIBUTES_INIT(&ownedByDevice);
    ownedByDevice.ParentObject = device;

    status = WdfWaitLockCreate(&ownedByDevice, &bus->CommandLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfSpinLockCreate(&ownedByDevice, &bus->ResponseLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    for (UCHAR portIndex = 0; portIndex < BRIDGE_PORT_COUNT; ++portIndex) {
        BRIDGE_BUS_PORT* port = &bus->Ports[portIndex];
        port->Bus = bus;
        port->PortIndex = portIndex;
        status = WdfSpinLockCreate(&ownedByDevice, &port->ReceiveLock);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    WDF_WORKITEM_CONFIG workItemConfig;
    WDF_WORKITEM_CONFIG_INIT(&workItemConfig, EvtBusEnumerateWorkItem);
    workItemConfig.AutomaticSerialization = TRUE;

    return WdfWorkItemCreate(&workItemConfig, &ownedByDevice, &bus->EnumWorkItem);
}

// Binds the bridge: the USB target device (created once, kept across a stop and
// restart), its single interface, the two bulk pipes and the continuous reader,
// which stays idle until D0 entry starts the IN pipe's target.
_Use_decl_annotations_
NTSTATUS
EvtBusPrepareHardware(
    WDFDEVICE Device,
    WDFCMRESLIST ResourcesRaw,
    WDFCMRESLIST ResourcesTranslated
    )
{
    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);

    OMBREL_DEVICE_CONTEXT* bus = BusGetDeviceContext(Device);
    NTSTATUS status;

    if (bus->UsbDevice == nullptr) {
        WDF_USB_DEVICE_CREATE_CONFIG createConfig;
        WDF_USB_DEVICE_CREATE_CONFIG_INIT(&createConfig, USBD_CLIENT_CONTRACT_VERSION_602);

        // Without attributes the target device's parent is the bus device.
        WDFUSBDEVICE usbDevice;
        status = WdfUsbTargetDeviceCreateWithParameters(Device, &createConfig, WDF_NO_OBJECT_ATTRIBUTES, &usbDevice);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        bus->UsbDevice = usbDevice;
    }

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS selectParams;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&selectParams);
    status = WdfUsbTargetDeviceSelectConfig(bus->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &selectParams);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = FindBulkPipes(bus, selectParams.Types.SingleInterface.ConfiguredUsbInterface);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Frames are up to 64 bytes whatever the endpoints' packet size.
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(bus->BulkInPipe);
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(bus->BulkOutPipe);

    // One whole frame per read. One read in flight: with more, their
    // completions may run on several processors at once and finish in either
    // order, and a port's bytes would reach its ring out of order. A failed
    // reader is reset and restarted by the framework.
    WDF_USB_CONTINUOUS_READER_CONFIG readerConfig;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&readerConfig, EvtBusReadComplete, bus, BRIDGE_FRAME_MAX);
    readerConfig.NumPendingReads = 1;
    readerConfig.EvtUsbTargetPipeReadersFailed = EvtBusReadersFailed;

    return WdfUsbTargetPipeConfigContinuousReader(bus->BulkInPipe, &readerConfig);
}

// Every entry to D0, a resume included: clear the response slot, start the
// reader, then greet the bridge, which answers with its announce. The reader
// runs before the hello goes out, so that announce cannot be missed.
_Use_decl_annotations_
NTSTATUS
EvtBusD0Entry(
    WDFDEVICE Device,
    WDF_POWER_DEVICE_STATE PreviousState
    )
{
    UNREFERENCED_PARAMETER(PreviousState);

    OMBREL_DEVICE_CONTEXT* bus = BusGetDeviceContext(Device);

    InterlockedExchange(&bus->ResponsePending, 0);
    KeClearEvent(&bus->ResponseEvent);

    const WDFIOTARGET readerTarget = WdfUsbTargetPipeGetIoTarget(bus->BulkInPipe);
    NTSTATUS status = WdfIoTargetStart(readerTarget);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // A bare header: device-wide announce, no payload. Sent without CommandLock
    // and without waiting for an answer; the announce goes to the receive dispatch.
    BRIDGE_FRAME_HEADER hello = {
        { BRIDGE_FRAME_MAGIC_0, BRIDGE_FRAME_MAGIC_1 },
        BRIDGE_FRAME_VERSION,
        BRIDGE_PORT_DEVICE,
        FRAME_TYPE_ANNOUNCE,
        0,  // Reserved
        0,  // PayloadLength
    };

    // Bounded like every OUT write, so a bridge that never takes the hello fails
    // the power-up instead of hanging it. A failed power-up leaves no read pending.
    status = BusWriteFrame(bus, &hello, sizeof(hello));
    if (!NT_SUCCESS(status)) {
        WdfIoTargetStop(readerTarget, WdfIoTargetCancelSentIo);
    }
    return status;
}

// Every exit from D0: the reader stops first, its reads cancelled, and the
// framework waits for completions already running; only then is a sender
// still waiting for a response that can no longer come released, to fail at
// once with STATUS_DEVICE_PROTOCOL_ERROR instead of waiting out its time-out.
// In this order no completion can store into the slot while it is written
// here, and an answer that arrived before the stop is not overwritten. The
// sender alone lowers ResponsePending. Never fails.
_Use_decl_annotations_
NTSTATUS
EvtBusD0Exit(
    WDFDEVICE Device,
    WDF_POWER_DEVICE_STATE TargetState
    )
{
    UNREFERENCED_PARAMETER(TargetState);

    OMBREL_DEVICE_CONTEXT* bus = BusGetDeviceContext(Device);

    if (bus->BulkInPipe != nullptr) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(bus->BulkInPipe), WdfIoTargetCancelSentIo);
    }

    WdfSpinLockAcquire(bus->ResponseLock);
    if (InterlockedCompareExchange(&bus->ResponsePending, 1, 1) == 1 &&
        KeReadStateEvent(&bus->ResponseEvent) == 0) {
        bus->ResponseStatus = BUS_RESPONSE_STATUS_FAILED;
        bus->ResponseValue = 0;
        KeSetEvent(&bus->ResponseEvent, IO_NO_INCREMENT, FALSE);
    }
    WdfSpinLockRelease(bus->ResponseLock);
    return STATUS_SUCCESS;
}
