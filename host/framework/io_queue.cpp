// Framework I/O queues: sequential and manual dispatch, power management,
// stop notification and purge, and the device's routing of request types.
#include "host/framework/io_queue.h"

#include "host/framework/creation.h"
#include "host/framework/io_objects.h"
#include "host/framework/work_item.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

namespace host {

std::vector<Queue*> QueuesOf(FrameworkDevice* device)
{
    std::vector<Queue*> queues;
    for (Object* child : device->ChildrenOfType(ObjectType::Queue)) {
        queues.push_back(static_cast<Queue*>(child));
    }
    return queues;
}

Queue* DefaultQueueOf(FrameworkDevice* device)
{
    for (Queue* queue : QueuesOf(device)) {
        if (queue->Config.DefaultQueue) {
            return queue;
        }
    }
    return nullptr;
}

void Queue::DispatchLoop()
{
    std::unique_lock<std::mutex> guard(g_ioLock);
    for (;;) {
        // A sequential queue presents the next request only once the driver
        // holds none of its requests (fxioqueue.cpp, FxIoQueue::DispatchEvents).
        Ready.wait(guard, [this] {
            return Stopping ||
                   (Powered && !DriverStopped && !PowerUpPresenting && HeldByDriver == 0 && !Waiting.empty());
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
void Queue::Begin()
{
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        Powered = !PowerManaged || Owner->InD0;
        g_liveQueues.insert(this);
    }
    if (Dispatches()) {
        StartDispatcher();
    }
}

WDF_IO_QUEUE_STATE Queue::State(ULONG* waiting, ULONG* heldByDriver)
{
    std::lock_guard<std::mutex> guard(g_ioLock);
    *waiting = static_cast<ULONG>(Waiting.size());
    *heldByDriver = HeldByDriver;
    // fxioqueue.cpp, FxIoQueue::GetState: accept and dispatch are the queue's
    // own state bits (a stop clears dispatch, a purge only accept, power
    // neither); NoRequests
    // counts only the requests waiting in the queue; a power-managed queue
    // whose device is not in D0 reports PnpHeld.
    int state = Purged ? 0 : WdfIoQueueAcceptRequests;
    if (!DriverStopped) {
        state |= WdfIoQueueDispatchRequests;
    }
    if (*waiting == 0) {
        state |= WdfIoQueueNoRequests;
    }
    if (HeldByDriver == 0) {
        state |= WdfIoQueueDriverNoRequests;
    }
    if (PowerManaged && !Powered) {
        state |= WdfIoQueuePnpHeld;
    }
    return static_cast<WDF_IO_QUEUE_STATE>(state);
}

NTSTATUS Queue::TakeRequestType(WDF_REQUEST_TYPE type)
{
    std::lock_guard<std::mutex> guard(g_ioLock);
    for (Queue* other : QueuesOf(Owner)) {
        if ((other->DispatchedTypes & (1u << type)) != 0) {
            return STATUS_WDF_BUSY;  // one queue per request type
        }
    }
    DispatchedTypes |= 1u << type;
    return STATUS_SUCCESS;
}

// Stopped, the queue still accepts requests and holds them; the wait ends
// once the driver holds none of its requests (QueueIdleSynchronously waits for
// the idle-complete callback, which comes when m_DriverIoCount reaches zero).
void Queue::StopSynchronously()
{
    std::unique_lock<std::mutex> guard(g_ioLock);
    DriverStopped = true;
    const auto limit = std::chrono::milliseconds(g_completionLimitMs.load());
    if (!Ready.wait_for(guard, limit, [this] { return HeldByDriver == 0 || Stopping; })) {
        Bugcheck("WdfIoQueueStopSynchronously: a request the driver holds was never completed");
    }
}

void Queue::Start()
{
    std::lock_guard<std::mutex> guard(g_ioLock);
    DriverStopped = false;
    Ready.notify_all();
}

NTSTATUS Queue::AcceptForward(Request* request)
{
    Request* cancelled = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        if (request->CurrentQueue == this) {
            return STATUS_INVALID_DEVICE_REQUEST;  // forwarding into the queue it came from
        }
        if (request->CurrentQueue != nullptr && request->CurrentQueue->Owner != Owner) {
            Bugcheck("WdfRequestForwardToIoQueue: the queue belongs to another device");
        }
        // A queue that no longer accepts requests refuses the forward and the
        // request stays the driver's (fxioqueue.cpp,
        // FxIoQueue::QueueRequestFromForward: STATUS_WDF_BUSY).
        if (Purged) {
            return STATUS_WDF_BUSY;
        }
        // A request cancelled while the driver held it is completed inside the
        // forward, on the forwarding thread (FxIoQueue::QueueRequestFromForward
        // inserts it into the cancel-safe queue, whose cancel routine runs at once).
        if (request->CancelRequested) {
            RequireNoSpinLockHeld("WdfRequestForwardToIoQueue (the request was cancelled and completes inside it)");
        }
        cancelled = InsertLocked(this, request, false);
    }
    if (cancelled != nullptr) {
        DeleteRequest(cancelled);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Queue::HandOutNext(Request** out)
{
    std::lock_guard<std::mutex> guard(g_ioLock);
    // A power-managed queue out of D0 gives nothing out (fxioqueue.cpp,
    // FxIoQueue::GetRequest: STATUS_WDF_PAUSED while m_PowerState is
    // FxIoQueuePowerOff or the queue does not dispatch).
    if (!Powered || DriverStopped) {
        return STATUS_WDF_PAUSED;
    }
    if (Waiting.empty()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    Request* request = Waiting.front();
    Waiting.pop_front();
    request->HeldByDriver = true;
    request->CurrentQueue = this;
    HeldByDriver++;
    *out = request;
    return STATUS_SUCCESS;
}

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

// At power-up the framework restarts each power-managed queue and presents the
// requests it held on the thread that powers the device up, before the
// transition completes (powerstatemachine.cpp resumes the queues through
// FxPkgIo::ResumeProcessingForPower; fxioqueue.cpp,
// FxIoQueue::StartPowerTransitionOn calls DispatchEvents on that thread). The
// dispatcher thread stands aside while this thread presents.
void PowerUpQueues(FrameworkDevice* device)
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
                if (queue->HeldByDriver == 0 && !queue->Waiting.empty() && !queue->Stopping && !queue->DriverStopped) {
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
void NotifyStop(FrameworkDevice* device, ULONG action, bool powerManagedOnly)
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
void PowerDownQueues(FrameworkDevice* device)
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

void WaitForDriverRequests(FrameworkDevice* device, const char* why)
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
void PurgeQueues(FrameworkDevice* device)
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
    if (Queue != nullptr) {
        *Queue = nullptr;
    }
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfIoQueueCreate");
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
    if (NTSTATUS failed = host::BeginCreation("WdfIoQueueCreate", DISPATCH_LEVEL); !NT_SUCCESS(failed)) {
        return failed;
    }
    if (Config->DefaultQueue && host::DefaultQueueOf(device) != nullptr) {
        host::EndCreation("WdfIoQueueCreate");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // A queue follows the device's power state unless told otherwise; the
    // devices here are all their stacks' power policy owners.
    const bool powerManaged = Config->PowerManaged != WdfFalse;
    host::Queue* queue;
    NTSTATUS status = host::FinishCreation("WdfIoQueueCreate", QueueAttributes, device, &queue,
                                           [device, Config, powerManaged](host::Object*) {
                                               return new host::Queue(device, *Config, powerManaged);
                                           });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    queue->Begin();
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
    ULONG waiting;
    ULONG held;
    const WDF_IO_QUEUE_STATE state = queue->State(&waiting, &held);
    if (QueueRequests != nullptr) {
        *QueueRequests = waiting;
    }
    if (DriverRequests != nullptr) {
        *DriverRequests = held;
    }
    return state;
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
    host::Request* request;
    if (NTSTATUS status = queue->HandOutNext(&request); !NT_SUCCESS(status)) {
        return status;
    }
    *OutRequest = request->Handle();
    return STATUS_SUCCESS;
}

// Source: documentation "WdfDeviceConfigureRequestDispatching": requests of
// the type go to this queue instead of the default queue.
extern "C" NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue, WDF_REQUEST_TYPE RequestType)
{
    host::RequirePassive("WdfDeviceConfigureRequestDispatching");
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceConfigureRequestDispatching");
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
    return queue->TakeRequestType(RequestType);
}

extern "C" VOID WdfIoQueueStopSynchronously(WDFQUEUE Queue)
{
    host::RequirePassive("WdfIoQueueStopSynchronously");
    host::RequireNotOnPowerUpPath("WdfIoQueueStopSynchronously");
    auto* queue = host::FromHandleAs<host::Queue>(Queue, ObjectType::Queue, "WdfIoQueueStopSynchronously");
    host::WorkerBlockedScope blocked;
    queue->StopSynchronously();
}

extern "C" VOID WdfIoQueueStart(WDFQUEUE Queue)
{
    host::RequireMaxDispatch("WdfIoQueueStart");
    host::FromHandleAs<host::Queue>(Queue, ObjectType::Queue, "WdfIoQueueStart")->Start();
}
