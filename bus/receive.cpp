//
// Receive dispatch: every completed read of the continuous reader holds one
// frame from the bridge. Valid frames release a waiting sender, reach the
// port driver's receive callback, or start the one-time enumeration; anything
// else is dropped silently. Runs at up to DISPATCH_LEVEL and never blocks.
//
#include "bus.h"

namespace {

_IRQL_requires_max_(DISPATCH_LEVEL)
void DispatchAnnounce(OMBREL_DEVICE_CONTEXT* Bus, const BRIDGE_FRAME_HEADER* Header, const UCHAR* Payload)
{
    if (Header->Port != BRIDGE_PORT_DEVICE) {
        return;
    }
    if (Header->PayloadLength < BRIDGE_ANNOUNCE_MIN_PAYLOAD) {
        return;
    }
    if (Payload[0] != BRIDGE_ANNOUNCE_REVISION || Payload[1] != BRIDGE_PORT_COUNT) {
        return;
    }
    // Only the first valid announce in the device's life queues the enumeration.
    if (InterlockedCompareExchange(&Bus->AnnounceSeen, 1, 0) != 0) {
        return;
    }
    WdfWorkItemEnqueue(Bus->EnumWorkItem);
}

// Stores a matching ACK or NAK in the armed slot and wakes the sender, in one
// hold of ResponseLock, so the match and the store see one arming. The sender
// alone lowers ResponsePending.
_IRQL_requires_max_(DISPATCH_LEVEL)
void DispatchResponse(OMBREL_DEVICE_CONTEXT* Bus, const BRIDGE_FRAME_HEADER* Header, const UCHAR* Payload)
{
    if (Header->Port >= BRIDGE_PORT_COUNT) {
        return;
    }
    WdfSpinLockAcquire(Bus->ResponseLock);
    if (InterlockedCompareExchange(&Bus->ResponsePending, 1, 1) == 1 && Header->Port == Bus->ExpectedPort &&
        Payload[0] == Bus->ExpectedCommand) {
        if (Header->Type == FRAME_TYPE_ACK) {
            const auto ack = reinterpret_cast<const BRIDGE_ACK_PAYLOAD*>(Payload);
            Bus->ResponseStatus = ack->Status;
            Bus->ResponseValue = ack->Value;
        } else {
            Bus->ResponseStatus = BUS_RESPONSE_STATUS_FAILED;
            Bus->ResponseValue = 0;
        }
        KeSetEvent(&Bus->ResponseEvent, IO_NO_INCREMENT, FALSE);
    }
    WdfSpinLockRelease(Bus->ResponseLock);
}

// Hands the payload to the port's receive callback outside ReceiveLock. The
// delivery is counted in the current generation's slot while the pair is
// copied, so a replacement of the pair waits until this call has returned.
_IRQL_requires_max_(DISPATCH_LEVEL)
void DispatchData(OMBREL_DEVICE_CONTEXT* Bus, const BRIDGE_FRAME_HEADER* Header, const UCHAR* Payload)
{
    if (Header->Port >= BRIDGE_PORT_COUNT) {
        return;
    }
    BRIDGE_BUS_PORT* port = &Bus->Ports[Header->Port];
    const ULONG payloadLength = Header->PayloadLength;

    LONG* deliveries = nullptr;
    WdfSpinLockAcquire(port->ReceiveLock);
    const PFN_BRIDGE_PORT_RECEIVE callback = port->ReceiveCallback;
    PVOID const callbackContext = port->ReceiveContext;
    if (callback != nullptr && payloadLength != 0) {
        deliveries = &port->DeliveriesInProgress[port->DeliveryGeneration & 1];
        InterlockedIncrement(deliveries);
    }
    WdfSpinLockRelease(port->ReceiveLock);

    if (deliveries == nullptr) {
        return;  // no callback installed, or an empty frame: nothing to deliver
    }
    callback(callbackContext, Payload, payloadLength);
    InterlockedDecrement(deliveries);
}

}  // namespace

_Use_decl_annotations_
VOID
EvtBusReadComplete(
    WDFUSBPIPE Pipe,
    WDFMEMORY Buffer,
    size_t NumBytesTransferred,
    WDFCONTEXT Context
    )
{
    UNREFERENCED_PARAMETER(Pipe);

    auto bus = static_cast<OMBREL_DEVICE_CONTEXT*>(Context);
    const auto frame = static_cast<const UCHAR*>(WdfMemoryGetBuffer(Buffer, nullptr));

    if (NumBytesTransferred < BRIDGE_HEADER_SIZE) {
        return;
    }
    const auto header = reinterpret_cast<const BRIDGE_FRAME_HEADER*>(frame);
    if (header->Magic[0] != BRIDGE_FRAME_MAGIC_0 || header->Magic[1] != BRIDGE_FRAME_MAGIC_1 ||
        header->Version != BRIDGE_FRAME_VERSION) {
        return;
    }
    if (header->PayloadLength > BRIDGE_MAX_PAYLOAD) {
        return;
    }
    // One transfer is exactly one frame; trailing bytes or a second frame void it.
    if (NumBytesTransferred != BRIDGE_HEADER_SIZE + header->PayloadLength) {
        return;
    }
    const UCHAR* payload = frame + BRIDGE_HEADER_SIZE;

    if (header->Type == FRAME_TYPE_ANNOUNCE) {
        DispatchAnnounce(bus, header, payload);
    } else if (header->Type == FRAME_TYPE_ACK && header->PayloadLength >= BRIDGE_ACK_MIN_PAYLOAD) {
        DispatchResponse(bus, header, payload);
    } else if (header->Type == FRAME_TYPE_NAK && header->PayloadLength >= BRIDGE_NAK_MIN_PAYLOAD) {
        DispatchResponse(bus, header, payload);
    } else if (header->Type == FRAME_TYPE_DATA) {
        DispatchData(bus, header, payload);
    }
}

// Any failure of the reader: have the framework reset the pipe and restart it.
// A sender waiting at that moment ends by its own response time-out.
_Use_decl_annotations_
BOOLEAN
EvtBusReadersFailed(
    WDFUSBPIPE Pipe,
    NTSTATUS Status,
    USBD_STATUS UsbdStatus
    )
{
    UNREFERENCED_PARAMETER(Pipe);
    UNREFERENCED_PARAMETER(Status);
    UNREFERENCED_PARAMETER(UsbdStatus);
    return TRUE;
}
