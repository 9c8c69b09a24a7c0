// The I/O manager: an application's handles and operations. It resolves a
// name to a device, refuses a second open of an exclusive one, allocates the
// requests (the IRPs) and hands them to the framework, and waits for them.
#include "host/io_manager/io_manager.h"

#include "host/framework/io_objects.h"
#include "host/framework/work_item.h"
#include "host/kernel/object_namespace.h"
#include "host/verifier/verifier.h"

#include <algorithm>

namespace host {

bool IoOperation::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(Lock);
    return Finished.wait_for(guard, timeout, [this] { return IsDone; });
}

uint64_t IoOperation::CompletionOrder()
{
    std::lock_guard<std::mutex> guard(Lock);
    return FinalOrder;
}

bool IoOperation::Done()
{
    std::lock_guard<std::mutex> guard(Lock);
    return IsDone;
}

NTSTATUS IoOperation::Status()
{
    std::lock_guard<std::mutex> guard(Lock);
    return FinalStatus;
}

ULONG_PTR IoOperation::Information()
{
    std::lock_guard<std::mutex> guard(Lock);
    return FinalInformation;
}

std::vector<uint8_t> IoOperation::Output()
{
    std::lock_guard<std::mutex> guard(Lock);
    return FinalOutput;
}

void IoOperation::Cancel() { CancelRequest(*this); }

bool IoOperation::DispatchReturnedPending()
{
    std::lock_guard<std::mutex> guard(Lock);
    return ReturnedPending;
}

void IoOperation::OnCompletion(std::function<void()> notify)
{
    {
        std::lock_guard<std::mutex> guard(Lock);
        if (!IsDone) {
            Notify = std::move(notify);
            return;
        }
    }
    notify();
}

namespace {

std::mutex g_observerLock;
std::function<std::optional<SentAnswer>(const SentRequest&)> g_observer;  // guarded by g_observerLock

std::optional<SentAnswer> Observe(const Request& request)
{
    std::function<std::optional<SentAnswer>(const SentRequest&)> observer;
    {
        std::lock_guard<std::mutex> guard(g_observerLock);
        observer = g_observer;
    }
    if (!observer) {
        return std::nullopt;
    }
    SentRequest sent{SentRequest::Type::DeviceControl, request.IoControlCode, {}, 0};
    switch (request.Kind) {
    case RequestKind::Read:
        sent.Kind = SentRequest::Type::Read;
        sent.OutputLength = static_cast<ULONG>(request.OutputLength);
        break;
    case RequestKind::Write:
        sent.Kind = SentRequest::Type::Write;
        sent.Input.assign(request.SystemBuffer.begin(), request.SystemBuffer.begin() + request.InputLength);
        break;
    default:
        sent.Input.assign(request.SystemBuffer.begin(), request.SystemBuffer.begin() + request.InputLength);
        sent.OutputLength = static_cast<ULONG>(request.OutputLength);
        break;
    }
    return observer(sent);
}

} // namespace

void ObserveSentRequests(std::function<std::optional<SentAnswer>(const SentRequest&)> observer)
{
    std::lock_guard<std::mutex> guard(g_observerLock);
    g_observer = std::move(observer);
}

FileHandle::~FileHandle()
{
    if (File != nullptr) {
        Close();
    }
}

std::shared_ptr<IoOperation> FileHandle::Send(Request* request)
{
    std::shared_ptr<IoOperation> op = request->Op;
    {
        // A weak reference keeps a finished operation's memory (made with its
        // control block) alive, so a long-lived handle drops them as it goes.
        std::lock_guard<std::mutex> guard(OperationsLock);
        Operations.erase(std::remove_if(Operations.begin(), Operations.end(),
                                        [](const std::weak_ptr<IoOperation>& weak) { return weak.expired(); }),
                         Operations.end());
        Operations.push_back(op);
    }
    if (auto answer = Observe(*request)) {
        const size_t length = std::min<size_t>(answer->Output.size(), request->OutputLength);
        std::copy_n(answer->Output.begin(), length, request->SystemBuffer.begin());
        {
            std::lock_guard<std::mutex> guard(g_ioLock);
            request->File->Outstanding++;
            FinishLocked(request, answer->Status, length);
        }
        DeleteRequest(request);
        return op;
    }
    DispatchToQueue(request);
    return op;
}

NTSTATUS FileHandle::Flush()
{
    if (File == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    return DispatchFlush(File);
}

std::shared_ptr<IoOperation> FileHandle::FlushAsync()
{
    if (File == nullptr) {
        Bugcheck("FlushAsync on a closed handle");
    }
    auto op = std::make_shared<IoOperation>();
    {
        std::lock_guard<std::mutex> guard(OperationsLock);
        FlushThreads.emplace_back([file = File, op] {
            t_blockObserver = {[](void* context) {
                                   auto* operation = static_cast<IoOperation*>(context);
                                   {
                                       std::lock_guard<std::mutex> opGuard(operation->Lock);
                                       operation->SenderBlocked = true;
                                   }
                                   operation->Finished.notify_all();
                               },
                               op.get()};
            uint64_t order = 0;
            const NTSTATUS status = DispatchFlush(file, &order);
            t_blockObserver = {nullptr, nullptr};
            {
                std::lock_guard<std::mutex> opGuard(op->Lock);
                op->IsDone = true;
                op->FinalStatus = status;
                op->FinalOrder = order;
            }
            op->Finished.notify_all();
        });
    }
    std::unique_lock<std::mutex> opGuard(op->Lock);
    if (!op->Finished.wait_for(opGuard, std::chrono::milliseconds(g_completionLimitMs.load()),
                               [&op] { return op->IsDone || op->SenderBlocked; })) {
        Bugcheck("a flush neither ended nor waited in the driver");
    }
    return op;
}

std::shared_ptr<IoOperation> FileHandle::ReadAsync(ULONG length)
{
    auto* request = new Request(RequestKind::Read, File);
    request->OutputLength = length;
    request->SystemBuffer.assign(length, 0);
    return Send(request);
}

std::shared_ptr<IoOperation> FileHandle::WriteAsync(const std::vector<uint8_t>& data)
{
    auto* request = new Request(RequestKind::Write, File);
    request->InputLength = data.size();
    request->SystemBuffer.assign(data.begin(), data.end());
    return Send(request);
}

std::shared_ptr<IoOperation> FileHandle::DeviceIoControlAsync(ULONG code, const std::vector<uint8_t>& input,
                                                              ULONG outputLength)
{
    if ((code & 3) != METHOD_BUFFERED) {
        Bugcheck("DeviceIoControl: only METHOD_BUFFERED control codes are modelled");
    }
    auto* request = new Request(RequestKind::DeviceControl, File);
    request->IoControlCode = code;
    request->InputLength = input.size();
    request->OutputLength = outputLength;
    request->SystemBuffer.assign(std::max<size_t>(input.size(), outputLength), 0);
    std::copy(input.begin(), input.end(), request->SystemBuffer.begin());
    return Send(request);
}

NTSTATUS FileHandle::Read(ULONG length, std::vector<uint8_t>& data)
{
    auto op = ReadAsync(length);
    if (!op->Wait()) {
        Bugcheck("a synchronous read did not complete");
    }
    data = op->Output();
    return op->Status();
}

NTSTATUS FileHandle::Write(const std::vector<uint8_t>& data, ULONG* written)
{
    auto op = WriteAsync(data);
    if (!op->Wait()) {
        Bugcheck("a synchronous write did not complete");
    }
    if (written != nullptr) {
        *written = static_cast<ULONG>(op->Information());
    }
    return op->Status();
}

NTSTATUS FileHandle::DeviceIoControl(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength,
                                     std::vector<uint8_t>* output, ULONG_PTR* information)
{
    auto op = DeviceIoControlAsync(code, input, outputLength);
    if (!op->Wait()) {
        Bugcheck("a synchronous device control 0x%X did not complete", code);
    }
    if (output != nullptr) {
        *output = op->Output();
    }
    if (information != nullptr) {
        *information = op->Information();
    }
    return op->Status();
}

void FileHandle::CancelAll()
{
    std::vector<std::shared_ptr<IoOperation>> live;
    {
        std::lock_guard<std::mutex> guard(OperationsLock);
        for (auto& weak : Operations) {
            if (auto op = weak.lock()) {
                live.push_back(op);
            }
        }
    }
    for (auto& op : live) {
        op->Cancel();
    }
}

// Cleanup, then the close once every request of the file has ended.
void FileHandle::Close()
{
    RequirePassive("CloseHandle");
    FrameworkDevice* device = File->Owner;
    DispatchCleanup(File);
    DispatchClose(File);
    std::vector<std::thread> flushes;
    {
        std::lock_guard<std::mutex> guard(OperationsLock);
        flushes.swap(FlushThreads);
    }
    for (std::thread& flush : flushes) {
        flush.join();  // each has ended: the close waited for every request of the file
    }
    DeleteObject(File);
    File = nullptr;
    device->OpenHandles--;
}

NTSTATUS OpenDevice(const std::string& name, std::unique_ptr<FileHandle>& handle)
{
    RequirePassive("CreateFile");
    handle.reset();
    FrameworkDevice* device = LookupSymbolicLink(name);
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // A create is not held by power management: the framework answers it in
    // FxPkgGeneral::OnCreate (fxpkggeneral.cpp), outside the power-managed
    // queues, whatever the device's power state.
    if (device->IsDeleting() || device->Removed) {
        return STATUS_DELETE_PENDING;
    }
    // The I/O manager checks exclusivity on the object the name resolves to.
    // A link of an unnamed FDO names its PDO (fxdevicekm.cpp,
    // FxDevice::CreateSymbolicLink uses DevicePropertyPhysicalDeviceObjectName),
    // so the PDO's flag counts and a flag set on such an FDO has no effect
    // (documentation: "Specifying Exclusive Access to Device Objects").
    FrameworkDevice* named = device;
    if (!device->IsPdo() && device->Init.Physical != nullptr && device->Init.Physical->Pdo != nullptr) {
        named = device->Init.Physical->Pdo;
    }
    if (named->Init.Exclusive) {
        int none = 0;
        if (!device->OpenHandles.compare_exchange_strong(none, 1)) {
            return STATUS_ACCESS_DENIED;  // refused by the I/O manager; the driver hears nothing
        }
    } else {
        device->OpenHandles++;
    }
    auto* file = new FileObject(device);
    const NTSTATUS status = DispatchCreate(device, file);
    if (!NT_SUCCESS(status)) {
        DeleteObject(file);
        device->OpenHandles--;
        return status;
    }
    handle.reset(new FileHandle(file));
    return STATUS_SUCCESS;
}

void SetRequestCompletionLimit(std::chrono::milliseconds limit) { g_completionLimitMs = limit.count(); }

} // namespace host
