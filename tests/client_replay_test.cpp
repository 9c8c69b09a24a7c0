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

} // namespace
