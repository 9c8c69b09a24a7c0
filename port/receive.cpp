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
    const ULONG stored = PortRing::Store(port, Data, Length);
    WdfSpinLockRelease(port->RingLock);

    // A waiting IOCTL_SERIAL_WAIT_ON_MASK hears of the data before reads take it.
    if (stored != 0) {
        PortSignalEvents(port, SERIAL_EV_RXCHAR);
    }
    PortServicePendingReads(port);
}

// The fill test, taking the oldest parked read and filling it are one hold of
// RingLock. Two services can run at once (the receive completions of two
// transfers, or a receive beside a read that just parked); were the read taken
// outside the lock, a later read could be filled first and the application
// would see the stream out of order. Each read is completed outside the lock.
_Use_decl_annotations_
VOID
PortServicePendingReads(
    OMBREL_PORT_CONTEXT* Port
    )
{
    for (;;) {
        WDFREQUEST read = nullptr;
        NTSTATUS status = STATUS_SUCCESS;
        ULONG copied = 0;

        WdfSpinLockAcquire(Port->RingLock);
        if (PortRing::Fill(Port) != 0 && NT_SUCCESS(WdfIoQueueRetrieveNextRequest(Port->ReadQueue, &read))) {
            PVOID buffer;
            size_t length;
            status = WdfRequestRetrieveOutputBuffer(read, 1, &buffer, &length);
            if (NT_SUCCESS(status)) {
                copied = PortRing::CopyOut(Port, static_cast<UCHAR*>(buffer), length);
            }
        }
        WdfSpinLockRelease(Port->RingLock);

        if (read == nullptr) {
            return;
        }
        if (NT_SUCCESS(status)) {
            // The ring held bytes and the buffer at least one: copied > 0.
            WdfRequestCompleteWithInformation(read, STATUS_SUCCESS, copied);
        } else {
            WdfRequestComplete(read, status);
        }
    }
}

// A new read takes from the ring directly only while no older read is parked;
// otherwise it parks behind them, so reads are filled in the order they came.
// A parked read is never outside ReadQueue while RingLock is free, so the
// queue's count under the lock is the whole answer.
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

    ULONG copied = 0;
    WdfSpinLockAcquire(port->RingLock);
    ULONG parked = 0;
    WdfIoQueueGetState(port->ReadQueue, &parked, nullptr);
    if (parked == 0) {
        copied = PortRing::CopyOut(port, static_cast<UCHAR*>(buffer), length);
    }
    WdfSpinLockRelease(port->RingLock);

    if (copied != 0) {
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, copied);
        return;
    }

    status = PortForwardRequest(Request, port->ReadQueue);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }

    PortCancelRequestsOfClosingHandle(port);

    // Bytes stored between the copy and the forward found no parked read to
    // serve, and bytes left beside older reads are theirs; without this they
    // would wait for the next frame.
    PortServicePendingReads(port);
}
