//
// Bus side of the port interface: each sending operation builds one payload,
// hands it to the command channel and maps its outcome; the receive pair is
// installed and removed here.
//
#include "bus.h"

namespace {

// For the operations whose payload the device must take whole: a device that
// takes less has answered wrongly, STATUS_DEVICE_PROTOCOL_ERROR.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendWhole(BRIDGE_BUS_PORT* Port, UCHAR Type, const VOID* Data, ULONG Length)
{
    USHORT accepted = 0;
    const NTSTATUS status = BusSendCommand(Port, Type, Data, Length, &accepted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (accepted != Length) {
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    return status;
}

}  // namespace

// A write may be taken in part; the caller sends the rest.
_Use_decl_annotations_
NTSTATUS
BusPortWrite(
    PVOID PortHandle,
    const VOID* Data,
    ULONG Length,
    PULONG Accepted
    )
{
    if (Accepted == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Accepted = 0;

    USHORT accepted = 0;
    const NTSTATUS status =
        BusSendCommand(static_cast<BRIDGE_BUS_PORT*>(PortHandle), FRAME_TYPE_DATA, Data, Length, &accepted);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    *Accepted = accepted;
    if (Length != 0 && accepted == 0) {
        return STATUS_DEVICE_BUSY;
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS
BusPortSetConfig(
    PVOID PortHandle,
    const PORT_LINE_CONFIG* Config
    )
{
    auto port = static_cast<BRIDGE_BUS_PORT*>(PortHandle);

    // Channels that never answer keep no line settings on the device.
    if (port->PortIndex < BRIDGE_FIRST_ANSWERED_PORT) {
        return STATUS_SUCCESS;
    }

    return SendWhole(port, FRAME_TYPE_SET_CONFIG, Config, sizeof(PORT_LINE_CONFIG));
}

_Use_decl_annotations_
NTSTATUS
BusPortControl(
    PVOID PortHandle,
    UCHAR Operation,
    UCHAR Argument
    )
{
    const UCHAR payload[BRIDGE_CONTROL_PAYLOAD_SIZE] = { Operation, Argument };
    return SendWhole(static_cast<BRIDGE_BUS_PORT*>(PortHandle), FRAME_TYPE_CONTROL, payload, sizeof(payload));
}

// Swaps the pair and retires the current delivery generation under
// ReceiveLock, then waits, outside the lock, until every delivery counted in
// the retired generation has returned. Deliveries that start after the swap
// see the new pair and count in the other slot, so a steady stream into the
// new callback cannot hold the wait up. The wait spins rather than blocks,
// which keeps the operation callable at DISPATCH_LEVEL; it lasts at most as
// long as the deliveries already running in the old callback.
_Use_decl_annotations_
VOID
BusPortRegisterReceiveCallback(
    PVOID PortHandle,
    PFN_BRIDGE_PORT_RECEIVE Callback,
    PVOID CallbackContext
    )
{
    auto port = static_cast<BRIDGE_BUS_PORT*>(PortHandle);

    WdfSpinLockAcquire(port->ReceiveLock);
    port->ReceiveCallback = Callback;
    port->ReceiveContext = CallbackContext;
    LONG* const retiredDeliveries = &port->DeliveriesInProgress[port->DeliveryGeneration & 1];
    port->DeliveryGeneration += 1;
    WdfSpinLockRelease(port->ReceiveLock);

    while (InterlockedCompareExchange(retiredDeliveries, 0, 0) != 0) {
        YieldProcessor();
    }
}

_Use_decl_annotations_
VOID
BusInterfaceNoop(
    PVOID Context
    )
{
    UNREFERENCED_PARAMETER(Context);
}
