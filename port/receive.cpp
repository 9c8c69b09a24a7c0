//
// Received data and reads: the bus hands each data frame for the port to
// PortReceiveData, which stores it in the ring; a read takes what the ring
// holds at once, or waits in ReadQueue until data arrives. There is no read
// time-out. Nothing here allocates.
//
#include "port.h"
#include "ring.h"

// Runs in the bus's receive completion at up to DISPATCH_LEVEL. The store
// holds RingLock for the whole frame, so the bytes of one frame stay together
// when two deliveries overlap.
_Use_decl_annotations_
VOID
PortReceiveData(
    PVOID Context,
    const UCHAR* Data,
    ULONG Length
    )
{
    auto port = static_cast<OMBREL_PORT_CONTEXT*>(Context);

    WdfSpinLockAcquire(port->RingLock);
    const ULONG stored = PortRingStore(port, Data, Length);
    WdfSpinLockRelease(port->RingLock);

    // A waiting IOCTL_SERIAL_WAIT_ON_MASK hears of the data before reads take it.
    if (stored != 0) {
        PortSignalEvents(port, SERIAL_EV_RXCHAR);
    }
    PortServicePendingReads(port);
}

// Each read taken from ReadQueue is completed or put back before the next
// step: a read never completes with success and no data, and none is left
// outside a queue.
_Use_decl_annotations_
VOID
PortServicePendingReads(
    OMBREL_PORT_CONTEXT* Port
    )
{
    for (;;) {
        WdfSpinLockAcquire(Port->RingLock);
        const ULONG fill = PortRingFill(Port);
        WdfSpinLockRelease(Port->RingLock);
        if (fill == 0) {
            return;
        }

        WDFREQUEST read;
        if (!NT_SUCCESS(WdfIoQueueRetrieveNextRequest(Port->ReadQueue, &read))) {
            return;
        }

        PVOID buffer;
        size_t length;
        NTSTATUS status = WdfRequestRetrieveOutputBuffer(read, 1, &buffer, &length);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(read, status);
            continue;
        }

        WdfSpinLockAcquire(Port->RingLock);
        const ULONG copied = PortRingCopyOut(Port, static_cast<UCHAR*>(buffer), length);
        WdfSpinLockRelease(Port->RingLock);

        if (copied != 0) {
            WdfRequestCompleteWithInformation(read, STATUS_SUCCESS, copied);
            continue;
        }

        // A new read or a purge emptied the ring after the fill test. The read
        // goes back to the head of the queue, still the oldest; the fill test
        // decides whether bytes stored meanwhile are served to it now.
        status = WdfRequestRequeue(read);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(read, status);
        }
        PortCancelRequestsOfClosingHandle(Port);
    }
}

// A new read takes from the ring directly, even while older reads are parked.
_Use_decl_annotations_
VOID
EvtPortIoRead(
    WDFQUEUE Queue,
    WDFREQUEST Request,
    size_t Length
    )
{
    UNREFERENCED_PARAMETER(Length);  // the output buffer's own length is what counts

    OMBREL_PORT_CONTEXT* port = PortGetContext(WdfIoQueueGetDevice(Queue));

    PVOID buffer;
    size_t length;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 1, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }

    WdfSpinLockAcquire(port->RingLock);
    const ULONG copied = PortRingCopyOut(port, static_cast<UCHAR*>(buffer), length);
    WdfSpinLockRelease(port->RingLock);

    if (copied != 0) {
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, copied);
        return;
    }

    status = WdfRequestForwardToIoQueue(Request, port->ReadQueue);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }

    PortCancelRequestsOfClosingHandle(port);

    // Bytes stored between the empty copy and the forward found no parked read
    // to serve; without this they would wait for the next frame.
    PortServicePendingReads(port);
}
