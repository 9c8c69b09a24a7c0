// The framework's I/O objects as its queue, request and file code share them:
// file objects, requests and queues, and the bookkeeping under the I/O lock.
// Internal to the stand-in's framework and I/O manager.
#pragma once

#include "host/framework/device.h"
#include "host/io_manager/io_manager.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace host {

class Queue;
class Request;

// One lock (the I/O lock) guards every queue's and request's bookkeeping; no
// driver code runs while it is held. A request is, at any moment, in exactly
// one of three places: waiting in a queue, held by the driver, or completed.
inline std::mutex g_ioLock;
inline std::condition_variable g_ioChanged;
inline std::atomic<int64_t> g_completionLimitMs{20000};
inline std::atomic<uint64_t> g_completionOrder{0};
inline std::unordered_set<const void*> g_completedRequests;  // guarded by g_ioLock: handles of completed requests
inline std::unordered_set<Queue*> g_liveQueues;        // guarded by g_ioLock
inline std::unordered_set<Request*> g_liveRequests;    // guarded by g_ioLock: every request not yet deleted

enum class RequestKind { Create, Read, Write, DeviceControl };

class FileObject final : public Object {
public:
    explicit FileObject(class FrameworkDevice* device) : Object(ObjectType::FileObject, device), Owner(device) {}
    class FrameworkDevice* Owner;
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

    void MarkDispatchPending()
    {
        std::lock_guard<std::mutex> opGuard(Op->Lock);
        Op->ReturnedPending = true;
    }

    void FinishOperation(NTSTATUS status, ULONG_PTR information, std::vector<uint8_t> output)
    {
        std::function<void()> notify;
        {
            std::lock_guard<std::mutex> opGuard(Op->Lock);
            Op->Pending = nullptr;
            Op->FinalStatus = status;
            Op->FinalInformation = information;
            Op->FinalOutput = std::move(output);
            Op->FinalOrder = ++g_completionOrder;
            Op->IsDone = true;
            notify = std::move(Op->Notify);
        }
        Op->Finished.notify_all();
        if (notify) {
            notify();
        }
    }
};

class Queue final : public Object {
public:
    Queue(class FrameworkDevice* device, const WDF_IO_QUEUE_CONFIG& config, bool powerManaged)
        : Object(ObjectType::Queue, device), Owner(device), Config(config), PowerManaged(powerManaged)
    {
    }
    WDFQUEUE Handle() { return reinterpret_cast<WDFQUEUE>(this); }
    bool Dispatches() const { return Config.DispatchType != WdfIoQueueDispatchManual; }

    void StartDispatcher() { Dispatcher = std::thread([this] { DispatchLoop(); }); }
    void Quiesce() override;
    void DispatchLoop();

    class FrameworkDevice* Owner;
    WDF_IO_QUEUE_CONFIG Config;
    bool PowerManaged;

    // Guarded by the I/O lock.
    std::deque<Request*> Waiting;
    ULONG HeldByDriver = 0;
    bool Powered = true;
    bool PowerUpPresenting = false;  // the power-up thread presents this queue's requests; the dispatcher waits
    std::condition_variable Ready;   // with the I/O lock: the dispatcher's condition may have changed
    bool Purged = false;
    bool DriverStopped = false;      // WdfIoQueueStop*: accepting but not dispatching until WdfIoQueueStart
    bool Stopping = false;
    unsigned DispatchedTypes = 0;    // bits (1 << WDF_REQUEST_TYPE) routed here by WdfDeviceConfigureRequestDispatching

    // Calls the driver's callback for a request the queue has just handed it.
    void Present(Request* request);
    // A new queue begins its life: dispatching as its device's power allows.
    void Begin();
    // What WdfIoQueueGetState reports, and the counts beside it. Takes the I/O lock.
    WDF_IO_QUEUE_STATE State(ULONG* waiting, ULONG* heldByDriver);
    // Routes requests of `type` of its device here, unless another queue has them.
    NTSTATUS TakeRequestType(WDF_REQUEST_TYPE type);
    // The driver's own stop and start (fxioqueue.cpp, FxIoQueue::QueueIdle
    // with CancelRequests FALSE, QueueIdleSynchronously, QueueStart). Take the I/O lock.
    void StopSynchronously();
    void Start();
    // Takes a request the driver forwards here. Takes the I/O lock.
    NTSTATUS AcceptForward(Request* request);
    // Gives the oldest waiting request to the driver. Takes the I/O lock.
    NTSTATUS HandOutNext(Request** request);

private:
    std::thread Dispatcher;
};

std::vector<Queue*> QueuesOf(FrameworkDevice* device);
Queue* DefaultQueueOf(FrameworkDevice* device);
WDF_REQUEST_TYPE TypeOf(RequestKind kind);

// A live, not yet completed request; the verifier stops on any other handle.
Request* RequestFromHandle(WDFREQUEST handle, const char* operation);
// The same, and the driver must own it (not waiting in a queue).
Request* OwnedRequest(WDFREQUEST handle, const char* operation);

// Ends a request: the application sees its status, information and data. The
// caller holds the I/O lock and has taken the request out of every queue.
void FinishLocked(Request* request, NTSTATUS status, ULONG_PTR information);
// Deletes a completed request once the stand-in no longer calls the driver with it.
void DeleteRequest(Request* request);
// Puts a request into a queue. A request whose cancellation was asked for
// while the driver held it is cancelled as soon as it is back in a queue.
// Returns the request if the caller must delete it (it was cancelled).
Request* InsertLocked(Queue* queue, Request* request, bool atHead);
// Takes every waiting request that `match` selects out of the queue and
// cancels it. The caller holds the I/O lock.
void CancelWaitingLocked(Queue* queue, const std::function<bool(Request*)>& match, std::vector<Request*>& finished);

// The framework's side of what the I/O manager sends a device
// (fxpkggeneral.cpp for create, cleanup and close; fxpkgio.cpp for the rest).
NTSTATUS DispatchCreate(FrameworkDevice* device, FileObject* file);
void DispatchToQueue(Request* request);
// A flush goes to the device's flush preprocessor if the driver assigned one,
// in the caller's thread, and ends when the driver completes the packet.
NTSTATUS DispatchFlush(FileObject* file, uint64_t* completionOrder = nullptr);
void DispatchCleanup(FileObject* file);
void DispatchClose(FileObject* file);
// Cancels the operation's request if it is still pending (CancelIoEx on it).
void CancelRequest(IoOperation& operation);

} // namespace host
