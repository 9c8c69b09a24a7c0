//
// Serial control requests. Line settings, break and purge reach the device
// through the port interface; the modem lines, flow control, special
// characters and properties, which the bridge does not model, get fixed
// answers. Each control code has a handler of one shape, PORT_CONTROL_HANDLER;
// the dispatch completes every request once, except a wait that
// PortWaitOnMask parks.
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

// Answers with Value as 4 bytes.
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

// SERIAL_BAUD_RATE is one ULONG. A rejected value stays stored: a later get
// returns it, and since every set re-checks the whole record, the next set of
// either kind fails until it is overwritten.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetBaudRate(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR*)
{
    const NTSTATUS status = RetrieveInputUlong(Request, &Port->LineConfig.BaudRate);
    return NT_SUCCESS(status) ? PortApplyLineConfig(Port) : status;
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetLineControl(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR*)
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
NTSTATUS GetBaudRate(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR* Information)
{
    return ReturnUlong(Request, Port->LineConfig.BaudRate, Information);
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetLineControl(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR* Information)
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

// The device is told of a break's start only.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetBreakOn(OMBREL_PORT_CONTEXT* Port, WDFREQUEST, ULONG_PTR*)
{
    return Port->BusInterface.Control(Port->BusInterface.PortHandle, PORT_CONTROL_BREAK, BreakOn);
}

// Stored unchecked and never applied.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetTimeouts(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR*)
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
NTSTATUS GetTimeouts(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR* Information)
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

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetChars(OMBREL_PORT_CONTEXT*, WDFREQUEST Request, ULONG_PTR* Information)
{
    return ReturnZeros(Request, sizeof(SERIAL_CHARS), Information);
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetHandflow(OMBREL_PORT_CONTEXT*, WDFREQUEST Request, ULONG_PTR* Information)
{
    return ReturnZeros(Request, sizeof(SERIAL_HANDFLOW), Information);
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetModemStatus(OMBREL_PORT_CONTEXT*, WDFREQUEST Request, ULONG_PTR* Information)
{
    return ReturnUlong(Request, ModemStatusLinesUp, Information);
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetDtrRts(OMBREL_PORT_CONTEXT*, WDFREQUEST Request, ULONG_PTR* Information)
{
    return ReturnUlong(Request, DtrRtsState, Information);
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
    const ULONG fill = PortRing::Fill(Port);
    WdfSpinLockRelease(Port->RingLock);

    static_cast<SERIAL_STATUS*>(buffer)->AmountInInQueue = fill;
    *Information = sizeof(SERIAL_STATUS);
    return status;
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetProperties(OMBREL_PORT_CONTEXT*, WDFREQUEST Request, ULONG_PTR* Information)
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
NTSTATUS Purge(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR*)
{
    ULONG mask;
    const NTSTATUS status = RetrieveInputUlong(Request, &mask);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UCHAR purged = 0;
    if ((mask & PurgeReceiveMask) != 0) {
        WdfSpinLockAcquire(Port->RingLock);
        PortRing::Discard(Port);
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
NTSTATUS GetWaitMask(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR* Information)
{
    return ReturnUlong(Request, PortGetWaitMask(Port), Information);
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetWaitMask(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, ULONG_PTR*)
{
    ULONG mask;
    const NTSTATUS status = RetrieveInputUlong(Request, &mask);
    return NT_SUCCESS(status) ? PortSetWaitMask(Port, mask) : status;
}

// Accepted and dropped: nothing of the request is kept or sent.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS Ignore(OMBREL_PORT_CONTEXT*, WDFREQUEST, ULONG_PTR*)
{
    return STATUS_SUCCESS;
}

struct ControlCodeEntry {
    ULONG IoControlCode;
    // Talks to the device or touches LineConfig, so runs in the control work item.
    bool ReachesDevice;
    PORT_CONTROL_HANDLER* Handler;
};

// Every control code the port answers; any other fails with
// STATUS_INVALID_DEVICE_REQUEST on the default queue.
constexpr ControlCodeEntry ControlCodes[] = {
    { IOCTL_SERIAL_SET_BAUD_RATE,     true,  SetBaudRate },
    { IOCTL_SERIAL_SET_LINE_CONTROL,  true,  SetLineControl },
    { IOCTL_SERIAL_GET_BAUD_RATE,     true,  GetBaudRate },
    { IOCTL_SERIAL_GET_LINE_CONTROL,  true,  GetLineControl },
    { IOCTL_SERIAL_SET_BREAK_ON,      true,  SetBreakOn },
    { IOCTL_SERIAL_PURGE,             true,  Purge },

    { IOCTL_SERIAL_GET_WAIT_MASK,     false, GetWaitMask },
    { IOCTL_SERIAL_SET_WAIT_MASK,     false, SetWaitMask },
    { IOCTL_SERIAL_WAIT_ON_MASK,      false, PortWaitOnMask },
    { IOCTL_SERIAL_SET_TIMEOUTS,      false, SetTimeouts },
    { IOCTL_SERIAL_GET_TIMEOUTS,      false, GetTimeouts },
    { IOCTL_SERIAL_GET_CHARS,         false, GetChars },
    { IOCTL_SERIAL_GET_HANDFLOW,      false, GetHandflow },
    { IOCTL_SERIAL_GET_MODEMSTATUS,   false, GetModemStatus },
    { IOCTL_SERIAL_GET_COMMSTATUS,    false, GetCommStatus },
    { IOCTL_SERIAL_GET_PROPERTIES,    false, GetProperties },
    { IOCTL_SERIAL_GET_DTRRTS,        false, GetDtrRts },

    { IOCTL_SERIAL_SET_QUEUE_SIZE,    false, Ignore },
    { IOCTL_SERIAL_SET_BREAK_OFF,     false, Ignore },
    { IOCTL_SERIAL_IMMEDIATE_CHAR,    false, Ignore },
    { IOCTL_SERIAL_SET_DTR,           false, Ignore },
    { IOCTL_SERIAL_CLR_DTR,           false, Ignore },
    { IOCTL_SERIAL_RESET_DEVICE,      false, Ignore },
    { IOCTL_SERIAL_SET_RTS,           false, Ignore },
    { IOCTL_SERIAL_CLR_RTS,           false, Ignore },
    { IOCTL_SERIAL_SET_XOFF,          false, Ignore },
    { IOCTL_SERIAL_SET_XON,           false, Ignore },
    { IOCTL_SERIAL_SET_CHARS,         false, Ignore },
    { IOCTL_SERIAL_SET_HANDFLOW,      false, Ignore },
};

// Selects by the whole control code.
const ControlCodeEntry* FindControlCode(ULONG IoControlCode)
{
    for (const ControlCodeEntry& entry : ControlCodes) {
        if (entry.IoControlCode == IoControlCode) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

_Use_decl_annotations_
BOOLEAN
PortControlReachesDevice(
    ULONG IoControlCode
    )
{
    const ControlCodeEntry* entry = FindControlCode(IoControlCode);
    return (entry != nullptr && entry->ReachesDevice) ? TRUE : FALSE;
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
    const NTSTATUS status = PortForwardRequest(Request, port->ControlQueue);
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

// The buffer lengths come from the buffers themselves. Information is
// reported only with success.
_Use_decl_annotations_
VOID
PortRunDeviceControl(
    OMBREL_PORT_CONTEXT* Port,
    WDFREQUEST Request,
    ULONG IoControlCode
    )
{
    const ControlCodeEntry* entry = FindControlCode(IoControlCode);
    if (entry == nullptr) {
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }

    ULONG_PTR information = 0;
    const NTSTATUS status = entry->Handler(Port, Request, &information);
    if (status == STATUS_PENDING) {
        return;
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
