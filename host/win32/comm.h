// The Win32 communications API that applications use to reach a COM port,
// over the stand-in's I/O manager. Each function issues the serial control
// codes that Windows issues for it, in the same order, so the port driver
// sees what a real application's calls produce; the sequence is written
// beside each function. Names, structures and error codes are Windows' own.
#pragma once

#include <ntdef.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace host {
class FileHandle;
class IoOperation;
} // namespace host

namespace win32 {

using BOOL = int;
using DWORD = uint32_t;
using WORD = uint16_t;
using BYTE_ = uint8_t;

struct CommHandle;
using HANDLE = CommHandle*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t{0});

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD WAIT_TIMEOUT = 258;

// The Win32 error an NTSTATUS becomes, as the system maps the ones a serial
// port produces.
DWORD ErrorFromStatus(NTSTATUS status);
DWORD GetLastError();

constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2, RTS_CONTROL_TOGGLE = 3;
constexpr BYTE_ NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr BYTE_ ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct DCB {
    DWORD DCBlength = sizeof(DCB);
    DWORD BaudRate = 0;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved = 0;
    WORD XonLim = 0;
    WORD XoffLim = 0;
    BYTE_ ByteSize = 0;
    BYTE_ Parity = 0;
    BYTE_ StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    WORD wReserved1 = 0;
    DCB()
        : fBinary(0), fParity(0), fOutxCtsFlow(0), fOutxDsrFlow(0), fDtrControl(0), fDsrSensitivity(0),
          fTXContinueOnXoff(0), fOutX(0), fInX(0), fErrorChar(0), fNull(0), fRtsControl(0), fAbortOnError(0),
          fDummy2(0)
    {
    }
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue = 0;
    DWORD cbOutQue = 0;
    COMSTAT() : fCtsHold(0), fDsrHold(0), fRlsdHold(0), fXoffHold(0), fXoffSent(0), fEof(0), fTxim(0), fReserved(0) {}
};

struct COMMPROP {
    WORD wPacketLength = 0;
    WORD wPacketVersion = 0;
    DWORD dwServiceMask = 0;
    DWORD dwReserved1 = 0;
    DWORD dwMaxTxQueue = 0;
    DWORD dwMaxRxQueue = 0;
    DWORD dwMaxBaud = 0;
    DWORD dwProvSubType = 0;
    DWORD dwProvCapabilities = 0;
    DWORD dwSettableParams = 0;
    DWORD dwSettableBaud = 0;
    WORD wSettableData = 0;
    WORD wSettableStopParity = 0;
    DWORD dwCurrentTxQueue = 0;
    DWORD dwCurrentRxQueue = 0;
    DWORD dwProvSpec1 = 0;
    DWORD dwProvSpec2 = 0;
    wchar_t wcProvChar[1] = {0};
};

// An overlapped operation in progress. Unlike Windows' record it owns the
// operation it tracks; it is valid until its result has been taken.
struct OVERLAPPED {
    std::shared_ptr<host::IoOperation> Internal;
    // Where the operation's output goes when it completes after the call that
    // started it: a read's buffer, WaitCommEvent's events.
    void* Output = nullptr;
    DWORD OutputLength = 0;
};

constexpr DWORD PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002, PURGE_TXCLEAR = 0x0004, PURGE_RXCLEAR = 0x0008;
constexpr DWORD SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, RESETDEV = 7,
                SETBREAK = 8, CLRBREAK = 9;
constexpr DWORD EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008, EV_DSR = 0x0010,
                EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080, EV_RING = 0x0100;
constexpr DWORD MS_CTS_ON = 0x0010, MS_DSR_ON = 0x0020, MS_RING_ON = 0x0040, MS_RLSD_ON = 0x0080;

// CreateFile for a COM port: exclusive access, opened for reading and
// writing; `overlapped` as FILE_FLAG_OVERLAPPED.
HANDLE CreateFile(const std::string& name, bool overlapped = false);
BOOL CloseHandle(HANDLE handle);

BOOL ReadFile(HANDLE handle, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE handle, const void* buffer, DWORD length, DWORD* written, OVERLAPPED* overlapped);
BOOL DeviceIoControl(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output,
                     DWORD outputLength, DWORD* returned, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
// GetOverlappedResultEx: waits at most `milliseconds`, then fails with WAIT_TIMEOUT.
BOOL GetOverlappedResultEx(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, DWORD milliseconds);
BOOL CancelIo(HANDLE handle);
BOOL CancelIoEx(HANDLE handle, OVERLAPPED* overlapped);
BOOL FlushFileBuffers(HANDLE handle);

BOOL GetCommState(HANDLE handle, DCB* dcb);
BOOL SetCommState(HANDLE handle, const DCB* dcb);
BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts);
BOOL GetCommMask(HANDLE handle, DWORD* mask);
BOOL SetCommMask(HANDLE handle, DWORD mask);
BOOL WaitCommEvent(HANDLE handle, DWORD* events, OVERLAPPED* overlapped);
BOOL PurgeComm(HANDLE handle, DWORD flags);
BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status);
BOOL EscapeCommFunction(HANDLE handle, DWORD function);
BOOL SetCommBreak(HANDLE handle);
BOOL ClearCommBreak(HANDLE handle);
BOOL GetCommModemStatus(HANDLE handle, DWORD* modemStatus);
BOOL GetCommProperties(HANDLE handle, COMMPROP* properties);
BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue);

} // namespace win32
