// USB target device, interface and pipes; the continuous reader; synchronous
// writes. Transfers cross to the device model through a UsbConnection.
#include "host/framework/usb_target.h"

#include "host/usb/cable.h"

#include "host/framework/creation.h"
#include "host/framework/device.h"
#include "host/framework/memory.h"
#include "host/framework/work_item.h"
#include "host/kernel/time_scale.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <wdfusb.h>

#include <atomic>
#include <functional>
#include <thread>

namespace host {

namespace {

std::atomic<int> g_concurrentReadCompletions{1};
std::atomic<int64_t> g_unboundedWriteLimitMs{20000};

// The framework's default number of reads a continuous reader keeps in flight.
constexpr UCHAR kDefaultPendingReads = 2;

WDF_USB_PIPE_TYPE PipeTypeOf(UsbEndpointType type)
{
    switch (type) {
    case UsbEndpointType::Control: return WdfUsbPipeTypeControl;
    case UsbEndpointType::Isochronous: return WdfUsbPipeTypeIsochronous;
    case UsbEndpointType::Bulk: return WdfUsbPipeTypeBulk;
    case UsbEndpointType::Interrupt: return WdfUsbPipeTypeInterrupt;
    }
    return WdfUsbPipeTypeInvalid;
}

class UsbTargetDevice final : public Object {
public:
    UsbTargetDevice(Object* parent, std::shared_ptr<UsbConnection> connection, ULONG contractVersion)
        : Object(ObjectType::UsbDevice, parent), Connection(std::move(connection)), ContractVersion(contractVersion)
    {
    }
    // Selects the device's one interface with a pipe for each endpoint the
    // device reports; a new selection replaces the interface and its pipes.
    NTSTATUS SelectSingleInterface(class UsbInterface** selected);

    std::shared_ptr<UsbConnection> Connection;
    ULONG ContractVersion;
    Object* ConfiguredInterface = nullptr;
};

class UsbInterface final : public Object {
public:
    explicit UsbInterface(UsbTargetDevice* device) : Object(ObjectType::UsbInterface, device), Device(device) {}
    UsbTargetDevice* Device;
    std::vector<class UsbPipe*> Pipes;
};

class UsbPipe final : public Object {
public:
    UsbPipe(UsbInterface* usbInterface, const UsbEndpointDescriptor& endpoint)
        : Object(ObjectType::UsbPipe, usbInterface), Connection(usbInterface->Device->Connection), Endpoint(endpoint)
    {
    }

    void Quiesce() override { StopReader(); }

    NTSTATUS Start();
    void Stop(WDF_IO_TARGET_SENT_IO_ACTION action);
    NTSTATUS ConfigureReader(const WDF_USB_CONTINUOUS_READER_CONFIG& config);
    NTSTATUS WriteSynchronously(const unsigned char* data, size_t length, const WDF_REQUEST_SEND_OPTIONS* options,
                                ULONG* bytesWritten);

    WDFUSBPIPE Handle() { return reinterpret_cast<WDFUSBPIPE>(this); }

    std::shared_ptr<UsbConnection> Connection;
    UsbEndpointDescriptor Endpoint;
    bool NoMaximumPacketSizeCheck = false;

private:
    void StopReader();
    void ReaderLoop(Memory* buffer);
    void DeliverFailure(NTSTATUS status);

    std::atomic<bool> Started{true};  // a pipe's target is started once configured, except one that carries a reader
    std::atomic<uint64_t> CancelGeneration{0};
    bool HasReader = false;
    WDF_USB_CONTINUOUS_READER_CONFIG Reader{};
    std::vector<Memory*> ReadBuffers;
    std::vector<std::thread> ReaderThreads;
    std::atomic<bool> ReadersRunning{false};
};

NTSTATUS UsbTargetDevice::SelectSingleInterface(UsbInterface** selected)
{
    if (!Connection->Plugged()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (ConfiguredInterface != nullptr) {
        DeleteObject(ConfiguredInterface);
        ConfiguredInterface = nullptr;
    }
    auto* usbInterface = new UsbInterface(this);
    for (const auto& endpoint : Connection->Model().Endpoints()) {
        usbInterface->Pipes.push_back(new UsbPipe(usbInterface, endpoint));
    }
    ConfiguredInterface = usbInterface;
    *selected = usbInterface;
    return STATUS_SUCCESS;
}

UsbPipe* PipeFromHandle(const void* handle, const char* operation)
{
    return FromHandleAs<UsbPipe>(handle, ObjectType::UsbPipe, operation);
}

NTSTATUS UsbPipe::ConfigureReader(const WDF_USB_CONTINUOUS_READER_CONFIG& config)
{
    if (!Endpoint.IsIn()) {
        Bugcheck("WdfUsbTargetPipeConfigContinuousReader on an OUT pipe");
    }
    if (Endpoint.Type != UsbEndpointType::Bulk && Endpoint.Type != UsbEndpointType::Interrupt) {
        Bugcheck("WdfUsbTargetPipeConfigContinuousReader on a pipe that is neither bulk nor interrupt");
    }
    if (config.Size != sizeof(WDF_USB_CONTINUOUS_READER_CONFIG) || config.EvtUsbTargetPipeReadComplete == nullptr ||
        config.TransferLength == 0) {
        Bugcheck("WdfUsbTargetPipeConfigContinuousReader: configuration not initialised with "
                 "WDF_USB_CONTINUOUS_READER_CONFIG_INIT");
    }
    if (HasReader) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!NoMaximumPacketSizeCheck && config.TransferLength % Endpoint.MaximumPacketSize != 0) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    const UCHAR pending = config.NumPendingReads != 0 ? config.NumPendingReads : kDefaultPendingReads;
    const size_t bufferLength = config.HeaderLength + config.TransferLength + config.TrailerLength;
    for (UCHAR i = 0; i < pending; ++i) {
        ReadBuffers.push_back(new Memory(this, bufferLength));
    }
    Reader = config;
    HasReader = true;
    Started = false;
    return STATUS_SUCCESS;
}

NTSTATUS UsbPipe::Start()
{
    if (Started) {
        return STATUS_SUCCESS;
    }
    Started = true;
    if (HasReader) {
        ReadersRunning = true;
        Connection->NoteReaderStarted(Endpoint.Address, 1);
        const size_t threads =
            std::min(ReadBuffers.size(), static_cast<size_t>(std::max(1, g_concurrentReadCompletions.load())));
        for (size_t i = 0; i < threads; ++i) {
            ReaderThreads.emplace_back([this, buffer = ReadBuffers[i]] { ReaderLoop(buffer); });
        }
    }
    return STATUS_SUCCESS;
}

void UsbPipe::StopReader()
{
    if (ReadersRunning.exchange(false)) {
        Connection->NoteReaderStarted(Endpoint.Address, -1);
    }
    Connection->Notify();
    for (auto& thread : ReaderThreads) {
        if (thread.get_id() == std::this_thread::get_id()) {
            Bugcheck("the continuous reader's pipe was stopped or deleted from its own completion routine");
        }
        thread.join();
    }
    ReaderThreads.clear();
}

void UsbPipe::Stop(WDF_IO_TARGET_SENT_IO_ACTION action)
{
    if (action == WdfIoTargetLeaveSentIoPending) {
        Bugcheck("WdfIoTargetStop with WdfIoTargetLeaveSentIoPending is not modelled");
    }
    // Stopping cancels what was sent and waits for it to come back
    // (fxiotarget.cpp, FxIoTarget::Stop with WdfIoTargetCancelSentIo): it must
    // be able to wait.
    RequirePassive("WdfIoTargetStop");
    Started = false;
    CancelGeneration++;
    StopReader();
}

void UsbPipe::ReaderLoop(Memory* buffer)
{
    const uint8_t endpoint = Endpoint.Address;
    for (;;) {
        UsbConnection::InTransfer transfer;
        if (!Connection->TakeIn(endpoint, Reader.TransferLength, transfer, [this] { return !ReadersRunning; })) {
            return;
        }
        struct ReadDoneOnExit {
            UsbConnection& Connection;
            ~ReadDoneOnExit() { Connection.ReadDone(); }
        } readDone{*Connection};
        const NTSTATUS status = transfer.Status;
        if (!NT_SUCCESS(status)) {
            DeliverFailure(status);
            if (!ReadersRunning) {
                return;
            }
            continue;
        }
        std::copy(transfer.Bytes.begin(), transfer.Bytes.end(), buffer->Bytes.begin() + Reader.HeaderLength);
        CallbackScope scope("EvtUsbTargetPipeReadComplete", DISPATCH_LEVEL, true);
        Reader.EvtUsbTargetPipeReadComplete(Handle(), buffer->Handle(), transfer.Bytes.size(),
                                            Reader.EvtUsbTargetPipeReadCompleteContext);
    }
}

// A failed read is handled as the framework does (fxusbpipe.cpp,
// FxUsbPipeContinuousReader::FxUsbPipeRequestWorkItemHandler): no read of this
// reader completes meanwhile, EvtUsbTargetPipeReadersFailed runs at
// PASSIVE_LEVEL in a system work item, not in the completion, and only when it
// returns TRUE (or there is no callback) and the device is still connected
// (FxUsbDevice::IsConnected) is the pipe reset and reading resumed; otherwise
// the reader stays stopped. The stand-in runs the work item on a thread of its
// own that the failing reader waits for; with one read in flight (the bus's
// setting) nothing else of the reader runs meanwhile either way.
void UsbPipe::DeliverFailure(NTSTATUS status)
{
    BOOLEAN restart = TRUE;
    if (Reader.EvtUsbTargetPipeReadersFailed != nullptr) {
        std::thread workItem([this, status, &restart] {
            CallbackScope scope("EvtUsbTargetPipeReadersFailed", PASSIVE_LEVEL, false);
            restart = Reader.EvtUsbTargetPipeReadersFailed(Handle(), status, 0);
        });
        workItem.join();
    }
    if ((!restart || !Connection->Plugged()) && ReadersRunning.exchange(false)) {
        Connection->NoteReaderStarted(Endpoint.Address, -1);
    }
}

NTSTATUS UsbPipe::WriteSynchronously(const unsigned char* data, size_t length, const WDF_REQUEST_SEND_OPTIONS* options,
                                     ULONG* bytesWritten)
{
    if (Endpoint.IsIn()) {
        Bugcheck("WdfUsbTargetPipeWriteSynchronously on an IN pipe");
    }
    RequireNotOnPowerUpPath("WdfUsbTargetPipeWriteSynchronously");
    bool hasDeadline = false;
    auto deadline = std::chrono::steady_clock::now();
    bool ignoreTargetState = false;
    if (options != nullptr) {
        if (options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
            Bugcheck("WdfUsbTargetPipeWriteSynchronously: send options not initialised with "
                     "WDF_REQUEST_SEND_OPTIONS_INIT");
        }
        ignoreTargetState = (options->Flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0;
        if ((options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 && options->Timeout != 0) {
            if (options->Timeout > 0) {
                Bugcheck("WdfUsbTargetPipeWriteSynchronously: absolute time-outs are not modelled");
            }
            hasDeadline = true;
            deadline += KernelIntervalToReal(-options->Timeout);
        }
    }
    if (!Started && !ignoreTargetState) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // A write whose time-out expires is cancelled and ends with
    // STATUS_IO_TIMEOUT (fxiotarget.cpp, FxIoTarget::SubmitSync).
    const uint64_t generation = CancelGeneration;
    const UsbConnection::OutSubmission submission = Connection->SubmitOut(Endpoint.Address, data, length);
    const UsbOutResult& result = submission.Result;
    NTSTATUS status = result.Status;
    if (result.Outcome == UsbOutResult::Kind::NeverCompletes) {
        const auto limit = std::chrono::milliseconds(g_unboundedWriteLimitMs.load());
        WorkerBlockedScope blocked;
        status = Connection->WaitHungWrite(hasDeadline ? deadline : std::chrono::steady_clock::now() + limit, true,
                                           [this, generation] { return CancelGeneration != generation; });
        if (status == STATUS_IO_TIMEOUT && !hasDeadline) {
            Bugcheck("a synchronous write on the OUT pipe without a time-out never completed: the device does not "
                     "take the transfer, and the writing thread would wait forever");
        }
    }
    Connection->CompleteOut(submission, Endpoint.Address, status);
    if (bytesWritten != nullptr) {
        *bytesWritten = NT_SUCCESS(status) ? static_cast<ULONG>(length) : 0;
    }
    return status;
}

} // namespace

void SetConcurrentReadCompletions(int count) { g_concurrentReadCompletions = count; }
void SetUnboundedWriteLimit(std::chrono::milliseconds limit) { g_unboundedWriteLimitMs = limit.count(); }

} // namespace host

using host::ObjectType;

extern "C" NTSTATUS WdfUsbTargetDeviceCreateWithParameters(WDFDEVICE Device, PWDF_USB_DEVICE_CREATE_CONFIG Config,
                                                           PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice)
{
    *UsbDevice = nullptr;
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfUsbTargetDeviceCreateWithParameters");
    if (Config == nullptr || Config->Size != sizeof(WDF_USB_DEVICE_CREATE_CONFIG)) {
        host::Bugcheck("WdfUsbTargetDeviceCreateWithParameters: configuration not initialised with "
                       "WDF_USB_DEVICE_CREATE_CONFIG_INIT");
    }
    constexpr const char* operation = "WdfUsbTargetDeviceCreateWithParameters";
    if (NTSTATUS failed = host::BeginCreation(operation, PASSIVE_LEVEL); !NT_SUCCESS(failed)) {
        return failed;
    }
    if (!device->Init.Physical || !device->Init.Physical->Usb) {
        host::EndCreation(operation);
        return STATUS_NOT_SUPPORTED;
    }
    host::UsbTargetDevice* target;
    NTSTATUS status = host::FinishCreation(operation, Attributes, device, &target, [device, Config](host::Object* parent) {
        return new host::UsbTargetDevice(parent, device->Init.Physical->Usb, Config->USBDClientContractVersion);
    });
    *UsbDevice = reinterpret_cast<WDFUSBDEVICE>(target);
    return status;
}

extern "C" NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                                   PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    host::RequirePassive("WdfUsbTargetDeviceSelectConfig");
    auto* device = host::FromHandleAs<host::UsbTargetDevice>(UsbDevice, ObjectType::UsbDevice,
                                                             "WdfUsbTargetDeviceSelectConfig");
    if (PipeAttributes != nullptr) {
        host::Bugcheck("WdfUsbTargetDeviceSelectConfig: pipe attributes are not modelled");
    }
    if (Params == nullptr || Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS) ||
        Params->Type != WdfUsbTargetDeviceSelectConfigTypeSingleInterface) {
        host::Bugcheck("WdfUsbTargetDeviceSelectConfig: only the single-interface selection is modelled");
    }
    if (auto failure = host::InjectedFailure("WdfUsbTargetDeviceSelectConfig")) {
        return *failure;
    }
    host::UsbInterface* usbInterface;
    if (NTSTATUS status = device->SelectSingleInterface(&usbInterface); !NT_SUCCESS(status)) {
        return status;
    }
    Params->Types.SingleInterface.ConfiguredUsbInterface = reinterpret_cast<WDFUSBINTERFACE>(usbInterface);
    Params->Types.SingleInterface.NumberConfiguredPipes = static_cast<UCHAR>(usbInterface->Pipes.size());
    return STATUS_SUCCESS;
}

extern "C" BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface)
{
    auto* usbInterface = host::FromHandleAs<host::UsbInterface>(UsbInterface, ObjectType::UsbInterface,
                                                                "WdfUsbInterfaceGetNumConfiguredPipes");
    return static_cast<BYTE>(usbInterface->Pipes.size());
}

extern "C" VOID WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation)
{
    auto* pipe = host::PipeFromHandle(Pipe, "WdfUsbTargetPipeGetInformation");
    if (PipeInformation->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
        host::Bugcheck("WDF_USB_PIPE_INFORMATION not initialised with WDF_USB_PIPE_INFORMATION_INIT");
    }
    PipeInformation->MaximumPacketSize = pipe->Endpoint.MaximumPacketSize;
    PipeInformation->EndpointAddress = pipe->Endpoint.Address;
    PipeInformation->Interval = 0;
    PipeInformation->SettingIndex = 0;
    PipeInformation->PipeType = host::PipeTypeOf(pipe->Endpoint.Type);
    PipeInformation->MaximumTransferSize = 0;
}

extern "C" WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                                       PWDF_USB_PIPE_INFORMATION PipeInfo)
{
    auto* usbInterface = host::FromHandleAs<host::UsbInterface>(UsbInterface, ObjectType::UsbInterface,
                                                                "WdfUsbInterfaceGetConfiguredPipe");
    if (PipeIndex >= usbInterface->Pipes.size()) {
        return nullptr;
    }
    host::UsbPipe* pipe = usbInterface->Pipes[PipeIndex];
    if (PipeInfo != nullptr) {
        WdfUsbTargetPipeGetInformation(pipe->Handle(), PipeInfo);
    }
    return pipe->Handle();
}

extern "C" BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe)
{
    return host::PipeFromHandle(Pipe, "WdfUsbTargetPipeIsInEndpoint")->Endpoint.IsIn() ? TRUE : FALSE;
}

extern "C" VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe)
{
    host::PipeFromHandle(Pipe, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck")->NoMaximumPacketSizeCheck = true;
}

extern "C" NTSTATUS WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE Pipe, PWDF_USB_CONTINUOUS_READER_CONFIG Config)
{
    host::RequirePassive("WdfUsbTargetPipeConfigContinuousReader");
    auto* pipe = host::PipeFromHandle(Pipe, "WdfUsbTargetPipeConfigContinuousReader");
    if (auto failure = host::InjectedFailure("WdfUsbTargetPipeConfigContinuousReader")) {
        return *failure;
    }
    return pipe->ConfigureReader(*Config);
}

extern "C" NTSTATUS WdfUsbTargetPipeWriteSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                       PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                       PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesWritten)
{
    host::RequirePassive("WdfUsbTargetPipeWriteSynchronously");
    auto* pipe = host::PipeFromHandle(Pipe, "WdfUsbTargetPipeWriteSynchronously");
    if (Request != nullptr) {
        host::Bugcheck("WdfUsbTargetPipeWriteSynchronously: sending on a driver's request is not modelled");
    }
    const unsigned char* data = nullptr;
    size_t length = 0;
    if (MemoryDescriptor != nullptr) {
        switch (MemoryDescriptor->Type) {
        case WdfMemoryDescriptorTypeBuffer:
            data = static_cast<const unsigned char*>(MemoryDescriptor->u.BufferType.Buffer);
            length = MemoryDescriptor->u.BufferType.Length;
            break;
        case WdfMemoryDescriptorTypeHandle: {
            auto* memory = host::FromHandleAs<host::Memory>(MemoryDescriptor->u.HandleType.Memory,
                                                            ObjectType::Memory, "WdfUsbTargetPipeWriteSynchronously");
            size_t offset = 0;
            length = memory->Bytes.size();
            if (auto* offsets = MemoryDescriptor->u.HandleType.Offsets) {
                offset = offsets->BufferOffset;
                length = offsets->BufferLength;
                if (offset + length > memory->Bytes.size()) {
                    host::Bugcheck("WdfUsbTargetPipeWriteSynchronously: offsets beyond the memory object");
                }
            }
            data = memory->Bytes.data() + offset;
            break;
        }
        default:
            host::Bugcheck("WdfUsbTargetPipeWriteSynchronously: memory descriptor type %d is not modelled",
                           MemoryDescriptor->Type);
        }
    }
    if (auto failure = host::InjectedFailure("WdfUsbTargetPipeWriteSynchronously")) {
        return *failure;
    }
    return pipe->WriteSynchronously(data, length, RequestOptions, BytesWritten);
}

extern "C" WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe)
{
    return reinterpret_cast<WDFIOTARGET>(host::PipeFromHandle(Pipe, "WdfUsbTargetPipeGetIoTarget"));
}

extern "C" NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget)
{
    host::RequireMaxDispatch("WdfIoTargetStart");
    auto* pipe = host::PipeFromHandle(IoTarget, "WdfIoTargetStart");
    if (auto failure = host::InjectedFailure("WdfIoTargetStart")) {
        return *failure;
    }
    return pipe->Start();
}

extern "C" VOID WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action)
{
    host::PipeFromHandle(IoTarget, "WdfIoTargetStop")->Stop(Action);
}
