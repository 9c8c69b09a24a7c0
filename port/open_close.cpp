//
// The open and close of the port's one handle: the file object's create,
// cleanup and close, and the cancellation of what the closing handle left
// parked. All of it runs at PASSIVE_LEVEL, apart from the cancellation, which
// the read and wait paths also call at up to DISPATCH_LEVEL.
//
#include "port.h"

namespace {

constexpr UCHAR HandleOpened = 1;  // argument of PORT_CONTROL_OPEN
constexpr UCHAR HandleClosed = 0;

// Every handle starts and ends with no wait mask and nothing pending.
_IRQL_requires_(PASSIVE_LEVEL)
void ResetEventState(OMBREL_PORT_CONTEXT* Port)
{
    WdfSpinLockAcquire(Port->EventLock);
    Port->WaitMask = 0;
    Port->PendingEvents = 0;
    WdfSpinLockRelease(Port->EventLock);
}

}  // namespace

// The event state is reset even when the device refuses the open.
_Use_decl_annotations_
VOID
EvtPortFileCreate(
    WDFDEVICE Device,
    WDFREQUEST Request,
    WDFFILEOBJECT FileObject
    )
{
    UNREFERENCED_PARAMETER(FileObject);

    OMBREL_PORT_CONTEXT* port = PortGetContext(Device);
    InterlockedExchange(&port->HandleClosing, 0);
    ResetEventState(port);

    const NTSTATUS status =
        port->BusInterface.Control(port->BusInterface.PortHandle, PORT_CONTROL_OPEN, HandleOpened);
    WdfRequestComplete(Request, status);
}

// The framework cancels the handle's requests that wait in queues, but not one
// being dispatched at that moment, which the driver may park right after. Such
// a request would keep the handle from closing until data or an event came.
// Marking the handle as closing first makes every later parking cancel it.
_Use_decl_annotations_
VOID
EvtPortFileCleanup(
    WDFFILEOBJECT FileObject
    )
{
    OMBREL_PORT_CONTEXT* port = PortGetContext(WdfFileObjectGetDevice(FileObject));
    InterlockedExchange(&port->HandleClosing, 1);
    KeSetEvent(&port->WriteEnded, IO_NO_INCREMENT, FALSE);  // a waiting flush ends, cancelled
    PortCancelRequestsOfClosingHandle(port);
}

_Use_decl_annotations_
VOID
PortCancelRequestsOfClosingHandle(
    OMBREL_PORT_CONTEXT* Port
    )
{
    if (InterlockedCompareExchange(&Port->HandleClosing, 1, 1) != 1) {
        return;
    }
    WDFREQUEST request;
    while (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(Port->ReadQueue, &request))) {
        WdfRequestComplete(request, STATUS_CANCELLED);
    }
    // The wait is taken under EventLock, as every move on its queue is.
    for (;;) {
        WdfSpinLockAcquire(Port->EventLock);
        const NTSTATUS status = WdfIoQueueRetrieveNextRequest(Port->WaitMaskQueue, &request);
        WdfSpinLockRelease(Port->EventLock);
        if (!NT_SUCCESS(status)) {
            break;
        }
        WdfRequestComplete(request, STATUS_CANCELLED);
    }
}

// The ring, the line settings and the time-outs carry over to the next open.
// A device that does not hear of the close is told of the next open all the same.
_Use_decl_annotations_
VOID
EvtPortFileClose(
    WDFFILEOBJECT FileObject
    )
{
    OMBREL_PORT_CONTEXT* port = PortGetContext(WdfFileObjectGetDevice(FileObject));
    ResetEventState(port);

    port->BusInterface.Control(port->BusInterface.PortHandle, PORT_CONTROL_OPEN, HandleClosed);
}
