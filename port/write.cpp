//
// Writes: the request's bytes go to the bus in frame-sized chunks straight
// from its own buffer; there is no transmit queue, no copy and no time-out.
// WriteQueue presents one write at a time; the write work item sends it, since
// sending blocks while the device answers. A flush waits for every write sent
// before it.
//
#include "port.h"

namespace {

// How long a flush sleeps between two looks at the write queue when no write
// ends: a write waiting in the queue may leave it unseen by the driver
// (cancelled, or purged at removal), so the event alone cannot end every wait.
constexpr LONGLONG FlushRecheck100ns = 100LL * 10000;  // 100 ms

// Counts the write as ended before completing it, so that a flush that finds
// it still in the queue also sees the count move, and wakes waiting flushes.
_IRQL_requires_(PASSIVE_LEVEL)
void EndWrite(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Sent)
{
    InterlockedIncrement(&Port->WritesEnded);
    WdfRequestCompleteWithInformation(Request, Status, Sent);
    KeSetEvent(&Port->WriteEnded, IO_NO_INCREMENT, FALSE);
}

// Each chunk starts right after the last byte the device accepted. The write
// ends at the first failure, or when the device takes nothing of a chunk, and
// always completes with the bytes accepted so far. A power-down stops it
// between two chunks: it goes back to WriteQueue with its progress and goes on
// from there after power-up, so leaving D0 waits for one chunk at most.
_IRQL_requires_(PASSIVE_LEVEL)
void SendWrite(OMBREL_PORT_CONTEXT* Port, WDFREQUEST Request, size_t Length)
{
    OMBREL_REQUEST_CONTEXT* progress = PortGetRequestContext(Request);

    PVOID buffer;
    size_t length;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, Length, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        EndWrite(Port, Request, status, 0);
        return;
    }

    const auto data = static_cast<const UCHAR*>(buffer);
    ULONG sent = progress->BytesAccepted;
    while (sent < length) {
        if (InterlockedExchange(&progress->StopRequested, 0) != 0) {
            progress->BytesAccepted = sent;
            WdfRequestStopAcknowledge(Request, TRUE);
            return;
        }

        const size_t remaining = length - sent;
        const ULONG chunk = remaining > BRIDGE_MAX_PAYLOAD ? BRIDGE_MAX_PAYLOAD : static_cast<ULONG>(remaining);

        ULONG accepted = 0;
        status = Port->BusInterface.Write(Port->BusInterface.PortHandle, data + sent, chunk, &accepted);
        if (!NT_SUCCESS(status)) {
            EndWrite(Port, Request, status, sent);
            return;
        }
        if (accepted == 0) {
            break;
        }
        sent += accepted;
    }

    // Raised before the write completes, and only for a write taken whole.
    if (length != 0 && sent == length) {
        PortSignalEvents(Port, SERIAL_EV_TXEMPTY);
    }
    EndWrite(Port, Request, status, sent);
}

// WriteQueue presents its writes in arrival order, one at a time, and a write
// a power-down stops goes back to its head, so once as many writes as the
// queue held when the flush came have ended, all of those have: a later write
// is presented only after every earlier one. A write that leaves the queue
// without the driver (cancelled) only makes the flush wait for a later one
// too, or for the queue to empty, which ends it as well.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WaitForEarlierWrites(OMBREL_PORT_CONTEXT* Port)
{
    ULONG waiting;
    ULONG held;
    const WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(Port->WriteQueue, &waiting, &held);
    if ((state & WdfIoQueueAcceptRequests) == 0) {
        // Removed: the queue takes no write any more, and the flush fails as
        // the framework fails every other request then.
        return STATUS_INVALID_DEVICE_STATE;
    }
    const ULONG ahead = waiting + held;
    // Read after the counts: a write ending in between is then counted in
    // both or in neither, never only as ended.
    const ULONG endedBefore = static_cast<ULONG>(InterlockedCompareExchange(&Port->WritesEnded, 0, 0));

    LARGE_INTEGER recheck;
    recheck.QuadPart = -FlushRecheck100ns;
    for (;;) {
        // Cleared before looking, so an end that comes after the look sets it again.
        KeClearEvent(&Port->WriteEnded);
        const ULONG ended = static_cast<ULONG>(InterlockedCompareExchange(&Port->WritesEnded, 0, 0)) - endedBefore;
        if (ended >= ahead) {
            return STATUS_SUCCESS;
        }
        WdfIoQueueGetState(Port->WriteQueue, &waiting, &held);
        if (waiting + held == 0) {
            return STATUS_SUCCESS;
        }
        if (InterlockedCompareExchange(&Port->HandleClosing, 1, 1) == 1) {
            return STATUS_CANCELLED;
        }
        KeWaitForSingleObject(&Port->WriteEnded, Executive, KernelMode, FALSE, &recheck);
    }
}

}  // namespace

// May run on the framework's power-up path, so it only hands the write over.
_Use_decl_annotations_
VOID
EvtPortIoWrite(
    WDFQUEUE Queue,
    WDFREQUEST Request,
    size_t Length
    )
{
    OMBREL_PORT_CONTEXT* port = PortGetContext(WdfIoQueueGetDevice(Queue));
    port->ActiveWrite = Request;
    port->ActiveWriteLength = Length;
    WdfWorkItemEnqueue(port->WriteWorkItem);
}

// Leaving D0: the write in progress stops after the chunk in flight. A purge
// (removal) needs nothing: the bus fails the rest of the write at once.
_Use_decl_annotations_
VOID
EvtPortIoStopWrite(
    WDFQUEUE Queue,
    WDFREQUEST Request,
    ULONG ActionFlags
    )
{
    UNREFERENCED_PARAMETER(Queue);

    if ((ActionFlags & WdfRequestStopActionSuspend) != 0) {
        InterlockedExchange(&PortGetRequestContext(Request)->StopRequested, 1);
    }
}

// The I/O manager sends a flush at PASSIVE_LEVEL on the caller's thread, and
// the flush waits there, as the framework's serial sample does; it is never
// queued, so it holds back no later write. The port is exclusive, so a
// closing handle's cleanup is the flushing handle's: it cancels the flush.
_Use_decl_annotations_
NTSTATUS
EvtPortWdmFlush(
    WDFDEVICE Device,
    PIRP Irp
    )
{
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        status = WaitForEarlierWrites(PortGetContext(Device));
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

_Use_decl_annotations_
VOID
EvtPortWriteWorkItem(
    WDFWORKITEM WorkItem
    )
{
    OMBREL_PORT_CONTEXT* port = PortGetContext(static_cast<WDFDEVICE>(WdfWorkItemGetParentObject(WorkItem)));
    SendWrite(port, port->ActiveWrite, port->ActiveWriteLength);
}
