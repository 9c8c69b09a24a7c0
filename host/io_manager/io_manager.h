// The I/O manager through which an application opens a device by name and
// sends it reads, writes and device-control requests, synchronously or not.
#pragma once

#include "host/framework/device.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace host {

// The application's view of one I/O operation: it ends exactly once, with a
// status, an information count and, for reads and device controls, the bytes
// the driver returned.
class IoOperation {
public:
    bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool Done();
    NTSTATUS Status();
    ULONG_PTR Information();
    std::vector<uint8_t> Output();
    // Completions are numbered in the order they happen, over the whole
    // system: a test's way to see which of two operations ended first.
    uint64_t CompletionOrder();
    // Asks the I/O manager to cancel the operation (CancelIoEx on it).
    void Cancel();
    // Whether the driver stack's dispatch routine returned STATUS_PENDING
    // for it: the framework does for every request it puts in a queue, even
    // one the driver completes before the dispatch returns. Set before the
    // sending call returns.
    bool DispatchReturnedPending();
    // Runs `notify` once, when the operation's result is final: on the thread
    // that completes it, after Wait would return, or at once on the calling
    // thread if it already has. The Win32 layer's completion of an
    // application's OVERLAPPED hangs on it; `notify` must not start or cancel
    // I/O.
    void OnCompletion(std::function<void()> notify);

private:
    friend class Request;
    friend class FileHandle;
    friend void CancelRequest(IoOperation& operation);
    std::mutex Lock;
    std::condition_variable Finished;
    bool IsDone = false;
    NTSTATUS FinalStatus = STATUS_PENDING;
    ULONG_PTR FinalInformation = 0;
    std::vector<uint8_t> FinalOutput;
    uint64_t FinalOrder = 0;
    std::function<void()> Notify;
    class Request* Pending = nullptr;  // guarded by the I/O lock; null once completed
    bool SenderBlocked = false;        // a flush: its sending thread waits in the driver
    bool ReturnedPending = false;
};

class FileObject;

// An application's open handle to a device.
class FileHandle {
public:
    ~FileHandle();  // closes the handle if it is still open
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    std::shared_ptr<IoOperation> ReadAsync(ULONG length);
    std::shared_ptr<IoOperation> WriteAsync(const std::vector<uint8_t>& data);
    std::shared_ptr<IoOperation> DeviceIoControlAsync(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength);

    // Synchronous forms: they wait for the operation to end.
    NTSTATUS Read(ULONG length, std::vector<uint8_t>& data);
    NTSTATUS Write(const std::vector<uint8_t>& data, ULONG* written = nullptr);
    NTSTATUS DeviceIoControl(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength,
                             std::vector<uint8_t>* output = nullptr, ULONG_PTR* information = nullptr);

    // FlushFileBuffers: sent in the calling thread, which it holds until the
    // driver completes it.
    NTSTATUS Flush();
    // The same flush sent by another application thread: returns once the
    // flush has ended or its thread waits inside the driver, so that what the
    // test does next comes after the flush reached the driver.
    std::shared_ptr<IoOperation> FlushAsync();

    // Cancels every operation of this handle still in progress (CancelIo).
    void CancelAll();
    // Cleanup and close: the framework cancels this file's requests still
    // waiting in the device's queues; the close follows once every request of
    // the file has ended.
    void Close();
    bool IsOpen() const { return File != nullptr; }

private:
    friend NTSTATUS OpenDevice(const std::string& name, std::unique_ptr<FileHandle>& handle);
    explicit FileHandle(FileObject* file) : File(file) {}
    std::shared_ptr<IoOperation> Send(class Request* request);

    FileObject* File;
    std::mutex OperationsLock;
    std::vector<std::weak_ptr<IoOperation>> Operations;
    std::vector<std::thread> FlushThreads;  // joined by Close
};

// Opens a device by the name an application uses: "COM7", "\\.\COM7" or a
// full object name such as "\DosDevices\Global\COM7". A second open of an
// exclusive device is refused here, without calling the driver.
NTSTATUS OpenDevice(const std::string& name, std::unique_ptr<FileHandle>& handle);

// A request as an application's handle sends it, before the framework or the
// driver sees it.
struct SentRequest {
    enum class Type { Read, Write, DeviceControl } Kind;
    ULONG IoControlCode;         // device controls only
    std::vector<uint8_t> Input;  // a write's data or a device control's input
    ULONG OutputLength;          // a read's length or a device control's output size
};

// How a test completes a request in the driver's place: the status and the
// bytes returned (cut to the request's output length; their count is the
// information).
struct SentAnswer {
    NTSTATUS Status;
    std::vector<uint8_t> Output;
};

// Calls `observer` with every request any handle sends, in the order they are
// sent, on the sending thread; an empty function stops it. When it returns an
// answer the request completes with it and the driver never sees it: a test's
// recording device in front of the real one.
void ObserveSentRequests(std::function<std::optional<SentAnswer>(const SentRequest&)> observer);

// How long the stand-in waits for a driver to complete a request it holds when
// something must wait for it (a handle's close, the device's removal) before
// the verifier reports the request as never completed.
void SetRequestCompletionLimit(std::chrono::milliseconds limit);

} // namespace host
