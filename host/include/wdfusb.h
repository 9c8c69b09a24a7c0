// The framework's USB target objects: device, interface, pipes, continuous reader.
#pragma once

#include <wdf.h>
#include <usb.h>

typedef enum _WDF_USB_PIPE_TYPE {
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl,
    WdfUsbPipeTypeIsochronous,
    WdfUsbPipeTypeBulk,
    WdfUsbPipeTypeInterrupt,
} WDF_USB_PIPE_TYPE;

typedef struct _WDF_USB_PIPE_INFORMATION {
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

FORCEINLINE VOID WDF_USB_PIPE_INFORMATION_INIT(_Out_ PWDF_USB_PIPE_INFORMATION Info)
{
    RtlZeroMemory(Info, sizeof(WDF_USB_PIPE_INFORMATION));
    Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

typedef struct _WDF_USB_DEVICE_CREATE_CONFIG {
    ULONG Size;
    ULONG USBDClientContractVersion;
} WDF_USB_DEVICE_CREATE_CONFIG, *PWDF_USB_DEVICE_CREATE_CONFIG;

FORCEINLINE VOID WDF_USB_DEVICE_CREATE_CONFIG_INIT(_Out_ PWDF_USB_DEVICE_CREATE_CONFIG Config,
                                                   _In_ ULONG USBDClientContractVersion)
{
    RtlZeroMemory(Config, sizeof(WDF_USB_DEVICE_CREATE_CONFIG));
    Config->Size = sizeof(WDF_USB_DEVICE_CREATE_CONFIG);
    Config->USBDClientContractVersion = USBDClientContractVersion;
}

typedef enum _WdfUsbTargetDeviceSelectConfigType {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
    WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
} WdfUsbTargetDeviceSelectConfigType;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct {
            UCHAR NumberConfiguredPipes;
            WDFUSBINTERFACE ConfiguredUsbInterface;
        } SingleInterface;
    } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

FORCEINLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(
    _Out_ PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

typedef VOID EVT_WDF_USB_READER_COMPLETION_ROUTINE(_In_ WDFUSBPIPE Pipe, _In_ WDFMEMORY Buffer,
                                                   _In_ size_t NumBytesTransferred, _In_ WDFCONTEXT Context);
typedef EVT_WDF_USB_READER_COMPLETION_ROUTINE* PFN_WDF_USB_READER_COMPLETION_ROUTINE;
typedef BOOLEAN EVT_WDF_USB_READERS_FAILED(_In_ WDFUSBPIPE Pipe, _In_ NTSTATUS Status, _In_ USBD_STATUS UsbdStatus);
typedef EVT_WDF_USB_READERS_FAILED* PFN_WDF_USB_READERS_FAILED;

typedef struct _WDF_USB_CONTINUOUS_READER_CONFIG {
    ULONG Size;
    size_t TransferLength;
    size_t HeaderLength;
    size_t TrailerLength;
    UCHAR NumPendingReads;
    PWDF_OBJECT_ATTRIBUTES BufferAttributes;
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete;
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext;
    PFN_WDF_USB_READERS_FAILED EvtUsbTargetPipeReadersFailed;
} WDF_USB_CONTINUOUS_READER_CONFIG, *PWDF_USB_CONTINUOUS_READER_CONFIG;

FORCEINLINE VOID WDF_USB_CONTINUOUS_READER_CONFIG_INIT(
    _Out_ PWDF_USB_CONTINUOUS_READER_CONFIG Config, _In_ PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete,
    _In_ WDFCONTEXT EvtUsbTargetPipeReadCompleteContext, _In_ size_t TransferLength)
{
    RtlZeroMemory(Config, sizeof(WDF_USB_CONTINUOUS_READER_CONFIG));
    Config->Size = sizeof(WDF_USB_CONTINUOUS_READER_CONFIG);
    Config->EvtUsbTargetPipeReadComplete = EvtUsbTargetPipeReadComplete;
    Config->EvtUsbTargetPipeReadCompleteContext = EvtUsbTargetPipeReadCompleteContext;
    Config->TransferLength = TransferLength;
}

WDF_EXTERN_C {

NTSTATUS WdfUsbTargetDeviceCreateWithParameters(_In_ WDFDEVICE Device, _In_ PWDF_USB_DEVICE_CREATE_CONFIG Config,
                                                _In_opt_ PWDF_OBJECT_ATTRIBUTES Attributes,
                                                _Out_ WDFUSBDEVICE* UsbDevice);
NTSTATUS WdfUsbTargetDeviceSelectConfig(_In_ WDFUSBDEVICE UsbDevice, _In_opt_ PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        _Inout_ PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);
BYTE WdfUsbInterfaceGetNumConfiguredPipes(_In_ WDFUSBINTERFACE UsbInterface);
WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(_In_ WDFUSBINTERFACE UsbInterface, _In_ UCHAR PipeIndex,
                                            _Out_opt_ PWDF_USB_PIPE_INFORMATION PipeInfo);
BOOLEAN WdfUsbTargetPipeIsInEndpoint(_In_ WDFUSBPIPE Pipe);
VOID WdfUsbTargetPipeGetInformation(_In_ WDFUSBPIPE Pipe, _Out_ PWDF_USB_PIPE_INFORMATION PipeInformation);
VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(_In_ WDFUSBPIPE Pipe);
NTSTATUS WdfUsbTargetPipeConfigContinuousReader(_In_ WDFUSBPIPE Pipe, _In_ PWDF_USB_CONTINUOUS_READER_CONFIG Config);
NTSTATUS WdfUsbTargetPipeWriteSynchronously(_In_ WDFUSBPIPE Pipe, _In_opt_ WDFREQUEST Request,
                                            _In_opt_ PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                            _In_opt_ PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                            _Out_opt_ PULONG BytesWritten);
WDFIOTARGET WdfUsbTargetPipeGetIoTarget(_In_ WDFUSBPIPE Pipe);

} // WDF_EXTERN_C
