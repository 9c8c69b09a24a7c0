//
// Serial control requests. Line settings, break and purge reach the device
// through the port interface; the modem lines, flow control, special
// characters and properties, which the bridge does not model, get fixed
// answers. Every request is completed here once, except a wait that the
// wait-mask handlers park.
//
#include "port.h"
#include "ring.h"

namespace {

static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "serial buffer layout");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "serial buffer layout");
static_assert(sizeof(SERIAL_CHARS) == 6, "serial buffer layout");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "serial buffer layout");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "serial buffer layout");
static_assert(sizeof(SERIAL_STATUS) == 20, "serial buffer layout");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "serial buffer layout");

constexpr ULONG MinBaudRate = 300;
constexpr ULONG MaxBaudRate = 3000000;
constexpr UCHAR MinDataBits = 7;
constexpr UCHAR MaxDataBits = 8;

// The bridge reports no modem lines of its own: clear to send, data set ready
// and carrier are always up, ring is never on, DTR and RTS read as off.
constexpr ULONG ModemStatusLinesUp = SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE;
constexpr ULONG DtrRtsState = 0;

constexpr USHORT CommPropPacketVersion = 2;

constexpr ULONG PurgeReceiveMask = SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
constexpr ULONG PurgeTransmitMask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR;

constexpr UCHAR BreakOn = 1;

// Fetches the request's 4-byte input into *Value, which a failure leaves as it was.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RetrieveInputUlong(WDFREQUEST Request, ULONG* Value)
{
    PVOID buffer;
    const NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), &buffer, nullptr);
    if (NT_SUCCESS(status)) {
        *Value = *static_cast<const ULONG*>(buffer);
    }
    return status;
}

// Fetches the output buffer of at least Size bytes and clears those bytes.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RetrieveClearedOutput(WDFREQUEST Request, size_t Size, PVOID* Buffer)
{
    const NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, Size, Buffer, nullptr);
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(*Buffer, Size);
    }
    return status;
}

// Answers with Size zero bytes.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReturnZeros(WDFREQUEST Request, size_t Size, ULONG_PTR* Information)
{
    PVOID buffer;
    const NTSTATUS status = RetrieveClearedOutput(Request, Size, &buffer);
    *Information = Size;
    return status;
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReturnUlong(WDFREQUEST Request, ULONG Value, ULONG_PTR* Information)
{
    PVOID buffer;
    const NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &buffer, nullptr);
    if (NT_SUCCESS(status)) {
        *static_cast<ULONG*>(buffer) = Value;
    }
    *Information = sizeof(ULONG);
    return status;
}

// A rejected value stays stored: a later get returns it, and since every set
// re-checks the whole record, the next set of either kind fails until it is
// overwritten.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetBaudRate(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request)
{
    const NTSTATUS status = RetrieveInputUlong(Request, &Port->LineConfig.BaudRate);
    return NT_SUCCESS(status) ? PortApplyLineConfig(Port) : status;
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetLineControl(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request)
{
    PVOID buffer;
    const NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(SERIAL_LINE_CONTROL), &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto lineControl = static_cast<const SERIAL_LINE_CONTROL*>(buffer);
    Port->LineConfig.DataBits = lineControl->WordLength;
    Port->LineConfig.Parity = lineControl->Parity;
    Port->LineConfig.StopBits = lineControl->StopBits;
    return PortApplyLineConfig(Port);
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetBaudRate(const OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR* Information)
{
    return ReturnUlong(Request, Port->LineConfig.BaudRate, Information);
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetLineControl(const OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR* Information)
{
    PVOID buffer;
    const NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(SERIAL_LINE_CONTROL), &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto lineControl = static_cast<SERIAL_LINE_CONTROL*>(buffer);
    lineControl->StopBits = Port->LineConfig.StopBits;
    lineControl->Parity = Port->LineConfig.Parity;
    lineControl->WordLength = Port->LineConfig.DataBits;
    *Information = sizeof(SERIAL_LINE_CONTROL);
    return status;
}

// Stored unchecked and never applied.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetTimeouts(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request)
{
    PVOID buffer;
    const NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(SERIAL_TIMEOUTS), &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Port->Timeouts = *static_cast<const SERIAL_TIMEOUTS*>(buffer);
    return status;
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetTimeouts(const OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR* Information)
{
    PVOID buffer;
    const NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(SERIAL_TIMEOUTS), &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *static_cast<SERIAL_TIMEOUTS*>(buffer) = Port->Timeouts;
    *Information = sizeof(SERIAL_TIMEOUTS);
    return status;
}

// Only the receive queue is counted; writes leave nothing behind in the driver.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetCommStatus(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR* Information)
{
    PVOID buffer;
    const NTSTATUS status = RetrieveClearedOutput(Request, sizeof(SERIAL_STATUS), &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WdfSpinLockAcquire(Port->RingLock);
    const ULONG fill = PortRingFill(Port);
    WdfSpinLockRelease(Port->RingLock);

    static_cast<SERIAL_STATUS*>(buffer)->AmountInInQueue = fill;
    *Information = sizeof(SERIAL_STATUS);
    return status;
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetProperties(WDFREQUEST Request, ULONG_PTR* Information)
{
    PVOID buffer;
    const NTSTATUS status = RetrieveClearedOutput(Request, sizeof(SERIAL_COMMPROP), &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // MaxBaud is the plain rate, not a SERIAL_BAUD_* flag; every field not set here is zero.
    const auto properties = static_cast<SERIAL_COMMPROP*>(buffer);
    properties->PacketLength = sizeof(SERIAL_COMMPROP);
    properties->PacketVersion = CommPropPacketVersion;
    properties->MaxTxQueue = RX_RING_SIZE;
    properties->MaxRxQueue = RX_RING_SIZE;
    properties->MaxBaud = MaxBaudRate;
    *Information = sizeof(SERIAL_COMMPROP);
    return status;
}

// The ring is emptied, and its pending SERIAL_EV_RXCHAR dropped, before the
// device hears of the purge; parked reads stay parked. The device is told in
// every case, with an empty argument too. The two locks are taken one after
// the other, never together.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS Purge(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request)
{
    ULONG mask;
    const NTSTATUS status = RetrieveInputUlong(Request, &mask);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UCHAR purged = 0;
    if ((mask & PurgeReceiveMask) != 0) {
        WdfSpinLockAcquire(Port->RingLock);
        PortRingDiscard(Port);
        WdfSpinLockRelease(Port->RingLock);

        WdfSpinLockAcquire(Port->EventLock);
        Port->PendingEvents &= ~static_cast<ULONG>(SERIAL_EV_RXCHAR);
        WdfSpinLockRelease(Port->EventLock);

        purged |= PORT_PURGE_RX;
    }
    if ((mask & PurgeTransmitMask) != 0) {
        purged |= PORT_PURGE_TX;
    }
    return Port->BusInterface.Control(Port->BusInterface.PortHandle, PORT_CONTROL_PURGE, purged);
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetWaitMask(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request)
{
    ULONG mask;
    const NTSTATUS status = RetrieveInputUlong(Request, &mask);
    return NT_SUCCESS(status) ? PortSetWaitMask(Port, mask) : status;
}

}  // namespace

_Use_decl_annotations_
BOOLEAN
PortControlReachesDevice(
    ULONG IoControlCode
    )
{
    switch (IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
    case IOCTL_SERIAL_SET_LINE_CONTROL:
    case IOCTL_SERIAL_GET_BAUD_RATE:
    case IOCTL_SERIAL_GET_LINE_CONTROL:
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_PURGE:
        return TRUE;
    default:
        return FALSE;
    }
}

// The default queue's control requests: those that reach the device go to
// ControlQueue, every other one is answered here without blocking.
_Use_decl_annotations_
VOID
EvtPortIoDeviceControl(
    WDFQUEUE Queue,
    WDFREQUEST Request,
    size_t OutputBufferLength,
    size_t InputBufferLength,
    ULONG IoControlCode
    )
{
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    OMBREL_PORT_CONTEXT* port = PortGetContext(WdfIoQueueGetDevice(Queue));
    if (!PortControlReachesDevice(IoControlCode)) {
        PortRunDeviceControl(port, Request, IoControlCode);
        return;
    }
    const NTSTATUS status = WdfRequestForwardToIoQueue(Request, port->ControlQueue);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
    }
}

// ControlQueue's callback. May run on the framework's power-up path, so it
// only hands the request to the control work item.
_Use_decl_annotations_
VOID
EvtPortIoDeviceControlToDevice(
    WDFQUEUE Queue,
    WDFREQUEST Request,
    size_t OutputBufferLength,
    size_t InputBufferLength,
    ULONG IoControlCode
    )
{
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    OMBREL_PORT_CONTEXT* port = PortGetContext(WdfIoQueueGetDevice(Queue));
    port->ActiveControl = Request;
    port->ActiveControlCode = IoControlCode;
    WdfWorkItemEnqueue(port->ControlWorkItem);
}

_Use_decl_annotations_
VOID
EvtPortControlWorkItem(
    WDFWORKITEM WorkItem
    )
{
    OMBREL_PORT_CONTEXT* port = PortGetContext(static_cast<WDFDEVICE>(WdfWorkItemGetParentObject(WorkItem)));
    PortRunDeviceControl(port, port->ActiveControl, port->ActiveControlCode);
}

// Selects by the whole control code; the buffer lengths come from the buffers
// themselves. Information is reported only with success.
_Use_decl_annotations_
VOID
PortRunDeviceControl(
    OMBREL_PORT_CONTEXT* Port,
    WDFREQUEST Request,
    ULONG IoControlCode
    )
{
    const BRIDGE_PORT_INTERFACE& bus = Port->BusInterface;

    ULONG_PTR information = 0;
    NTSTATUS status;

    switch (IoControlCode) {
    case IOCTL_SERIAL_GET_WAIT_MASK:
        PortGetWaitMask(Port, Request);
        return;
    case IOCTL_SERIAL_WAIT_ON_MASK:
        PortWaitOnMask(Port, Request);
        return;

    case IOCTL_SERIAL_SET_WAIT_MASK:
        status = SetWaitMask(Port, Request);
        break;
    case IOCTL_SERIAL_SET_BAUD_RATE:
        status = SetBaudRate(Port, Request);
        break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        status = SetLineControl(Port, Request);
        break;
    case IOCTL_SERIAL_SET_BREAK_ON:
        status = bus.Control(bus.PortHandle, PORT_CONTROL_BREAK, BreakOn);
        break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
        status = SetTimeouts(Port, Request);
        break;
    case IOCTL_SERIAL_PURGE:
        status = Purge(Port, Request);
        break;

    case IOCTL_SERIAL_GET_TIMEOUTS:
        status = GetTimeouts(Port, Request, &information);
        break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        status = GetBaudRate(Port, Request, &information);
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        status = GetLineControl(Port, Request, &information);
        break;
    case IOCTL_SERIAL_GET_CHARS:
        status = ReturnZeros(Request, sizeof(SERIAL_CHARS), &information);
        break;
    case IOCTL_SERIAL_GET_HANDFLOW:
        status = ReturnZeros(Request, sizeof(SERIAL_HANDFLOW), &information);
        break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        status = ReturnUlong(Request, ModemStatusLinesUp, &information);
        break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
        status = GetCommStatus(Port, Request, &information);
        break;
    case IOCTL_SERIAL_GET_PROPERTIES:
        status = GetProperties(Request, &information);
        break;
    case IOCTL_SERIAL_GET_DTRRTS:
        status = ReturnUlong(Request, DtrRtsState, &information);
        break;

    // Accepted and dropped: nothing of these is kept or sent. The device is
    // told of a break's start only.
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_SET_CHARS:
    case IOCTL_SERIAL_SET_HANDFLOW:
        status = STATUS_SUCCESS;
        break;

    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }

    WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? information : 0);
}

// Checks in field order and stops at the first failure. SetConfig gets the
// context's own record.
_Use_decl_annotations_
NTSTATUS
PortApplyLineConfig(
    OMBREL_PORT_CONTEXT* Port
    )
{
    const PORT_LINE_CONFIG& config = Port->LineConfig;

    // Unsigned: a rate below the minimum wraps past the range and fails too.
    if (config.BaudRate - MinBaudRate > MaxBaudRate - MinBaudRate) {
        return STATUS_INVALID_PARAMETER;
    }
    if (config.DataBits < MinDataBits || config.DataBits > MaxDataBits) {
        return STATUS_INVALID_PARAMETER;
    }
    if (config.Parity > EVEN_PARITY) {
        return STATUS_INVALID_PARAMETER;
    }
    if (config.StopBits > STOP_BITS_2) {
        return STATUS_INVALID_PARAMETER;
    }
    return Port->BusInterface.SetConfig(Port->BusInterface.PortHandle, &Port->LineConfig);
}
