// Framework requests: ownership, buffers, completion, forwarding and the
// acknowledgement of a stop.
#include "host/framework/io_objects.h"

#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

namespace host {

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

} // namespace host

using host::ObjectType;

extern "C" NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue)
{
    host::RequireMaxDispatch("WdfRequestForwardToIoQueue");
    host::Request* request = host::OwnedRequest(Request, "WdfRequestForwardToIoQueue");
    auto* queue = host::FromHandleAs<host::Queue>(DestinationQueue, ObjectType::Queue, "WdfRequestForwardToIoQueue");
    if (auto failure = host::InjectedFailure("WdfRequestForwardToIoQueue")) {
        return *failure;
    }
    return queue->AcceptForward(request);
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
    // Documentation: "WdfRequestRetrieveInputBuffer function" and
    // "WdfRequestRetrieveOutputBuffer function": either may fail with
    // STATUS_INSUFFICIENT_RESOURCES ("not enough memory"), leaving no buffer.
    if (auto failure = host::InjectedFailure(operation)) {
        return *failure;
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
