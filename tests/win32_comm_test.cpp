// The Win32 layer seen from the I/O manager's side: the requests each call
// sends, in order and with their buffers; the overlapped completion model
// (data, status block, event, completion routine, in that order); cancels;
// completion ports; the error mapping; and a client written only against
// <windows.h>.
#include "support/overlapped.h"
#include "support/port_system.h"
#include "support/wide_string.h"

#include "host/io_manager/io_manager.h"
#include "host/win32/comm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

int RunWindowsClient(const char* portName);  // windows_client.cpp
int WindowsBitfieldOrder();                  // windows_client.cpp

namespace {

using Bytes = std::vector<uint8_t>;
using Type = host::SentRequest::Type;
using test::Wide;
using Answerer = std::function<std::optional<host::SentAnswer>(const host::SentRequest&)>;

std::string CodeName(ULONG code)
{
    static const std::pair<ULONG, const char*> names[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE"},     {IOCTL_SERIAL_SET_QUEUE_SIZE, "SET_QUEUE_SIZE"},
        {IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL"}, {IOCTL_SERIAL_SET_BREAK_ON, "SET_BREAK_ON"},
        {IOCTL_SERIAL_SET_BREAK_OFF, "SET_BREAK_OFF"},     {IOCTL_SERIAL_IMMEDIATE_CHAR, "IMMEDIATE_CHAR"},
        {IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS"},       {IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS"},
        {IOCTL_SERIAL_SET_DTR, "SET_DTR"},                 {IOCTL_SERIAL_CLR_DTR, "CLR_DTR"},
        {IOCTL_SERIAL_RESET_DEVICE, "RESET_DEVICE"},       {IOCTL_SERIAL_SET_RTS, "SET_RTS"},
        {IOCTL_SERIAL_CLR_RTS, "CLR_RTS"},                 {IOCTL_SERIAL_SET_XOFF, "SET_XOFF"},
        {IOCTL_SERIAL_SET_XON, "SET_XON"},                 {IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK"},
        {IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK"},     {IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK"},
        {IOCTL_SERIAL_PURGE, "PURGE"},                     {IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE"},
        {IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL"}, {IOCTL_SERIAL_GET_CHARS, "GET_CHARS"},
        {IOCTL_SERIAL_SET_CHARS, "SET_CHARS"},             {IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW"},
        {IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW"},       {IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS"},
        {IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS"},   {IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES"},
    };
    for (const auto& [value, name] : names) {
        if (value == code) {
            return name;
        }
    }
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", code);
    return text;
}

// One request as a line: "SET_BAUD_RATE in 80 25 00 00 out 0", "READ 64",
// "WRITE 01 02".
std::string Describe(const host::SentRequest& request)
{
    std::string text;
    auto hex = [&](const Bytes& bytes) {
        for (uint8_t byte : bytes) {
            char digits[4];
            std::snprintf(digits, sizeof(digits), " %02x", byte);
            text += digits;
        }
    };
    switch (request.Kind) {
    case Type::Read: text = "READ " + std::to_string(request.OutputLength); break;
    case Type::Write:
        text = "WRITE";
        hex(request.Input);
        break;
    case Type::DeviceControl:
        text = CodeName(request.IoControlCode) + " in";
        hex(request.Input);
        text += " out " + std::to_string(request.OutputLength);
        break;
    }
    return text;
}

// Records what every handle sends; `Answer`, when set, may complete a
// request in the driver's place.
class Recorder {
public:
    Recorder()
    {
        host::ObserveSentRequests([this](const host::SentRequest& request) -> std::optional<host::SentAnswer> {
            Answerer answer;
            {
                std::lock_guard<std::mutex> guard(Lock);
                Log.push_back(Describe(request));
                answer = AnswerWith;
            }
            return answer ? answer(request) : std::nullopt;
        });
    }
    ~Recorder() { host::ObserveSentRequests(nullptr); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // What was sent since the last call.
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> guard(Lock);
        std::vector<std::string> taken;
        taken.swap(Log);
        return taken;
    }
    void Answer(Answerer answer)
    {
        std::lock_guard<std::mutex> guard(Lock);
        AnswerWith = std::move(answer);
    }

private:
    std::mutex Lock;
    std::vector<std::string> Log;
    Answerer AnswerWith;
};

template <typename T>
Bytes BytesOf(const T& value)
{
    Bytes bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

// Answers one control code with `output` and lets every other request through.
Answerer AnswerCode(ULONG code, Bytes output, NTSTATUS status = STATUS_SUCCESS)
{
    return [code, output, status](const host::SentRequest& request) -> std::optional<host::SentAnswer> {
        if (request.Kind == Type::DeviceControl && request.IoControlCode == code) {
            return host::SentAnswer{status, output};
        }
        return std::nullopt;
    };
}

HANDLE Open(test::PortSystem& system, unsigned port, DWORD flags = FILE_FLAG_OVERLAPPED,
            DWORD access = GENERIC_READ | GENERIC_WRITE)
{
    return CreateFileA(system.PortName(port).c_str(), access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Waits, bounded, until the status block shows the operation's end.
bool Completes(const OVERLAPPED& operation)
{
    for (int i = 0; i < 2000; ++i) {
        if (__atomic_load_n(&operation.Internal, __ATOMIC_ACQUIRE) != static_cast<ULONG_PTR>(STATUS_PENDING)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// ---- The requests each call sends ----

TEST(Win32Requests, CommFunctionsSendWhatKernel32Sends)
{
    test::PortSystem system;
    HANDLE port = Open(system, 0, 0);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Recorder recorder;

    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(recorder.Take(), (std::vector<std::string>{"GET_BAUD_RATE in out 4", "GET_LINE_CONTROL in out 3",
                                                          "GET_HANDFLOW in out 16", "GET_CHARS in out 6"}));

    // Every flag and character set: each lands in its own bit or byte.
    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fErrorChar = 1;
    dcb.fNull = 1;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    EXPECT_EQ(recorder.Take(),
              (std::vector<std::string>{
                  "SET_BAUD_RATE in 80 25 00 00 out 0", "SET_LINE_CONTROL in 02 02 07 out 0",
                  // ControlHandShake 0x8000005A, FlowReplace 0x800000CF, XonLimit 100, XoffLimit 200
                  "SET_HANDFLOW in 5a 00 00 80 cf 00 00 80 64 00 00 00 c8 00 00 00 out 0",
                  // EofChar, ErrorChar, BreakChar 0, EventChar, XonChar, XoffChar
                  "SET_CHARS in 1a 3f 00 0a 11 13 out 0"}));

    // The modes one at a time: DTR and RTS enabled are line states in the
    // handflow, and no line request follows.
    DCB plain{};
    plain.BaudRate = 115200;
    plain.ByteSize = 8;
    plain.fDtrControl = DTR_CONTROL_ENABLE;
    plain.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(port, &plain));
    EXPECT_EQ(recorder.Take(),
              (std::vector<std::string>{"SET_BAUD_RATE in 00 c2 01 00 out 0", "SET_LINE_CONTROL in 00 00 08 out 0",
                                        "SET_HANDFLOW in 01 00 00 00 40 00 00 00 00 00 00 00 00 00 00 00 out 0",
                                        "SET_CHARS in 00 00 00 00 00 00 out 0"}));

    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY));
    DWORD value = 0;
    ASSERT_TRUE(GetCommMask(port, &value));
    EXPECT_EQ(value, static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXABORT));
    ASSERT_TRUE(SetupComm(port, 4096, 2048));
    ASSERT_TRUE(GetCommModemStatus(port, &value));
    COMMPROP properties{};
    ASSERT_TRUE(GetCommProperties(port, &properties));
    COMSTAT status{};
    ASSERT_TRUE(ClearCommError(port, &value, &status));
    ASSERT_TRUE(TransmitCommChar(port, 'A'));
    EXPECT_EQ(recorder.Take(),
              (std::vector<std::string>{
                  "SET_TIMEOUTS in 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 out 0",
                  "GET_TIMEOUTS in out 20", "SET_WAIT_MASK in 05 00 00 00 out 0", "GET_WAIT_MASK in out 4",
                  "PURGE in 09 00 00 00 out 0", "SET_QUEUE_SIZE in 00 10 00 00 00 08 00 00 out 0",
                  "GET_MODEMSTATUS in out 4", "GET_PROPERTIES in out 64", "GET_COMMSTATUS in out 20",
                  "IMMEDIATE_CHAR in 41 out 0"}));

    for (DWORD function = SETXOFF; function <= CLRBREAK; ++function) {
        EXPECT_TRUE(EscapeCommFunction(port, function)) << function;
    }
    ASSERT_TRUE(SetCommBreak(port));
    ASSERT_TRUE(ClearCommBreak(port));
    EXPECT_EQ(recorder.Take(),
              (std::vector<std::string>{"SET_XOFF in out 0", "SET_XON in out 0", "SET_RTS in out 0",
                                        "CLR_RTS in out 0", "SET_DTR in out 0", "CLR_DTR in out 0",
                                        "RESET_DEVICE in out 0", "SET_BREAK_ON in out 0", "SET_BREAK_OFF in out 0",
                                        "SET_BREAK_ON in out 0", "SET_BREAK_OFF in out 0"}));

    const uint8_t data[] = {1, 2, 3};
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, data, sizeof(data), &written, nullptr));
    EXPECT_EQ(written, 3u);
    system.Settle();
    uint8_t buffer[8] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port, buffer, 3, &read, nullptr));
    EXPECT_EQ(recorder.Take(), (std::vector<std::string>{"WRITE 01 02 03", "READ 3"}));
    EXPECT_TRUE(CloseHandle(port));
}

// What kernel32 refuses reaches no driver.
TEST(Win32Requests, RefusedArgumentsSendNothing)
{
    test::PortSystem system;
    HANDLE port = Open(system, 1, 0, GENERIC_READ);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Recorder recorder;

    DCB dcb{};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.fDtrControl = 3;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = 1;
    dcb.XonChar = dcb.XoffChar = 0x11;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetCommState(port, nullptr));
    EXPECT_FALSE(GetCommState(port, nullptr));
    EXPECT_FALSE(EscapeCommFunction(port, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(EscapeCommFunction(port, CLRBREAK + 1));
    const uint8_t byte = 0;
    DWORD count = 0;
    EXPECT_FALSE(WriteFile(port, &byte, 1, &count, nullptr));  // opened for reading only
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ReadFile(port, nullptr, 4, &count, nullptr));
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, nullptr, 4, &count, nullptr));
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE | 3, nullptr, 0, &count, 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(GetCommState(reinterpret_cast<HANDLE>(0x7777), &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(recorder.Take(), std::vector<std::string>{});
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(CloseHandle(port));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// GetCommState reads back every handflow bit and character; ClearCommError
// turns the driver's error bits and hold reasons into COMSTAT's.
TEST(Win32Requests, DriverStateDecodedAsKernel32DecodesIt)
{
    test::PortSystem system;
    HANDLE port = Open(system, 2, 0);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Recorder recorder;

    struct Case {
        ULONG ControlHandShake, FlowReplace;
        DWORD Dtr, Rts;
    };
    const Case cases[] = {
        {0x8000005A, 0x800000CF, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE},
        {0x00000001, 0x00000040, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
        {0x00000003, 0x00000080, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},  // both DTR bits: no mode
        {0, 0, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ControlHandShake);
        const SERIAL_HANDFLOW flow{c.ControlHandShake, c.FlowReplace, 300, 400};
        const SERIAL_CHARS chars{0x1A, '?', 0x55, '\n', 0x11, 0x13};
        recorder.Answer([&](const host::SentRequest& request) -> std::optional<host::SentAnswer> {
            if (request.IoControlCode == IOCTL_SERIAL_GET_HANDFLOW) {
                return host::SentAnswer{STATUS_SUCCESS, BytesOf(flow)};
            }
            if (request.IoControlCode == IOCTL_SERIAL_GET_CHARS) {
                return host::SentAnswer{STATUS_SUCCESS, BytesOf(chars)};
            }
            return std::nullopt;
        });
        DCB dcb;
        std::memset(&dcb, 0xFF, sizeof(dcb));
        ASSERT_TRUE(GetCommState(port, &dcb));
        const bool all = c.ControlHandShake == 0x8000005A;
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
        EXPECT_EQ(dcb.fBinary, 1u);
        EXPECT_EQ(dcb.fParity, 0u);
        EXPECT_EQ(dcb.fOutxCtsFlow, all);
        EXPECT_EQ(dcb.fOutxDsrFlow, all);
        EXPECT_EQ(dcb.fDsrSensitivity, all);
        EXPECT_EQ(dcb.fAbortOnError, all);
        EXPECT_EQ(dcb.fTXContinueOnXoff, all);
        EXPECT_EQ(dcb.fOutX, all);
        EXPECT_EQ(dcb.fInX, all);
        EXPECT_EQ(dcb.fErrorChar, all);
        EXPECT_EQ(dcb.fNull, all);
        EXPECT_EQ(dcb.fDtrControl, c.Dtr);
        EXPECT_EQ(dcb.fRtsControl, c.Rts);
        EXPECT_EQ(dcb.fDummy2, 0u);
        EXPECT_EQ(dcb.XonLim, 300);
        EXPECT_EQ(dcb.XoffLim, 400);
        EXPECT_EQ(dcb.EofChar, 0x1A);
        EXPECT_EQ(dcb.ErrorChar, '?');
        EXPECT_EQ(dcb.EvtChar, '\n');
        EXPECT_EQ(dcb.XonChar, 0x11);
        EXPECT_EQ(dcb.XoffChar, 0x13);
        EXPECT_EQ(dcb.wReserved, 0);
    }

    // Each SERIAL_ERROR_* and hold reason alone, then bits with no COMSTAT
    // counterpart (waiting on a break, receive held for DSR) dropped.
    const std::pair<ULONG, DWORD> errors[] = {
        {0x01, CE_BREAK}, {0x02, CE_FRAME}, {0x04, CE_OVERRUN}, {0x08, CE_RXOVER}, {0x10, CE_RXPARITY}, {0x20, 0}};
    for (const auto& [serial, expected] : errors) {
        SERIAL_STATUS answer{};
        answer.Errors = serial;
        recorder.Answer(AnswerCode(IOCTL_SERIAL_GET_COMMSTATUS, BytesOf(answer)));
        DWORD reported = 0xFFFF;
        ASSERT_TRUE(ClearCommError(port, &reported, nullptr));
        EXPECT_EQ(reported, expected) << "SERIAL_ERROR 0x" << std::hex << serial;
    }
    for (unsigned bit = 0; bit < 7; ++bit) {
        SERIAL_STATUS answer{};
        answer.HoldReasons = 1u << bit;
        answer.AmountInInQueue = 7;
        answer.AmountInOutQueue = 9;
        answer.EofReceived = bit == 0;
        answer.WaitForImmediate = bit == 1;
        recorder.Answer(AnswerCode(IOCTL_SERIAL_GET_COMMSTATUS, BytesOf(answer)));
        COMSTAT stat;
        std::memset(&stat, 0xFF, sizeof(stat));
        ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
        SCOPED_TRACE(bit);
        EXPECT_EQ(stat.fCtsHold, bit == 0);
        EXPECT_EQ(stat.fDsrHold, bit == 1);
        EXPECT_EQ(stat.fRlsdHold, bit == 2);
        EXPECT_EQ(stat.fXoffHold, bit == 3);
        EXPECT_EQ(stat.fXoffSent, bit == 4);
        EXPECT_EQ(stat.fEof, bit == 0);
        EXPECT_EQ(stat.fTxim, bit == 1);
        EXPECT_EQ(stat.fReserved, 0u);
        EXPECT_EQ(stat.cbInQue, 7u);
        EXPECT_EQ(stat.cbOutQue, 9u);
    }
    recorder.Answer(nullptr);
    EXPECT_TRUE(CloseHandle(port));
}

// ---- Overlapped I/O ----

// The completion, not GetOverlappedResult, puts the data in the buffer and
// fills the status block; only then is the event set. A client that waits on
// the event and reads its buffer straight away sees its data.
TEST(Win32Overlapped, DataAndStatusBlockAreInPlaceWhenTheEventIsSet)
{
    constexpr unsigned kPort = 3;
    test::PortSystem system;
    HANDLE port = Open(system, kPort);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    test::EventOverlapped read;
    ASSERT_TRUE(SetEvent(read.hEvent));  // the read resets it as it starts
    Bytes buffer(8, 0);
    DWORD count = 0xDEAD;
    ASSERT_FALSE(ReadFile(port, buffer.data(), 8, &count, &read));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(read.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(read.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));

    Bytes seen;
    ULONG_PTR status = 1, information = 0;
    std::thread client([&] {
        if (WaitForSingleObject(read.hEvent, 10'000) == WAIT_OBJECT_0) {
            seen = buffer;
            status = read.Internal;
            information = read.InternalHigh;
        }
    });
    const Bytes data{1, 2, 3, 4, 5, 6, 7, 8};
    system.Receive(kPort, data);
    client.join();
    EXPECT_EQ(seen, data);
    EXPECT_EQ(status, static_cast<ULONG_PTR>(STATUS_SUCCESS));
    EXPECT_EQ(information, 8u);
    ASSERT_TRUE(GetOverlappedResult(port, &read, &count, FALSE));
    EXPECT_EQ(count, 8u);

    // Without an event the file handle is what is signalled.
    OVERLAPPED noEvent{};
    ASSERT_FALSE(ReadFile(port, buffer.data(), 4, &count, &noEvent));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(port, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    system.Receive(kPort, {9, 9, 9, 9});
    EXPECT_EQ(WaitForSingleObject(port, 10'000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetOverlappedResult(port, &noEvent, &count, FALSE));
    EXPECT_EQ(count, 4u);
    EXPECT_TRUE(CloseHandle(port));
}

// An operation in progress: ERROR_IO_INCOMPLETE for a zero wait, WAIT_TIMEOUT
// for a finite one; CancelIoEx ends it with ERROR_OPERATION_ABORTED and finds
// nothing the second time.
TEST(Win32Overlapped, IncompleteTimedOutAndCancelled)
{
    test::PortSystem system;
    HANDLE port = Open(system, 4);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CancelIoEx(port, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_TRUE(CancelIo(port));  // nothing to cancel is not a failure for CancelIo

    test::EventOverlapped read;
    Bytes buffer(16);
    DWORD count = 0;
    ASSERT_FALSE(ReadFile(port, buffer.data(), 16, &count, &read));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(port, &read, &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(GetOverlappedResultEx(port, &read, &count, 0, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(GetOverlappedResultEx(port, &read, &count, 20, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));

    OVERLAPPED other{};
    EXPECT_FALSE(CancelIoEx(port, &other));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_TRUE(CancelIoEx(port, &read));
    EXPECT_FALSE(GetOverlappedResult(port, &read, &count, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(read.Internal, static_cast<ULONG>(STATUS_CANCELLED));  // the 32-bit status, not sign-extended
    EXPECT_FALSE(CancelIoEx(port, &read));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_TRUE(CloseHandle(port));
}

// CancelIo cancels the calling thread's operations on the handle and leaves
// another thread's running; CancelIoEx reaches across threads.
TEST(Win32Overlapped, CancelIoIsTheCallingThreadsOnly)
{
    test::PortSystem system;
    HANDLE port = Open(system, 5);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Bytes theirBuffer(8), myBuffer(8);
    test::EventOverlapped theirs, mine;
    DWORD count = 0;
    std::thread other([&] {
        EXPECT_FALSE(ReadFile(port, theirBuffer.data(), 8, &count, &theirs));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    });
    other.join();
    ASSERT_FALSE(ReadFile(port, myBuffer.data(), 8, &count, &mine));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    EXPECT_TRUE(CancelIo(port));
    EXPECT_FALSE(GetOverlappedResultEx(port, &mine, &count, 10'000, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(GetOverlappedResultEx(port, &theirs, &count, 50, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT)) << "another thread's read was cancelled";

    EXPECT_TRUE(CancelIoEx(port, nullptr));
    EXPECT_FALSE(GetOverlappedResultEx(port, &theirs, &count, 10'000, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(CloseHandle(port));
}

// ReadFileEx's and WriteFileEx's routines are queued to the starting thread
// and run only in its alertable waits, once each, after the data is in place.
TEST(Win32Overlapped, CompletionRoutinesRunInTheStartersAlertableWait)
{
    constexpr unsigned kPort = 6;
    test::PortSystem system;
    HANDLE port = Open(system, kPort);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    struct Call {
        DWORD Error;
        DWORD Count;
        LPOVERLAPPED Overlapped;
        std::thread::id Thread;
        Bytes Seen;
    };
    static std::vector<Call> calls;
    static Bytes* watched;
    calls.clear();
    Bytes buffer(5, 0);
    watched = &buffer;
    auto routine = [](DWORD error, DWORD count, LPOVERLAPPED overlapped) {
        calls.push_back({error, count, overlapped, std::this_thread::get_id(), *watched});
    };

    OVERLAPPED read{};
    ASSERT_TRUE(ReadFileEx(port, buffer.data(), 5, &read, routine)) << GetLastError();
    const Bytes data{10, 20, 30, 40, 50};
    system.Receive(kPort, data);
    ASSERT_TRUE(Completes(read));
    EXPECT_EQ(SleepEx(0, FALSE), 0u);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObjectEx(event, 10, FALSE), static_cast<DWORD>(WAIT_TIMEOUT));
    std::thread([] { EXPECT_EQ(SleepEx(20, TRUE), 0u); }).join();  // not the starter: nothing runs there
    EXPECT_TRUE(calls.empty()) << "a routine ran outside the starter's alertable wait";

    EXPECT_EQ(WaitForSingleObjectEx(event, 10'000, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(calls[0].Count, 5u);
    EXPECT_EQ(calls[0].Overlapped, &read);
    EXPECT_EQ(calls[0].Thread, std::this_thread::get_id());
    EXPECT_EQ(calls[0].Seen, data);
    EXPECT_EQ(SleepEx(0, TRUE), 0u);  // delivered once
    EXPECT_EQ(calls.size(), 1u);

    OVERLAPPED write{};
    ASSERT_TRUE(WriteFileEx(port, data.data(), 5, &write, routine));
    ASSERT_TRUE(Completes(write));
    EXPECT_EQ(SleepEx(10'000, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].Count, 5u);
    EXPECT_EQ(calls[1].Overlapped, &write);

    // A call that fails queues nothing: a handle opened without
    // FILE_FLAG_OVERLAPPED takes no completion routine.
    HANDLE synchronous = Open(system, 7, 0);
    ASSERT_NE(synchronous, INVALID_HANDLE_VALUE);
    OVERLAPPED refused{};
    EXPECT_FALSE(ReadFileEx(synchronous, buffer.data(), 5, &refused, routine));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SleepEx(20, TRUE), 0u);
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_TRUE(CloseHandle(synchronous));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(port));
}

// A bound file's overlapped operation queues one packet to the port, with the
// file's key, when it was pending or succeeded at once; none when the
// starting call reports it failed, and none when a completion routine is its
// notice. A cancelled operation's packet carries its error.
TEST(Win32Overlapped, CompletionPortsGetAPacketPerOverlappedEnd)
{
    constexpr unsigned kPort = 3;
    test::PortSystem system;
    HANDLE file = Open(system, kPort);
    HANDLE synchronous = Open(system, 4, 0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_NE(synchronous, INVALID_HANDLE_VALUE);
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(CreateIoCompletionPort(INVALID_HANDLE_VALUE, port, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateIoCompletionPort(synchronous, port, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateIoCompletionPort(file, port, 0x77, 0), port);
    EXPECT_EQ(CreateIoCompletionPort(file, nullptr, 0x78, 0), nullptr);  // bound already
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    DWORD count = 0;
    ULONG_PTR key = 0;
    OVERLAPPED unset{};
    LPOVERLAPPED taken = &unset;
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &count, &key, &taken, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(taken, nullptr);

    OVERLAPPED read{};
    Bytes buffer(8);
    ASSERT_FALSE(ReadFile(file, buffer.data(), 8, nullptr, &read));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    system.Receive(kPort, {1, 2, 3});
    ASSERT_TRUE(GetQueuedCompletionStatus(port, &count, &key, &taken, 10'000)) << GetLastError();
    EXPECT_EQ(key, 0x77u);
    EXPECT_EQ(taken, &read);
    EXPECT_EQ(count, 3u);

    Recorder recorder;
    recorder.Answer(AnswerCode(IOCTL_SERIAL_WAIT_ON_MASK, {}, STATUS_DEVICE_REMOVED));
    OVERLAPPED refused{};
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(file, &events, &refused));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
    recorder.Answer(nullptr);
    OVERLAPPED next{};
    DWORD mask = 0;
    if (!DeviceIoControl(file, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, 4, nullptr, &next)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    ASSERT_TRUE(GetQueuedCompletionStatus(port, &count, &key, &taken, 10'000));
    EXPECT_EQ(taken, &next) << "the refused wait queued a packet";
    EXPECT_EQ(count, 4u);

    OVERLAPPED cancelled{};
    ASSERT_FALSE(ReadFile(file, buffer.data(), 8, nullptr, &cancelled));
    ASSERT_TRUE(CancelIoEx(file, &cancelled));
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &count, &key, &taken, 10'000));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(taken, &cancelled);

    // The routine runs in the alertable wait on the port; no packet follows.
    static int routines;
    routines = 0;
    OVERLAPPED withRoutine{};
    ASSERT_TRUE(ReadFileEx(file, buffer.data(), 8, &withRoutine, [](DWORD, DWORD, LPOVERLAPPED) { ++routines; }));
    system.Receive(kPort, {4});
    OVERLAPPED_ENTRY entries[2];
    ULONG removed = 0;
    EXPECT_FALSE(GetQueuedCompletionStatusEx(port, entries, 2, &removed, 10'000, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_IO_COMPLETION));
    EXPECT_EQ(routines, 1);

    // Posted packets, oldest first, as many as the entries hold.
    OVERLAPPED first{}, second{};
    ASSERT_TRUE(PostQueuedCompletionStatus(port, 5, 9, &first));
    ASSERT_TRUE(PostQueuedCompletionStatus(port, 6, 10, &second));
    ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 11, nullptr));
    ASSERT_TRUE(GetQueuedCompletionStatusEx(port, entries, 2, &removed, 0, FALSE));
    ASSERT_EQ(removed, 2u);
    EXPECT_EQ(entries[0].lpCompletionKey, 9u);
    EXPECT_EQ(entries[0].lpOverlapped, &first);
    EXPECT_EQ(entries[0].Internal, static_cast<ULONG_PTR>(STATUS_SUCCESS));
    EXPECT_EQ(entries[0].dwNumberOfBytesTransferred, 5u);
    EXPECT_EQ(entries[1].lpOverlapped, &second);
    ASSERT_TRUE(GetQueuedCompletionStatusEx(port, entries, 2, &removed, 0, FALSE));
    EXPECT_EQ(removed, 1u);
    EXPECT_EQ(entries[0].lpCompletionKey, 11u);
    EXPECT_EQ(entries[0].lpOverlapped, nullptr);
    EXPECT_FALSE(GetQueuedCompletionStatusEx(port, entries, 2, &removed, 0, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &count, &key, &taken, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(synchronous));
    EXPECT_TRUE(CloseHandle(file));
}

TEST(Win32Overlapped, EventsAndWaits)
{
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE automatic = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(manual, nullptr);
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "named"), nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));  // stays set
    EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(automatic);
    });
    EXPECT_EQ(WaitForSingleObject(automatic, 10'000), static_cast<DWORD>(WAIT_OBJECT_0));
    setter.join();
    EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // the wait reset it
    const HANDLE both[] = {automatic, manual};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), 0), static_cast<DWORD>(WAIT_FAILED));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetFileType(manual), static_cast<DWORD>(FILE_TYPE_UNKNOWN));
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_TRUE(CloseHandle(automatic));

    // The wide forms: CreateEventExW's flags choose the kind and the state.
    const WCHAR name[] = {'n', 0};
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, name), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE set = CreateEventExW(nullptr, nullptr, CREATE_EVENT_MANUAL_RESET | CREATE_EVENT_INITIAL_SET, 0);
    HANDLE pulse = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(set, nullptr);
    ASSERT_NE(pulse, nullptr);
    EXPECT_EQ(WaitForSingleObject(set, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(set, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(pulse, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(pulse, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(CloseHandle(set));
    EXPECT_TRUE(CloseHandle(pulse));
}

// ---- Errors and names ----

TEST(Win32Errors, StatusesMapAsNtdllMapsThem)
{
    const std::pair<NTSTATUS, DWORD> map[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_TIMEOUT, ERROR_TIMEOUT},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_DEVICE_BUSY, ERROR_BUSY},
        {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
        {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
        {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_DEVICE_CONFIGURATION_ERROR, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
        {STATUS_DEVICE_PROTOCOL_ERROR, ERROR_IO_DEVICE},
        {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
        {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
        {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
        {static_cast<NTSTATUS>(0xC0070005), ERROR_MR_MID_NOT_FOUND},
        {static_cast<NTSTATUS>(0xC0010005), ERROR_ACCESS_DENIED},  // a Win32 error carried in a status
        {STATUS_WDF_BUSY, ERROR_MR_MID_NOT_FOUND},
        {STATUS_WDF_PAUSED, ERROR_MR_MID_NOT_FOUND},
    };
    for (const auto& [status, error] : map) {
        EXPECT_EQ(RtlNtStatusToDosError(status), error) << std::hex << "status 0x" << static_cast<ULONG>(status);
    }
}

// A driver's status reaches GetLastError mapped, synchronously and through
// GetOverlappedResult: a removed device answers as .NET expects to see it.
TEST(Win32Errors, DriverStatusesReachGetLastError)
{
    test::PortSystem system;
    HANDLE port = Open(system, 0);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Recorder recorder;
    recorder.Answer(AnswerCode(IOCTL_SERIAL_GET_COMMSTATUS, {}, STATUS_INVALID_DEVICE_STATE));
    DWORD errors = 0;
    EXPECT_FALSE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);

    // Failed inside the call, never pending: the status block stays as the
    // call set it and the event unsignalled, so the result is the call's.
    recorder.Answer(AnswerCode(IOCTL_SERIAL_WAIT_ON_MASK, {}, STATUS_DEVICE_REMOVED));
    test::EventOverlapped wait;
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(port, &events, &wait));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
    EXPECT_EQ(WaitForSingleObject(wait.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(wait.Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING)));

    // The port's own answers come through its queues, which the framework
    // always pends: an overlapped call reports pending even for an answer
    // given at once, and the result is in place when the event is set.
    recorder.Answer(nullptr);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    test::EventOverlapped call;
    DWORD mask = 0;
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof(mask), &returned, &call));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(call.hEvent, 10'000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetOverlappedResult(port, &call, &returned, FALSE));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    // So does a request the framework fails before any queue: after removal,
    // the purged queues answer STATUS_INVALID_DEVICE_STATE, which .NET takes
    // for a removed port.
    system.System.SurpriseRemove(system.Bus());
    test::EventOverlapped afterRemoval;
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof(mask), &returned,
                                 &afterRemoval));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    EXPECT_EQ(WaitForSingleObject(afterRemoval.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(CloseHandle(port));
}

// A warning status fails the call but its output is delivered.
TEST(Win32Errors, AWarningStatusFailsTheCallAndDeliversTheOutput)
{
    test::PortSystem system;
    HANDLE port = Open(system, 0);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Recorder recorder;
    recorder.Answer(AnswerCode(IOCTL_SERIAL_GET_WAIT_MASK, {0x34, 0x12, 0, 0}, STATUS_BUFFER_OVERFLOW));
    DWORD mask = 0;
    EXPECT_FALSE(GetCommMask(port, &mask));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    recorder.Answer(nullptr);
    EXPECT_TRUE(CloseHandle(port));
}

TEST(Win32Files, NamesTypesAndExclusiveOpens)
{
    test::PortSystem system;
    const std::string name = system.PortName(1);
    for (const std::string& form : {name, "\\\\.\\" + name, "\\\\?\\" + name}) {
        for (const bool wide : {false, true}) {
            SCOPED_TRACE(form + (wide ? " (wide)" : ""));
            SetLastError(1234);
            HANDLE port = wide ? CreateFileW(Wide(form).data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                             OPEN_EXISTING, 0, nullptr)
                               : CreateFileA(form.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                             0, nullptr);
            ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
            EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
            EXPECT_EQ(GetFileType(port), static_cast<DWORD>(FILE_TYPE_CHAR));
            EXPECT_EQ(CreateFileA(form.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                      INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
            EXPECT_TRUE(CloseHandle(port));
        }
    }
    std::vector<WCHAR> accented = Wide(name);
    accented[0] = 0xC7;  // a C with a cedilla
    EXPECT_EQ(CreateFileW(accented.data(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA("\\\\?\\COM99", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetFileType(INVALID_HANDLE_VALUE), static_cast<DWORD>(FILE_TYPE_UNKNOWN));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---- A client written for <windows.h> ----

TEST(Win32Client, AWindowsHeaderClientRunsAgainstThePort)
{
    EXPECT_EQ(WindowsBitfieldOrder(), 0);
    test::PortSystem system;
    EXPECT_EQ(RunWindowsClient(system.PortName(2).c_str()), 0);
}

} // namespace
