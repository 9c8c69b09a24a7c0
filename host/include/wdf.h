// The framework's public surface as the drivers call it: the real names, types,
// values and signatures, declaring only what the drivers use. The stand-in in
// host/ implements every function declared here.
#pragma once

#include <ntddk.h>

#define WDF_EXTERN_C extern "C"

#define STATUS_WDF_PAUSED ((NTSTATUS)0xC0200203L)
#define STATUS_WDF_BUSY   ((NTSTATUS)0xC0200204L)
#define DECLARE_HANDLE(name) \
    struct name##__ {        \
        int unused;          \
    };                       \
    typedef struct name##__* name

typedef HANDLE WDFOBJECT, *PWDFOBJECT;
typedef PVOID WDFCONTEXT;
typedef ULONG LCID;
DECLARE_HANDLE(WDFDRIVER);
DECLARE_HANDLE(WDFDEVICE);
DECLARE_HANDLE(WDFQUEUE);
DECLARE_HANDLE(WDFREQUEST);
DECLARE_HANDLE(WDFFILEOBJECT);
DECLARE_HANDLE(WDFWORKITEM);
// The lock handles are capabilities of clang's thread-safety analysis (sal.h),
// each lock object a capability of its own.
struct WDFWAITLOCK__ {
    int unused;
};
typedef struct WDFWAITLOCK__* OMBREL_HOST_THREAD_SAFETY(capability("wait lock")) WDFWAITLOCK;
struct WDFSPINLOCK__ {
    int unused;
};
typedef struct WDFSPINLOCK__* OMBREL_HOST_THREAD_SAFETY(capability("spin lock")) WDFSPINLOCK;
DECLARE_HANDLE(WDFMEMORY);
DECLARE_HANDLE(WDFKEY);
DECLARE_HANDLE(WDFIOTARGET);
DECLARE_HANDLE(WDFUSBDEVICE);
DECLARE_HANDLE(WDFUSBINTERFACE);
DECLARE_HANDLE(WDFUSBPIPE);

typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;
typedef struct _MDL MDL, *PMDL;

typedef enum _WDF_TRI_STATE { WdfFalse = FALSE, WdfTrue = TRUE, WdfUseDefault = 2 } WDF_TRI_STATE, *PWDF_TRI_STATE;

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0x00,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0x00,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

#define WDF_NO_OBJECT_ATTRIBUTES nullptr
#define WDF_NO_HANDLE nullptr
#define WDF_NO_CONTEXT nullptr
#define WDF_NO_EVENT_CALLBACK nullptr
#define WDF_NO_SEND_OPTIONS nullptr

// ---- objects and contexts

typedef VOID EVT_WDF_OBJECT_CONTEXT_CLEANUP(_In_ WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef VOID EVT_WDF_OBJECT_CONTEXT_DESTROY(_In_ WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP EVT_WDF_DEVICE_CONTEXT_CLEANUP;
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY EVT_WDF_DEVICE_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const struct _WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (*PFN_GET_UNIQUE_CONTEXT_TYPE)();

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCHAR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

FORCEINLINE VOID WDF_OBJECT_ATTRIBUTES_INIT(_Out_ PWDF_OBJECT_ATTRIBUTES Attributes)
{
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_##_contexttype##_TYPE_INFO_POINTER
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

// One type-info record per context type and module; its address is the type's identity.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                              \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                     \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {              \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), (PCHAR) #_contexttype, sizeof(_contexttype),             \
        &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), nullptr};                                            \
    FORCEINLINE _contexttype* _castingfunction(_In_ WDFOBJECT Handle)                                  \
    {                                                                                                   \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(                \
            Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype));                                           \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WdfObjectGetTypedContext(handle, type) \
    ((type*)WdfObjectGetTypedContextWorker((WDFOBJECT)(handle), WDF_GET_CONTEXT_TYPE_INFO(type)))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

// Two statements, as in the framework's header: initialise, then set the type.
#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                               \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_SEC(_In_ ULONGLONG Time) { return Time * -1 * 10 * 1000 * 1000; }
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_MS(_In_ ULONGLONG Time) { return Time * -1 * 10 * 1000; }
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_US(_In_ ULONGLONG Time) { return Time * -1 * 10; }

// ---- driver, device initialisation, PnP and power

typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(_In_ WDFDRIVER Driver, _Inout_ PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef VOID EVT_WDF_DRIVER_UNLOAD(_In_ WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

FORCEINLINE VOID WDF_DRIVER_CONFIG_INIT(_Out_ PWDF_DRIVER_CONFIG Config,
                                        _In_opt_ PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd)
{
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
} WDF_POWER_DEVICE_STATE, *PWDF_POWER_DEVICE_STATE;

DECLARE_HANDLE(WDFCMRESLIST);

typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(_In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(_In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesRaw,
                                                 _In_ WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef VOID EVT_WDF_DEVICE_SURPRISE_REMOVAL(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;

// Only the callbacks the drivers can register are modelled; the stand-in
// refuses a record whose Size differs from this one.
typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

FORCEINLINE VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(_Out_ PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks)
{
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 5,
} WDF_FILEOBJECT_CLASS, *PWDF_FILEOBJECT_CLASS;

typedef NTSTATUS EVT_WDFDEVICE_WDM_IRP_PREPROCESS(_In_ WDFDEVICE Device, _Inout_ PIRP Irp);
typedef EVT_WDFDEVICE_WDM_IRP_PREPROCESS* PFN_WDFDEVICE_WDM_IRP_PREPROCESS;

typedef VOID EVT_WDF_DEVICE_FILE_CREATE(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request,
                                        _In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef VOID EVT_WDF_FILE_CLOSE(_In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef VOID EVT_WDF_FILE_CLEANUP(_In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

FORCEINLINE VOID WDF_FILEOBJECT_CONFIG_INIT(_Out_ PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                            _In_opt_ PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                            _In_opt_ PFN_WDF_FILE_CLOSE EvtFileClose,
                                            _In_opt_ PFN_WDF_FILE_CLEANUP EvtFileCleanup)
{
    FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;

FORCEINLINE VOID WDF_DEVICE_PNP_CAPABILITIES_INIT(_Out_ PWDF_DEVICE_PNP_CAPABILITIES Caps)
{
    RtlZeroMemory(Caps, sizeof(WDF_DEVICE_PNP_CAPABILITIES));
    Caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    Caps->LockSupported = WdfUseDefault;
    Caps->EjectSupported = WdfUseDefault;
    Caps->Removable = WdfUseDefault;
    Caps->DockDevice = WdfUseDefault;
    Caps->UniqueID = WdfUseDefault;
    Caps->SilentInstall = WdfUseDefault;
    Caps->SurpriseRemovalOK = WdfUseDefault;
    Caps->HardwareDisabled = WdfUseDefault;
    Caps->NoDisplayInUI = WdfUseDefault;
    Caps->Address = (ULONG)-1;
    Caps->UINumber = (ULONG)-1;
}

typedef NTSTATUS EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST(_In_ WDFDEVICE Device, _In_ LPCGUID InterfaceType,
                                                                _Inout_ PINTERFACE ExposedInterface,
                                                                _Inout_opt_ PVOID ExposedInterfaceSpecificData);
typedef EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST* PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST;

typedef struct _WDF_QUERY_INTERFACE_CONFIG {
    ULONG Size;
    PINTERFACE Interface;
    const GUID* InterfaceType;
    BOOLEAN SendQueryToParentStack;
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest;
    BOOLEAN ImportInterface;
} WDF_QUERY_INTERFACE_CONFIG, *PWDF_QUERY_INTERFACE_CONFIG;

FORCEINLINE VOID WDF_QUERY_INTERFACE_CONFIG_INIT(
    _Out_ PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig, _In_opt_ PINTERFACE Interface, _In_ const GUID* InterfaceType,
    _In_opt_ PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest)
{
    RtlZeroMemory(InterfaceConfig, sizeof(WDF_QUERY_INTERFACE_CONFIG));
    InterfaceConfig->Size = sizeof(WDF_QUERY_INTERFACE_CONFIG);
    InterfaceConfig->Interface = Interface;
    InterfaceConfig->InterfaceType = InterfaceType;
    InterfaceConfig->EvtDeviceProcessQueryInterfaceRequest = EvtDeviceProcessQueryInterfaceRequest;
}

// ---- I/O queues and requests

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef enum _WDF_IO_QUEUE_STATE {
    WdfIoQueueAcceptRequests = 0x01,
    WdfIoQueueDispatchRequests = 0x02,
    WdfIoQueueNoRequests = 0x04,
    WdfIoQueueDriverNoRequests = 0x08,
    WdfIoQueuePnpHeld = 0x10,
} WDF_IO_QUEUE_STATE;

typedef VOID EVT_WDF_IO_QUEUE_IO_DEFAULT(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef VOID EVT_WDF_IO_QUEUE_IO_READ(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef VOID EVT_WDF_IO_QUEUE_IO_WRITE(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef VOID EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request,
                                                _In_ size_t OutputBufferLength, _In_ size_t InputBufferLength,
                                                _In_ ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef VOID EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request,
                                                         _In_ size_t OutputBufferLength, _In_ size_t InputBufferLength,
                                                         _In_ ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
typedef VOID EVT_WDF_IO_QUEUE_IO_STOP(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef VOID EVT_WDF_IO_QUEUE_IO_RESUME(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef VOID EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;

typedef struct _WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
    union {
        struct {
            ULONG NumberOfPresentedRequests;
        } Parallel;
    } Settings;
    WDFDRIVER Driver;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

typedef enum _WDF_REQUEST_STOP_ACTION_FLAGS {
    WdfRequestStopActionInvalid = 0,
    WdfRequestStopActionSuspend = 0x01,
    WdfRequestStopActionPurge = 0x2,
    WdfRequestStopRequestCancelable = 0x10000000,
} WDF_REQUEST_STOP_ACTION_FLAGS;

typedef enum _WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeDeviceControl = 0xE,
} WDF_REQUEST_TYPE;

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT(_Out_ PWDF_IO_QUEUE_CONFIG Config,
                                          _In_ WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DispatchType = DispatchType;
}

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(_Out_ PWDF_IO_QUEUE_CONFIG Config,
                                                        _In_ WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->DefaultQueue = TRUE;
}

// ---- memory

typedef struct _WDFMEMORY_OFFSET {
    size_t BufferOffset;
    size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE {
    WdfMemoryDescriptorTypeInvalid = 0,
    WdfMemoryDescriptorTypeBuffer,
    WdfMemoryDescriptorTypeMdl,
    WdfMemoryDescriptorTypeHandle,
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDF_MEMORY_DESCRIPTOR {
    WDF_MEMORY_DESCRIPTOR_TYPE Type;
    union {
        struct {
            PVOID Buffer;
            ULONG Length;
        } BufferType;
        struct {
            PMDL Mdl;
            ULONG BufferLength;
        } MdlType;
        struct {
            WDFMEMORY Memory;
            PWDFMEMORY_OFFSET Offsets;
        } HandleType;
    } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

FORCEINLINE VOID WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(_Out_ PWDF_MEMORY_DESCRIPTOR Descriptor, _In_ PVOID Buffer,
                                                   _In_ ULONG BufferLength)
{
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
    Descriptor->u.BufferType.Buffer = Buffer;
    Descriptor->u.BufferType.Length = BufferLength;
}

FORCEINLINE VOID WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(_Out_ PWDF_MEMORY_DESCRIPTOR Descriptor, _In_ WDFMEMORY Memory,
                                                   _In_opt_ PWDFMEMORY_OFFSET Offsets)
{
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeHandle;
    Descriptor->u.HandleType.Memory = Memory;
    Descriptor->u.HandleType.Offsets = Offsets;
}

// ---- request send options

typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
    WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
    WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
    WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008,
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

FORCEINLINE VOID WDF_REQUEST_SEND_OPTIONS_INIT(_Out_ PWDF_REQUEST_SEND_OPTIONS Options, _In_ ULONG Flags)
{
    RtlZeroMemory(Options, sizeof(WDF_REQUEST_SEND_OPTIONS));
    Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    Options->Flags = Flags;
}

FORCEINLINE VOID WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(_Inout_ PWDF_REQUEST_SEND_OPTIONS Options, _In_ LONGLONG Timeout)
{
    Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    Options->Timeout = Timeout;
}

// ---- I/O targets

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

// ---- work items

typedef VOID EVT_WDF_WORKITEM(_In_ WDFWORKITEM WorkItem);
typedef EVT_WDF_WORKITEM* PFN_WDF_WORKITEM;

typedef struct _WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

FORCEINLINE VOID WDF_WORKITEM_CONFIG_INIT(_Out_ PWDF_WORKITEM_CONFIG Config, _In_ PFN_WDF_WORKITEM EvtWorkItemFunc)
{
    RtlZeroMemory(Config, sizeof(WDF_WORKITEM_CONFIG));
    Config->Size = sizeof(WDF_WORKITEM_CONFIG);
    Config->EvtWorkItemFunc = EvtWorkItemFunc;
    Config->AutomaticSerialization = TRUE;
}

WDF_EXTERN_C {

NTSTATUS WdfDriverCreate(_In_ PDRIVER_OBJECT DriverObject, _In_ PCUNICODE_STRING RegistryPath,
                         _In_opt_ PWDF_OBJECT_ATTRIBUTES DriverAttributes, _In_ PWDF_DRIVER_CONFIG DriverConfig,
                         _Out_opt_ WDFDRIVER* Driver);

PVOID WdfObjectGetTypedContextWorker(_In_ WDFOBJECT Handle, _In_ PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
VOID WdfObjectDelete(_In_ WDFOBJECT Object);

VOID WdfDeviceInitSetDeviceType(_In_ PWDFDEVICE_INIT DeviceInit, _In_ ULONG DeviceType);
VOID WdfDeviceInitSetExclusive(_In_ PWDFDEVICE_INIT DeviceInit, _In_ BOOLEAN IsExclusive);
VOID WdfDeviceInitSetPnpPowerEventCallbacks(_In_ PWDFDEVICE_INIT DeviceInit,
                                            _In_ PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
VOID WdfDeviceInitSetFileObjectConfig(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      _In_opt_ PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
VOID WdfDeviceInitFree(_In_ PWDFDEVICE_INIT DeviceInit);
VOID WdfDeviceInitSetRequestAttributes(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PWDF_OBJECT_ATTRIBUTES RequestAttributes);
NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(_In_ PWDFDEVICE_INIT DeviceInit,
                                                     _In_ PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
                                                     _In_ UCHAR MajorFunction, _In_opt_ PUCHAR MinorFunctions,
                                                     _In_ ULONG NumMinorFunctions);

PWDFDEVICE_INIT WdfPdoInitAllocate(_In_ WDFDEVICE ParentDevice);
NTSTATUS WdfPdoInitAssignDeviceID(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PCUNICODE_STRING DeviceID);
NTSTATUS WdfPdoInitAddHardwareID(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PCUNICODE_STRING HardwareID);
NTSTATUS WdfPdoInitAssignInstanceID(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PCUNICODE_STRING InstanceID);
NTSTATUS WdfPdoInitAddDeviceText(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PCUNICODE_STRING DeviceDescription,
                                 _In_ PCUNICODE_STRING DeviceLocation, _In_ LCID LocaleId);
VOID WdfPdoInitSetDefaultLocale(_In_ PWDFDEVICE_INIT DeviceInit, _In_ LCID LocaleId);

NTSTATUS WdfDeviceCreate(_Inout_ PWDFDEVICE_INIT* DeviceInit, _In_opt_ PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         _Out_ WDFDEVICE* Device);
NTSTATUS WdfDeviceAddQueryInterface(_In_ WDFDEVICE Device, _In_ PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig);
NTSTATUS WdfDeviceCreateDeviceInterface(_In_ WDFDEVICE Device, _In_ const GUID* InterfaceClassGUID,
                                        _In_opt_ PCUNICODE_STRING ReferenceString);
NTSTATUS WdfDeviceCreateSymbolicLink(_In_ WDFDEVICE Device, _In_ PCUNICODE_STRING SymbolicLinkName);
NTSTATUS WdfDeviceAllocAndQueryProperty(_In_ WDFDEVICE Device, _In_ DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                        _In_ POOL_TYPE PoolType, _In_opt_ PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes,
                                        _Out_ WDFMEMORY* PropertyMemory);
NTSTATUS WdfDeviceOpenRegistryKey(_In_ WDFDEVICE Device, _In_ ULONG DeviceInstanceKeyType,
                                  _In_ ACCESS_MASK DesiredAccess, _In_opt_ PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                  _Out_ WDFKEY* Key);
NTSTATUS WdfDeviceOpenDevicemapKey(_In_ WDFDEVICE Device, _In_ PCUNICODE_STRING KeyName,
                                   _In_ ACCESS_MASK DesiredAccess, _In_opt_ PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                   _Out_ WDFKEY* Key);
VOID WdfDeviceSetPnpCapabilities(_In_ WDFDEVICE Device, _In_ PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities);
NTSTATUS WdfFdoQueryForInterface(_In_ WDFDEVICE Fdo, _In_ LPCGUID InterfaceType, _Out_ PINTERFACE Interface,
                                 _In_ USHORT Size, _In_ USHORT Version, _In_opt_ PVOID InterfaceSpecificData);
NTSTATUS WdfFdoAddStaticChild(_In_ WDFDEVICE Fdo, _In_ WDFDEVICE Child);

// The lock operations as clang's analysis sees them. WdfWaitLockAcquire
// counts as acquiring whatever its time-out: the WDK's annotation has it
// acquire always without one and on STATUS_SUCCESS with one, and clang can
// make a lock's state depend neither on an argument nor on a test such as
// NT_SUCCESS (its try-acquire form knows only a result tested against a
// constant, and would count the drivers' calls without a time-out as not
// acquiring). The drivers take their wait lock only without a time-out.
VOID WdfSpinLockAcquire(_In_ WDFSPINLOCK SpinLock) OMBREL_HOST_THREAD_SAFETY(acquire_capability(SpinLock));
VOID WdfSpinLockRelease(_In_ WDFSPINLOCK SpinLock) OMBREL_HOST_THREAD_SAFETY(release_capability(SpinLock));
NTSTATUS WdfSpinLockCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, _Out_ WDFSPINLOCK* SpinLock);
NTSTATUS WdfWaitLockCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES LockAttributes, _Out_ WDFWAITLOCK* Lock);
NTSTATUS WdfWaitLockAcquire(_In_ WDFWAITLOCK Lock, _In_opt_ PLONGLONG Timeout)
    OMBREL_HOST_THREAD_SAFETY(acquire_capability(Lock));
VOID WdfWaitLockRelease(_In_ WDFWAITLOCK Lock) OMBREL_HOST_THREAD_SAFETY(release_capability(Lock));

NTSTATUS WdfWorkItemCreate(_In_ PWDF_WORKITEM_CONFIG Config, _In_ PWDF_OBJECT_ATTRIBUTES Attributes,
                           _Out_ WDFWORKITEM* WorkItem);
VOID WdfWorkItemEnqueue(_In_ WDFWORKITEM WorkItem);
WDFOBJECT WdfWorkItemGetParentObject(_In_ WDFWORKITEM WorkItem);

NTSTATUS WdfIoQueueCreate(_In_ WDFDEVICE Device, _In_ PWDF_IO_QUEUE_CONFIG Config,
                          _In_opt_ PWDF_OBJECT_ATTRIBUTES QueueAttributes, _Out_opt_ WDFQUEUE* Queue);
WDFDEVICE WdfIoQueueGetDevice(_In_ WDFQUEUE Queue);
WDF_IO_QUEUE_STATE WdfIoQueueGetState(_In_ WDFQUEUE Queue, _Out_opt_ PULONG QueueRequests,
                                      _Out_opt_ PULONG DriverRequests);
NTSTATUS WdfIoQueueRetrieveNextRequest(_In_ WDFQUEUE Queue, _Out_ WDFREQUEST* OutRequest);
VOID WdfIoQueueStopSynchronously(_In_ WDFQUEUE Queue);
VOID WdfIoQueueStart(_In_ WDFQUEUE Queue);

NTSTATUS WdfRequestRetrieveInputBuffer(_In_ WDFREQUEST Request, _In_ size_t MinimumRequiredLength,
                                       _Outptr_result_bytebuffer_(*Length) PVOID* Buffer, _Out_opt_ size_t* Length);
NTSTATUS WdfRequestRetrieveOutputBuffer(_In_ WDFREQUEST Request, _In_ size_t MinimumRequiredSize,
                                        _Outptr_result_bytebuffer_(*Length) PVOID* Buffer, _Out_opt_ size_t* Length);
NTSTATUS WdfRequestForwardToIoQueue(_In_ WDFREQUEST Request, _In_ WDFQUEUE DestinationQueue);
VOID WdfRequestComplete(_In_ WDFREQUEST Request, _In_ NTSTATUS Status);
VOID WdfRequestCompleteWithInformation(_In_ WDFREQUEST Request, _In_ NTSTATUS Status, _In_ ULONG_PTR Information);
VOID WdfRequestStopAcknowledge(_In_ WDFREQUEST Request, _In_ BOOLEAN Requeue);
NTSTATUS WdfDeviceConfigureRequestDispatching(_In_ WDFDEVICE Device, _In_ WDFQUEUE Queue,
                                              _In_ WDF_REQUEST_TYPE RequestType);

WDFDEVICE WdfFileObjectGetDevice(_In_ WDFFILEOBJECT FileObject);

NTSTATUS WdfRegistryQueryUnicodeString(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName,
                                       _Out_opt_ PUSHORT ValueByteLength, _Inout_opt_ PUNICODE_STRING Value);
NTSTATUS WdfRegistryAssignUnicodeString(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName,
                                        _In_ PCUNICODE_STRING Value);
NTSTATUS WdfRegistryRemoveValue(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName);
VOID WdfRegistryClose(_In_ WDFKEY Key);

PVOID WdfMemoryGetBuffer(_In_ WDFMEMORY Memory, _Out_opt_ size_t* BufferSize);

NTSTATUS WdfIoTargetStart(_In_ WDFIOTARGET IoTarget);
VOID WdfIoTargetStop(_In_ WDFIOTARGET IoTarget, _In_ WDF_IO_TARGET_SENT_IO_ACTION Action);

} // WDF_EXTERN_C
