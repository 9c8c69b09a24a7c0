// The framework's side of what the I/O manager sends a device: the create,
// cleanup and close of a file (fxpkggeneral.cpp, FxPkgGeneral) and the routing
// of reads, writes and device controls to the device's queues (fxpkgio.cpp,
// FxPkgIo), with the cancel routine of a request waiting in a queue.
#include "host/framework/io_objects.h"

#include "host/verifier/verifier.h"

namespace host {

NTSTATUS DispatchCreate(FrameworkDevice* device, FileObject* file)
{
    auto create = device->Init.FileObject.EvtDeviceFileCreate;
    if (create == nullptr) {
        return STATUS_SUCCESS;
    }
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
    return op->Status();
}

void DispatchToQueue(Request* request)
{
    FrameworkDevice* device = request->File->Owner;
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
    // fxpkgio.cpp, FxPkgIo::DispatchStep1: with no queue for the request the
    // framework completes it and returns that status. fxioqueue.cpp,
    // FxIoQueue::QueueRequest: a queue that accepts no requests (purged at
    // removal) completes it with STATUS_INVALID_DEVICE_STATE and returns that;
    // any other request is marked pending and the dispatch returns
    // STATUS_PENDING, whether or not the driver completes it at once.
    Request* finished = nullptr;
    {
        // Purged is written under the I/O lock by the removal, so it is read
        // there too; the mark comes before the request can reach the driver.
        std::lock_guard<std::mutex> guard(g_ioLock);
        if (queue != nullptr && !queue->Purged) {
            request->MarkDispatchPending();
        }
        request->File->Outstanding++;
        request->CurrentQueue = queue;
        if (queue == nullptr) {
            FinishLocked(request, STATUS_INVALID_DEVICE_REQUEST, 0);
            finished = request;
        } else if (queue->Purged) {
            FinishLocked(request, STATUS_INVALID_DEVICE_STATE, 0);
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
}

// Cleanup cancels this file's requests still waiting in any queue of the
// device, manual queues included, as the framework flushes its queues by file
// object on cleanup; requests the driver holds stay its to complete, and the
// close waits for them.
//
// The driver's EvtFileCleanup runs first, then the flush (fxpkggeneral.cpp,
// FxPkgGeneral::OnCleanup invokes EvtFileCleanup and then calls
// FxPkgIo::FlushAllQueuesByFileObject).
void DispatchCleanup(FileObject* file)
{
    FrameworkDevice* device = file->Owner;
    if (auto cleanup = device->Init.FileObject.EvtFileCleanup) {
        CallbackScope scope("EvtFileCleanup", PASSIVE_LEVEL, false);
        cleanup(reinterpret_cast<WDFFILEOBJECT>(file));
    }
    std::vector<Request*> finished;
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        for (Queue* queue : QueuesOf(device)) {
            CancelWaitingLocked(queue, [file](Request* r) { return r->File == file; }, finished);
        }
    }
    for (Request* request : finished) {
        DeleteRequest(request);
    }
}

namespace {

// The packet a flush travels in; the driver sees its status block.
struct FlushPacket {
    IRP Irp{};                 // first, so the driver's PIRP is the packet's address
    bool Completed = false;    // guarded by the I/O lock
    uint64_t Order = 0;        // among all completions, as a request's
};

} // namespace

// Only read, write and device-control packets reach the framework's queues
// (fxdevice.hpp, FxDevice::GetDispatchPackage); any other goes to the
// driver's preprocessor for its major function, if one is assigned
// (fxdevice.cpp, FxDevice::DispatchWorker), or else is failed
// (fxdefaultirphandler.cpp, FxDefaultIrpHandler::Dispatch:
// STATUS_INVALID_DEVICE_REQUEST).
NTSTATUS DispatchFlush(FileObject* file, uint64_t* completionOrder)
{
    auto preprocess = file->Owner->Init.FlushPreprocess;
    if (preprocess == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    FlushPacket packet;
    packet.Irp.IoStatus.Status = STATUS_PENDING;
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        file->Outstanding++;
    }
    // The I/O manager sends the flush at PASSIVE_LEVEL in the caller's thread.
    NTSTATUS returned;
    {
        CallbackScope scope("EvtDeviceWdmIrpPreprocess", PASSIVE_LEVEL, false);
        returned = preprocess(file->Owner->Handle(), &packet.Irp);
    }
    std::unique_lock<std::mutex> guard(g_ioLock);
    if (returned != STATUS_PENDING && !packet.Completed) {
        Bugcheck("EvtDeviceWdmIrpPreprocess returned %#x without completing the packet or pending it",
                 static_cast<unsigned>(returned));
    }
    const auto limit = std::chrono::milliseconds(g_completionLimitMs.load());
    if (!g_ioChanged.wait_for(guard, limit, [&packet] { return packet.Completed; })) {
        Bugcheck("the driver never completed a flush");
    }
    if (returned != STATUS_PENDING && returned != packet.Irp.IoStatus.Status) {
        Bugcheck("EvtDeviceWdmIrpPreprocess returned %#x for a packet it completed with %#x",
                 static_cast<unsigned>(returned), static_cast<unsigned>(packet.Irp.IoStatus.Status));
    }
    file->Outstanding--;
    g_ioChanged.notify_all();
    if (completionOrder != nullptr) {
        *completionOrder = packet.Order;
    }
    return packet.Irp.IoStatus.Status;
}

// The close comes once every request of the file has ended (the I/O manager
// sends it when the file object's last reference goes).
void DispatchClose(FileObject* file)
{
    {
        std::unique_lock<std::mutex> guard(g_ioLock);
        const auto limit = std::chrono::milliseconds(g_completionLimitMs.load());
        if (!g_ioChanged.wait_for(guard, limit, [file] { return file->Outstanding == 0; })) {
            Bugcheck("a request of a closed handle was never completed by the driver");
        }
    }
    if (auto close = file->Owner->Init.FileObject.EvtFileClose) {
        CallbackScope scope("EvtFileClose", PASSIVE_LEVEL, false);
        close(reinterpret_cast<WDFFILEOBJECT>(file));
    }
}

// A request waiting in a queue is cancelled at once by the framework
// (fxioqueue.cpp, FxIoQueue::_IrpCancelForQueue: without EvtIoCanceledOnQueue
// it completes with STATUS_CANCELLED); one the driver holds only learns of it
// (the drivers here never mark theirs cancelable) and is cancelled if the
// driver puts it back into a queue. The operation's pending request is read
// under the I/O lock: a request still pending there has not been deleted.
void CancelRequest(IoOperation& operation)
{
    Request* finished = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_ioLock);
        Request* request;
        {
            std::lock_guard<std::mutex> opGuard(operation.Lock);
            request = operation.Pending;
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

} // namespace host

// The stand-in's packets are only flushes; completing one twice, or with
// the status still pending, is the driver's fault.
extern "C" VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    host::RequireMaxDispatch("IoCompleteRequest");
    auto* packet = reinterpret_cast<host::FlushPacket*>(Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        host::Bugcheck("IoCompleteRequest with STATUS_PENDING in the packet");
    }
    {
        std::lock_guard<std::mutex> guard(host::g_ioLock);
        if (packet->Completed) {
            host::Bugcheck("IoCompleteRequest: packet %p completed twice", static_cast<void*>(Irp));
        }
        packet->Completed = true;
        packet->Order = ++host::g_completionOrder;
    }
    host::g_ioChanged.notify_all();
}
