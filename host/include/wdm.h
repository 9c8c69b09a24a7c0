// Kernel executive: IRQL, dispatcher events and waits, interlocked operations,
// counted strings, the INTERFACE header and the device constants the drivers use.
#pragma once

#include <ntdef.h>

#define PASSIVE_LEVEL  0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2

#define KernelMode ((KPROCESSOR_MODE)0)
#define UserMode   ((KPROCESSOR_MODE)1)

#define IO_NO_INCREMENT 0

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
} KWAIT_REASON;

// The dispatcher header keeps its Windows size; the stand-in keeps an event's
// type in Type and its state in SignalState and waits on a process-wide monitor.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved1;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
static_assert(sizeof(KEVENT) == 24, "KEVENT keeps its x64 size");

typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;

typedef enum _DEVICE_REGISTRY_PROPERTY {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
    DevicePropertyLocationInformation = 10,
    DevicePropertyPhysicalDeviceObjectName = 11,
} DEVICE_REGISTRY_PROPERTY;

#define PLUGPLAY_REGKEY_DEVICE  1
#define PLUGPLAY_REGKEY_DRIVER  2

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE   0x0002
#define KEY_READ        0x20019
#define KEY_WRITE       0x20006

#define FILE_DEVICE_BUS_EXTENDER 0x0000002A
#define FILE_DEVICE_SERIAL_PORT  0x0000001B
typedef ULONG DEVICE_TYPE;

#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3
#define FILE_ANY_ACCESS   0
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

typedef struct _INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;

// An I/O request packet as a driver sees one handed to it outside the
// framework's queues: only its status block. The rest of the packet is the
// I/O manager's.
#define IRP_MJ_FLUSH_BUFFERS 0x09

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _IRP {
    IO_STATUS_BLOCK IoStatus;
} IRP, *PIRP;

typedef NTSTATUS DRIVER_INITIALIZE(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;

#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))

#define DECLARE_CONST_UNICODE_STRING(_var, _string)                                                  \
    const WCHAR _var##_buffer[] = _string;                                                           \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string), (PWCH)_var##_buffer}

#define DECLARE_UNICODE_STRING_SIZE(_var, _size)                                                     \
    WCHAR _var##_buffer[_size];                                                                      \
    UNICODE_STRING _var = {0, (_size) * sizeof(WCHAR), _var##_buffer}

extern "C" {

KIRQL KeGetCurrentIrql(VOID);

VOID KeInitializeEvent(_Out_ PRKEVENT Event, _In_ EVENT_TYPE Type, _In_ BOOLEAN State);
VOID KeClearEvent(_Inout_ PRKEVENT Event);
LONG KeSetEvent(_Inout_ PRKEVENT Event, _In_ KPRIORITY Increment, _In_ BOOLEAN Wait);
LONG KeReadStateEvent(_In_ PRKEVENT Event);
NTSTATUS KeWaitForSingleObject(_In_ PVOID Object, _In_ KWAIT_REASON WaitReason, _In_ KPROCESSOR_MODE WaitMode,
                               _In_ BOOLEAN Alertable, _In_opt_ PLARGE_INTEGER Timeout);

VOID RtlInitUnicodeString(_Out_ PUNICODE_STRING DestinationString, _In_opt_ PCWSTR SourceString);

VOID YieldProcessor(VOID);

VOID IoCompleteRequest(_In_ PIRP Irp, _In_ CCHAR PriorityBoost);

} // extern "C"

FORCEINLINE LONG InterlockedExchange(_Inout_ LONG volatile* Target, _In_ LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

FORCEINLINE LONG InterlockedCompareExchange(_Inout_ LONG volatile* Destination, _In_ LONG Exchange,
                                            _In_ LONG Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}

FORCEINLINE LONG InterlockedIncrement(_Inout_ LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

FORCEINLINE LONG InterlockedDecrement(_Inout_ LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

FORCEINLINE LONG InterlockedOr(_Inout_ LONG volatile* Destination, _In_ LONG Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}

FORCEINLINE LONG InterlockedAnd(_Inout_ LONG volatile* Destination, _In_ LONG Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}

FORCEINLINE PVOID InterlockedExchangePointer(_Inout_ PVOID volatile* Target, _In_opt_ PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

FORCEINLINE PVOID InterlockedCompareExchangePointer(_Inout_ PVOID volatile* Destination, _In_opt_ PVOID Exchange,
                                                    _In_opt_ PVOID Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}

FORCEINLINE LONG ReadNoFence(_In_ LONG const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
