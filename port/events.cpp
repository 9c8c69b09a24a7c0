//
// Serial events: the wait mask, the events recorded through it and not yet
// reported, and the one parked IOCTL_SERIAL_WAIT_ON_MASK. Events are recorded
// under EventLock and the parked wait is completed after it is released.
//
#include "port.h"

namespace {

// SERIAL_EV_RXCHAR to SERIAL_EV_EVENT2; any higher bit makes a mask invalid.
constexpr ULONG SettableEvents = (SERIAL_EV_EVENT2 << 1) - 1;
static_assert(SettableEvents == 0x1FFF, "thirteen settable event bits");

// The steps taken under EventLock. Static members, so that clang can read
// their lock annotations, which name a parameter: it reads a member's
// annotations at the end of its class, a free function's at once.
struct EventLockHeld {
    // Takes the events pending in the mask, or answers STATUS_PENDING when the
    // wait may park because none are pending and no other wait is parked.
    _Requires_lock_held_(Port->EventLock)
    static NTSTATUS TakePendingEvents(OMBREL_PORT_CONTEXT* Port, ULONG* Events)
    {
        *Events = 0;
        if (Port->WaitMask == 0) {
            return STATUS_INVALID_PARAMETER;
        }

        const ULONG hits = Port->PendingEvents & Port->WaitMask;
        if (hits != 0) {
            Port->PendingEvents &= ~hits;
            *Events = hits;
            return STATUS_SUCCESS;
        }

        // One wait at a time, counting one taken from the queue and not yet completed.
        ULONG parkedWaits = 0;
        ULONG takenWaits = 0;
        WdfIoQueueGetState(Port->WaitMaskQueue, &parkedWaits, &takenWaits);
        if (parkedWaits != 0 || takenWaits != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        return STATUS_PENDING;
    }

    // Takes the parked wait, and the events it reports, when any event in the mask
    // is pending.
    _Requires_lock_held_(Port->EventLock)
    static WDFREQUEST TakeSignalledWait(OMBREL_PORT_CONTEXT* Port, ULONG* Report)
    {
        const ULONG hits = Port->PendingEvents & Port->WaitMask;
        if (hits == 0) {
            return nullptr;
        }
        WDFREQUEST parked;
        if (!NT_SUCCESS(WdfIoQueueRetrieveNextRequest(Port->WaitMaskQueue, &parked))) {
            return nullptr;
        }
        Port->PendingEvents &= ~hits;
        *Report = hits;
        return parked;
    }
};

}  // namespace

_Use_decl_annotations_
VOID
PortSignalEvents(
    OMBREL_PORT_CONTEXT* Port,
    ULONG Events
    )
{
    WDFREQUEST wait = nullptr;
    ULONG report = 0;

    WdfSpinLockAcquire(Port->EventLock);
    const ULONG hits = Events & Port->WaitMask;
    if (hits != 0) {
        Port->PendingEvents |= hits;
        wait = EventLockHeld::TakeSignalledWait(Port, &report);
    }
    WdfSpinLockRelease(Port->EventLock);

    if (wait != nullptr) {
        PortCompleteWaitRequest(wait, report);
    }
}

// If the buffer cannot be fetched the events are lost: they have already left
// PendingEvents.
_Use_decl_annotations_
VOID
PortCompleteWaitRequest(
    WDFREQUEST Request,
    ULONG Events
    )
{
    PVOID buffer;
    const NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(Request, status, 0);
        return;
    }
    *static_cast<ULONG*>(buffer) = Events;
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(ULONG));
}

_Use_decl_annotations_
ULONG
PortGetWaitMask(
    OMBREL_PORT_CONTEXT* Port
    )
{
    WdfSpinLockAcquire(Port->EventLock);
    const ULONG mask = Port->WaitMask;
    WdfSpinLockRelease(Port->EventLock);
    return mask;
}

// The parked wait is completed here, before the set request that ends it.
_Use_decl_annotations_
NTSTATUS
PortSetWaitMask(
    OMBREL_PORT_CONTEXT* Port,
    ULONG Mask
    )
{
    if ((Mask & ~SettableEvents) != 0) {
        return STATUS_INVALID_PARAMETER;
    }

    WDFREQUEST wait = nullptr;
    WdfSpinLockAcquire(Port->EventLock);
    WDFREQUEST parked;
    if (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(Port->WaitMaskQueue, &parked))) {
        wait = parked;
    }
    Port->WaitMask = Mask;
    Port->PendingEvents = 0;
    WdfSpinLockRelease(Port->EventLock);

    if (wait != nullptr) {
        PortCompleteWaitRequest(wait, 0);
    }
    return STATUS_SUCCESS;
}

// Fails with STATUS_INVALID_PARAMETER while no mask is set or another wait is
// parked or being completed; the earlier wait is not affected.
_Use_decl_annotations_
NTSTATUS
PortWaitOnMask(
    OMBREL_PORT_CONTEXT* Port,
    WDFREQUEST Request,
    ULONG_PTR* Information
    )
{
    // Fetched before any event is taken, so a bad buffer loses none.
    PVOID buffer;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    ULONG events;
    WdfSpinLockAcquire(Port->EventLock);
    status = EventLockHeld::TakePendingEvents(Port, &events);
    WdfSpinLockRelease(Port->EventLock);

    if (status == STATUS_PENDING) {
        // Parked outside EventLock: a wait cancelled meanwhile is completed
        // inside the forward. An event signalled between the test and the
        // forward found no wait to complete, so it is looked for again.
        status = PortForwardRequest(Request, Port->WaitMaskQueue);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ULONG report = 0;
        WdfSpinLockAcquire(Port->EventLock);
        const WDFREQUEST wait = EventLockHeld::TakeSignalledWait(Port, &report);
        WdfSpinLockRelease(Port->EventLock);
        if (wait != nullptr) {
            PortCompleteWaitRequest(wait, report);
        }
        PortCancelRequestsOfClosingHandle(Port);
        return STATUS_PENDING;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *static_cast<ULONG*>(buffer) = events;
    *Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}
