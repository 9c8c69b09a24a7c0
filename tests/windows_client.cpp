// A COM port client written only against <windows.h>, the way the common
// serial libraries drive a port: open by "\\.\" name for overlapped I/O, check
// the file type, size the queues, read-modify-write the DCB, set time-outs
// and a wait mask, then write and read back with an event per operation.
// Built here against the stand-in's <windows.h>; it must build unchanged
// against Windows' own. It names no test framework and no stand-in type.
#include <windows.h>

#include <stddef.h>
#include <string.h>

// Layouts and bit positions as Windows' headers have them (64-bit).
static_assert(sizeof(OVERLAPPED) == 32, "OVERLAPPED layout");
static_assert(offsetof(OVERLAPPED, InternalHigh) == 8, "OVERLAPPED layout");
static_assert(offsetof(OVERLAPPED, Offset) == 16 && offsetof(OVERLAPPED, OffsetHigh) == 20, "OVERLAPPED layout");
static_assert(offsetof(OVERLAPPED, Pointer) == 16 && offsetof(OVERLAPPED, hEvent) == 24, "OVERLAPPED layout");
static_assert(sizeof(OVERLAPPED_ENTRY) == 32 && offsetof(OVERLAPPED_ENTRY, Internal) == 16 &&
                  offsetof(OVERLAPPED_ENTRY, dwNumberOfBytesTransferred) == 24,
              "OVERLAPPED_ENTRY layout");
static_assert(sizeof(DCB) == 28, "DCB layout");
static_assert(offsetof(DCB, wReserved) == 12 && offsetof(DCB, XonLim) == 14 && offsetof(DCB, ByteSize) == 18,
              "DCB layout");
static_assert(offsetof(DCB, XonChar) == 21 && offsetof(DCB, EvtChar) == 25 && offsetof(DCB, wReserved1) == 26,
              "DCB layout");
static_assert(sizeof(COMSTAT) == 12 && offsetof(COMSTAT, cbInQue) == 4, "COMSTAT layout");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS layout");
static_assert(sizeof(COMMPROP) == 64 && offsetof(COMMPROP, wcProvChar) == 60, "COMMPROP layout");

// The DCB's and COMSTAT's flag words as Windows lays their bitfields out;
// 0 when every bit is where it belongs.
int WindowsBitfieldOrder()
{
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fTXContinueOnXoff = 1;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    DWORD flags;
    memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 8, sizeof(flags));
    if (flags != (0x1u | 0x20u | 0x80u | 0x3000u | 0x4000u)) {
        return 1;
    }
    COMSTAT stat;
    memset(&stat, 0, sizeof(stat));
    stat.fCtsHold = 1;
    stat.fTxim = 1;
    memcpy(&flags, &stat, sizeof(flags));
    return flags == (0x1u | 0x40u) ? 0 : 2;
}

namespace {

struct Session {
    HANDLE Port = INVALID_HANDLE_VALUE;
    HANDLE ReadEvent = NULL;
    HANDLE WriteEvent = NULL;
    ~Session()
    {
        if (ReadEvent != NULL) {
            ::CloseHandle(ReadEvent);
        }
        if (WriteEvent != NULL) {
            ::CloseHandle(WriteEvent);
        }
        if (Port != INVALID_HANDLE_VALUE) {
            ::CloseHandle(Port);
        }
    }
};

// Waits for one overlapped operation through its event, as a client does.
BOOL Finish(HANDLE port, LPOVERLAPPED operation, DWORD* transferred)
{
    if (::WaitForSingleObject(operation->hEvent, 10000) != WAIT_OBJECT_0) {
        ::CancelIoEx(port, operation);
        ::GetOverlappedResult(port, operation, transferred, TRUE);
        return FALSE;
    }
    return ::GetOverlappedResult(port, operation, transferred, FALSE);
}

} // namespace

// Loops `message` through the port; 0 on success, else the step that failed.
int RunWindowsClient(const char* portName)
{
    char path[64] = "\\\\.\\";
    strncat(path, portName, sizeof(path) - strlen(path) - 1);
    Session session;
    session.Port = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (session.Port == INVALID_HANDLE_VALUE) {
        return 10;
    }
    if (::GetFileType(session.Port) != FILE_TYPE_CHAR) {
        return 11;
    }
    if (!::SetupComm(session.Port, 4096, 4096)) {
        return 12;
    }
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!::GetCommState(session.Port, &dcb)) {
        return 13;
    }
    dcb.BaudRate = 57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!::SetCommState(session.Port, &dcb)) {
        return 14;
    }
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof(timeouts));
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(session.Port, &timeouts) || !::SetCommMask(session.Port, EV_RXCHAR | EV_ERR)) {
        return 15;
    }
    if (!::PurgeComm(session.Port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        return 16;
    }
    session.ReadEvent = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    session.WriteEvent = ::CreateEvent(NULL, TRUE, FALSE, NULL);
    if (session.ReadEvent == NULL || session.WriteEvent == NULL) {
        return 17;
    }

    static const char message[] = "through the port and back";
    const DWORD length = sizeof(message) - 1;
    OVERLAPPED write;
    memset(&write, 0, sizeof(write));
    write.hEvent = session.WriteEvent;
    DWORD written = 0;
    if (!::WriteFile(session.Port, message, length, &written, &write)) {
        if (::GetLastError() != ERROR_IO_PENDING || !Finish(session.Port, &write, &written)) {
            return 20;
        }
    }
    if (written != length) {
        return 21;
    }

    char received[64];
    DWORD total = 0;
    for (int attempt = 0; attempt < 100 && total < length; ++attempt) {
        OVERLAPPED read;
        memset(&read, 0, sizeof(read));
        read.hEvent = session.ReadEvent;
        DWORD got = 0;
        if (!::ReadFile(session.Port, received + total, length - total, &got, &read)) {
            if (::GetLastError() != ERROR_IO_PENDING || !Finish(session.Port, &read, &got)) {
                return 30;
            }
        }
        total += got;
    }
    if (total != length || memcmp(received, message, length) != 0) {
        return 31;
    }
    DWORD errors = 0;
    COMSTAT stat;
    if (!::ClearCommError(session.Port, &errors, &stat) || errors != 0 || stat.cbInQue != 0) {
        return 40;
    }
    return 0;
}
