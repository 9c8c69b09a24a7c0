// Queues, requests, file objects and the I/O manager.
//
// One lock (the I/O lock) guards every queue's and request's bookkeeping; no
// driver code runs while it is held. A request is, at any moment, in exactly
// one of three places: waiting in a queue, held by the driver, or completed.
#include "host/framework/io.h"

#include "host/verifier/fault_injection.h"
#include "host/kernel/registry.h"
#include "host/verifier/verifier.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <thread>
#include <unordered_set>

namespace host {

class Queue;
class Request;

namespace {

std::mutex g_ioLock;
std::condition_variable g_ioChanged;
std::atomic<int64_t> g_completionLimitMs{20000};
std::atomic<uint64_t> g_completionOrder{0};
std::unordered_set<const void*> g_completedRequests;  // guarded by g_ioLock: handles of completed requests
std::unordered_set<Queue*> g_liveQueues;        // guarded by g_ioLock
std::unordered_set<Request*> g_liveRequests;    // guarded by g_ioLock: every request not yet deleted

enum class RequestKind { Create, Read, Write, DeviceControl };

} // namespace

class Queue;

class FileObject final : public Object {
public:
    explicit FileObject(class Device* device) : Object(ObjectType::FileObject, device), Owner(device) {}
    class Device* Owner;
    int Outstanding = 0;  // requests of this file not yet completed; guarded by the I/O lock
};

class Request final : public Object {
public:
    Request(RequestKind kind, FileObject* file) : Object(ObjectType::Request, nullptr), Kind(kind), File(file)
    {
        Op = std::make_shared<IoOperation>();
        Op->Pending = this;
        std::lock_guard<std::mutex> guard(g_ioLock);
        g_completedRequests.erase(this);  // the address of a completed request may be reused
        g_liveRequests.insert(this);
    }
    ~Request() override
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        g_liveRequests.erase(this);
    }
    WDFREQUEST Handle() { return reinterpret_cast<WDFREQUEST>(this); }

    RequestKind Kind;
    FileObject* File;
    std::shared_ptr<IoOperation> Op;
    ULONG IoControlCode = 0;
    size_t InputLength = 0;
    size_t OutputLength = 0;
    std::vector<unsigned char> SystemBuffer;  // one buffer for input and output, as buffered I/O has it

    // Guarded by the I/O lock.
    Queue* CurrentQueue = nullptr;  // the queue it waits in or was last taken from
    bool HeldByDriver = false;
    bool CancelRequested = false;
    bool StopNotified = false;        // EvtIoStop was called and the driver has not yet acknowledged or completed
    int Pins = 0;                     // the stand-in is calling the driver with this request: deletion waits
    bool DeleteWhenUnpinned = false;

    size_t Length() const { return Kind == RequestKind::Read ? OutputLength : InputLength; }

    void FinishOperation(NTSTATUS status, ULONG_PTR information, std::vector<uint8_t> output)
    {
        {
            std::lock_guard<std::mutex> opGuard(Op->Lock);
            Op->Pending = nullptr;
            Op->FinalStatus = status;
            Op->FinalInformation = information;
            Op->FinalOutput = std::move(output);
            Op->FinalOrder = ++g_completionOrder;
            Op->IsDone = true;
        }
        Op->Finished.notify_all();
    }
};

class Queue final : public Object {
public:
    Queue(class Device* device, const WDF_IO_QUEUE_CONFIG& config, bool powerManaged)
        : Object(ObjectType::Queue, device), Owner(device), Config(config), PowerManaged(powerManaged)
    {
    }
    WDFQUEUE Handle() { return reinterpret_cast<WDFQUEUE>(this); }
    bool Dispatches() const { return Config.DispatchType != WdfIoQueueDispatchManual; }

    void StartDispatcher() { Dispatcher = std::thread([this] { DispatchLoop(); }); }
    void Quiesce() override;
    void DispatchLoop();

    class Device* Owner;
    WDF_IO_QUEUE_CONFIG Config;
    bool PowerManaged;

    // Guarded by the I/O lock.
    std::deque<Request*> Waiting;
    ULONG HeldByDriver = 0;
    bool Powered = true;
    bool PowerUpPresenting = false;  // the power-up thread presents this queue's requests; the dispatcher waits
    std::condition_variable Ready;   // with the I/O lock: the dispatcher's condition may have changed
    bool Purged = false;
    bool Stopping = false;
    unsigned DispatchedTypes = 0;    // bits (1 << WDF_REQUEST_TYPE) routed here by WdfDeviceConfigureRequestDispatching

    // Calls the driver's callback for a request the queue has just handed it.
    void Present(Request* request);

private:
    std::thread Dispatcher;
};

namespace {

std::vector<Queue*> QueuesOf(Device* device)
{
    std::vector<Queue*> queues;
    for (Object* child : device->ChildrenOfType(ObjectType::Queue)) {
        queues.push_back(static_cast<Queue*>(child));
    }
    return queues;
}

Queue* DefaultQueueOf(Device* device)
{
    for (Queue* queue : QueuesOf(device)) {
        if (queue->Config.DefaultQueue) {
            return queue;
        }
    }
    return nullptr;
}

WDF_REQUEST_TYPE TypeOf(RequestKind kind)
{
    switch (kind) {
    case RequestKind::Create:
        return WdfRequestTypeCreate;
    case RequestKind::Read:
        return WdfRequestTypeRead;
    case RequestKind::Write:
        return WdfRequestTypeWrite;
    case RequestKind::DeviceControl:
        break;
    }
    return WdfRequestTypeDeviceControl;
}

Request* RequestFromHandle(WDFREQUEST handle, const char* operation)
{
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        if (g_completedRequests.count(handle) != 0) {
            Bugcheck("%s: request %p was completed already", operation, static_cast<void*>(handle));
        }
    }
    return FromHandleAs<Request>(handle, ObjectType::Request, operation);
}

Request* OwnedRequest(WDFREQUEST handle, const char* operation)
{
    Request* request = RequestFromHandle(handle, operation);
    std::lock_guard<std::mutex> guard(g_ioLock);
    if (!request->HeldByDriver) {
        Bugcheck("%s: request %p waits in a queue; the driver does not own it", operation,
                 static_cast<void*>(handle));
    }
    return request;
}

// Ends a request: the application sees its status, information and data. The
// caller holds the I/O lock and has taken the request out of every queue.
void FinishLocked(Request* request, NTSTATUS status, ULONG_PTR information)
{
    if (request->HeldByDriver && request->CurrentQueue != nullptr) {
        request->CurrentQueue->HeldByDriver--;
        request->CurrentQueue->Ready.notify_all();
    }
    request->HeldByDriver = false;
    request->File->Outstanding--;
    g_completedRequests.insert(request);
    std::vector<uint8_t> output;
    if (NT_SUCCESS(status) && (request->Kind == RequestKind::Read || request->Kind == RequestKind::DeviceControl)) {
        output.assign(request->SystemBuffer.begin(), request->SystemBuffer.begin() + information);
    }
    request->FinishOperation(status, information, std::move(output));
    g_ioChanged.notify_all();
    Counters().RequestsCompleted++;
}

void DeleteRequest(Request* request)
{
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        if (request->Pins != 0) {
            request->DeleteWhenUnpinned = true;
            return;
        }
    }
    DeleteObject(request);
}

// Puts a request into a queue. A request whose cancellation was asked for
// while the driver held it is cancelled as soon as it is back in a queue.
// Returns the request if the caller must delete it (it was cancelled).
Request* InsertLocked(Queue* queue, Request* request, bool atHead)
{
    if (request->HeldByDriver && request->CurrentQueue != nullptr) {
        request->CurrentQueue->HeldByDriver--;
        request->CurrentQueue->Ready.notify_all();
    }
    request->HeldByDriver = false;
    request->StopNotified = false;
    request->CurrentQueue = queue;
    if (request->CancelRequested || queue->Purged) {
        FinishLocked(request, STATUS_CANCELLED, 0);
        return request;
    }
    if (atHead) {
        queue->Waiting.push_front(request);
    } else {
        queue->Waiting.push_back(request);
    }
    queue->Ready.notify_all();
    g_ioChanged.notify_all();
    return nullptr;
}

// Takes every waiting request that `match` selects out of the queue and
// cancels it. The caller holds the I/O lock.
void CancelWaitingLocked(Queue* queue, const std::function<bool(Request*)>& match, std::vector<Request*>& finished)
{
    for (auto it = queue->Waiting.begin(); it != queue->Waiting.end();) {
        if (match(*it)) {
            Request* request = *it;
            it = queue->Waiting.erase(it);
            FinishLocked(request, STATUS_CANCELLED, 0);
            finished.push_back(request);
        } else {
            ++it;
        }
    }
}

} // namespace

void Queue::DispatchLoop()
{
    std::unique_lock<std::mutex> guard(g_ioLock);
    for (;;) {
        // A sequential queue presents the next request only once the driver
        // holds none of its requests (fxioqueue.cpp, FxIoQueue::DispatchEvents).
        Ready.wait(guard, [this] {
            return Stopping || (Powered && !PowerUpPresenting && HeldByDriver == 0 && !Waiting.empty());
        });
        if (Stopping) {
            return;
        }
        Request* request = Waiting.front();
        Waiting.pop_front();
        request->HeldByDriver = true;
        request->CurrentQueue = this;
        HeldByDriver++;
        guard.unlock();
        Present(request);
        guard.lock();
    }
}

// The framework presents a request on whichever thread queues it or ends the
// one before it (fxioqueue.cpp, FxIoQueue::DispatchEvents); the stand-in uses
// a dispatcher thread per queue instead, an ordinary PASSIVE_LEVEL thread as
// an application's would be. The one place where the thread matters, the
// power-up, is modelled as Windows does it (PowerUpQueues).
void Queue::Present(Request* request)
{
    CallbackScope scope("I/O queue callback", PASSIVE_LEVEL, true);
    switch (request->Kind) {
    case RequestKind::Read:
        Config.EvtIoRead(Handle(), request->Handle(), request->OutputLength);
        break;
    case RequestKind::Write:
        Config.EvtIoWrite(Handle(), request->Handle(), request->InputLength);
        break;
    case RequestKind::DeviceControl:
        Config.EvtIoDeviceControl(Handle(), request->Handle(), request->OutputLength, request->InputLength,
                                  request->IoControlCode);
        break;
    case RequestKind::Create:
        Bugcheck("a create request reached an I/O queue");
    }
}

void Queue::Quiesce()
{
    std::vector<Request*> finished;
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        g_liveQueues.erase(this);
        Stopping = true;
        CancelWaitingLocked(this, [](Request*) { return true; }, finished);
        if (HeldByDriver != 0) {
            Bugcheck("a queue was deleted while the driver still held %u of its requests", HeldByDriver);
        }
        Ready.notify_all();
    }
    g_ioChanged.notify_all();
    if (Dispatcher.joinable()) {
        Dispatcher.join();
    }
    for (Request* request : finished) {
        DeleteRequest(request);
    }
}

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

// A request waiting in a queue is cancelled at once by the framework
// (fxioqueue.cpp, FxIoQueue::_IrpCancelForQueue: without EvtIoCanceledOnQueue
// it completes with STATUS_CANCELLED); one the driver holds only learns of it (the drivers here never mark theirs
// cancelable) and is cancelled if the driver puts it back into a queue.
void IoOperation::Cancel()
{
    Request* finished = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        Request* request;
        {
            std::lock_guard<std::mutex> opGuard(Lock);
            request = Pending;
        }
        if (request == nullptr) {
            return;
        }
        request->CancelRequested = true;
        if (!request->HeldByDriver && request->CurrentQueue != nullptr) {
            auto& waiting = request->CurrentQueue->Waiting;
            for (auto it = waiting.begin(); it != waiting.end(); ++it) {
                if (*it == request) {
                    waiting.erase(it);
                    FinishLocked(request, STATUS_CANCELLED, 0);
                    finished = request;
                    break;
                }
            }
        }
    }
    if (finished != nullptr) {
        DeleteRequest(finished);
    }
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
    Device* device = File->Owner;
    // A queue configured for the request's type takes it, otherwise the
    // default queue (fxpkgio.cpp, FxPkgIo::DispatchStep1 looks up
    // m_DispatchTable by major function before the default queue).
    Queue* queue = DefaultQueueOf(device);
    for (Queue* candidate : QueuesOf(device)) {
        if ((candidate->DispatchedTypes & (1u << TypeOf(request->Kind))) != 0) {
            queue = candidate;
        }
    }
    // Each request carries the context the device asked for at device add
    // (documentation: "WdfDeviceInitSetRequestAttributes"): the framework
    // allocates it with the request, zeroed, so the driver allocates nothing.
    if (device->Init.HasRequestAttributes) {
        request->ApplyAttributes(&device->Init.RequestAttributes, "request creation");
    }
    Request* finished = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        File->Outstanding++;
        request->CurrentQueue = queue;
        if (queue == nullptr) {
            FinishLocked(request, STATUS_INVALID_DEVICE_REQUEST, 0);
            finished = request;
        } else if (queue->Purged) {
            FinishLocked(request, STATUS_DELETE_PENDING, 0);
            finished = request;
        } else if (request->Kind != RequestKind::DeviceControl && request->Length() == 0 &&
                   !queue->Config.AllowZeroLengthRequests) {
            // fxioqueue.cpp, FxIoQueue::DispatchRequestToDriver completes a
            // zero-length read or write with STATUS_SUCCESS unless the queue
            // allows them; the stand-in does it as the request arrives.
            FinishLocked(request, STATUS_SUCCESS, 0);
            finished = request;
        } else {
            finished = InsertLocked(queue, request, false);
        }
    }
    if (finished != nullptr) {
        DeleteRequest(finished);
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

// Cleanup cancels this file's requests still waiting in any queue of the
// device, manual queues included, as the framework flushes its queues by file
// object on cleanup; requests the driver holds stay its to complete, and the
// close waits for them.
//
// The driver's EvtFileCleanup runs first, then the flush (fxpkggeneral.cpp,
// FxPkgGeneral::OnCleanup invokes EvtFileCleanup and then calls
// FxPkgIo::FlushAllQueuesByFileObject).
void FileHandle::Close()
{
    RequirePassive("CloseHandle");
    Device* device = File->Owner;
    if (auto cleanup = device->Init.FileObject.EvtFileCleanup) {
        CallbackScope scope("EvtFileCleanup", PASSIVE_LEVEL, false);
        cleanup(reinterpret_cast<WDFFILEOBJECT>(File));
    }
    std::vector<Request*> finished;
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        for (Queue* queue : QueuesOf(device)) {
            CancelWaitingLocked(queue, [this](Request* r) { return r->File == File; }, finished);
        }
    }
    for (Request* request : finished) {
        DeleteRequest(request);
    }
    {
        std::unique_lock<std::mutex> guard(g_ioLock);
        const auto limit = std::chrono::milliseconds(g_completionLimitMs.load());
        if (!g_ioChanged.wait_for(guard, limit, [this] { return File->Outstanding == 0; })) {
            Bugcheck("a request of a closed handle was never completed by the driver");
        }
    }
    if (auto close = device->Init.FileObject.EvtFileClose) {
        CallbackScope scope("EvtFileClose", PASSIVE_LEVEL, false);
        close(reinterpret_cast<WDFFILEOBJECT>(File));
    }
    DeleteObject(File);
    File = nullptr;
    device->OpenHandles--;
}

NTSTATUS OpenDevice(const std::string& name, std::unique_ptr<FileHandle>& handle)
{
    RequirePassive("CreateFile");
    handle.reset();
    Device* device = LookupSymbolicLink(name);
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
    Device* named = device;
    if (!device->IsPdo() && device->Init.Node != nullptr && device->Init.Node->Pdo != nullptr) {
        named = device->Init.Node->Pdo;
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
    NTSTATUS status = STATUS_SUCCESS;
    if (auto create = device->Init.FileObject.EvtDeviceFileCreate) {
        auto* request = new Request(RequestKind::Create, file);
        auto op = request->Op;
        {
            std::lock_guard<std::mutex> guard(g_ioLock);
            file->Outstanding++;
            request->HeldByDriver = true;
        }
        {
            CallbackScope scope("EvtDeviceFileCreate", PASSIVE_LEVEL, false);
            create(device->Handle(), request->Handle(), reinterpret_cast<WDFFILEOBJECT>(file));
        }
        if (!op->Wait(std::chrono::milliseconds(g_completionLimitMs.load()))) {
            Bugcheck("the driver never completed a create request");
        }
        status = op->Status();
    }
    if (!NT_SUCCESS(status)) {
        DeleteObject(file);
        device->OpenHandles--;
        return status;
    }
    handle.reset(new FileHandle(file));
    return STATUS_SUCCESS;
}

void SetRequestCompletionLimit(std::chrono::milliseconds limit) { g_completionLimitMs = limit.count(); }

// At power-up the framework restarts each power-managed queue and presents the
// requests it held on the thread that powers the device up, before the
// transition completes (powerstatemachine.cpp resumes the queues through
// FxPkgIo::ResumeProcessingForPower; fxioqueue.cpp,
// FxIoQueue::StartPowerTransitionOn calls DispatchEvents on that thread). The
// dispatcher thread stands aside while this thread presents.
void PowerUpQueues(Device* device)
{
    std::vector<Queue*> queues;
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        for (Queue* queue : QueuesOf(device)) {
            if (queue->PowerManaged) {
                queue->Powered = true;
                if (queue->Dispatches()) {
                    queue->PowerUpPresenting = true;
                    queues.push_back(queue);
                }
            }
        }
    }
    PowerUpPathScope powerUpPath;
    for (Queue* queue : queues) {
        for (;;) {
            Request* request = nullptr;
            {
                std::lock_guard<std::mutex> guard(g_ioLock);
                if (queue->HeldByDriver == 0 && !queue->Waiting.empty() && !queue->Stopping) {
                    request = queue->Waiting.front();
                    queue->Waiting.pop_front();
                    request->HeldByDriver = true;
                    request->CurrentQueue = queue;
                    queue->HeldByDriver++;
                }
            }
            if (request == nullptr) {
                break;
            }
            queue->Present(request);
        }
        std::lock_guard<std::mutex> guard(g_ioLock);
        queue->PowerUpPresenting = false;
        queue->Ready.notify_all();
    }
    g_ioChanged.notify_all();
}

namespace {

// Offers every request the driver holds from the selected queues of `device`
// to the queue's EvtIoStop, once per request until it goes back to a queue
// (fxioqueue.cpp, FxIoQueue::ProcessPowerEvents moves m_DriverOwned to
// m_PowerNotify and calls EvtIoStop for each). The request stays valid while
// the driver is called, even if another thread completes it meanwhile.
void NotifyStop(Device* device, ULONG action, bool powerManagedOnly)
{
    for (;;) {
        Request* request = nullptr;
        Queue* queue = nullptr;
        {
            std::lock_guard<std::mutex> guard(g_ioLock);
            for (Request* candidate : g_liveRequests) {
                Queue* from = candidate->CurrentQueue;
                if (!candidate->HeldByDriver || candidate->StopNotified || from == nullptr ||
                    from->Owner != device || from->Config.EvtIoStop == nullptr ||
                    (powerManagedOnly && !from->PowerManaged)) {
                    continue;
                }
                request = candidate;
                queue = from;
                request->StopNotified = true;
                request->Pins++;
                break;
            }
        }
        if (request == nullptr) {
            return;
        }
        {
            CallbackScope scope("EvtIoStop", PASSIVE_LEVEL, true);
            queue->Config.EvtIoStop(queue->Handle(), request->Handle(), action);
        }
        bool deleteNow;
        {
            std::lock_guard<std::mutex> guard(g_ioLock);
            request->Pins--;
            deleteNow = request->Pins == 0 && request->DeleteWhenUnpinned;
        }
        if (deleteNow) {
            DeleteObject(request);
        }
    }
}

} // namespace

// Leaving D0 (fxioqueue.cpp, FxIoQueue::StopProcessingForPower with
// FxIoStopProcessingForPowerHold): power-managed queues stop presenting, the
// requests the driver holds from them go to EvtIoStop where the queue has one,
// and the power-down waits until the driver has completed or requeued every
// one of them (for a queue without EvtIoStop, completed; documentation:
// "Using Power-Managed I/O Queues").
void PowerDownQueues(Device* device)
{
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        for (Queue* queue : QueuesOf(device)) {
            if (queue->PowerManaged) {
                queue->Powered = false;
            }
        }
    }
    NotifyStop(device, WdfRequestStopActionSuspend, true);
    std::unique_lock<std::mutex> guard(g_ioLock);
    const auto limit = std::chrono::milliseconds(g_completionLimitMs.load());
    auto drained = [device] {
        for (Queue* queue : QueuesOf(device)) {
            if (queue->PowerManaged && queue->HeldByDriver != 0) {
                return false;
            }
        }
        return true;
    };
    if (!g_ioChanged.wait_for(guard, limit, drained)) {
        Bugcheck("leaving D0: the driver never completed or requeued a request a power-managed queue delivered "
                 "to it");
    }
}

void WaitForDriverRequests(Device* device, const char* why)
{
    std::unique_lock<std::mutex> guard(g_ioLock);
    const auto limit = std::chrono::milliseconds(g_completionLimitMs.load());
    auto drained = [device] {
        for (Queue* queue : QueuesOf(device)) {
            if (queue->HeldByDriver != 0) {
                return false;
            }
        }
        return true;
    };
    if (!g_ioChanged.wait_for(guard, limit, drained)) {
        Bugcheck("%s: the driver never completed a request it holds", why);
    }
}

// Removal (fxioqueue.cpp, FxIoQueue::QueuePurge): queues stop accepting,
// waiting requests are cancelled, and held ones go to EvtIoStop with
// WdfRequestStopActionPurge.
void PurgeQueues(Device* device)
{
    std::vector<Request*> finished;
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        for (Queue* queue : QueuesOf(device)) {
            queue->Purged = true;
            CancelWaitingLocked(queue, [](Request*) { return true; }, finished);
        }
    }
    for (Request* request : finished) {
        DeleteRequest(request);
    }
    NotifyStop(device, WdfRequestStopActionPurge, false);
}

int OutstandingDriverRequests()
{
    std::lock_guard<std::mutex> guard(g_ioLock);
    int held = 0;
    for (Queue* queue : g_liveQueues) {
        held += static_cast<int>(queue->HeldByDriver);
    }
    return held;
}

} // namespace host

using host::ObjectType;

extern "C" NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                     PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue)
{
    host::RequireMaxDispatch("WdfIoQueueCreate");
    host::CheckAllocation("WdfIoQueueCreate");
    if (Queue != nullptr) {
        *Queue = nullptr;
    }
    host::Device* device = host::DeviceFromHandle(Device, "WdfIoQueueCreate");
    if (Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        host::Bugcheck("WdfIoQueueCreate: configuration not initialised with WDF_IO_QUEUE_CONFIG_INIT");
    }
    if (Config->DispatchType == WdfIoQueueDispatchParallel) {
        host::Bugcheck("WdfIoQueueCreate: parallel dispatch is not modelled");
    }
    if (Config->EvtIoDefault != nullptr || Config->EvtIoCanceledOnQueue != nullptr ||
        Config->EvtIoInternalDeviceControl != nullptr || Config->EvtIoResume != nullptr) {
        host::Bugcheck("WdfIoQueueCreate: EvtIoDefault, EvtIoInternalDeviceControl, EvtIoResume and "
                       "EvtIoCanceledOnQueue are not modelled");
    }
    if (QueueAttributes != nullptr && QueueAttributes->ParentObject != nullptr) {
        host::Bugcheck("WdfIoQueueCreate: a queue's parent is always its device");
    }
    if (auto failure = host::InjectedFailure("WdfIoQueueCreate")) {
        return *failure;
    }
    if (Config->DefaultQueue && host::DefaultQueueOf(device) != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // A queue follows the device's power state unless told otherwise; the
    // devices here are all their stacks' power policy owners.
    const bool powerManaged = Config->PowerManaged != WdfFalse;
    auto* queue = new host::Queue(device, *Config, powerManaged);
    queue->ApplyAttributes(QueueAttributes, "WdfIoQueueCreate");
    {
        std::lock_guard<std::mutex> guard(host::g_ioLock);
        queue->Powered = !powerManaged || device->InD0;
        host::g_liveQueues.insert(queue);
    }
    if (queue->Dispatches()) {
        queue->StartDispatcher();
    }
    if (Queue != nullptr) {
        *Queue = queue->Handle();
    }
    return STATUS_SUCCESS;
}

extern "C" WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    return host::FromHandleAs<host::Queue>(Queue, ObjectType::Queue, "WdfIoQueueGetDevice")->Owner->Handle();
}

extern "C" WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests)
{
    host::RequireMaxDispatch("WdfIoQueueGetState");
    auto* queue = host::FromHandleAs<host::Queue>(Queue, ObjectType::Queue, "WdfIoQueueGetState");
    std::lock_guard<std::mutex> guard(host::g_ioLock);
    const ULONG waiting = static_cast<ULONG>(queue->Waiting.size());
    if (QueueRequests != nullptr) {
        *QueueRequests = waiting;
    }
    if (DriverRequests != nullptr) {
        *DriverRequests = queue->HeldByDriver;
    }
    int state = queue->Purged ? 0 : WdfIoQueueAcceptRequests;
    if (queue->Powered) {
        state |= WdfIoQueueDispatchRequests;
    }
    if (waiting == 0 && queue->HeldByDriver == 0) {
        state |= WdfIoQueueNoRequests;
    }
    if (queue->HeldByDriver == 0) {
        state |= WdfIoQueueDriverNoRequests;
    }
    return static_cast<WDF_IO_QUEUE_STATE>(state);
}

extern "C" NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest)
{
    host::RequireMaxDispatch("WdfIoQueueRetrieveNextRequest");
    *OutRequest = nullptr;
    auto* queue = host::FromHandleAs<host::Queue>(Queue, ObjectType::Queue, "WdfIoQueueRetrieveNextRequest");
    if (queue->Dispatches()) {
        host::Bugcheck("WdfIoQueueRetrieveNextRequest on a queue that dispatches its requests itself");
    }
    if (auto failure = host::InjectedFailure("WdfIoQueueRetrieveNextRequest")) {
        return *failure;
    }
    std::lock_guard<std::mutex> guard(host::g_ioLock);
    // A power-managed queue out of D0 gives nothing out (fxioqueue.cpp,
    // FxIoQueue::GetRequest: STATUS_WDF_PAUSED while m_PowerState is
    // FxIoQueuePowerOff or the queue does not dispatch).
    if (!queue->Powered) {
        return STATUS_WDF_PAUSED;
    }
    if (queue->Waiting.empty()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    host::Request* request = queue->Waiting.front();
    queue->Waiting.pop_front();
    request->HeldByDriver = true;
    request->CurrentQueue = queue;
    queue->HeldByDriver++;
    *OutRequest = request->Handle();
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue)
{
    host::RequireMaxDispatch("WdfRequestForwardToIoQueue");
    host::Request* request = host::OwnedRequest(Request, "WdfRequestForwardToIoQueue");
    auto* queue = host::FromHandleAs<host::Queue>(DestinationQueue, ObjectType::Queue, "WdfRequestForwardToIoQueue");
    if (auto failure = host::InjectedFailure("WdfRequestForwardToIoQueue")) {
        return *failure;
    }
    host::Request* cancelled = nullptr;
    {
        std::lock_guard<std::mutex> guard(host::g_ioLock);
        if (request->CurrentQueue == queue) {
            return STATUS_INVALID_DEVICE_REQUEST;  // forwarding into the queue it came from
        }
        if (request->CurrentQueue != nullptr && request->CurrentQueue->Owner != queue->Owner) {
            host::Bugcheck("WdfRequestForwardToIoQueue: the queue belongs to another device");
        }
        // A queue that no longer accepts requests refuses the forward and the
        // request stays the driver's (fxioqueue.cpp,
        // FxIoQueue::QueueRequestFromForward: STATUS_WDF_BUSY).
        if (queue->Purged) {
            return STATUS_WDF_BUSY;
        }
        // A request cancelled while the driver held it is completed inside the
        // forward, on the forwarding thread (FxIoQueue::QueueRequestFromForward
        // inserts it into the cancel-safe queue, whose cancel routine runs at once).
        if (request->CancelRequested) {
            host::RequireNoSpinLockHeld("WdfRequestForwardToIoQueue (the request was cancelled and completes inside it)");
        }
        cancelled = host::InsertLocked(queue, request, false);
    }
    if (cancelled != nullptr) {
        host::DeleteRequest(cancelled);
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfRequestRequeue(WDFREQUEST Request)
{
    host::RequireMaxDispatch("WdfRequestRequeue");
    host::Request* request = host::OwnedRequest(Request, "WdfRequestRequeue");
    host::Request* cancelled = nullptr;
    {
        std::lock_guard<std::mutex> guard(host::g_ioLock);
        host::Queue* queue = request->CurrentQueue;
        if (queue == nullptr || queue->Dispatches()) {
            host::Bugcheck("WdfRequestRequeue: the request did not come from a manual queue");
        }
        cancelled = host::InsertLocked(queue, request, true);
    }
    if (cancelled != nullptr) {
        host::DeleteRequest(cancelled);
    }
    return STATUS_SUCCESS;
}

namespace {

NTSTATUS RetrieveBuffer(WDFREQUEST Request, size_t MinimumLength, PVOID* Buffer, size_t* Length, bool output,
                        const char* operation)
{
    host::RequireMaxDispatch(operation);
    host::Request* request = host::OwnedRequest(Request, operation);
    *Buffer = nullptr;
    if (Length != nullptr) {
        *Length = 0;
    }
    size_t length = 0;
    switch (request->Kind) {
    case host::RequestKind::Read:
        if (!output) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        length = request->OutputLength;
        break;
    case host::RequestKind::Write:
        if (output) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        length = request->InputLength;
        break;
    case host::RequestKind::DeviceControl:
        length = output ? request->OutputLength : request->InputLength;
        break;
    case host::RequestKind::Create:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (length == 0 || length < MinimumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *Buffer = request->SystemBuffer.data();
    if (Length != nullptr) {
        *Length = length;
    }
    return STATUS_SUCCESS;
}

void Complete(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information, const char* operation)
{
    host::RequireMaxDispatch(operation);
    host::RequireNoSpinLockHeld(operation);
    host::Request* request = host::OwnedRequest(Request, operation);
    const bool isError = (static_cast<ULONG>(Status) >> 30) == 3;
    if (isError && Information != 0 && request->Kind != host::RequestKind::Write) {
        host::Bugcheck("%s: a failed request carries information %llu", operation,
                       static_cast<unsigned long long>(Information));
    }
    const size_t limit = request->Kind == host::RequestKind::Write ? request->InputLength
                                                                    : request->Kind == host::RequestKind::Create
                                                                          ? 0
                                                                          : request->OutputLength;
    if (Information > limit) {
        host::Bugcheck("%s: information %llu is larger than the request's buffer of %zu bytes", operation,
                       static_cast<unsigned long long>(Information), limit);
    }
    {
        std::lock_guard<std::mutex> guard(host::g_ioLock);
        host::FinishLocked(request, Status, Information);
    }
    host::DeleteRequest(request);
}

} // namespace

extern "C" NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                                  size_t* Length)
{
    return RetrieveBuffer(Request, MinimumRequiredLength, Buffer, Length, false, "WdfRequestRetrieveInputBuffer");
}

extern "C" NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                                   size_t* Length)
{
    return RetrieveBuffer(Request, MinimumRequiredSize, Buffer, Length, true, "WdfRequestRetrieveOutputBuffer");
}

extern "C" VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    Complete(Request, Status, 0, "WdfRequestComplete");
}

extern "C" VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    Complete(Request, Status, Information, "WdfRequestCompleteWithInformation");
}

extern "C" WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request)
{
    return reinterpret_cast<WDFFILEOBJECT>(host::RequestFromHandle(Request, "WdfRequestGetFileObject")->File);
}

extern "C" WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject)
{
    auto* file = host::FromHandleAs<host::FileObject>(FileObject, ObjectType::FileObject, "WdfFileObjectGetDevice");
    return file->Owner->Handle();
}

// Source: fxrequest.cpp, FxRequest::StopAcknowledge, and fxioqueue.cpp,
// FxIoQueue::ProcessAcknowledgedRequests: allowed once EvtIoStop has been
// called for the request; with Requeue the request goes back to the head of
// the queue that delivered it and is presented again there after power-up.
extern "C" VOID WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue)
{
    host::RequireMaxDispatch("WdfRequestStopAcknowledge");
    host::Request* request = host::OwnedRequest(Request, "WdfRequestStopAcknowledge");
    if (!Requeue) {
        host::Bugcheck("WdfRequestStopAcknowledge without requeue (EvtIoResume) is not modelled");
    }
    host::Request* cancelled = nullptr;
    {
        std::lock_guard<std::mutex> guard(host::g_ioLock);
        if (!request->StopNotified) {
            host::Bugcheck("WdfRequestStopAcknowledge: EvtIoStop was not called for request %p",
                           static_cast<void*>(Request));
        }
        cancelled = host::InsertLocked(request->CurrentQueue, request, true);
    }
    if (cancelled != nullptr) {
        host::DeleteRequest(cancelled);
    }
}

// Source: documentation "WdfDeviceConfigureRequestDispatching": requests of
// the type go to this queue instead of the default queue.
extern "C" NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue, WDF_REQUEST_TYPE RequestType)
{
    host::RequirePassive("WdfDeviceConfigureRequestDispatching");
    host::Device* device = host::DeviceFromHandle(Device, "WdfDeviceConfigureRequestDispatching");
    auto* queue = host::FromHandleAs<host::Queue>(Queue, ObjectType::Queue, "WdfDeviceConfigureRequestDispatching");
    if (queue->Owner != device) {
        host::Bugcheck("WdfDeviceConfigureRequestDispatching: the queue belongs to another device");
    }
    if (RequestType != WdfRequestTypeRead && RequestType != WdfRequestTypeWrite &&
        RequestType != WdfRequestTypeDeviceControl) {
        host::Bugcheck("WdfDeviceConfigureRequestDispatching: only reads, writes and device controls are modelled");
    }
    if (auto failure = host::InjectedFailure("WdfDeviceConfigureRequestDispatching")) {
        return *failure;
    }
    std::lock_guard<std::mutex> guard(host::g_ioLock);
    for (host::Queue* other : host::QueuesOf(device)) {
        if ((other->DispatchedTypes & (1u << RequestType)) != 0) {
            return STATUS_WDF_BUSY;  // one queue per request type
        }
    }
    queue->DispatchedTypes |= 1u << RequestType;
    return STATUS_SUCCESS;
}
