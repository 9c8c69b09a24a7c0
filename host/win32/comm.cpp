#include "host/win32/comm.h"

#include "host/io_manager/io_manager.h"

#include <ntddser.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// The driver-side flag values kernel32 translates (ntddser.h); the stand-in's
// ntddser.h declares only what the drivers use.
namespace {

constexpr ULONG kSerialDtrControl = 0x01, kSerialDtrHandshake = 0x02, kSerialCtsHandshake = 0x08,
                kSerialDsrHandshake = 0x10, kSerialDsrSensitivity = 0x40, kSerialErrorAbort = 0x80000000;
constexpr ULONG kSerialAutoTransmit = 0x01, kSerialAutoReceive = 0x02, kSerialErrorChar = 0x04,
                kSerialNullStripping = 0x08, kSerialRtsControl = 0x40, kSerialRtsHandshake = 0x80,
                kSerialXoffContinue = 0x80000000;
constexpr ULONG kSerialErrorBreak = 0x01, kSerialErrorFraming = 0x02, kSerialErrorOverrun = 0x04,
                kSerialErrorQueueOverrun = 0x08, kSerialErrorParity = 0x10;
constexpr ULONG kTxWaitingForCts = 0x01, kTxWaitingForDsr = 0x02, kTxWaitingForDcd = 0x04, kTxWaitingForXon = 0x08,
                kTxWaitingXoffSent = 0x10;

constexpr DWORD kErrorNoAccess = 998;  // ERROR_NOACCESS

// ---- Objects and handles ----

// One lock for every waitable object's state and every thread's queue of
// completion routines, as the kernel's dispatcher lock; nothing that starts
// or cancels I/O runs while it is held.
std::mutex g_lock;
std::condition_variable g_changed;

struct Object {
    virtual ~Object() = default;
    virtual bool Signaled() const = 0;  // under g_lock
    virtual void Acquire() {}           // under g_lock: what a satisfied wait does to the object
};

struct EventObject final : Object {
    EventObject(bool manual, bool initial) : Manual(manual), State(initial) {}
    bool Signaled() const override { return State; }
    void Acquire() override
    {
        if (!Manual) {
            State = false;
        }
    }
    bool Manual;
    bool State;  // under g_lock
};

// An I/O completion port: the packets queued to it, oldest first. The wait
// functions do not take it; GetQueuedCompletionStatus and its Ex form do.
struct PortObject final : Object {
    struct Packet {
        ULONG_PTR Key;
        OVERLAPPED* Overlapped;
        NTSTATUS Status;
        ULONG_PTR Information;
    };
    bool Signaled() const override { return false; }
    std::deque<Packet> Packets;  // under g_lock
    bool Closed = false;         // under g_lock: its handle is closed, and its waiters gave up
};

// An operation started through a file handle and not yet completed. Its
// notice is what the completion hands on besides the event: the completion
// routine to the starting thread, or a packet to the file's completion port.
struct Pending {
    std::shared_ptr<host::IoOperation> Op;
    std::thread::id Thread;  // the thread that started it: CancelIo's and the completion routine's
    OVERLAPPED* Record = nullptr;
    std::shared_ptr<PortObject> Port;  // the port that gets the packet; none without an OVERLAPPED
    ULONG_PTR Key = 0;
    // Under g_lock.
    bool Ended = false;
    bool Reported = false;     // the starting call has decided what it returns
    bool NoticeDue = false;    // the notice waits for that decision
    bool NoticeWanted = true;  // false when the starting call fails: no notice is given
};

// A file object: signalled when an operation on it completes, cleared when one
// starts (what GetOverlappedResult waits on for an OVERLAPPED without an event).
struct FileObject final : Object {
    bool Signaled() const override { return State; }
    std::unique_ptr<host::FileHandle> File;
    bool Overlapped = false;
    bool CanRead = false;
    bool CanWrite = false;
    bool State = false;                              // under g_lock
    std::vector<std::shared_ptr<Pending>> Outstanding;  // under g_lock
    std::shared_ptr<PortObject> Port;                   // under g_lock: the port it is bound to, once
    ULONG_PTR Key = 0;                                  // under g_lock: the key of its packets
};

std::unordered_map<uintptr_t, std::shared_ptr<Object>> g_handles;  // under g_lock
uintptr_t g_nextHandle = 0x1000;                                    // under g_lock
std::unordered_map<std::thread::id, std::deque<std::function<void()>>> g_apcs;  // under g_lock

thread_local DWORD t_lastError = ERROR_SUCCESS;

BOOL Fail(DWORD error)
{
    t_lastError = error;
    return FALSE;
}

BOOL FailStatus(NTSTATUS status) { return Fail(RtlNtStatusToDosError(status)); }

HANDLE Insert(std::shared_ptr<Object> object)
{
    std::lock_guard<std::mutex> guard(g_lock);
    const uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    g_handles[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupLocked(HANDLE handle)
{
    auto found = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    return found == g_handles.end() ? nullptr : found->second;
}

template <typename T>
std::shared_ptr<T> Lookup(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return std::dynamic_pointer_cast<T>(LookupLocked(handle));
}

// ---- Waits ----

// Runs the calling thread's queued completion routines, outside the lock.
void DeliverApcs(std::unique_lock<std::mutex>& guard)
{
    std::deque<std::function<void()>> due;
    due.swap(g_apcs[std::this_thread::get_id()]);
    guard.unlock();
    for (auto& apc : due) {
        apc();
    }
    guard.lock();
}

bool ApcsQueuedLocked()
{
    auto queue = g_apcs.find(std::this_thread::get_id());
    return queue != g_apcs.end() && !queue->second.empty();
}

// The shape of every kernel wait: `satisfied` looks, under g_lock, for what
// ends the wait and gives its result; only when it finds nothing does an
// alertable wait run the thread's queued completion routines and return
// WAIT_IO_COMPLETION (documentation: "Alertable I/O"); then the wait sleeps
// until something changes or the time is up, and looks once more.
template <typename Satisfied>
DWORD WaitLocked(std::unique_lock<std::mutex>& guard, DWORD milliseconds, bool alertable, Satisfied satisfied)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (const std::optional<DWORD> result = satisfied()) {
            return *result;
        }
        if (alertable && ApcsQueuedLocked()) {
            DeliverApcs(guard);
            return WAIT_IO_COMPLETION;
        }
        if (milliseconds == 0) {
            return WAIT_TIMEOUT;
        }
        if (milliseconds == INFINITE) {
            g_changed.wait(guard);
        } else if (g_changed.wait_until(guard, deadline) == std::cv_status::timeout) {
            milliseconds = 0;  // one last look, then WAIT_TIMEOUT
        }
    }
}

// The kernel's wait on objects: a signalled object satisfies the wait before
// queued completion routines are looked at.
DWORD Wait(const std::vector<std::shared_ptr<Object>>& objects, bool all, DWORD milliseconds, bool alertable)
{
    std::unique_lock<std::mutex> guard(g_lock);
    return WaitLocked(guard, milliseconds, alertable, [&]() -> std::optional<DWORD> {
        if (all) {
            if (!objects.empty() && std::all_of(objects.begin(), objects.end(),
                                                [](const auto& object) { return object->Signaled(); })) {
                for (auto& object : objects) {
                    object->Acquire();
                }
                return WAIT_OBJECT_0;
            }
            return std::nullopt;
        }
        for (size_t index = 0; index < objects.size(); ++index) {
            if (objects[index]->Signaled()) {
                objects[index]->Acquire();
                return WAIT_OBJECT_0 + static_cast<DWORD>(index);
            }
        }
        return std::nullopt;
    });
}

DWORD WaitHandles(DWORD count, const HANDLE* handles, bool all, DWORD milliseconds, bool alertable)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Object>> objects;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (DWORD index = 0; index < count; ++index) {
            auto object = LookupLocked(handles[index]);
            if (!object) {
                t_lastError = ERROR_INVALID_HANDLE;
                return WAIT_FAILED;
            }
            objects.push_back(std::move(object));
        }
    }
    return Wait(objects, all, milliseconds, alertable);
}

// ---- I/O ----

void StoreResult(OVERLAPPED* record, NTSTATUS status, ULONG_PTR information)
{
    __atomic_store_n(&record->InternalHigh, information, __ATOMIC_RELAXED);
    __atomic_store_n(&record->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)), __ATOMIC_RELEASE);
}

NTSTATUS LoadStatus(const OVERLAPPED* record)
{
    return static_cast<NTSTATUS>(__atomic_load_n(&record->Internal, __ATOMIC_ACQUIRE));
}

// A routine takes the place of the packet, as in Wine (server async.c,
// async_set_result).
void DeliverNoticeLocked(const Pending& pending, LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    OVERLAPPED* record = pending.Record;
    const NTSTATUS status = LoadStatus(record);
    const ULONG_PTR information = record->InternalHigh;
    if (routine != nullptr) {
        const DWORD count = static_cast<DWORD>(information);
        g_apcs[pending.Thread].push_back(
            [routine, record, status, count] { routine(RtlNtStatusToDosError(status), count, record); });
    } else if (pending.Port) {
        pending.Port->Packets.push_back({pending.Key, record, status, information});
    }
}

// What the I/O manager does when an operation completes, in this order: the
// output reaches the caller's buffer (buffered I/O copies it unless the status
// is an error), the status block (Internal, InternalHigh) is written, then
// the event and the file are signalled and the notice given. A client woken
// by the event, its routine or its packet finds its data in place.
void Complete(const std::shared_ptr<FileObject>& file, const std::shared_ptr<Pending>& pending, void* output,
              DWORD outputLength, const std::shared_ptr<EventObject>& event, LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    const NTSTATUS status = pending->Op->Status();
    const ULONG_PTR information = pending->Op->Information();
    if (output != nullptr && (static_cast<ULONG>(status) >> 30) != 3) {  // not NT_ERROR
        const std::vector<uint8_t> bytes = pending->Op->Output();
        const size_t copied = std::min<size_t>(bytes.size(), outputLength);
        if (copied != 0) {
            std::memcpy(output, bytes.data(), copied);
        }
    }
    // The status block and the event change in one hold of the lock that a
    // new operation takes to reset them (StartIo). Otherwise an application
    // that saw the status and at once began its next operation on the same
    // OVERLAPPED would have its fresh event signalled by this completion, and
    // would take the still-pending operation for ended and post another into
    // the same buffer. The event is reset when an operation begins and set
    // when it ends (documentation: "OVERLAPPED structure", hEvent); Windows
    // writes the status block and sets the event back to back in one
    // completion routine, and here a contended lock between the two made the
    // window wide enough to hit.
    std::lock_guard<std::mutex> guard(g_lock);
    StoreResult(pending->Record, status, information);
    pending->Ended = true;
    auto& outstanding = file->Outstanding;
    outstanding.erase(std::remove(outstanding.begin(), outstanding.end(), pending), outstanding.end());
    if (event) {
        event->State = true;
    }
    file->State = true;
    if (routine != nullptr || pending->Port) {
        if (pending->Reported) {
            if (pending->NoticeWanted) {
                DeliverNoticeLocked(*pending, routine);
            }
        } else {
            pending->NoticeDue = true;
        }
    }
    g_changed.notify_all();
}

struct IoRequest {
    std::function<std::shared_ptr<host::IoOperation>(host::FileHandle&)> Start;
    void* Output = nullptr;  // receives the operation's bytes: a read's data, a device control's output
    DWORD OutputLength = 0;
};

// Starts one operation as NtReadFile, NtWriteFile and NtDeviceIoControlFile
// do, with kernel32's handling around them (Wine kernelbase file.c, ReadFile
// and DeviceIoControl): the event is reset and the status block set to
// STATUS_PENDING before the request is sent; without an OVERLAPPED, or on a
// handle opened without FILE_FLAG_OVERLAPPED, the call waits for the end.
// An overlapped call fails with ERROR_IO_PENDING when the dispatch returned
// STATUS_PENDING, which the framework does for every request it queues, so
// an overlapped call on a port reports pending even when the driver answered
// at once; only a request completed inside the dispatch reports its result
// at once. The notice is given for an operation that was pending when the
// call returned or that succeeded, never for one the call reports failed
// (Wine server async.c, async_set_result).
BOOL StartIo(const std::shared_ptr<FileObject>& file, const IoRequest& request, LPDWORD transferred,
             OVERLAPPED* overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr)
{
    if (routine != nullptr && (overlapped == nullptr || !file->Overlapped)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    OVERLAPPED local{};
    OVERLAPPED* record = overlapped != nullptr ? overlapped : &local;
    std::shared_ptr<EventObject> event;
    // ReadFileEx and WriteFileEx leave hEvent to the application
    // (documentation: "ReadFileEx function").
    if (overlapped != nullptr && routine == nullptr && overlapped->hEvent != nullptr) {
        event = Lookup<EventObject>(overlapped->hEvent);
        if (!event) {
            return Fail(ERROR_INVALID_HANDLE);
        }
    }
    auto pending = std::make_shared<Pending>();
    pending->Thread = std::this_thread::get_id();
    pending->Record = record;
    record->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING));
    record->InternalHigh = 0;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (event) {
            event->State = false;
        }
        file->State = false;
        if (overlapped != nullptr) {
            pending->Port = file->Port;
            pending->Key = file->Key;
        }
    }
    if (transferred != nullptr) {
        *transferred = 0;
    }
    pending->Op = request.Start(*file->File);
    // A request the stack completed with an error inside its dispatch, never
    // pending: the I/O manager writes no status block, signals nothing and
    // queues no notice, and the call fails with the status (Wine server
    // async.c, async_set_result; the framework pends every request it queues,
    // so only what fails before a queue comes here).
    const bool dispatchPending = pending->Op->DispatchReturnedPending();
    if (!dispatchPending && pending->Op->Done() && (static_cast<ULONG>(pending->Op->Status()) >> 30) == 3) {
        return FailStatus(pending->Op->Status());
    }
    {
        std::lock_guard<std::mutex> guard(g_lock);
        file->Outstanding.push_back(pending);
    }
    void* output = request.Output;
    const DWORD outputLength = request.OutputLength;
    pending->Op->OnCompletion(
        [file, pending, output, outputLength, event, routine] { Complete(file, pending, output, outputLength, event, routine); });

    std::unique_lock<std::mutex> guard(g_lock);
    const bool synchronous = overlapped == nullptr || !file->Overlapped;
    if (synchronous) {
        g_changed.wait(guard, [&] { return pending->Ended; });
    }
    // An overlapped call whose dispatch returned STATUS_PENDING reports
    // pending even when the operation has ended by then.
    const bool ended = pending->Ended && (synchronous || !dispatchPending);
    const NTSTATUS status = ended ? LoadStatus(record) : STATUS_PENDING;
    const bool succeeds = ended ? NT_SUCCESS(status) : true;
    pending->Reported = true;
    pending->NoticeWanted = succeeds;
    if (pending->NoticeDue && succeeds) {
        DeliverNoticeLocked(*pending, routine);
    }
    guard.unlock();
    if (!ended) {
        return Fail(ERROR_IO_PENDING);
    }
    if (!NT_SUCCESS(status)) {
        return FailStatus(status);
    }
    if (transferred != nullptr) {
        *transferred = static_cast<DWORD>(record->InternalHigh);
    }
    return TRUE;
}

// One synchronous device control of the comm functions.
BOOL Control(HANDLE handle, ULONG code, const void* input = nullptr, DWORD inputLength = 0, void* output = nullptr,
             DWORD outputLength = 0)
{
    DWORD returned = 0;
    return DeviceIoControl(handle, code, const_cast<void*>(input), inputLength, output, outputLength, &returned,
                           nullptr);
}

// The NT name a Win32 device name stands for (documentation: "Naming Files,
// Paths, and Namespaces"): "\\.\X" and "\\?\X" are both "\??\X", and a bare
// device name such as "COM5" is looked up there too.
std::string NtNameOf(const std::string& name)
{
    if (name.rfind("\\\\.\\", 0) == 0 || name.rfind("\\\\?\\", 0) == 0) {
        return "\\??\\" + name.substr(4);
    }
    if (!name.empty() && name[0] == '\\') {
        return name;
    }
    return "\\??\\" + name;
}

// The checks a read or a write makes before anything is sent; false with
// the last error set.
bool TransferAllowed(const FileObject& file, bool write, const void* buffer, DWORD length)
{
    if (!(write ? file.CanWrite : file.CanRead)) {
        Fail(ERROR_ACCESS_DENIED);
        return false;
    }
    if (buffer == nullptr && length != 0) {
        Fail(kErrorNoAccess);
        return false;
    }
    return true;
}

IoRequest ReadRequest(LPVOID buffer, DWORD length)
{
    return IoRequest{[length](host::FileHandle& f) { return f.ReadAsync(length); }, buffer, length};
}

// The bytes are copied when the call is made.
IoRequest WriteRequest(LPCVOID buffer, DWORD length)
{
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    std::vector<uint8_t> data(bytes, bytes + length);
    return IoRequest{[data](host::FileHandle& f) { return f.WriteAsync(data); }};
}

// ReadFileEx and WriteFileEx report a started operation as success: its
// result reaches the completion routine.
BOOL StartIoWithRoutine(const std::shared_ptr<FileObject>& file, const IoRequest& request, LPOVERLAPPED overlapped,
                        LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    const BOOL started = StartIo(file, request, nullptr, overlapped, routine);
    if (!started && t_lastError == ERROR_IO_PENDING) {
        t_lastError = ERROR_SUCCESS;
        return TRUE;
    }
    return started;
}

// ReadFile, WriteFile and their Ex forms, in kernel32's order: the handle, an
// Ex form's routine and record, the handle's access and the buffer are
// checked before the request is built and sent.
BOOL Transfer(HANDLE handle, bool write, const void* buffer, DWORD length, LPDWORD transferred,
              LPOVERLAPPED overlapped, bool withRoutine, LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    auto file = Lookup<FileObject>(handle);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (withRoutine && (routine == nullptr || overlapped == nullptr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!TransferAllowed(*file, write, buffer, length)) {
        return FALSE;
    }
    // A read's buffer came from the caller as writable; only the checks see it as const.
    const IoRequest request = write ? WriteRequest(buffer, length) : ReadRequest(const_cast<void*>(buffer), length);
    return withRoutine ? StartIoWithRoutine(file, request, overlapped, routine)
                       : StartIo(file, request, transferred, overlapped);
}

} // namespace

// ---- Errors ----

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

// The entries of ntdll's table (Wine ntdll error.c, RtlNtStatusToDosErrorNoTeb
// and its conversion tables) for every status the drivers and the stand-in
// produce; success codes other than STATUS_TIMEOUT and STATUS_PENDING, and
// customer codes, are returned as they are, and a status without an entry
// becomes ERROR_MR_MID_NOT_FOUND, as there.
ULONG RtlNtStatusToDosError(NTSTATUS Status)
{
    const ULONG status = static_cast<ULONG>(Status);
    switch (Status) {
    case STATUS_TIMEOUT: return ERROR_TIMEOUT;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_BUFFER_OVERFLOW: return ERROR_MORE_DATA;
    case STATUS_DEVICE_BUSY: return ERROR_BUSY;
    case STATUS_NO_MORE_ENTRIES: return ERROR_NO_MORE_ITEMS;
    case STATUS_UNSUCCESSFUL: return ERROR_GEN_FAILURE;
    case STATUS_NOT_IMPLEMENTED: return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_NO_SUCH_DEVICE: return ERROR_FILE_NOT_FOUND;
    case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
    case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_OBJECT_TYPE_MISMATCH: return ERROR_INVALID_HANDLE;
    case STATUS_OBJECT_NAME_INVALID: return ERROR_INVALID_NAME;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_NAME_COLLISION: return ERROR_ALREADY_EXISTS;
    case STATUS_SHARING_VIOLATION: return ERROR_SHARING_VIOLATION;
    case STATUS_DELETE_PENDING: return ERROR_ACCESS_DENIED;
    case STATUS_INSUFFICIENT_RESOURCES: return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_DEVICE_NOT_CONNECTED: return ERROR_DEVICE_NOT_CONNECTED;
    case STATUS_IO_TIMEOUT: return ERROR_SEM_TIMEOUT;
    case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_DEVICE_CONFIGURATION_ERROR: return ERROR_INVALID_PARAMETER;
    case STATUS_INVALID_DEVICE_STATE: return ERROR_BAD_COMMAND;
    case STATUS_DEVICE_PROTOCOL_ERROR: return ERROR_IO_DEVICE;
    case STATUS_INVALID_BUFFER_SIZE: return ERROR_INVALID_USER_BUFFER;
    case STATUS_NOT_FOUND: return ERROR_NOT_FOUND;
    case STATUS_DEVICE_REMOVED: return ERROR_DEVICE_REMOVED;
    default: break;
    }
    if (status == 0 || (status & 0x20000000) != 0 || (status & 0xC0000000) == 0) {
        return status;  // success and informational codes other than the two above, and customer codes
    }
    if ((status >> 16) == 0xC001 || (status >> 16) == 0x8007) {
        return status & 0xFFFF;  // Win32 errors carried in a status
    }
    return ERROR_MR_MID_NOT_FOUND;
}

// ---- Files ----

// CreateFile: IRP_MJ_CREATE; the driver's open tells the device of the handle.
// A successful open sets the last error to 0 (Wine kernelbase file.c,
// CreateFileW).
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE)
{
    if (lpFileName == nullptr || *lpFileName == '\0') {
        t_lastError = lpFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    std::unique_ptr<host::FileHandle> handle;
    const NTSTATUS status = host::OpenDevice(NtNameOf(lpFileName), handle);
    if (!NT_SUCCESS(status)) {
        t_lastError = RtlNtStatusToDosError(status);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<FileObject>();
    file->File = std::move(handle);
    file->Overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    file->CanRead = (dwDesiredAccess & GENERIC_READ) != 0;
    file->CanWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
    t_lastError = ERROR_SUCCESS;
    return Insert(std::move(file));
}

// CreateFileW: the same open. Wine (kernelbase file.c, CreateFileA) turns the
// narrow name into a wide one and calls CreateFileW; here the other way round,
// as every name the object namespace holds is ASCII.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    std::string name;
    for (const WCHAR* c = lpFileName; c != nullptr && *c != 0; ++c) {
        if (*c > 0x7F) {
            t_lastError = ERROR_FILE_NOT_FOUND;
            return INVALID_HANDLE_VALUE;
        }
        name += static_cast<char>(*c);
    }
    return CreateFileA(lpFileName != nullptr ? name.c_str() : nullptr, dwDesiredAccess, dwShareMode,
                       lpSecurityAttributes, dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

// CloseHandle of a file: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once the handle's
// requests have ended (the stand-in's close waits for them). Of a completion
// port: the calls waiting on it fail with ERROR_ABANDONED_WAIT_0
// (documentation: "GetQueuedCompletionStatus function"); files bound to it
// still queue their packets to it, which no one takes.
BOOL CloseHandle(HANDLE hObject)
{
    std::shared_ptr<Object> object;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto found = g_handles.find(reinterpret_cast<uintptr_t>(hObject));
        if (found == g_handles.end()) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        object = std::move(found->second);
        g_handles.erase(found);
    }
    if (auto file = std::dynamic_pointer_cast<FileObject>(object)) {
        file->File->Close();
    } else if (auto port = std::dynamic_pointer_cast<PortObject>(object)) {
        std::lock_guard<std::mutex> guard(g_lock);
        port->Closed = true;
        g_changed.notify_all();
    }
    return TRUE;
}

// A COM port is a character device (documentation: "GetFileType function").
DWORD GetFileType(HANDLE hFile)
{
    if (!Lookup<FileObject>(hFile)) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FILE_TYPE_UNKNOWN;
    }
    t_lastError = NO_ERROR;
    return FILE_TYPE_CHAR;
}

// ReadFile: IRP_MJ_READ of nNumberOfBytesToRead bytes.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped)
{
    return Transfer(hFile, false, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped, false, nullptr);
}

// WriteFile: IRP_MJ_WRITE of nNumberOfBytesToWrite bytes, copied when the call is made.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped)
{
    return Transfer(hFile, true, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped, false,
                    nullptr);
}

// ReadFileEx and WriteFileEx: the same requests; when one completes, its
// routine is queued to the starting thread and runs in that thread's next
// alertable wait (documentation: "ReadFileEx function", "Alertable I/O"). A
// call that fails queues nothing.
BOOL ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    return Transfer(hFile, false, lpBuffer, nNumberOfBytesToRead, nullptr, lpOverlapped, true, lpCompletionRoutine);
}

BOOL WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPOVERLAPPED lpOverlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    return Transfer(hFile, true, lpBuffer, nNumberOfBytesToWrite, nullptr, lpOverlapped, true, lpCompletionRoutine);
}

// DeviceIoControl: IRP_MJ_DEVICE_CONTROL with the input copied when the call
// is made. Only METHOD_BUFFERED codes are modelled; any other is refused
// without reaching the driver, as the port driver would refuse it.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    auto file = Lookup<FileObject>(hDevice);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if ((dwIoControlCode & 3) != METHOD_BUFFERED) {
        return Fail(ERROR_INVALID_FUNCTION);
    }
    if ((lpInBuffer == nullptr && nInBufferSize != 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        return Fail(kErrorNoAccess);
    }
    const auto* bytes = static_cast<const uint8_t*>(lpInBuffer);
    std::vector<uint8_t> input(bytes, bytes + nInBufferSize);
    IoRequest request{[dwIoControlCode, input, nOutBufferSize](host::FileHandle& f) {
                          return f.DeviceIoControlAsync(dwIoControlCode, input, nOutBufferSize);
                      },
                      lpOutBuffer, nOutBufferSize};
    return StartIo(file, request, lpBytesReturned, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    return GetOverlappedResultEx(hFile, lpOverlapped, lpNumberOfBytesTransferred, bWait ? INFINITE : 0, FALSE);
}

// Reads the status block the completion wrote (Wine kernelbase sync.c,
// GetOverlappedResultEx; documentation: "GetOverlappedResultEx function"):
// while it is STATUS_PENDING a zero time-out fails with ERROR_IO_INCOMPLETE;
// otherwise the call waits on hEvent, or on the file when there is none, and
// a wait that ends without the object fails with its result (WAIT_TIMEOUT,
// WAIT_IO_COMPLETION). A status that is not NT_SUCCESS fails with its error.
BOOL GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                           DWORD dwMilliseconds, BOOL bAlertable)
{
    if (lpOverlapped == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    NTSTATUS status = LoadStatus(lpOverlapped);
    if (status == STATUS_PENDING) {
        if (dwMilliseconds == 0) {
            return Fail(ERROR_IO_INCOMPLETE);
        }
        const DWORD waited =
            WaitForSingleObjectEx(lpOverlapped->hEvent != nullptr ? lpOverlapped->hEvent : hFile, dwMilliseconds,
                                  bAlertable);
        if (waited == WAIT_FAILED) {
            return FALSE;
        }
        if (waited != WAIT_OBJECT_0) {
            return Fail(waited);
        }
        status = LoadStatus(lpOverlapped);
        if (status == STATUS_PENDING) {
            status = STATUS_SUCCESS;  // as Wine: the object was signalled by something else
        }
    }
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    }
    if (!NT_SUCCESS(status)) {
        return FailStatus(status);
    }
    return TRUE;
}

namespace {

// Cancels the handle's operations that `matches` selects; false when none was
// in progress.
bool CancelMatching(FileObject& file, const std::function<bool(const Pending&)>& matches)
{
    std::vector<std::shared_ptr<host::IoOperation>> chosen;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto& pending : file.Outstanding) {
            if (!pending->Ended && matches(*pending)) {
                chosen.push_back(pending->Op);
            }
        }
    }
    for (auto& op : chosen) {
        op->Cancel();
    }
    return !chosen.empty();
}

} // namespace

// CancelIo: the calling thread's operations on the handle only
// (documentation: "CancelIo function"); it succeeds with none.
BOOL CancelIo(HANDLE hFile)
{
    auto file = Lookup<FileObject>(hFile);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const auto self = std::this_thread::get_id();
    CancelMatching(*file, [self](const Pending& pending) { return pending.Thread == self; });
    return TRUE;
}

// CancelIoEx: every thread's operations on the handle, or the one started with
// lpOverlapped; with nothing to cancel it fails with ERROR_NOT_FOUND
// (documentation: "CancelIoEx function").
BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    auto file = Lookup<FileObject>(hFile);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const bool cancelled = CancelMatching(*file, [lpOverlapped](const Pending& pending) {
        return lpOverlapped == nullptr || pending.Record == lpOverlapped;
    });
    return cancelled ? TRUE : Fail(ERROR_NOT_FOUND);
}

// FlushFileBuffers: IRP_MJ_FLUSH_BUFFERS, waited for in the calling thread
// also on an overlapped handle; the handle needs write access (documentation:
// "FlushFileBuffers function").
BOOL FlushFileBuffers(HANDLE hFile)
{
    auto file = Lookup<FileObject>(hFile);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!file->CanWrite) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    const NTSTATUS status = file->File->Flush();
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

// ---- Events and waits ----

// CreateEventExW: CREATE_EVENT_MANUAL_RESET makes a manual-reset event,
// CREATE_EVENT_INITIAL_SET a signalled one (Wine kernelbase sync.c,
// CreateEventExW); CreateEventA and CreateEventW come down to it, as in Wine.
HANDLE CreateEventExW(LPSECURITY_ATTRIBUTES, LPCWSTR lpName, DWORD dwFlags, DWORD)
{
    if (lpName != nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;  // named objects are not modelled
        return nullptr;
    }
    t_lastError = ERROR_SUCCESS;
    return Insert(std::make_shared<EventObject>((dwFlags & CREATE_EVENT_MANUAL_RESET) != 0,
                                                (dwFlags & CREATE_EVENT_INITIAL_SET) != 0));
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    const DWORD flags = (bManualReset ? CREATE_EVENT_MANUAL_RESET : 0) | (bInitialState ? CREATE_EVENT_INITIAL_SET : 0);
    return CreateEventExW(lpEventAttributes, lpName, flags, 0);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    if (lpName != nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, nullptr);
}

BOOL SetEvent(HANDLE hEvent)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto event = std::dynamic_pointer_cast<EventObject>(LookupLocked(hEvent));
    if (!event) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    event->State = true;
    g_changed.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto event = std::dynamic_pointer_cast<EventObject>(LookupLocked(hEvent));
    if (!event) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    event->State = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitHandles(1, &hHandle, false, dwMilliseconds, false);
}

DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable)
{
    return WaitHandles(1, &hHandle, false, dwMilliseconds, bAlertable != FALSE);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    return WaitHandles(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds, false);
}

DWORD WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                               BOOL bAlertable)
{
    return WaitHandles(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds, bAlertable != FALSE);
}

// SleepEx: an alertable sleep ends early, with WAIT_IO_COMPLETION, once it has
// run the thread's queued completion routines; otherwise it returns 0.
DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable)
{
    return Wait({}, false, dwMilliseconds, bAlertable != FALSE) == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

void Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

// ---- I/O completion ports ----

// CreateIoCompletionPort (Wine kernelbase sync.c, CreateIoCompletionPort, and
// server fd.c, set_completion_info): without an existing port a new one is
// made; with one, FileHandle must be a file. A file opened without
// FILE_FLAG_OVERLAPPED, or already bound, is refused with
// ERROR_INVALID_PARAMETER, and a port made for the call is closed again.
HANDLE CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort, ULONG_PTR CompletionKey, DWORD)
{
    std::shared_ptr<PortObject> port;
    HANDLE result = ExistingCompletionPort;
    if (ExistingCompletionPort == nullptr) {
        port = std::make_shared<PortObject>();
        result = Insert(port);
    } else if (FileHandle == INVALID_HANDLE_VALUE) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    } else if (!(port = Lookup<PortObject>(ExistingCompletionPort))) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (FileHandle != INVALID_HANDLE_VALUE) {
        DWORD error = ERROR_SUCCESS;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            auto file = std::dynamic_pointer_cast<FileObject>(LookupLocked(FileHandle));
            if (!file) {
                error = ERROR_INVALID_HANDLE;
            } else if (!file->Overlapped || file->Port) {
                error = ERROR_INVALID_PARAMETER;
            } else {
                file->Port = port;
                file->Key = CompletionKey;
            }
        }
        if (error != ERROR_SUCCESS) {
            if (ExistingCompletionPort == nullptr) {
                CloseHandle(result);
            }
            t_lastError = error;
            return nullptr;
        }
    }
    return result;
}

namespace {

// NtRemoveIoCompletionEx: up to `most` packets once there is one; the error
// when the wait ends without: WAIT_TIMEOUT, ERROR_ABANDONED_WAIT_0 once the
// port's handle is closed, or WAIT_IO_COMPLETION when an alertable wait ran
// the thread's completion routines, which it looks at only while no packet
// is queued, as the kernel's waits do.
DWORD TakePackets(HANDLE handle, ULONG most, DWORD milliseconds, bool alertable,
                  std::vector<PortObject::Packet>& taken)
{
    std::unique_lock<std::mutex> guard(g_lock);
    auto port = std::dynamic_pointer_cast<PortObject>(LookupLocked(handle));
    if (!port) {
        return ERROR_INVALID_HANDLE;
    }
    return WaitLocked(guard, milliseconds, alertable, [&]() -> std::optional<DWORD> {
        if (port->Closed) {
            return ERROR_ABANDONED_WAIT_0;
        }
        if (port->Packets.empty()) {
            return std::nullopt;
        }
        while (taken.size() < most && !port->Packets.empty()) {
            taken.push_back(port->Packets.front());
            port->Packets.pop_front();
        }
        return ERROR_SUCCESS;
    });
}

} // namespace

// GetQueuedCompletionStatus (Wine kernelbase sync.c): *lpOverlapped is NULL
// unless a packet was taken; a packet of a failed operation is taken and the
// call fails with the operation's error.
BOOL GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred, PULONG_PTR lpCompletionKey,
                               LPOVERLAPPED* lpOverlapped, DWORD dwMilliseconds)
{
    *lpOverlapped = nullptr;
    std::vector<PortObject::Packet> taken;
    const DWORD error = TakePackets(CompletionPort, 1, dwMilliseconds, false, taken);
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    const PortObject::Packet& packet = taken.front();
    *lpNumberOfBytesTransferred = static_cast<DWORD>(packet.Information);
    *lpCompletionKey = packet.Key;
    *lpOverlapped = packet.Overlapped;
    return NT_SUCCESS(packet.Status) ? TRUE : FailStatus(packet.Status);
}

// GetQueuedCompletionStatusEx (Wine kernelbase sync.c): succeeds with every
// packet it takes, whatever their operations' statuses.
BOOL GetQueuedCompletionStatusEx(HANDLE CompletionPort, LPOVERLAPPED_ENTRY lpCompletionPortEntries, ULONG ulCount,
                                 PULONG ulNumEntriesRemoved, DWORD dwMilliseconds, BOOL fAlertable)
{
    std::vector<PortObject::Packet> taken;
    const DWORD error = TakePackets(CompletionPort, ulCount, dwMilliseconds, fAlertable != FALSE, taken);
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    for (size_t index = 0; index < taken.size(); ++index) {
        const PortObject::Packet& packet = taken[index];
        lpCompletionPortEntries[index] = {packet.Key, packet.Overlapped,
                                          static_cast<ULONG_PTR>(static_cast<ULONG>(packet.Status)),
                                          static_cast<DWORD>(packet.Information)};
    }
    *ulNumEntriesRemoved = static_cast<ULONG>(taken.size());
    return TRUE;
}

// PostQueuedCompletionStatus: a packet with STATUS_SUCCESS and the given
// count, key and OVERLAPPED (Wine kernelbase sync.c).
BOOL PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred, ULONG_PTR dwCompletionKey,
                                LPOVERLAPPED lpOverlapped)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto port = std::dynamic_pointer_cast<PortObject>(LookupLocked(CompletionPort));
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    port->Packets.push_back({dwCompletionKey, lpOverlapped, STATUS_SUCCESS, dwNumberOfBytesTransferred});
    g_changed.notify_all();
    return TRUE;
}

// ---- Comm ----
//
// Each function sends what Wine (kernelbase file.c) and ReactOS (kernel32
// wine/comm.c) send for it; the two agree on every sequence and buffer here.

// GetCommState: IOCTL_SERIAL_GET_BAUD_RATE, GET_LINE_CONTROL, GET_HANDFLOW,
// GET_CHARS, stopping at the first failure. The DCB is cleared first, as
// ReactOS does (Wine leaves the fields it does not set as the caller had
// them), so every field is defined; fBinary is 1 and fParity 0, as both set.
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_HANDFLOW flow{};
    SERIAL_CHARS chars{};
    if (!Control(hFile, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof(baud)) ||
        !Control(hFile, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof(line)) ||
        !Control(hFile, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof(flow)) ||
        !Control(hFile, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof(chars))) {
        return FALSE;
    }
    std::memset(lpDCB, 0, sizeof(*lpDCB));
    lpDCB->DCBlength = sizeof(*lpDCB);
    lpDCB->BaudRate = baud.BaudRate;
    lpDCB->fBinary = 1;
    lpDCB->fParity = 0;
    lpDCB->fOutxCtsFlow = (flow.ControlHandShake & kSerialCtsHandshake) != 0;
    lpDCB->fOutxDsrFlow = (flow.ControlHandShake & kSerialDsrHandshake) != 0;
    switch (flow.ControlHandShake & (kSerialDtrControl | kSerialDtrHandshake)) {
    case kSerialDtrControl: lpDCB->fDtrControl = DTR_CONTROL_ENABLE; break;
    case kSerialDtrHandshake: lpDCB->fDtrControl = DTR_CONTROL_HANDSHAKE; break;
    default: lpDCB->fDtrControl = DTR_CONTROL_DISABLE; break;
    }
    switch (flow.FlowReplace & (kSerialRtsControl | kSerialRtsHandshake)) {
    case kSerialRtsControl: lpDCB->fRtsControl = RTS_CONTROL_ENABLE; break;
    case kSerialRtsHandshake: lpDCB->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case kSerialRtsControl | kSerialRtsHandshake: lpDCB->fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: lpDCB->fRtsControl = RTS_CONTROL_DISABLE; break;
    }
    lpDCB->fDsrSensitivity = (flow.ControlHandShake & kSerialDsrSensitivity) != 0;
    lpDCB->fAbortOnError = (flow.ControlHandShake & kSerialErrorAbort) != 0;
    lpDCB->fErrorChar = (flow.FlowReplace & kSerialErrorChar) != 0;
    lpDCB->fNull = (flow.FlowReplace & kSerialNullStripping) != 0;
    lpDCB->fTXContinueOnXoff = (flow.FlowReplace & kSerialXoffContinue) != 0;
    lpDCB->fOutX = (flow.FlowReplace & kSerialAutoTransmit) != 0;
    lpDCB->fInX = (flow.FlowReplace & kSerialAutoReceive) != 0;
    lpDCB->XonLim = static_cast<WORD>(flow.XonLimit);
    lpDCB->XoffLim = static_cast<WORD>(flow.XoffLimit);
    lpDCB->ByteSize = line.WordLength;
    lpDCB->Parity = line.Parity;
    lpDCB->StopBits = line.StopBits;
    lpDCB->XonChar = static_cast<char>(chars.XonChar);
    lpDCB->XoffChar = static_cast<char>(chars.XoffChar);
    lpDCB->ErrorChar = static_cast<char>(chars.ErrorChar);
    lpDCB->EofChar = static_cast<char>(chars.EofChar);
    lpDCB->EvtChar = static_cast<char>(chars.EventChar);
    return TRUE;
}

// SetCommState: the DCB is checked before anything is sent, then
// IOCTL_SERIAL_SET_BAUD_RATE, SET_LINE_CONTROL, SET_HANDFLOW and SET_CHARS,
// stopping at the first failure; nothing is read before and nothing restored
// after. The DTR and RTS lines follow the handflow's SERIAL_DTR_CONTROL and
// SERIAL_RTS_CONTROL: no line request is sent. A DTR mode of 3 is refused
// with ERROR_INVALID_PARAMETER (both sources). So is XON/XOFF flow control
// with XonChar equal to XoffChar: the documentation ("SetCommState function")
// says the call fails when the two are equal; the sources leave that to the
// driver, and this port driver does not check it, so it is refused here, and
// only while XON/XOFF is on, because a port whose characters were never set
// reports both as 0 and a GetCommState/SetCommState round must still work.
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    SERIAL_HANDFLOW flow{};
    if (lpDCB->fOutxCtsFlow) {
        flow.ControlHandShake |= kSerialCtsHandshake;
    }
    if (lpDCB->fOutxDsrFlow) {
        flow.ControlHandShake |= kSerialDsrHandshake;
    }
    switch (lpDCB->fDtrControl) {
    case DTR_CONTROL_DISABLE: break;
    case DTR_CONTROL_ENABLE: flow.ControlHandShake |= kSerialDtrControl; break;
    case DTR_CONTROL_HANDSHAKE: flow.ControlHandShake |= kSerialDtrHandshake; break;
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
    switch (lpDCB->fRtsControl) {
    case RTS_CONTROL_DISABLE: break;
    case RTS_CONTROL_ENABLE: flow.FlowReplace |= kSerialRtsControl; break;
    case RTS_CONTROL_HANDSHAKE: flow.FlowReplace |= kSerialRtsHandshake; break;
    default: flow.FlowReplace |= kSerialRtsControl | kSerialRtsHandshake; break;  // RTS_CONTROL_TOGGLE
    }
    if ((lpDCB->fOutX || lpDCB->fInX) && lpDCB->XonChar == lpDCB->XoffChar) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (lpDCB->fDsrSensitivity) {
        flow.ControlHandShake |= kSerialDsrSensitivity;
    }
    if (lpDCB->fAbortOnError) {
        flow.ControlHandShake |= kSerialErrorAbort;
    }
    if (lpDCB->fErrorChar) {
        flow.FlowReplace |= kSerialErrorChar;
    }
    if (lpDCB->fNull) {
        flow.FlowReplace |= kSerialNullStripping;
    }
    if (lpDCB->fTXContinueOnXoff) {
        flow.FlowReplace |= kSerialXoffContinue;
    }
    if (lpDCB->fOutX) {
        flow.FlowReplace |= kSerialAutoTransmit;
    }
    if (lpDCB->fInX) {
        flow.FlowReplace |= kSerialAutoReceive;
    }
    flow.XonLimit = lpDCB->XonLim;
    flow.XoffLimit = lpDCB->XoffLim;
    const SERIAL_BAUD_RATE baud{lpDCB->BaudRate};
    const SERIAL_LINE_CONTROL line{lpDCB->StopBits, lpDCB->Parity, lpDCB->ByteSize};
    SERIAL_CHARS chars{};
    chars.EofChar = static_cast<UCHAR>(lpDCB->EofChar);
    chars.ErrorChar = static_cast<UCHAR>(lpDCB->ErrorChar);
    chars.BreakChar = 0;
    chars.EventChar = static_cast<UCHAR>(lpDCB->EvtChar);
    chars.XonChar = static_cast<UCHAR>(lpDCB->XonChar);
    chars.XoffChar = static_cast<UCHAR>(lpDCB->XoffChar);
    return Control(hFile, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud)) &&
           Control(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line)) &&
           Control(hFile, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)) &&
           Control(hFile, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars));
}

// GetCommTimeouts: IOCTL_SERIAL_GET_TIMEOUTS into the caller's structure,
// whose layout is SERIAL_TIMEOUTS'.
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS), "COMMTIMEOUTS mirrors SERIAL_TIMEOUTS");
    if (lpCommTimeouts == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts, sizeof(*lpCommTimeouts));
}

// SetCommTimeouts: IOCTL_SERIAL_SET_TIMEOUTS with the structure as it is.
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpCommTimeouts == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(*lpCommTimeouts));
}

// GetCommMask: IOCTL_SERIAL_GET_WAIT_MASK.
BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

// SetCommMask: IOCTL_SERIAL_SET_WAIT_MASK, which also ends a pending WaitCommEvent.
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof(dwEvtMask));
}

// WaitCommEvent: IOCTL_SERIAL_WAIT_ON_MASK, overlapped when lpOverlapped is given.
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), nullptr,
                           lpOverlapped);
}

// PurgeComm: IOCTL_SERIAL_PURGE with the flags as they are.
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) { return Control(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof(dwFlags)); }

// ClearCommError: IOCTL_SERIAL_GET_COMMSTATUS. The driver's SERIAL_ERROR_*
// bits become CE_* bits and its hold reasons COMSTAT's flags; the COMSTAT is
// cleared first, as ReactOS does (Wine sets every named field and leaves
// fReserved as it was).
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS serial{};
    if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &serial, sizeof(serial))) {
        return FALSE;
    }
    if (lpErrors != nullptr) {
        DWORD errors = 0;
        if (serial.Errors & kSerialErrorBreak) {
            errors |= CE_BREAK;
        }
        if (serial.Errors & kSerialErrorFraming) {
            errors |= CE_FRAME;
        }
        if (serial.Errors & kSerialErrorOverrun) {
            errors |= CE_OVERRUN;
        }
        if (serial.Errors & kSerialErrorQueueOverrun) {
            errors |= CE_RXOVER;
        }
        if (serial.Errors & kSerialErrorParity) {
            errors |= CE_RXPARITY;
        }
        *lpErrors = errors;
    }
    if (lpStat != nullptr) {
        std::memset(lpStat, 0, sizeof(*lpStat));
        lpStat->fCtsHold = (serial.HoldReasons & kTxWaitingForCts) != 0;
        lpStat->fDsrHold = (serial.HoldReasons & kTxWaitingForDsr) != 0;
        lpStat->fRlsdHold = (serial.HoldReasons & kTxWaitingForDcd) != 0;
        lpStat->fXoffHold = (serial.HoldReasons & kTxWaitingForXon) != 0;
        lpStat->fXoffSent = (serial.HoldReasons & kTxWaitingXoffSent) != 0;
        lpStat->fEof = serial.EofReceived != 0;
        lpStat->fTxim = serial.WaitForImmediate != 0;
        lpStat->cbInQue = serial.AmountInInQueue;
        lpStat->cbOutQue = serial.AmountInOutQueue;
    }
    return TRUE;
}

// EscapeCommFunction: SETXOFF, SETXON, SETRTS, CLRRTS, SETDTR, CLRDTR,
// RESETDEV, SETBREAK and CLRBREAK each become the serial request of that name,
// with no buffers; any other function is refused before anything is sent.
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    ULONG code;
    switch (dwFunc) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case RESETDEV: code = IOCTL_SERIAL_RESET_DEVICE; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
    return Control(hFile, code);
}

// SetCommBreak and ClearCommBreak: IOCTL_SERIAL_SET_BREAK_ON and _OFF.
BOOL SetCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, SETBREAK); }
BOOL ClearCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, CLRBREAK); }

// GetCommModemStatus: IOCTL_SERIAL_GET_MODEMSTATUS.
BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    return Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(DWORD));
}

// GetCommProperties: IOCTL_SERIAL_GET_PROPERTIES into the caller's structure.
BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP), "COMMPROP mirrors SERIAL_COMMPROP");
    return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(*lpCommProp));
}

// SetupComm: IOCTL_SERIAL_SET_QUEUE_SIZE with the two sizes (SERIAL_QUEUE_SIZE).
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    const ULONG sizes[2] = {dwInQueue, dwOutQueue};
    return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, sizes, sizeof(sizes));
}

// TransmitCommChar: IOCTL_SERIAL_IMMEDIATE_CHAR with the one character.
BOOL TransmitCommChar(HANDLE hFile, char cChar)
{
    return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar, sizeof(cChar));
}
