//
// Command channel: one frame out on the bulk OUT pipe at a time for the whole
// bridge, and for answered commands the wait for the device's ACK or NAK.
//
#include "bus.h"

namespace {

bool IsAnsweredCommand(UCHAR PortIndex, UCHAR Type)
{
    if (PortIndex < BRIDGE_FIRST_ANSWERED_PORT) {
        return false;
    }
    return Type == FRAME_TYPE_DATA || Type == FRAME_TYPE_SET_CONFIG || Type == FRAME_TYPE_CONTROL;
}

// The steps of a command taken under CommandLock. Static members, so that
// clang can read their lock annotations, which name a parameter: it reads a
// member's annotations at the end of its class, a free function's at once.
struct CommandLockHeld {
    // Arms the response slot before the frame is written, so that a response
    // arriving while the write completes is matched.
    _Requires_lock_held_(Bus->CommandLock)
    static void ArmResponseSlot(OMBREL_DEVICE_CONTEXT* Bus, UCHAR PortIndex, UCHAR Type)
    {
        WdfSpinLockAcquire(Bus->ResponseLock);
        Bus->ExpectedPort = PortIndex;
        Bus->ExpectedCommand = Type;
        Bus->ResponseStatus = BUS_RESPONSE_STATUS_FAILED;
        Bus->ResponseValue = 0;
        KeClearEvent(&Bus->ResponseEvent);
        InterlockedExchange(&Bus->ResponsePending, 1);
        WdfSpinLockRelease(Bus->ResponseLock);
    }

    // Waits for the armed response and disarms the slot whatever the outcome; the
    // slot is read only after the disarm, so the dispatch has finished storing.
    _Requires_lock_held_(Bus->CommandLock)
    _IRQL_requires_(PASSIVE_LEVEL)
    static NTSTATUS AwaitResponse(OMBREL_DEVICE_CONTEXT* Bus, ULONG Length, USHORT* Accepted)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = WDF_REL_TIMEOUT_IN_SEC(BUS_RESPONSE_TIMEOUT_SEC);

        const NTSTATUS waitStatus =
            KeWaitForSingleObject(&Bus->ResponseEvent, Executive, KernelMode, FALSE, &timeout);

        WdfSpinLockAcquire(Bus->ResponseLock);
        InterlockedExchange(&Bus->ResponsePending, 0);
        const UCHAR responseStatus = Bus->ResponseStatus;
        const USHORT responseValue = Bus->ResponseValue;
        WdfSpinLockRelease(Bus->ResponseLock);

        if (waitStatus != STATUS_SUCCESS) {
            return STATUS_IO_TIMEOUT;
        }
        if (responseStatus != BRIDGE_ACK_STATUS_SUCCESS && responseStatus != BRIDGE_ACK_STATUS_SUCCESS_ALT) {
            return STATUS_DEVICE_PROTOCOL_ERROR;
        }
        if (responseValue > Length) {
            return STATUS_DEVICE_PROTOCOL_ERROR;
        }
        *Accepted = responseValue;
        return STATUS_SUCCESS;
    }
};

}  // namespace

_Use_decl_annotations_
NTSTATUS
BusSendCommand(
    BRIDGE_BUS_PORT* Port,
    UCHAR Type,
    const VOID* Data,
    ULONG Length,
    USHORT* Accepted
    )
{
    if (Accepted != nullptr) {
        *Accepted = 0;
    }
    if (Length > BRIDGE_MAX_PAYLOAD || (Data == nullptr && Length != 0)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }

    OMBREL_DEVICE_CONTEXT* bus = Port->Bus;

    BRIDGE_FRAME frame;
    frame.Header.Magic[0] = BRIDGE_FRAME_MAGIC_0;
    frame.Header.Magic[1] = BRIDGE_FRAME_MAGIC_1;
    frame.Header.Version = BRIDGE_FRAME_VERSION;
    frame.Header.Port = Port->PortIndex;
    frame.Header.Type = Type;
    frame.Header.Reserved = 0;
    frame.Header.PayloadLength = static_cast<USHORT>(Length);
    if (Length != 0) {
        RtlCopyMemory(frame.Payload, Data, Length);
    }

    const bool answered = IsAnsweredCommand(Port->PortIndex, Type);

    USHORT accepted = 0;

    WdfWaitLockAcquire(bus->CommandLock, nullptr);

    if (answered) {
        CommandLockHeld::ArmResponseSlot(bus, Port->PortIndex, Type);
    }

    // The write's own bound keeps a bridge that stops taking OUT transfers from
    // holding CommandLock forever.
    NTSTATUS status = BusWriteFrame(bus, &frame, BRIDGE_HEADER_SIZE + Length);

    if (!NT_SUCCESS(status)) {
        if (answered) {
            InterlockedExchange(&bus->ResponsePending, 0);
        }
    } else if (!answered) {
        accepted = static_cast<USHORT>(Length);
        status = STATUS_SUCCESS;
    } else {
        status = CommandLockHeld::AwaitResponse(bus, Length, &accepted);
    }

    WdfWaitLockRelease(bus->CommandLock);

    if (NT_SUCCESS(status) && Accepted != nullptr) {
        *Accepted = accepted;
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS
BusWriteFrame(
    OMBREL_DEVICE_CONTEXT* Bus,
    const VOID* Frame,
    ULONG Length
    )
{
    // An OUT transfer only reads the buffer; the descriptor's field is not const.
    WDF_MEMORY_DESCRIPTOR frameDescriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&frameDescriptor, const_cast<VOID*>(Frame), Length);

    WDF_REQUEST_SEND_OPTIONS sendOptions;
    WDF_REQUEST_SEND_OPTIONS_INIT(&sendOptions, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&sendOptions, WDF_REL_TIMEOUT_IN_SEC(BUS_WRITE_TIMEOUT_SEC));

    return WdfUsbTargetPipeWriteSynchronously(Bus->BulkOutPipe, nullptr, &sendOptions, &frameDescriptor, nullptr);
}
