//
// Writes: the request's bytes go to the bus in frame-sized chunks straight
// from its own buffer; there is no transmit queue, no copy and no time-out.
//
#include "port.h"

// Runs at PASSIVE_LEVEL, which the blocking Write needs, and holds no lock
// while Write runs. Each chunk starts right after the last byte the device
// accepted. The write ends at the first failure, or when the device takes
// nothing of a chunk, and always completes with the bytes accepted so far.
_Use_decl_annotations_
VOID
EvtPortIoWrite(
    WDFQUEUE Queue,
    WDFREQUEST Request,
    size_t Length
    )
{
    OMBREL_PORT_CONTEXT* port = PortGetContext(WdfIoQueueGetDevice(Queue));

    PVOID buffer;
    size_t length;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, Length, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }

    const auto data = static_cast<const UCHAR*>(buffer);
    ULONG sent = 0;
    while (sent < length) {
        const size_t remaining = length - sent;
        const ULONG chunk = remaining > BRIDGE_MAX_PAYLOAD ? BRIDGE_MAX_PAYLOAD : static_cast<ULONG>(remaining);

        ULONG accepted = 0;
        status = port->BusInterface.Write(port->BusInterface.PortHandle, data + sent, chunk, &accepted);
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
        PortSignalEvents(port, SERIAL_EV_TXEMPTY);
    }
    WdfRequestCompleteWithInformation(Request, status, sent);
}
