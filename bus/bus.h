//
// OmbrelBus: function driver of the USB bridge and bus driver of its eight
// port children.
//
#pragma once

#include "platform.h"
#include "bridge_frame.h"
#include "bridge_port_interface.h"

// A healthy bridge takes a 64-byte OUT transfer at once; one second bounds how
// long a bridge that stops taking them can hold CommandLock (or stall D0 entry).
constexpr ULONGLONG BUS_WRITE_TIMEOUT_SEC = 1;

// How long an answered command waits for the device's ACK or NAK.
constexpr ULONGLONG BUS_RESPONSE_TIMEOUT_SEC = 1;

// Slot value meaning "failed or no response": preset when armed, and stored
// for a NAK or a release at D0 exit.
constexpr UCHAR BUS_RESPONSE_STATUS_FAILED = 0xFF;

struct _OMBREL_DEVICE_CONTEXT;

// Bus side of one channel. Its address is the channel's PortHandle.
//
// ReceiveLock (a spin lock, up to DISPATCH_LEVEL) guards ReceiveCallback,
// ReceiveContext and DeliveryGeneration. The receive dispatch, under the lock,
// copies the pair and counts itself in DeliveriesInProgress[DeliveryGeneration & 1];
// it calls the callback after releasing the lock and then uncounts itself.
// Replacing the pair flips DeliveryGeneration under the lock and then waits for
// the retired slot to drain, so once the replacement returns no delivery is in,
// or can enter, the old callback; new deliveries count in the other slot and
// cannot hold it up. DeliveriesInProgress is touched only by interlocked operations.
typedef struct _BRIDGE_BUS_PORT {
    struct _OMBREL_DEVICE_CONTEXT* Bus;  // the context holding this record
    UCHAR PortIndex;                     // 0 to 7, this record's index in Bus->Ports
    WDFSPINLOCK ReceiveLock;
    _Guarded_by_(ReceiveLock) PFN_BRIDGE_PORT_RECEIVE ReceiveCallback;  // NULL: data for the port is dropped
    _Guarded_by_(ReceiveLock) PVOID ReceiveContext;
    LONG DeliveriesInProgress[2];
    _Guarded_by_(ReceiveLock) ULONG DeliveryGeneration;
} BRIDGE_BUS_PORT, *PBRIDGE_BUS_PORT;

// Typed context of the bus device. Zeroed at device add; lives as long as the device.
//
// The response slot (ResponseEvent to ResponseValue) hands one command's answer
// from the receive dispatch to the sender under ResponseLock: the sender,
// holding CommandLock, fills Expected*, presets Response*, clears the event
// and raises ResponsePending in one hold; the dispatch matches and stores in
// one hold and signals the event inside it; the sender lowers ResponsePending
// and reads Response* in one hold after its wait. So an answer is matched
// against one whole arming, never against one being rewritten for the next
// command, and never stored into a slot its sender has already left.
typedef struct _OMBREL_DEVICE_CONTEXT {
    WDFDEVICE Device;
    WDFUSBDEVICE UsbDevice;    // NULL until the first prepare-hardware, then kept
    WDFUSBPIPE BulkInPipe;     // carries the continuous reader
    WDFUSBPIPE BulkOutPipe;    // every host-to-device frame
    WDFWAITLOCK CommandLock;   // one command in flight for the whole bridge; PASSIVE_LEVEL
    WDFWORKITEM EnumWorkItem;  // creates the children once, at PASSIVE_LEVEL
    KEVENT ResponseEvent;      // notification event
    WDFSPINLOCK ResponseLock;  // the response slot; taken at up to DISPATCH_LEVEL
    LONG ResponsePending;      // 1 while a sender is armed; changed under ResponseLock, read interlocked
    _Guarded_by_(ResponseLock) UCHAR ExpectedPort;
    _Guarded_by_(ResponseLock) UCHAR ExpectedCommand;
    _Guarded_by_(ResponseLock) UCHAR ResponseStatus;  // ACK status, or BUS_RESPONSE_STATUS_FAILED
    _Guarded_by_(ResponseLock) USHORT ResponseValue;  // ACK value, or 0
    LONG AnnounceSeen;         // interlocked only; set by the first valid announce, never cleared
    LONG ChildrenCreated;      // interlocked only; 1 once enumeration began, 0 again if it failed
    BRIDGE_BUS_PORT Ports[BRIDGE_PORT_COUNT];
} OMBREL_DEVICE_CONTEXT, *POMBREL_DEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OMBREL_DEVICE_CONTEXT, BusGetDeviceContext)

// Typed context of each port child.
typedef struct _OMBREL_PDO_CONTEXT {
    BRIDGE_BUS_PORT* BusPort;  // the child's record in the bus device's context; outlives the child
} OMBREL_PDO_CONTEXT, *POMBREL_PDO_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OMBREL_PDO_CONTEXT, BusGetPdoContext)

extern "C" DRIVER_INITIALIZE DriverEntry;

EVT_WDF_DRIVER_DEVICE_ADD EvtBusDeviceAdd;
EVT_WDF_DEVICE_PREPARE_HARDWARE EvtBusPrepareHardware;
EVT_WDF_DEVICE_D0_ENTRY EvtBusD0Entry;
EVT_WDF_DEVICE_D0_EXIT EvtBusD0Exit;

EVT_WDF_USB_READER_COMPLETION_ROUTINE EvtBusReadComplete;
EVT_WDF_USB_READERS_FAILED EvtBusReadersFailed;

EVT_WDF_WORKITEM EvtBusEnumerateWorkItem;

// Creates, publishes and adds the child of one port.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
BusCreatePortChild(
    _In_ WDFDEVICE BusDevice,
    _In_ BRIDGE_BUS_PORT* Port
    );

// Writes one frame of Type for Port under CommandLock and, on answered ports
// (BRIDGE_FIRST_ANSWERED_PORT and up) for data, set-config and control frames,
// waits for the matching response. *Accepted (optional) is 0 on every failure,
// never above Length, and Length for an unanswered command that was written.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
BusSendCommand(
    _In_ BRIDGE_BUS_PORT* Port,
    _In_ UCHAR Type,
    _In_reads_bytes_opt_(Length) const VOID* Data,
    _In_ ULONG Length,
    _Out_opt_ USHORT* Accepted
    );

// Writes Length bytes of Frame on the bulk OUT pipe and returns when the bridge
// has taken them. Bounded by BUS_WRITE_TIMEOUT_SEC, so a bridge that stops taking
// OUT transfers fails the write with STATUS_IO_TIMEOUT instead of holding its
// caller forever. Takes no lock: commands write under CommandLock, the hello
// at D0 entry without it.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
BusWriteFrame(
    _In_ OMBREL_DEVICE_CONTEXT* Bus,
    _In_reads_bytes_(Length) const VOID* Frame,
    _In_ ULONG Length
    );

BRIDGE_PORT_WRITE BusPortWrite;
BRIDGE_PORT_SET_CONFIG BusPortSetConfig;
BRIDGE_PORT_CONTROL BusPortControl;
BRIDGE_PORT_REGISTER_RECEIVE_CALLBACK BusPortRegisterReceiveCallback;

// InterfaceReference and InterfaceDereference of the published record: the port
// records live as long as the bus device, so there is nothing to count.
VOID
BusInterfaceNoop(
    _In_opt_ PVOID Context
    );
