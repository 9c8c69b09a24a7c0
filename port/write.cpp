//
// Writes: the request's bytes go to the bus in frame-sized chunks straight
// from its own buffer; there is no transmit queue, no copy and no time-out.
// WriteQueue presents one write at a time; the write work item sends it, since
// sending blocks while the device answers. A flush waits for the write in
// progress.
//
#include "port.h"

namespace {

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
        WdfRequestComplete(Request, status);
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
            WdfRequestCompleteWithInformation(Request, status, sent);
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
    WdfRequestCompleteWithInformation(Request, status, sent);
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

_Use_decl_annotations_
VOID
EvtPortWriteWorkItem(
    WDFWORKITEM WorkItem
    )
{
    OMBREL_PORT_CONTEXT* port = PortGetContext(static_cast<WDFDEVICE>(WdfWorkItemGetParentObject(WorkItem)));
    SendWrite(port, port->ActiveWrite, port->ActiveWriteLength);
}

// A flush ends once the write in progress has: stopping WriteQueue waits for
// the write the driver holds, and starting it again lets the next one go. The
// I/O manager sends the flush at PASSIVE_LEVEL, where the wait may block.
_Use_decl_annotations_
NTSTATUS
EvtPortWdmFlush(
    WDFDEVICE Device,
    PIRP Irp
    )
{
    OMBREL_PORT_CONTEXT* port = PortGetContext(Device);

    WdfIoQueueStopSynchronously(port->WriteQueue);
    WdfIoQueueStart(port->WriteQueue);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
