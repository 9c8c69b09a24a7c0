//
// The one contract between the bus driver and the port driver. Each bus child
// publishes a BRIDGE_PORT_INTERFACE under GUID_BRIDGE_PORT_INTERFACE; the port
// driver copies it at device add and reaches its channel only through it.
//
#pragma once

#include "platform.h"
#include "bridge_frame.h"

// {0C0E3A13-824E-4F12-A8AE-9F0F20330710}
DEFINE_GUID(GUID_BRIDGE_PORT_INTERFACE,
    0x0c0e3a13, 0x824e, 0x4f12, 0xa8, 0xae, 0x9f, 0x0f, 0x20, 0x33, 0x07, 0x10);

constexpr USHORT BRIDGE_PORT_INTERFACE_VERSION = 1;

// Receives the payload of one data frame for the port: 1 to BRIDGE_MAX_PAYLOAD
// bytes, valid only during the call. Runs at up to DISPATCH_LEVEL, outside every
// bus lock, possibly concurrently with any operation of the same port; it must
// not block, and must copy what it keeps.
typedef
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID
BRIDGE_PORT_RECEIVE(
    _In_opt_ PVOID Context,
    _In_reads_bytes_(Length) const UCHAR* Data,
    _In_ ULONG Length
    );
typedef BRIDGE_PORT_RECEIVE *PFN_BRIDGE_PORT_RECEIVE;

// Sends up to BRIDGE_MAX_PAYLOAD bytes as one data frame. *Accepted receives the
// number of bytes the device took; it is 0 on every failure. STATUS_DEVICE_BUSY
// when bytes were given and the device took none.
typedef
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
BRIDGE_PORT_WRITE(
    _In_ PVOID PortHandle,
    _In_reads_bytes_opt_(Length) const VOID* Data,
    _In_ ULONG Length,
    _Out_ PULONG Accepted
    );
typedef BRIDGE_PORT_WRITE *PFN_BRIDGE_PORT_WRITE;

// Sends the line settings; succeeds without sending on channels that never answer.
typedef
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
BRIDGE_PORT_SET_CONFIG(
    _In_ PVOID PortHandle,
    _In_ const PORT_LINE_CONFIG* Config
    );
typedef BRIDGE_PORT_SET_CONFIG *PFN_BRIDGE_PORT_SET_CONFIG;

// Sends [Operation, Argument] as one control frame (PORT_CONTROL_*).
typedef
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
BRIDGE_PORT_CONTROL(
    _In_ PVOID PortHandle,
    _In_ UCHAR Operation,
    _In_ UCHAR Argument
    );
typedef BRIDGE_PORT_CONTROL *PFN_BRIDGE_PORT_CONTROL;

// Installs Callback with CallbackContext, replacing any previous pair; a NULL
// Callback turns delivery off. On return no delivery is running in, and none
// will enter, the pair it replaced, so the old context may be freed. It waits
// for deliveries already in the old callback, so it must not be called from
// inside the receive callback, nor while holding a lock that the callback takes.
typedef
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID
BRIDGE_PORT_REGISTER_RECEIVE_CALLBACK(
    _In_ PVOID PortHandle,
    _In_opt_ PFN_BRIDGE_PORT_RECEIVE Callback,
    _In_opt_ PVOID CallbackContext
    );
typedef BRIDGE_PORT_REGISTER_RECEIVE_CALLBACK *PFN_BRIDGE_PORT_REGISTER_RECEIVE_CALLBACK;

// Published zero-filled apart from its fields; the four operations are never NULL.
typedef struct _BRIDGE_PORT_INTERFACE {
    INTERFACE InterfaceHeader;  // Size 80, Version 1, Context = PortHandle, no-op reference routines
    PVOID PortHandle;           // opaque; first argument of every operation
    UCHAR PortIndex;            // 0 to 7
    PFN_BRIDGE_PORT_WRITE Write;
    PFN_BRIDGE_PORT_SET_CONFIG SetConfig;
    PFN_BRIDGE_PORT_CONTROL Control;
    PFN_BRIDGE_PORT_REGISTER_RECEIVE_CALLBACK RegisterReceiveCallback;
} BRIDGE_PORT_INTERFACE, *PBRIDGE_PORT_INTERFACE;

static_assert(sizeof(INTERFACE) == 32, "x64 INTERFACE header");
static_assert(sizeof(BRIDGE_PORT_INTERFACE) == 80, "record size both drivers agree on");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, InterfaceHeader.Size) == 0, "record offset");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, InterfaceHeader.Version) == 2, "record offset");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, InterfaceHeader.Context) == 8, "record offset");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, InterfaceHeader.InterfaceReference) == 16, "record offset");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, InterfaceHeader.InterfaceDereference) == 24, "record offset");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, PortHandle) == 32, "record offset");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, PortIndex) == 40, "record offset");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, Write) == 48, "record offset");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, SetConfig) == 56, "record offset");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, Control) == 64, "record offset");
static_assert(FIELD_OFFSET(BRIDGE_PORT_INTERFACE, RegisterReceiveCallback) == 72, "record offset");
