// Three serial clients, replayed: the Win32 calls each makes, in its order,
// with its argument values and structure contents, taken from its public
// source, against the whole system (both drivers, the bridge model looping
// every port back). Each client is a class whose members are the client's
// own functions; a call the client checks and would raise on records the
// client's error, and a call it leaves unchecked must not fail all the same.
// Where a client meets a limit these ports keep on purpose (time-outs stored
// but not applied, fixed modem lines, zero special characters and handflow,
// no flow control), a test shows what the client sees.
#include "support/port_system.h"
#include "support/stream_check.h"
#include "support/wide_string.h"

#include "host/win32/comm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using test::Wide;

// Generous: an operation that has not ended by then is taken as hung.
constexpr DWORD kBoundMs = 10'000;
// How long a replay watches a read whose time-out is at most 1 ms: a hundred
// times that. A time-out applied would have ended it long before.
constexpr DWORD kPastTimeoutMs = 100;

// Three full frames and a short one.
constexpr size_t kMessageSize = 3 * 56 + 13;

// A call the client makes without looking at its result.
void Unchecked(BOOL succeeded, const char* call)
{
    EXPECT_TRUE(succeeded) << call << " failed with error " << GetLastError();
}

// GetOverlappedResult with bWait TRUE, bounded: where the client would wait
// forever the test fails instead, and the operation is cancelled so that the
// handle still closes. The last error is the call's, as the client reads it.
BOOL WaitResult(HANDLE handle, OVERLAPPED& operation, DWORD* transferred, const char* what)
{
    if (GetOverlappedResultEx(handle, &operation, transferred, kBoundMs, FALSE)) {
        return TRUE;
    }
    if (GetLastError() != WAIT_TIMEOUT) {
        return FALSE;
    }
    ADD_FAILURE() << what << " did not end within " << kBoundMs << " ms";
    CancelIoEx(handle, &operation);
    GetOverlappedResultEx(handle, &operation, transferred, kBoundMs, FALSE);
    SetLastError(WAIT_TIMEOUT);
    return FALSE;
}

// ======== pyserial ========

// pyserial serial/serialwin32.py, Serial.open, _reconfigure_port, write, read,
// in_waiting, out_waiting, flush, reset_input_buffer, cancel_read,
// cancel_write and _close, through serial/win32.py, which binds CreateFileW
// and CreateEventW. Serial's defaults (serial/serialutil.py,
// SerialBase.__init__): 9600 baud, 8N1, timeout None, no flow control, RTS
// and DTR on; write_timeout and inter_byte_timeout None.
struct PySerialSettings {
    DWORD Baudrate = 9600;
    std::optional<double> Timeout;  // seconds; nullopt is None
    bool Xonxoff = false;
};

class PySerial {
public:
    ~PySerial() { Close(); }

    // Serial(port, ...), which opens at once: false where it raises.
    bool Open(const std::string& port, const PySerialSettings& settings = {})
    {
        Config = settings;
        // "\\.\COMx" only above COM8, as pyserial does.
        std::string name = port;
        if (port.rfind("COM", 0) == 0 && std::stoi(port.substr(3)) > 8) {
            name = "\\\\.\\" + port;
        }
        Port = CreateFileW(Wide(name).data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (Port == INVALID_HANDLE_VALUE) {
            return Raise("could not open port", GetLastError());
        }
        ReadOverlapped = OVERLAPPED{};
        ReadOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        WriteOverlapped = OVERLAPPED{};
        WriteOverlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        Unchecked(SetupComm(Port, 4096, 4096), "SetupComm");
        Unchecked(GetCommTimeouts(Port, &OriginalTimeouts), "GetCommTimeouts");
        if (!ReconfigurePort()) {
            CloseHandles();
            return false;
        }
        Unchecked(PurgeComm(Port, PURGE_TXCLEAR | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_RXABORT), "PurgeComm");
        IsOpen = true;
        return true;
    }

    // What setting timeout, xonxoff or baudrate on an open port runs.
    bool ReconfigurePort()
    {
        COMMTIMEOUTS timeouts{};
        if (Config.Timeout && *Config.Timeout == 0) {
            timeouts.ReadIntervalTimeout = MAXDWORD;
        } else if (Config.Timeout) {
            timeouts.ReadTotalTimeoutConstant = std::max(static_cast<DWORD>(*Config.Timeout * 1000), DWORD{1});
        }
        Unchecked(SetCommTimeouts(Port, &timeouts), "SetCommTimeouts");
        Unchecked(SetCommMask(Port, EV_ERR), "SetCommMask");
        DCB dcb{};
        Unchecked(GetCommState(Port, &dcb), "GetCommState");
        dcb.BaudRate = Config.Baudrate;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.fParity = 0;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = 1;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutxCtsFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fOutxDsrFlow = 0;
        dcb.fOutX = Config.Xonxoff;
        dcb.fInX = Config.Xonxoff;
        dcb.fNull = 0;
        dcb.fErrorChar = 0;
        dcb.fAbortOnError = 0;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        if (!SetCommState(Port, &dcb)) {
            return Raise("Cannot configure port, something went wrong.", GetLastError());
        }
        return true;
    }

    void SetTimeout(std::optional<double> timeout)
    {
        Config.Timeout = timeout;
        EXPECT_TRUE(ReconfigurePort()) << Raised;
    }
    void SetXonxoff(bool xonxoff)
    {
        Config.Xonxoff = xonxoff;
        EXPECT_TRUE(ReconfigurePort()) << Raised;
    }

    // write(data) with write_timeout None: waits for the write to end.
    std::optional<DWORD> Write(const Bytes& data)
    {
        DWORD written = 0;
        const BOOL success = WriteFile(Port, data.data(), static_cast<DWORD>(data.size()), &written, &WriteOverlapped);
        if (!success && GetLastError() != ERROR_SUCCESS && GetLastError() != ERROR_IO_PENDING) {
            Raise("WriteFile failed", GetLastError());
            return std::nullopt;
        }
        WaitResult(Port, WriteOverlapped, &written, "pyserial's write");
        if (GetLastError() == ERROR_OPERATION_ABORTED) {
            return written;  // a cancelled write is no error to pyserial
        }
        if (written != data.size()) {
            Raise("SerialTimeoutException: Write timeout", 0);
            return std::nullopt;
        }
        return written;
    }

    std::optional<DWORD> InWaiting() { return Status(&COMSTAT::cbInQue); }
    std::optional<DWORD> OutWaiting() { return Status(&COMSTAT::cbOutQue); }

    // flush(): polls out_waiting every 50 ms until it is 0 (bounded here).
    void Flush()
    {
        for (DWORD waited = 0; OutWaiting().value_or(0) != 0; waited += 50) {
            ASSERT_LT(waited, kBoundMs) << "out_waiting never reached 0";
            Sleep(50);
        }
    }

    // read(size), in two halves so that a test can watch the read between
    // them: StartRead makes the calls up to ReadFile, FinishRead waits for the
    // read as GetOverlappedResult(bWait TRUE) does and returns what read()
    // returns. A read of nothing (size 0, or timeout 0 with an empty input
    // queue) sends no ReadFile.
    bool StartRead(DWORD size)
    {
        ReadBuffer.clear();
        ReadPending = false;
        if (size == 0) {
            return true;
        }
        Unchecked(ResetEvent(ReadOverlapped.hEvent), "ResetEvent");
        DWORD flags = 0;
        COMSTAT comstat{};
        if (!ClearCommError(Port, &flags, &comstat)) {
            return Raise("ClearCommError failed", GetLastError());
        }
        const DWORD count = (Config.Timeout && *Config.Timeout == 0) ? std::min(comstat.cbInQue, size) : size;
        if (count == 0) {
            return true;
        }
        ReadBuffer.resize(count);
        DWORD read = 0;
        const BOOL readOk = ReadFile(Port, ReadBuffer.data(), count, &read, &ReadOverlapped);
        if (!readOk && GetLastError() != ERROR_SUCCESS && GetLastError() != ERROR_IO_PENDING) {
            return Raise("ReadFile failed", GetLastError());
        }
        ReadPending = true;
        return true;
    }
    std::optional<Bytes> FinishRead()
    {
        if (!ReadPending) {
            return Bytes{};
        }
        ReadPending = false;
        DWORD read = 0;
        if (!WaitResult(Port, ReadOverlapped, &read, "pyserial's read") && GetLastError() != ERROR_OPERATION_ABORTED) {
            Raise("GetOverlappedResult failed", GetLastError());
            return std::nullopt;
        }
        ReadBuffer.resize(read);
        return ReadBuffer;
    }
    std::optional<Bytes> Read(DWORD size)
    {
        if (!StartRead(size)) {
            return std::nullopt;
        }
        return FinishRead();
    }

    void ResetInputBuffer()
    {
        Unchecked(PurgeComm(Port, PURGE_RXCLEAR | PURGE_RXABORT), "PurgeComm");
    }

    // cancel_read and cancel_write, which another thread may call.
    void CancelRead() { CancelOverlappedIo(ReadOverlapped); }
    void CancelWrite() { CancelOverlappedIo(WriteOverlapped); }

    // close(): _close restores the time-outs found at the open.
    void Close()
    {
        if (!IsOpen) {
            return;
        }
        IsOpen = false;
        Unchecked(SetCommTimeouts(Port, &OriginalTimeouts), "SetCommTimeouts");
        CloseHandles();
    }

    HANDLE Handle() const { return Port; }
    OVERLAPPED& PendingRead() { return ReadOverlapped; }
    std::string Raised;  // what pyserial raises, with the Win32 error; empty until it does

private:
    bool Raise(const std::string& what, DWORD error)
    {
        Raised = what + " (error " + std::to_string(error) + ")";
        return false;
    }

    std::optional<DWORD> Status(DWORD COMSTAT::*field)
    {
        DWORD flags = 0;
        COMSTAT comstat{};
        if (!ClearCommError(Port, &flags, &comstat)) {
            Raise("ClearCommError failed", GetLastError());
            return std::nullopt;
        }
        return comstat.*field;
    }

    // Cancels only what GetOverlappedResult shows in progress; CancelIoEx's
    // result is ignored, as it may just have ended on its own.
    void CancelOverlappedIo(OVERLAPPED& overlapped)
    {
        DWORD transferred = 0;
        if (!GetOverlappedResult(Port, &overlapped, &transferred, FALSE) &&
            (GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_IO_INCOMPLETE)) {
            CancelIoEx(Port, &overlapped);
        }
    }

    void CloseHandles()
    {
        CancelRead();
        Unchecked(CloseHandle(ReadOverlapped.hEvent), "CloseHandle");
        CancelWrite();
        Unchecked(CloseHandle(WriteOverlapped.hEvent), "CloseHandle");
        Unchecked(CloseHandle(Port), "CloseHandle");
        Port = INVALID_HANDLE_VALUE;
    }

    PySerialSettings Config;
    HANDLE Port = INVALID_HANDLE_VALUE;
    bool IsOpen = false;
    OVERLAPPED ReadOverlapped{};
    OVERLAPPED WriteOverlapped{};
    COMMTIMEOUTS OriginalTimeouts{};
    Bytes ReadBuffer;
    bool ReadPending = false;
};

// Open, write, read back by in_waiting, flush, reset_input_buffer, close, on
// a port whose bare name pyserial opens as it is.
TEST(PySerialReplay, OpenWriteReadResetClose)
{
    constexpr unsigned kPort = 0;
    test::PortSystem system;
    PySerial serial;
    ASSERT_EQ(system.PortName(kPort), "COM3");
    ASSERT_TRUE(serial.Open("COM3")) << serial.Raised;

    const Bytes data = test::RandomBytes(kMessageSize, 1);
    EXPECT_EQ(serial.Write(data), data.size()) << serial.Raised;
    serial.Flush();
    system.Settle();
    EXPECT_EQ(serial.InWaiting(), data.size());
    EXPECT_EQ(serial.Read(static_cast<DWORD>(data.size())), data) << serial.Raised;

    const Bytes more = test::RandomBytes(20, 2);
    EXPECT_EQ(serial.Write(more), more.size()) << serial.Raised;
    system.Settle();
    EXPECT_EQ(serial.InWaiting(), more.size());
    serial.ResetInputBuffer();
    EXPECT_EQ(serial.InWaiting(), 0u);
    serial.Close();
    EXPECT_TRUE(serial.Raised.empty()) << serial.Raised;
}

// What pyserial users meet on these ports: read(size) with timeout None
// returns what the input queue holds, a finite timeout never ends a read,
// and XON/XOFF flow control is accepted but not applied.
TEST(PySerialReplay, ReadsEndWithTheDataThereAndNoTimeoutEndsThem)
{
    constexpr unsigned kPort = 6;
    test::PortSystem system;
    PySerial serial;
    ASSERT_TRUE(serial.Open(system.PortName(kPort))) << serial.Raised;  // COM9, opened as \\.\COM9

    // pyserial documents read(100) with timeout None as blocking until 100
    // bytes have come (all-zero COMMTIMEOUTS: the read waits for its whole
    // count). Here it returns the one frame that came.
    ASSERT_TRUE(serial.StartRead(100)) << serial.Raised;
    const Bytes frame = test::RandomBytes(56, 3);
    system.Receive(kPort, frame);
    EXPECT_EQ(serial.FinishRead(), frame) << "read(100) returned other than the 56 bytes that came";

    // timeout=0.001 stores ReadTotalTimeoutConstant 1; read(10) with nothing
    // coming would return b'' after 1 ms, but waits for data here. The remedy
    // pyserial offers, cancel_read from another thread, ends it with b''.
    serial.SetTimeout(0.001);
    ASSERT_TRUE(serial.StartRead(10)) << serial.Raised;
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResultEx(serial.Handle(), &serial.PendingRead(), &transferred, kPastTimeoutMs, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT)) << "the 1 ms read time-out was applied";
    serial.CancelRead();
    EXPECT_EQ(serial.FinishRead(), Bytes{}) << serial.Raised;

    // xonxoff=True is accepted; the XOFF and XON the far end sends reach the
    // application as data, and nothing holds the port's output.
    serial.SetXonxoff(true);
    const Bytes flowControl{0x13, 'A', 0x11, 'B'};
    EXPECT_EQ(serial.Write(flowControl), flowControl.size()) << serial.Raised;
    system.Settle();
    ASSERT_EQ(serial.InWaiting(), flowControl.size());
    EXPECT_EQ(serial.Read(static_cast<DWORD>(flowControl.size())), flowControl);
    serial.Close();
}


// ======== .NET System.IO.Ports ========

// .NET's I/O completion port as System.IO.Ports meets it (System.Private.
// CoreLib, PortableThreadPool.IO.Windows.cs: InitializeIOOnWindows,
// RegisterForIOCompletionNotifications, IOCompletionPoller.Poll): one port
// made with CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 1), as
// for one poller (below 13 processors); handles bound with key 0; the poller takes up to 1024
// packets at a time with GetQueuedCompletionStatusEx, and the NT status in
// each OVERLAPPED's Internal becomes the error its IOCompletionCallback gets.
// The callbacks run on the poller, as .NET's inline mode runs them, not on
// worker threads; the replay ends its poller with a packet without an
// OVERLAPPED, which .NET's would skip.
class DotNetThreadPool {
public:
    // What ThreadPoolBoundHandle.AllocateNativeOverlapped hands out: the
    // OVERLAPPED and its callback, kept here until the pool ends.
    struct NativeOverlapped : OVERLAPPED {
        std::function<void(DWORD error, DWORD bytes)> Callback;
    };

    DotNetThreadPool()
    {
        Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        EXPECT_NE(Port, nullptr) << "Failed to create an IO completion port: error " << GetLastError();
        Poller = std::thread([this] { Poll(); });
    }
    ~DotNetThreadPool()
    {
        EXPECT_TRUE(PostQueuedCompletionStatus(Port, 0, 0, nullptr));
        Poller.join();
        EXPECT_TRUE(CloseHandle(Port));
    }
    DotNetThreadPool(const DotNetThreadPool&) = delete;
    DotNetThreadPool& operator=(const DotNetThreadPool&) = delete;

    // ThreadPoolBoundHandle.BindHandle.
    bool BindHandle(HANDLE handle) { return CreateIoCompletionPort(handle, Port, 0, 0) == Port; }

    NativeOverlapped* AllocateNativeOverlapped(std::function<void(DWORD, DWORD)> callback)
    {
        std::lock_guard<std::mutex> guard(Lock);
        Allocated.push_back(std::make_unique<NativeOverlapped>());
        Allocated.back()->Callback = std::move(callback);
        return Allocated.back().get();
    }

private:
    void Poll()
    {
        std::vector<OVERLAPPED_ENTRY> events(1024);
        ULONG count = 0;
        while (GetQueuedCompletionStatusEx(Port, events.data(), static_cast<ULONG>(events.size()), &count, INFINITE,
                                           FALSE)) {
            for (ULONG index = 0; index < count; ++index) {
                auto* native = static_cast<NativeOverlapped*>(events[index].lpOverlapped);
                if (native == nullptr) {
                    return;
                }
                const auto status = static_cast<NTSTATUS>(static_cast<ULONG>(native->Internal));
                native->Callback(NT_SUCCESS(status) ? ERROR_SUCCESS : RtlNtStatusToDosError(status),
                                 events[index].dwNumberOfBytesTransferred);
            }
        }
        ADD_FAILURE() << "GetQueuedCompletionStatusEx failed with error " << GetLastError();
    }

    HANDLE Port = nullptr;
    std::thread Poller;
    std::mutex Lock;
    std::deque<std::unique_ptr<NativeOverlapped>> Allocated;  // under Lock
};

// System.IO.Ports on Windows with SerialPort's defaults (9600 baud, 8N1,
// Handshake.None, infinite time-outs, DTR and RTS off, buffers of 4096 and
// 2048 bytes): SerialPort.Open, Write, Read, BytesToRead, BytesToWrite, the
// pin properties, ReadTimeout, DiscardInBuffer and Close (SerialPort.cs),
// over SerialStream (SerialStream.Windows.cs: the constructor, InitializeDCB,
// the DtrEnable and RtsEnable setters, BeginReadCore and EndRead,
// BeginWriteCore and EndWrite, Flush, Dispose, and EventLoopRunner's
// WaitForCommEvent and CallEvents; SerialStream.Win32.cs, OpenPort). The
// events it raises on worker threads are raised here on the event loop's.
class DotNetSerialPort {
public:
    // SerialStreamAsyncResult, with the ManualResetEvent AsyncFSCallback sets.
    struct AsyncResult {
        HANDLE WaitHandle = nullptr;
        DotNetThreadPool::NativeOverlapped* Overlapped = nullptr;
        Bytes Buffer;
        std::atomic<DWORD> NumBytes{0};
        std::atomic<DWORD> ErrorCode{0};
    };

    explicit DotNetSerialPort(DotNetThreadPool& pool) : Pool(pool) {}
    ~DotNetSerialPort()
    {
        if (Handle != INVALID_HANDLE_VALUE) {
            Close();
        }
    }
    DotNetSerialPort(const DotNetSerialPort&) = delete;
    DotNetSerialPort& operator=(const DotNetSerialPort&) = delete;

    bool Open(const std::string& portName)
    {
        // SerialStream's constructor, from OpenPort on.
        const std::string path = "\\\\?\\COM" + std::to_string(std::stoul(portName.substr(3)));
        Handle = CreateFileW(Wide(path).data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        if (Handle == INVALID_HANDLE_VALUE) {
            return Throw("IOException from CreateFile", GetLastError());
        }
        const DWORD fileType = GetFileType(Handle);
        if (fileType != FILE_TYPE_CHAR && fileType != FILE_TYPE_UNKNOWN) {
            return ConstructorFails("ArgumentException: not a serial port", 0);
        }
        DWORD pinStatus = 0;
        if (!GetCommProperties(Handle, &CommProp) || !GetCommModemStatus(Handle, &pinStatus)) {
            return ConstructorFails("ArgumentException or IOException: not a serial port", GetLastError());
        }
        if (CommProp.dwMaxBaud != 0 && kBaudRate > CommProp.dwMaxBaud) {
            return ConstructorFails("ArgumentOutOfRangeException: baudRate", 0);
        }
        if (!InitializeDcb() || !SetDtrEnable(false)) {
            return ConstructorFails(Thrown, 0);
        }
        RtsEnabled = Dcb.fRtsControl == RTS_CONTROL_ENABLE;
        if (!SetRtsEnable(false)) {
            return ConstructorFails(Thrown, 0);
        }
        CommTimeouts = {MAXDWORD, MAXDWORD, kInfiniteTimeoutConst, 0, 0};  // infinite read and write time-outs
        if (!SetCommTimeouts(Handle, &CommTimeouts)) {
            return ConstructorFails("IOException from SetCommTimeouts", GetLastError());
        }
        if (!Pool.BindHandle(Handle)) {
            return ConstructorFails("ApplicationException from BindHandle", GetLastError());
        }
        Unchecked(SetCommMask(Handle, kAllEvents), "SetCommMask");
        WaitCommEventHandle = CreateEventExW(nullptr, nullptr, CREATE_EVENT_MANUAL_RESET, kEventAccess);
        EventLoop = std::thread([this] { WaitForCommEvent(); });
        // SerialPort.Open, after the stream: SetBufferSizes.
        return SetupComm(Handle, 4096, 2048) ? true : Throw("IOException from SetupComm", GetLastError());
    }

    // Write(buffer, 0, count): BeginWriteCore, then EndWrite.
    bool Write(const Bytes& data)
    {
        if (data.empty()) {
            return true;
        }
        const auto result = NewAsyncResult();
        result->Buffer = data;
        if (!WriteFile(Handle, result->Buffer.data(), static_cast<DWORD>(data.size()), nullptr, result->Overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            return Throw("IOException from WriteFile", GetLastError());
        }
        WaitOne(*result, "EndWrite");
        Unchecked(CloseHandle(result->WaitHandle), "CloseHandle");
        if (result->ErrorCode != 0) {
            return Throw("IOException from the write", result->ErrorCode);
        }
        return result->NumBytes != 0 ? true : Throw("TimeoutException: The write timed out.", 0);
    }

    // Read(buffer, 0, count) in its halves: BeginReadCore, then EndRead with
    // SerialStream.Read's check. nullptr or nullopt where .NET throws.
    std::shared_ptr<AsyncResult> BeginRead(DWORD count)
    {
        const auto result = NewAsyncResult();
        result->Buffer.resize(count);
        if (!ReadFile(Handle, result->Buffer.data(), count, nullptr, result->Overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            Throw("IOException from ReadFile", GetLastError());
            return nullptr;
        }
        return result;
    }
    std::optional<Bytes> EndRead(const std::shared_ptr<AsyncResult>& result)
    {
        if (!result) {
            return std::nullopt;
        }
        WaitOne(*result, "EndRead");
        // No bytes and no error under an infinite time-out is an abort to .NET.
        const bool failed = result->NumBytes == 0 && ReadTimeout() == kInfiniteTimeout && result->ErrorCode == 0;
        Unchecked(CloseHandle(result->WaitHandle), "CloseHandle");
        if (result->ErrorCode != 0) {
            Throw("IOException from the read", result->ErrorCode);
            return std::nullopt;
        }
        if (failed || result->NumBytes == 0) {
            Throw(failed ? "IOException: The I/O operation has been aborted" : "TimeoutException", 0);
            return std::nullopt;
        }
        return Bytes(result->Buffer.begin(), result->Buffer.begin() + result->NumBytes);
    }
    std::optional<Bytes> Read(DWORD count) { return EndRead(BeginRead(count)); }

    std::optional<DWORD> BytesToRead() { return Status(&COMSTAT::cbInQue); }
    std::optional<DWORD> BytesToWrite() { return Status(&COMSTAT::cbOutQue); }

    // What CtsHolding, DsrHolding and CDHolding read (MS_CTS_ON, MS_DSR_ON, MS_RLSD_ON).
    std::optional<DWORD> PinStatus()
    {
        DWORD pinStatus = 0;
        if (!GetCommModemStatus(Handle, &pinStatus)) {
            Throw("IOException from GetCommModemStatus", GetLastError());
            return std::nullopt;
        }
        return pinStatus;
    }

    // The ReadTimeout setter: 0, -1 (SerialPort.InfiniteTimeout) or milliseconds.
    bool SetReadTimeout(int value)
    {
        const COMMTIMEOUTS old = CommTimeouts;
        CommTimeouts.ReadIntervalTimeout = MAXDWORD;
        CommTimeouts.ReadTotalTimeoutMultiplier = value == 0 ? 0 : MAXDWORD;
        CommTimeouts.ReadTotalTimeoutConstant = value == kInfiniteTimeout ? kInfiniteTimeoutConst : value;
        if (!SetCommTimeouts(Handle, &CommTimeouts)) {
            CommTimeouts = old;
            return Throw("IOException from SetCommTimeouts", GetLastError());
        }
        return true;
    }

    bool DiscardInBuffer() { return Purge(PURGE_RXCLEAR | PURGE_RXABORT); }
    bool DiscardOutBuffer() { return Purge(PURGE_TXCLEAR | PURGE_TXABORT); }

    // SerialPort.Close: the port's Flush, then the stream's Dispose.
    bool Close()
    {
        Flush();
        EndEventLoop = true;
        Unchecked(SetCommMask(Handle, 0), "SetCommMask");  // ends the loop's WaitCommEvent
        bool disposed = EscapeCommFunction(Handle, CLRDTR) || Throw("IOException from EscapeCommFunction", GetLastError());
        if (disposed) {
            Flush();
        }
        Unchecked(SetEvent(WaitCommEventHandle), "SetEvent");
        disposed = disposed && DiscardInBuffer() && DiscardOutBuffer();
        EventLoop.join();
        Unchecked(CloseHandle(WaitCommEventHandle), "CloseHandle");
        Unchecked(CloseHandle(Handle), "CloseHandle");
        Handle = INVALID_HANDLE_VALUE;
        return disposed;
    }

    std::function<void()> DataReceived;  // the application's handler; set before Open
    std::string Thrown;                  // what .NET throws, with the Win32 error; empty until it does
    std::vector<std::string> LoopFaults; // what the event loop's Debug.Fail reports; the loop's thread only
    std::atomic<DWORD> ErrorsRaised{0};  // SerialError bits ErrorReceived was raised with
    std::atomic<DWORD> PinsChanged{0};   // SerialPinChange bits PinChanged was raised with

private:
    static constexpr DWORD kBaudRate = 9600;
    static constexpr int kInfiniteTimeout = -1;
    static constexpr DWORD kInfiniteTimeoutConst = static_cast<DWORD>(-2);
    static constexpr DWORD kAllEvents = 0x1FB;  // every event but EV_TXEMPTY
    static constexpr DWORD kErrorEvents = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | 0x100;  // and CE_TXFULL
    static constexpr DWORD kReceivedEvents = EV_RXCHAR | EV_RXFLAG;  // SerialData.Chars and Eof
    static constexpr DWORD kPinChangedEvents = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_RING;
    static constexpr DWORD kEventAccess = 0x02000000 | 0x00100000 | 0x0002;  // MAXIMUM_ALLOWED, SYNCHRONIZE, EVENT_MODIFY_STATE

    bool Throw(const std::string& what, DWORD error)
    {
        Thrown = what + (error != 0 ? " (error " + std::to_string(error) + ")" : "");
        return false;
    }
    bool ConstructorFails(const std::string& what, DWORD error)
    {
        Throw(what, error);
        Unchecked(CloseHandle(Handle), "CloseHandle");
        Handle = INVALID_HANDLE_VALUE;
        return false;
    }

    bool InitializeDcb()
    {
        if (!GetCommState(Handle, &Dcb)) {
            return Throw("IOException from GetCommState", GetLastError());
        }
        Dcb.DCBlength = sizeof(DCB);
        Dcb.BaudRate = kBaudRate;
        Dcb.ByteSize = 8;
        Dcb.StopBits = ONESTOPBIT;
        Dcb.Parity = NOPARITY;
        Dcb.fParity = 0;
        Dcb.fBinary = 1;
        Dcb.fOutxCtsFlow = 0;
        Dcb.fOutxDsrFlow = 0;
        Dcb.fDtrControl = DTR_CONTROL_DISABLE;
        Dcb.fDsrSensitivity = 0;
        Dcb.fInX = 0;
        Dcb.fOutX = 0;
        Dcb.fErrorChar = 0;
        Dcb.ErrorChar = 0;
        Dcb.fNull = 0;
        Dcb.fAbortOnError = 0;
        if (Dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
            Dcb.fRtsControl = RTS_CONTROL_DISABLE;
        }
        Dcb.XonChar = 17;
        Dcb.XoffChar = 19;
        Dcb.XonLim = Dcb.XoffLim = static_cast<WORD>(CommProp.dwCurrentRxQueue / 4);
        Dcb.EofChar = 26;
        Dcb.EvtChar = 26;
        return SetCommState(Handle, &Dcb) ? true : Throw("IOException from SetCommState", GetLastError());
    }

    bool SetDtrEnable(bool value)
    {
        const DWORD old = Dcb.fDtrControl;
        Dcb.fDtrControl = value ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        if (!SetCommState(Handle, &Dcb)) {
            Dcb.fDtrControl = old;
            return Throw("IOException from SetCommState", GetLastError());
        }
        return EscapeCommFunction(Handle, value ? SETDTR : CLRDTR) ||
               Throw("IOException from EscapeCommFunction", GetLastError());
    }

    // Set only when it changes, as .NET does.
    bool SetRtsEnable(bool value)
    {
        if (value == RtsEnabled) {
            return true;
        }
        const DWORD old = Dcb.fRtsControl;
        RtsEnabled = value;
        Dcb.fRtsControl = value ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        if (!SetCommState(Handle, &Dcb)) {
            Dcb.fRtsControl = old;
            RtsEnabled = !value;
            return Throw("IOException from SetCommState", GetLastError());
        }
        return EscapeCommFunction(Handle, value ? SETRTS : CLRRTS) ||
               Throw("IOException from EscapeCommFunction", GetLastError());
    }

    int ReadTimeout() const
    {
        return CommTimeouts.ReadTotalTimeoutConstant == kInfiniteTimeoutConst
                   ? kInfiniteTimeout
                   : static_cast<int>(CommTimeouts.ReadTotalTimeoutConstant);
    }

    std::shared_ptr<AsyncResult> NewAsyncResult()
    {
        auto result = std::make_shared<AsyncResult>();
        result->WaitHandle = CreateEventExW(nullptr, nullptr, CREATE_EVENT_MANUAL_RESET, kEventAccess);
        // AsyncFSCallback.
        result->Overlapped = Pool.AllocateNativeOverlapped([result](DWORD error, DWORD bytes) {
            result->NumBytes = bytes;
            result->ErrorCode = error;
            EXPECT_TRUE(SetEvent(result->WaitHandle));
        });
        return result;
    }

    // The wait handle's WaitOne, bounded: where .NET would wait forever the
    // test fails, and the operation is cancelled.
    void WaitOne(AsyncResult& result, const char* what)
    {
        if (WaitForSingleObject(result.WaitHandle, kBoundMs) == WAIT_OBJECT_0) {
            return;
        }
        ADD_FAILURE() << what << " waited more than " << kBoundMs << " ms";
        CancelIoEx(Handle, result.Overlapped);
        WaitForSingleObject(result.WaitHandle, kBoundMs);
    }

    // A COMSTAT of the caller's own: .NET's shared field would be a data race here.
    std::optional<DWORD> Status(DWORD COMSTAT::*field)
    {
        DWORD errorCode = 0;
        COMSTAT comStat{};
        if (!ClearCommError(Handle, &errorCode, &comStat)) {
            Throw("IOException from ClearCommError", GetLastError());
            return std::nullopt;
        }
        return comStat.*field;
    }

    bool Purge(DWORD flags)
    {
        return PurgeComm(Handle, flags) ? true : Throw("IOException from PurgeComm", GetLastError());
    }

    void Flush() { Unchecked(FlushFileBuffers(Handle), "FlushFileBuffers"); }

    // EventLoopRunner.WaitForCommEvent, on a thread of its own.
    void WaitForCommEvent()
    {
        DWORD unused = 0;
        while (!EndEventLoop) {
            Unchecked(ResetEvent(WaitCommEventHandle), "ResetEvent");
            auto* overlapped = Pool.AllocateNativeOverlapped([](DWORD, DWORD) {});  // FreeNativeOverlappedCallback
            overlapped->hEvent = WaitCommEventHandle;
            if (!WaitCommEvent(Handle, &EventsOccurred, overlapped)) {
                const DWORD hr = GetLastError();
                if (hr == ERROR_ACCESS_DENIED || hr == ERROR_BAD_COMMAND || hr == ERROR_DEVICE_REMOVED) {
                    EndEventLoop = true;  // the device is gone: Dispose does the rest
                    break;
                }
                if (hr == ERROR_IO_PENDING) {
                    WaitForSingleObject(WaitCommEventHandle, INFINITE);
                    BOOL success;
                    DWORD error;
                    do {
                        success = GetOverlappedResult(Handle, overlapped, &unused, FALSE);
                        error = GetLastError();
                    } while (error == ERROR_IO_INCOMPLETE && !EndEventLoop && !success);
                    if (!success && !((error == ERROR_IO_INCOMPLETE || error == ERROR_INVALID_PARAMETER) && EndEventLoop)) {
                        LoopFaults.push_back("GetOverlappedResult returned error " + std::to_string(error));
                    }
                } else if (hr != ERROR_INVALID_PARAMETER) {  // what a mask set during the wait gives
                    LoopFaults.push_back("WaitCommEvent returned error " + std::to_string(hr));
                }
            }
            if (!EndEventLoop) {
                CallEvents(EventsOccurred);
            }
        }
    }

    // CallEvents, with SerialPort.CatchReceivedEvents: DataReceived is raised
    // for an EOF character or at least ReceivedBytesThreshold (1) bytes waiting.
    void CallEvents(DWORD events)
    {
        if ((events & (EV_ERR | EV_RXCHAR)) != 0) {
            DWORD errors = 0;
            if (!ClearCommError(Handle, &errors, nullptr)) {
                LoopFaults.push_back("ClearCommError failed: the loop ends");
                EndEventLoop = true;
                return;
            }
            ErrorsRaised |= errors & kErrorEvents;
        }
        PinsChanged |= events & kPinChangedEvents;
        if ((events & kReceivedEvents) != 0 && ((events & EV_RXFLAG) != 0 || BytesToRead().value_or(0) >= 1) &&
            DataReceived) {
            DataReceived();
        }
    }

    DotNetThreadPool& Pool;
    HANDLE Handle = INVALID_HANDLE_VALUE;
    COMMPROP CommProp{};
    DCB Dcb{};
    COMMTIMEOUTS CommTimeouts{};
    bool RtsEnabled = false;
    HANDLE WaitCommEventHandle = nullptr;
    std::thread EventLoop;
    std::atomic<bool> EndEventLoop{false};
    DWORD EventsOccurred = 0;  // written by the loop's WaitCommEvent
};

TEST(DotNetSerialPortReplay, OpenWriteDataReceivedReadClose)
{
    constexpr unsigned kPort = 2;
    test::PortSystem system;
    DotNetThreadPool pool;
    DotNetSerialPort serial(pool);
    HANDLE received = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    serial.DataReceived = [received] { SetEvent(received); };
    ASSERT_EQ(system.PortName(kPort), "COM5");
    ASSERT_TRUE(serial.Open("COM5")) << serial.Thrown;

    // CtsHolding, DsrHolding and CDHolding: always true, the port's fixed
    // answer whatever the far end does; PinChanged is never raised.
    EXPECT_EQ(serial.PinStatus(), static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));

    const Bytes data = test::RandomBytes(kMessageSize, 4);
    ASSERT_TRUE(serial.Write(data)) << serial.Thrown;
    ASSERT_EQ(WaitForSingleObject(received, kBoundMs), static_cast<DWORD>(WAIT_OBJECT_0)) << "no DataReceived";
    Bytes collected;
    while (collected.size() < data.size()) {
        const auto bytes = serial.Read(static_cast<DWORD>(data.size() - collected.size()));
        ASSERT_TRUE(bytes) << serial.Thrown;
        collected.insert(collected.end(), bytes->begin(), bytes->end());
    }
    EXPECT_EQ(collected, data);
    EXPECT_EQ(serial.BytesToRead(), 0u);
    EXPECT_EQ(serial.BytesToWrite(), 0u);
    EXPECT_TRUE(serial.Close()) << serial.Thrown;
    EXPECT_EQ(serial.LoopFaults, std::vector<std::string>{});
    EXPECT_EQ(serial.ErrorsRaised, 0u);
    EXPECT_EQ(serial.PinsChanged, 0u);
    EXPECT_TRUE(CloseHandle(received));
}

// ReadTimeout 0 or finite: Windows' own serial driver ends a read with
// nothing coming after the time-out (at once for 0) with no bytes, and Read
// throws TimeoutException. Here the read waits until data comes.
TEST(DotNetSerialPortReplay, ReadTimeoutNeverEndsARead)
{
    constexpr unsigned kPort = 3;
    test::PortSystem system;
    DotNetThreadPool pool;
    DotNetSerialPort serial(pool);
    ASSERT_TRUE(serial.Open(system.PortName(kPort))) << serial.Thrown;
    for (const int timeout : {0, 1}) {
        SCOPED_TRACE(timeout);
        ASSERT_TRUE(serial.SetReadTimeout(timeout)) << serial.Thrown;
        const auto read = serial.BeginRead(10);
        ASSERT_TRUE(read) << serial.Thrown;
        EXPECT_EQ(WaitForSingleObject(read->WaitHandle, kPastTimeoutMs), static_cast<DWORD>(WAIT_TIMEOUT))
            << "the read time-out was applied";
        system.Receive(kPort, {0x42});
        EXPECT_EQ(serial.EndRead(read), Bytes{0x42}) << serial.Thrown;
    }
    EXPECT_TRUE(serial.Close()) << serial.Thrown;
}

// DiscardInBuffer purges with PURGE_RXABORT, which ends every read in
// progress (documentation: "PurgeComm function"), so a Read waiting on
// another thread throws IOException. The port empties its receive ring but
// leaves a waiting read waiting: that Read stays blocked and later returns
// bytes that came after the discard.
// Disabled while the port's purge leaves parked reads parked.
TEST(DotNetSerialPortReplay, DISABLED_DiscardInBufferEndsAReadInProgress)
{
    constexpr unsigned kPort = 3;
    test::PortSystem system;
    DotNetThreadPool pool;
    DotNetSerialPort serial(pool);
    ASSERT_TRUE(serial.Open(system.PortName(kPort))) << serial.Thrown;
    const auto read = serial.BeginRead(10);
    ASSERT_TRUE(read) << serial.Thrown;
    ASSERT_TRUE(serial.DiscardInBuffer()) << serial.Thrown;
    const bool ended = WaitForSingleObject(read->WaitHandle, kBoundMs) == WAIT_OBJECT_0;
    EXPECT_TRUE(ended) << "the read outlived DiscardInBuffer";
    if (!ended) {
        system.Receive(kPort, {0x42});
    }
    EXPECT_EQ(serial.EndRead(read), std::nullopt);
    EXPECT_EQ(serial.Thrown, "IOException from the read (error 995)");
    EXPECT_TRUE(serial.Close()) << serial.Thrown;
}


// ======== node-serialport ========

// The read length of node-serialport's stream: its 64 KiB buffer.
constexpr size_t kNodeReadSize = 64 * 1024;

struct NodeOpenOptions {
    DWORD BaudRate = 9600;
    bool Xon = false;
    bool Xoff = false;
};

// ErrorCodeToString's messages, which the binding's callers see.
std::string NodeErrorString(const std::string& prefix, DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return prefix + ": File not found";
    case ERROR_INVALID_HANDLE: return prefix + ": Invalid handle";
    case ERROR_ACCESS_DENIED: return prefix + ": Access denied";
    case ERROR_OPERATION_ABORTED: return prefix + ": Operation aborted";
    case ERROR_INVALID_PARAMETER: return prefix + ": The parameter is incorrect";
    default: return prefix + ": Unknown error code " + std::to_string(error);
    }
}

// SleepEx(INFINITE, TRUE), bounded: false, with a failure, when no
// completion routine came.
bool AlertableWait(const char* what)
{
    if (SleepEx(kBoundMs, TRUE) == WAIT_IO_COMPLETION) {
        return true;
    }
    ADD_FAILURE() << what << ": no completion routine within " << kBoundMs << " ms";
    return false;
}

// node-serialport's Windows binding (serialport/bindings-cpp,
// src/serialport_win.cpp): OpenBaton::Execute, GetBaudRateBaton,
// ConnectionOptionsBaton (update), GetBaton (get), WriteThread with
// WriteIOCompletion, ReadThread with ReadIOCompletion, CloseBaton. The rest
// of the open options are lib/win32.ts's defaults (WindowsBinding.open): 8
// data bits, one stop bit, no parity, lock, no RTS/CTS, hupcl. Each read and
// write runs on a thread of its own, as the binding's CreateThread gives it.
class NodeBinding {
public:
    struct ReadBaton {
        HANDLE Fd = INVALID_HANDLE_VALUE;
        Bytes Buffer = Bytes(kNodeReadSize);
        size_t Offset = 0;
        size_t BytesToRead = kNodeReadSize;
        size_t BytesRead = 0;
        bool Complete = false;
        std::string ErrorString;
        std::thread Thread;
        // Where a test watches the read: its first ReadFileEx is sent; its
        // follow-up ReadFile is sent, true when that read is pending.
        std::promise<void> Issued;
        std::promise<bool> FollowUp;
        std::future<void> WhenIssued = Issued.get_future();
        std::future<bool> WhenFollowUp = FollowUp.get_future();
    };

    ~NodeBinding()
    {
        if (File != INVALID_HANDLE_VALUE) {
            Close();
        }
    }

    bool Open(const std::string& path, const NodeOpenOptions& options)
    {
        File = CreateFileA(("\\\\.\\" + path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        if (File == INVALID_HANDLE_VALUE) {
            ErrorString = NodeErrorString("Opening " + path, GetLastError());
            return false;
        }
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(File, &dcb)) {
            return OpenFails("Open (GetCommState)");
        }
        dcb.fDtrControl = DTR_CONTROL_ENABLE;  // hupcl
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutX = options.Xon;
        dcb.fInX = options.Xoff;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.fBinary = TRUE;
        dcb.BaudRate = options.BaudRate;
        dcb.ByteSize = 8;
        if (!SetCommState(File, &dcb)) {
            return OpenFails("Open (SetCommState)");
        }
        COMMTIMEOUTS commTimeouts{};
        if (!SetCommTimeouts(File, &commTimeouts)) {
            return OpenFails("Open (SetCommTimeouts)");
        }
        Unchecked(PurgeComm(File, PURGE_RXCLEAR), "PurgeComm");
        Unchecked(PurgeComm(File, PURGE_TXCLEAR), "PurgeComm");
        return true;
    }

    std::optional<DWORD> GetBaudRate()
    {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(File, &dcb)) {
            ErrorString = NodeErrorString("Getting baud rate (GetCommState)", GetLastError());
            return std::nullopt;
        }
        return dcb.BaudRate;
    }

    // update({baudRate}): the DCB read back, with the new rate, set again.
    bool Update(DWORD baudRate)
    {
        UpdateReadBack = DCB{};
        UpdateReadBack.DCBlength = sizeof(DCB);
        if (!GetCommState(File, &UpdateReadBack)) {
            ErrorString = NodeErrorString("Update (GetCommState)", GetLastError());
            return false;
        }
        DCB dcb = UpdateReadBack;
        dcb.BaudRate = baudRate;
        if (!SetCommState(File, &dcb)) {
            ErrorString = NodeErrorString("Update (SetCommState)", GetLastError());
            return false;
        }
        return true;
    }

    // get(): cts, dsr and dcd are MS_CTS_ON, MS_DSR_ON and MS_RLSD_ON.
    std::optional<DWORD> Get()
    {
        DWORD bits = 0;
        if (!GetCommModemStatus(File, &bits)) {
            ErrorString = NodeErrorString("Getting control settings on COM port (GetCommModemStatus)", GetLastError());
            return std::nullopt;
        }
        return bits;
    }

    bool Write(const Bytes& data)
    {
        WriteBaton baton;
        baton.Fd = File;
        baton.Data = &data;
        std::thread([&baton] { WriteThread(baton); }).join();
        ErrorString = baton.ErrorString;
        return baton.Complete && baton.ErrorString.empty();
    }

    std::unique_ptr<ReadBaton> StartRead()
    {
        auto baton = std::make_unique<ReadBaton>();
        baton->Fd = File;
        baton->Thread = std::thread([raw = baton.get()] { ReadThread(*raw); });
        return baton;
    }
    // What the read's callback gets: the bytes, or nullopt with its error.
    static std::optional<Bytes> FinishRead(ReadBaton& baton)
    {
        baton.Thread.join();
        if (!baton.ErrorString.empty()) {
            return std::nullopt;
        }
        return Bytes(baton.Buffer.begin(), baton.Buffer.begin() + baton.BytesRead);
    }

    // close(): every request of the handle cancelled, then the handle closed.
    bool Close()
    {
        CancelIoEx(File, nullptr);
        if (!CloseHandle(File)) {
            ErrorString = NodeErrorString("Closing connection (CloseHandle)", GetLastError());
            return false;
        }
        File = INVALID_HANDLE_VALUE;
        return true;
    }

    std::string ErrorString;  // the error the last call's callback gets
    DCB UpdateReadBack{};     // the DCB update() read

private:
    struct WriteBaton {
        HANDLE Fd = INVALID_HANDLE_VALUE;
        const Bytes* Data = nullptr;
        size_t Offset = 0;
        bool Complete = false;
        std::string ErrorString;
    };

    bool OpenFails(const char* prefix)
    {
        ErrorString = NodeErrorString(prefix, GetLastError());
        Unchecked(CloseHandle(File), "CloseHandle");
        File = INVALID_HANDLE_VALUE;
        return false;
    }

    // WriteFileEx again from the offset until every byte is taken; bounded
    // here to one attempt per byte, which a port that takes nothing exceeds.
    static void WriteThread(WriteBaton& baton)
    {
        OVERLAPPED ov{};
        ov.hEvent = &baton;
        for (size_t attempt = 0; !baton.Complete; ++attempt) {
            if (attempt > baton.Data->size()) {
                ADD_FAILURE() << "the port took nothing of node's write";
                break;
            }
            SetLastError(0);
            WriteFileEx(baton.Fd, baton.Data->data() + baton.Offset,
                        static_cast<DWORD>(baton.Data->size() - baton.Offset), &ov, WriteIOCompletion);
            const DWORD lastError = GetLastError();
            if (lastError != ERROR_SUCCESS) {
                baton.ErrorString = NodeErrorString("Writing to COM port (WriteFileEx)", lastError);
                break;
            }
            if (!AlertableWait("node's write")) {
                break;
            }
        }
    }

    static void CALLBACK WriteIOCompletion(DWORD, DWORD, LPOVERLAPPED ov)
    {
        WriteBaton& baton = *static_cast<WriteBaton*>(ov->hEvent);
        DWORD bytesWritten = 0;
        if (!GetOverlappedResult(baton.Fd, ov, &bytesWritten, TRUE)) {
            baton.ErrorString = NodeErrorString("Writing to COM port (GetOverlappedResult)", GetLastError());
            baton.Complete = true;
            return;
        }
        baton.Offset += bytesWritten;
        baton.Complete = baton.Offset >= baton.Data->size();
    }

    // One byte with ReadFileEx under all-zero time-outs (wait for data).
    static void ReadThread(ReadBaton& baton)
    {
        OVERLAPPED ov{};
        bool issued = false;
        while (!baton.Complete) {
            COMMTIMEOUTS commTimeouts{};
            if (!SetCommTimeouts(baton.Fd, &commTimeouts)) {
                baton.ErrorString = NodeErrorString("Setting COM timeout (SetCommTimeouts)", GetLastError());
                break;
            }
            ov.hEvent = &baton;
            SetLastError(0);
            ReadFileEx(baton.Fd, baton.Buffer.data() + baton.Offset, 1, &ov, ReadIOCompletion);
            const DWORD lastError = GetLastError();
            if (lastError != ERROR_SUCCESS) {
                baton.ErrorString = NodeErrorString("Reading from COM port (ReadFileEx)", lastError);
                break;
            }
            if (!issued) {
                issued = true;
                baton.Issued.set_value();
            }
            if (!AlertableWait("node's read")) {
                break;
            }
        }
    }

    // After the one byte, the rest that is there, by ReadFile under
    // ReadIntervalTimeout MAXDWORD: "return at once with what is there".
    static void CALLBACK ReadIOCompletion(DWORD errorCode, DWORD bytesTransferred, LPOVERLAPPED ov)
    {
        ReadBaton& baton = *static_cast<ReadBaton*>(ov->hEvent);
        if (errorCode != ERROR_SUCCESS) {
            baton.ErrorString = NodeErrorString("Reading from COM port (ReadIOCompletion)", errorCode);
            baton.Complete = true;
            return;
        }
        if (!GetOverlappedResult(baton.Fd, ov, &bytesTransferred, TRUE)) {
            baton.ErrorString = NodeErrorString("Reading from COM port (GetOverlappedResult)", GetLastError());
            baton.Complete = true;
            return;
        }
        baton.BytesToRead -= bytesTransferred;
        baton.BytesRead += bytesTransferred;
        baton.Offset += bytesTransferred;
        if (baton.BytesToRead == 0) {
            baton.Complete = true;
            CloseHandle(ov->hEvent);  // the baton, not a handle: the call fails, as on Windows
            return;
        }
        COMMTIMEOUTS commTimeouts{};
        commTimeouts.ReadIntervalTimeout = MAXDWORD;
        if (!SetCommTimeouts(baton.Fd, &commTimeouts)) {
            baton.ErrorString = NodeErrorString("Setting COM timeout (SetCommTimeouts)", GetLastError());
            baton.Complete = true;
            return;
        }
        std::memset(ov, 0, sizeof(*ov));
        ov->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!ReadFile(baton.Fd, baton.Buffer.data() + baton.Offset, static_cast<DWORD>(baton.BytesToRead),
                      &bytesTransferred, ov)) {
            errorCode = GetLastError();
            if (errorCode != ERROR_IO_PENDING) {
                baton.ErrorString = NodeErrorString("Reading from COM port (ReadFile)", errorCode);
                baton.Complete = true;
                CloseHandle(ov->hEvent);
                return;
            }
            baton.FollowUp.set_value(true);
            if (!WaitResult(baton.Fd, *ov, &bytesTransferred, "node's follow-up read")) {
                baton.ErrorString = NodeErrorString("Reading from COM port (GetOverlappedResult)", GetLastError());
                baton.Complete = true;
                CloseHandle(ov->hEvent);
                return;
            }
        } else {
            baton.FollowUp.set_value(false);
        }
        baton.BytesToRead -= bytesTransferred;
        baton.BytesRead += bytesTransferred;
        baton.Complete = true;
        Unchecked(CloseHandle(ov->hEvent), "CloseHandle");
    }

    HANDLE File = INVALID_HANDLE_VALUE;
};

const auto kBound = std::chrono::milliseconds(kBoundMs);

// Open, the rate read back, get, the stream's reads beside a write, update,
// and a close that cancels the read in progress.
TEST(NodeSerialportReplay, OpenWriteReadUpdateClose)
{
    constexpr unsigned kPort = 7;
    test::PortSystem system;
    NodeBinding binding;
    ASSERT_EQ(system.PortName(kPort), "COM10");
    ASSERT_TRUE(binding.Open("COM10", {57600})) << binding.ErrorString;
    EXPECT_EQ(binding.GetBaudRate(), 57600u) << binding.ErrorString;
    // cts, dsr and dcd always true: the port's fixed answer.
    EXPECT_EQ(binding.Get(), static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));

    // The stream reads from the open on, each read after the last one's
    // callback; the write runs beside the first.
    const Bytes data = test::RandomBytes(kMessageSize, 5);
    auto read = binding.StartRead();
    ASSERT_TRUE(binding.Write(data)) << binding.ErrorString;
    Bytes collected;
    for (;;) {
        const auto bytes = NodeBinding::FinishRead(*read);
        ASSERT_TRUE(bytes) << read->ErrorString;
        collected.insert(collected.end(), bytes->begin(), bytes->end());
        if (collected.size() >= data.size()) {
            break;
        }
        read = binding.StartRead();
    }
    EXPECT_EQ(collected, data);

    // update() sets the DCB it reads back: not what open set, since the port
    // answers GET_HANDFLOW with zeros. DTR reads as disabled, not enabled.
    ASSERT_TRUE(binding.Update(19200)) << binding.ErrorString;
    EXPECT_EQ(binding.UpdateReadBack.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(binding.GetBaudRate(), 19200u);

    // The stream's next read waits; close cancels it, and the stream takes
    // its "Operation aborted" for a cancel.
    read = binding.StartRead();
    ASSERT_EQ(read->WhenIssued.wait_for(kBound), std::future_status::ready);
    EXPECT_TRUE(binding.Close()) << binding.ErrorString;
    EXPECT_EQ(NodeBinding::FinishRead(*read), std::nullopt);
    EXPECT_EQ(read->ErrorString, "Reading from COM port (ReadIOCompletion): Operation aborted");
}

// What node-serialport users meet on these ports: xon or xoff makes the open
// fail, and a byte that comes alone reaches the application only with the
// next one.
TEST(NodeSerialportReplay, XonXoffOpenFailsAndALoneByteWaitsForTheNext)
{
    constexpr unsigned kPort = 5;
    test::PortSystem system;
    NodeBinding binding;
    const std::string name = system.PortName(kPort);

    // open() keeps the XonChar and XoffChar GetCommState reads; the port
    // answers GET_CHARS with zeros, so with XON/XOFF on the two are equal and
    // SetCommState refuses the DCB (documentation: "SetCommState function").
    EXPECT_FALSE(binding.Open(name, {9600, true, true}));
    EXPECT_EQ(binding.ErrorString, "Open (SetCommState): The parameter is incorrect");
    ASSERT_TRUE(binding.Open(name, {9600})) << binding.ErrorString;

    // After ReadFileEx's one byte, Windows' own serial driver ends the
    // follow-up ReadFile at once under ReadIntervalTimeout MAXDWORD; here it
    // waits for the next byte, and the read's callback with it.
    auto read = binding.StartRead();
    ASSERT_EQ(read->WhenIssued.wait_for(kBound), std::future_status::ready);
    system.Receive(kPort, {0x42});
    ASSERT_EQ(read->WhenFollowUp.wait_for(kBound), std::future_status::ready);
    EXPECT_TRUE(read->WhenFollowUp.get()) << "the follow-up read ended at once";
    system.Receive(kPort, {0x43});
    EXPECT_EQ(NodeBinding::FinishRead(*read), (Bytes{0x42, 0x43}));
    EXPECT_TRUE(binding.Close()) << binding.ErrorString;
}

} // namespace
