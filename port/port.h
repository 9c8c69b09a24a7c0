//
// OmbrelPort: function driver of one bridge channel, presented as a COM port.
// It reaches its channel only through the port interface that the bus child
// publishes.
//
#pragma once

#include "platform.h"
#include "bridge_frame.h"
#include "bridge_port_interface.h"

constexpr ULONG RX_RING_SIZE = 8192;

// Room for the physical device object's name, the name of the port's
// SERIALCOMM value; the system's names are far shorter.
constexpr USHORT DEVICE_MAP_VALUE_NAME_CHARS = 64;

// Typed context of the port device. Zeroed at device add; lives as long as the device.
//
// Requests arrive on three queues, each presenting one request at a time:
// the default queue takes reads and the control codes answered from the
// port's own state and never blocks; WriteQueue takes writes and ControlQueue
// the control codes that reach the device or the line settings. These two
// hand their request to a work item, which may block on the bus, so nothing
// blocks where the framework presents requests (the power-up path included)
// and reads, events and status go on while a write waits for the device.
//
// RingLock guards RxBuffer, RxHead and RxTail and makes taking a read out of
// ReadQueue atomic with filling it; EventLock guards WaitMask and
// PendingEvents and makes taking the wait out of WaitMaskQueue atomic with them. Both are
// spin locks, taken at up to DISPATCH_LEVEL by the receive path. They are never
// held together, and no request is completed and no interface operation called
// while either is held. LineConfig is touched only by the control work item
// and Timeouts only by the default queue, one request at a time each, so they
// need no lock.
typedef struct _OMBREL_PORT_CONTEXT {
    WDFDEVICE Device;
    BRIDGE_PORT_INTERFACE BusInterface;  // copied from the bus child at device add; never changes after
    WDFQUEUE ReadQueue;                  // manual, not power-managed: reads that found the ring empty, oldest first
    WDFQUEUE WaitMaskQueue;              // manual, not power-managed: at most one IOCTL_SERIAL_WAIT_ON_MASK
    WDFQUEUE WriteQueue;                 // sequential, power-managed, with EvtIoStop: writes
    WDFQUEUE ControlQueue;               // sequential, power-managed: control codes that reach the device
    // The request each of the two work items runs. Set by the queue callback
    // that presents it before the work item is queued; the queue presents the
    // next only after this one is completed or requeued.
    WDFWORKITEM WriteWorkItem;
    WDFREQUEST ActiveWrite;
    size_t ActiveWriteLength;
    // Writes the work item has completed since the device was added, moved
    // before each completion (interlocked only), and the event set after it.
    // A flush counts on them to see the writes ahead of it end.
    LONG WritesEnded;
    KEVENT WriteEnded;                   // notification event; also set by the handle's cleanup
    WDFWORKITEM ControlWorkItem;
    WDFREQUEST ActiveControl;
    ULONG ActiveControlCode;
    WDFSPINLOCK RingLock;
    WDFSPINLOCK EventLock;
    _Guarded_by_(RingLock) UCHAR RxBuffer[RX_RING_SIZE];
    _Guarded_by_(RingLock) ULONG RxHead;  // next slot written; moved only by the receive path
    _Guarded_by_(RingLock) ULONG RxTail;  // oldest unread slot; moved only by reads and the receive purge
    PORT_LINE_CONFIG LineConfig;         // as last set, valid or not; sent only when set; control work item only
    SERIAL_TIMEOUTS Timeouts;            // stored and returned, never applied; default queue only
    _Guarded_by_(EventLock) ULONG WaitMask;       // SERIAL_EV_* bits the application waits for
    _Guarded_by_(EventLock) ULONG PendingEvents;  // events seen through WaitMask and not yet reported; never outside it
    LONG HandleClosing;                  // interlocked only; 1 from the handle's cleanup to the next open
    // From the SERIALCOMM value's writing to its removal: the open device-map
    // key and the value's name, so that the removal at clean-up needs no
    // allocation, which could fail and leave the value behind.
    WDFKEY DeviceMapKey;
    WCHAR DeviceMapValueName[DEVICE_MAP_VALUE_NAME_CHARS];
    USHORT DeviceMapValueNameLength;     // bytes
} OMBREL_PORT_CONTEXT, *POMBREL_PORT_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OMBREL_PORT_CONTEXT, PortGetContext)

// Typed context of every request of the port, allocated by the framework with
// the request. A write suspended for a power-down keeps its progress here
// while it waits in WriteQueue, and goes on from there after power-up.
typedef struct _OMBREL_REQUEST_CONTEXT {
    ULONG BytesAccepted;   // bytes of the write the device has taken so far
    LONG StopRequested;    // interlocked only; 1 from EvtIoStop until the write stops for it
} OMBREL_REQUEST_CONTEXT, *POMBREL_REQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OMBREL_REQUEST_CONTEXT, PortGetRequestContext)

extern "C" DRIVER_INITIALIZE DriverEntry;

EVT_WDF_DRIVER_DEVICE_ADD EvtPortDeviceAdd;
EVT_WDF_DEVICE_CONTEXT_CLEANUP EvtPortDeviceCleanup;
EVT_WDF_DEVICE_FILE_CREATE EvtPortFileCreate;
EVT_WDF_FILE_CLEANUP EvtPortFileCleanup;
EVT_WDF_FILE_CLOSE EvtPortFileClose;

EVT_WDF_IO_QUEUE_IO_READ EvtPortIoRead;
EVT_WDF_IO_QUEUE_IO_WRITE EvtPortIoWrite;
EVT_WDF_IO_QUEUE_IO_STOP EvtPortIoStopWrite;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtPortIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtPortIoDeviceControlToDevice;

EVT_WDF_WORKITEM EvtPortWriteWorkItem;

// IRP_MJ_FLUSH_BUFFERS, which the framework hands the driver only through a
// preprocess callback: completes the IRP once every write sent before it has
// ended.
EVT_WDFDEVICE_WDM_IRP_PREPROCESS EvtPortWdmFlush;
EVT_WDF_WORKITEM EvtPortControlWorkItem;

// The shape of every control code's handler. It returns the status the
// request is completed with and, for a success, sets *Information; or it keeps
// the request (a wait it parks) and returns STATUS_PENDING.
typedef
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
PORT_CONTROL_HANDLER(
    _In_ OMBREL_PORT_CONTEXT* Port,
    _In_ WDFREQUEST Request,
    _Inout_ ULONG_PTR* Information
    );

// Every control code's answer: runs the code's handler and completes the
// request with its status, unless the handler kept it. Codes for which
// PortControlReachesDevice holds may block and run only in the control work item.
_IRQL_requires_(PASSIVE_LEVEL)
VOID
PortRunDeviceControl(
    _In_ OMBREL_PORT_CONTEXT* Port,
    _In_ WDFREQUEST Request,
    _In_ ULONG IoControlCode
    );

// The codes that talk to the device or touch the line settings.
BOOLEAN
PortControlReachesDevice(
    _In_ ULONG IoControlCode
    );

// Once the handle's cleanup has begun, cancels every read and wait parked in
// the port's manual queues. Called by the cleanup and after every move of a
// request into one of those queues, so a request parked just after the
// cleanup looked is cancelled by whoever parked it: the port is exclusive, so
// whatever waits there belongs to the closing handle.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID
PortCancelRequestsOfClosingHandle(
    _In_ OMBREL_PORT_CONTEXT* Port
    );

// Moves Request into one of the port's queues. A queue purged as the device
// leaves refuses it with the framework's STATUS_WDF_BUSY, which no application
// can interpret; that refusal comes back as STATUS_INVALID_DEVICE_STATE, the
// status the framework fails a request with that reaches a purged queue from
// the system. On any failure the request is still the caller's to complete.
_IRQL_requires_max_(DISPATCH_LEVEL)
FORCEINLINE
NTSTATUS
PortForwardRequest(
    _In_ WDFREQUEST Request,
    _In_ WDFQUEUE Queue
    )
{
    const NTSTATUS status = WdfRequestForwardToIoQueue(Request, Queue);
    return (status == STATUS_WDF_BUSY) ? STATUS_INVALID_DEVICE_STATE : status;
}

// Installed with the bus at device add, with the port's context as its context.
BRIDGE_PORT_RECEIVE PortReceiveData;

// Hands ring contents to parked reads, oldest first, until the ring is empty or
// no read is parked. Each read is taken and filled under RingLock and
// completed outside it.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID
PortServicePendingReads(
    _In_ OMBREL_PORT_CONTEXT* Port
    );

// Records the events that the wait mask selects and completes the parked wait,
// if there is one, with everything pending.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID
PortSignalEvents(
    _In_ OMBREL_PORT_CONTEXT* Port,
    _In_ ULONG Events
    );

// Completes an IOCTL_SERIAL_WAIT_ON_MASK with Events as its 4-byte result.
// Called with no port lock held.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID
PortCompleteWaitRequest(
    _In_ WDFREQUEST Request,
    _In_ ULONG Events
    );

// The mask last set; 0 from each open until the application sets one.
_IRQL_requires_(PASSIVE_LEVEL)
ULONG
PortGetWaitMask(
    _In_ OMBREL_PORT_CONTEXT* Port
    );

// Any valid mask, the current one and 0 included, drops the pending events and
// ends a parked wait with 0, before the caller completes the set request. An
// invalid mask changes nothing and gives STATUS_INVALID_PARAMETER.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
PortSetWaitMask(
    _In_ OMBREL_PORT_CONTEXT* Port,
    _In_ ULONG Mask
    );

// IOCTL_SERIAL_WAIT_ON_MASK: answers at once with the pending events in the
// mask, or parks the wait in WaitMaskQueue.
PORT_CONTROL_HANDLER PortWaitOnMask;

// Checks the whole stored LineConfig and, when every field is in range, sends
// it to the device; STATUS_INVALID_PARAMETER, with nothing sent, otherwise.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
PortApplyLineConfig(
    _In_ OMBREL_PORT_CONTEXT* Port
    );

// Publishes the port under the name that its hardware key's "PortName" gives:
// the \DosDevices\Global\ link and the SERIALCOMM value.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
PortCreateSymbolicLink(
    _In_ WDFDEVICE Device
    );

// Writes (Add TRUE, PortName required) or removes the port's SERIALCOMM value,
// named after the physical device object. Removing a value that is not there succeeds.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
PortUpdateDeviceMap(
    _In_ WDFDEVICE Device,
    _In_opt_ PCUNICODE_STRING PortName,
    _In_ BOOLEAN Add
    );
