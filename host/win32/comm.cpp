#include "host/win32/comm.h"

#include "host/io_manager/io_manager.h"

#include <ntddser.h>

#include <cstring>
#include <vector>

namespace win32 {

struct CommHandle {
    std::unique_ptr<host::FileHandle> File;
    bool Overlapped;
};

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

constexpr auto kForever = std::chrono::hours(24);

BOOL Fail(DWORD error)
{
    t_lastError = error;
    return FALSE;
}

BOOL FromStatus(NTSTATUS status)
{
    if (NT_SUCCESS(status)) {
        t_lastError = ERROR_SUCCESS;
        return TRUE;
    }
    return Fail(ErrorFromStatus(status));
}

bool Valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE && handle->File; }

template <typename T>
std::vector<uint8_t> BytesOf(const T& value)
{
    std::vector<uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

// Copies what an operation returned; an empty result leaves `output` as it is.
void CopyOutput(void* output, DWORD outputLength, const std::vector<uint8_t>& bytes)
{
    if (output != nullptr && !bytes.empty()) {
        std::memcpy(output, bytes.data(), std::min<size_t>(bytes.size(), outputLength));
    }
}

// One synchronous control request; `output` receives at most `outputLength` bytes.
NTSTATUS Control(HANDLE handle, ULONG code, const std::vector<uint8_t>& input = {}, void* output = nullptr,
                 ULONG outputLength = 0)
{
    auto op = handle->File->DeviceIoControlAsync(code, input, outputLength);
    op->Wait(kForever);
    CopyOutput(output, outputLength, op->Output());
    return op->Status();
}

// Starts an operation; a synchronous handle waits for it, an overlapped one
// reports ERROR_IO_PENDING unless it has already ended.
BOOL Issue(HANDLE handle, std::shared_ptr<host::IoOperation> op, OVERLAPPED* overlapped, DWORD* transferred,
           void* output, DWORD outputLength)
{
    if (overlapped != nullptr) {
        overlapped->Internal = op;
        overlapped->Output = output;
        overlapped->OutputLength = outputLength;
        if (!op->Done()) {
            return Fail(ERROR_IO_PENDING);
        }
    } else {
        op->Wait(kForever);
    }
    CopyOutput(output, outputLength, op->Output());
    if (transferred != nullptr) {
        *transferred = static_cast<DWORD>(op->Information());
    }
    (void)handle;
    return FromStatus(op->Status());
}

} // namespace

DWORD GetLastError() { return t_lastError; }

DWORD ErrorFromStatus(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS: return ERROR_SUCCESS;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_IO_TIMEOUT: return ERROR_SEM_TIMEOUT;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_ACCESS_DENIED:
    case STATUS_DELETE_PENDING: return ERROR_ACCESS_DENIED;
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_NO_SUCH_DEVICE: return ERROR_FILE_NOT_FOUND;
    case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
    case STATUS_DEVICE_BUSY: return ERROR_BUSY;
    case STATUS_DEVICE_PROTOCOL_ERROR: return ERROR_IO_DEVICE;
    default: return ERROR_GEN_FAILURE;
    }
}

// CreateFile: IRP_MJ_CREATE; the driver's open tells the device of the handle.
HANDLE CreateFile(const std::string& name, bool overlapped)
{
    std::unique_ptr<host::FileHandle> file;
    const NTSTATUS status = host::OpenDevice(name, file);
    if (!NT_SUCCESS(status)) {
        t_lastError = ErrorFromStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    t_lastError = ERROR_SUCCESS;
    return new CommHandle{std::move(file), overlapped};
}

// CloseHandle: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once the handle's requests have ended.
BOOL CloseHandle(HANDLE handle)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    handle->File->Close();
    delete handle;
    return TRUE;
}

// ReadFile: IRP_MJ_READ of `length` bytes.
BOOL ReadFile(HANDLE handle, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped)
{
    if (!Valid(handle) || (overlapped != nullptr) != handle->Overlapped) {
        return Fail(Valid(handle) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    }
    if (read != nullptr) {
        *read = 0;
    }
    return Issue(handle, handle->File->ReadAsync(length), overlapped, read, buffer, length);
}

// WriteFile: IRP_MJ_WRITE of `length` bytes.
BOOL WriteFile(HANDLE handle, const void* buffer, DWORD length, DWORD* written, OVERLAPPED* overlapped)
{
    if (!Valid(handle) || (overlapped != nullptr) != handle->Overlapped) {
        return Fail(Valid(handle) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    }
    if (written != nullptr) {
        *written = 0;
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    return Issue(handle, handle->File->WriteAsync(std::vector<uint8_t>(bytes, bytes + length)), overlapped, written,
                 nullptr, 0);
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output,
                     DWORD outputLength, DWORD* returned, OVERLAPPED* overlapped)
{
    if (!Valid(handle) || (overlapped != nullptr && !handle->Overlapped)) {
        return Fail(Valid(handle) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    }
    const auto* bytes = static_cast<const uint8_t*>(input);
    std::vector<uint8_t> in(bytes, bytes + (input != nullptr ? inputLength : 0));
    return Issue(handle, handle->File->DeviceIoControlAsync(code, in, outputLength), overlapped, returned, output,
                 outputLength);
}

namespace {

BOOL TakeResult(OVERLAPPED* overlapped, DWORD* transferred)
{
    auto op = overlapped->Internal;
    if (transferred != nullptr) {
        *transferred = static_cast<DWORD>(op->Information());
    }
    if (NT_SUCCESS(op->Status())) {
        CopyOutput(overlapped->Output, overlapped->OutputLength, op->Output());
    }
    return FromStatus(op->Status());
}

} // namespace

BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait)
{
    if (!Valid(handle) || overlapped == nullptr || !overlapped->Internal) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (wait) {
        overlapped->Internal->Wait(kForever);
    } else if (!overlapped->Internal->Done()) {
        return Fail(ERROR_IO_INCOMPLETE);
    }
    return TakeResult(overlapped, transferred);
}

BOOL GetOverlappedResultEx(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, DWORD milliseconds)
{
    if (!Valid(handle) || overlapped == nullptr || !overlapped->Internal) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!overlapped->Internal->Wait(std::chrono::milliseconds(milliseconds))) {
        return Fail(WAIT_TIMEOUT);
    }
    return TakeResult(overlapped, transferred);
}

BOOL CancelIo(HANDLE handle)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    handle->File->CancelAll();
    return TRUE;
}

BOOL CancelIoEx(HANDLE handle, OVERLAPPED* overlapped)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (overlapped == nullptr) {
        return CancelIo(handle);
    }
    if (overlapped->Internal) {
        overlapped->Internal->Cancel();
    }
    return TRUE;
}

// FlushFileBuffers: IRP_MJ_FLUSH_BUFFERS, waited for in the calling thread
// also on an overlapped handle (documentation: "FlushFileBuffers function").
BOOL FlushFileBuffers(HANDLE handle)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return FromStatus(handle->File->Flush());
}

// GetCommState: IOCTL_SERIAL_GET_BAUD_RATE, GET_LINE_CONTROL, GET_CHARS, GET_HANDFLOW.
BOOL GetCommState(HANDLE handle, DCB* dcb)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW flow{};
    NTSTATUS status = Control(handle, IOCTL_SERIAL_GET_BAUD_RATE, {}, &baud, sizeof(baud));
    if (NT_SUCCESS(status)) {
        status = Control(handle, IOCTL_SERIAL_GET_LINE_CONTROL, {}, &line, sizeof(line));
    }
    if (NT_SUCCESS(status)) {
        status = Control(handle, IOCTL_SERIAL_GET_CHARS, {}, &chars, sizeof(chars));
    }
    if (NT_SUCCESS(status)) {
        status = Control(handle, IOCTL_SERIAL_GET_HANDFLOW, {}, &flow, sizeof(flow));
    }
    if (!NT_SUCCESS(status)) {
        return FromStatus(status);
    }
    *dcb = DCB();
    dcb->BaudRate = baud.BaudRate;
    dcb->fBinary = 1;
    dcb->ByteSize = line.WordLength;
    dcb->Parity = line.Parity;
    dcb->fParity = line.Parity != NOPARITY;
    dcb->StopBits = line.StopBits;
    dcb->XonChar = static_cast<char>(chars.XonChar);
    dcb->XoffChar = static_cast<char>(chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(chars.ErrorChar);
    dcb->EofChar = static_cast<char>(chars.EofChar);
    dcb->EvtChar = static_cast<char>(chars.EventChar);
    dcb->fDtrControl = flow.ControlHandShake & 0x3;
    dcb->fRtsControl = (flow.FlowReplace >> 6) & 0x3;
    dcb->XonLim = static_cast<WORD>(flow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(flow.XoffLimit);
    return TRUE;
}

// SetCommState: the current settings are read first (GET_BAUD_RATE,
// GET_LINE_CONTROL, GET_CHARS, GET_HANDFLOW), then SET_BAUD_RATE,
// SET_LINE_CONTROL, SET_CHARS, SET_HANDFLOW and SET_DTR or CLR_DTR, SET_RTS
// or CLR_RTS as the DCB asks. If a set fails, the old settings are set again
// and the first failure is reported.
BOOL SetCommState(HANDLE handle, const DCB* dcb)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (dcb->XonChar == dcb->XoffChar && (dcb->fOutX || dcb->fInX)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    SERIAL_BAUD_RATE oldBaud{};
    SERIAL_LINE_CONTROL oldLine{};
    SERIAL_CHARS oldChars{};
    SERIAL_HANDFLOW oldFlow{};
    Control(handle, IOCTL_SERIAL_GET_BAUD_RATE, {}, &oldBaud, sizeof(oldBaud));
    Control(handle, IOCTL_SERIAL_GET_LINE_CONTROL, {}, &oldLine, sizeof(oldLine));
    Control(handle, IOCTL_SERIAL_GET_CHARS, {}, &oldChars, sizeof(oldChars));
    Control(handle, IOCTL_SERIAL_GET_HANDFLOW, {}, &oldFlow, sizeof(oldFlow));

    SERIAL_BAUD_RATE baud{dcb->BaudRate};
    SERIAL_LINE_CONTROL line{dcb->StopBits, dcb->Parity, dcb->ByteSize};
    SERIAL_CHARS chars{static_cast<UCHAR>(dcb->EofChar), static_cast<UCHAR>(dcb->ErrorChar), 0,
                       static_cast<UCHAR>(dcb->EvtChar), static_cast<UCHAR>(dcb->XonChar),
                       static_cast<UCHAR>(dcb->XoffChar)};
    SERIAL_HANDFLOW flow{dcb->fDtrControl, static_cast<ULONG>(dcb->fRtsControl) << 6, dcb->XonLim, dcb->XoffLim};

    NTSTATUS status = Control(handle, IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(baud));
    if (NT_SUCCESS(status)) {
        status = Control(handle, IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(line));
    }
    if (NT_SUCCESS(status)) {
        status = Control(handle, IOCTL_SERIAL_SET_CHARS, BytesOf(chars));
    }
    if (NT_SUCCESS(status)) {
        status = Control(handle, IOCTL_SERIAL_SET_HANDFLOW, BytesOf(flow));
    }
    if (NT_SUCCESS(status) && dcb->fDtrControl != DTR_CONTROL_HANDSHAKE) {
        status = Control(handle, dcb->fDtrControl == DTR_CONTROL_ENABLE ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR);
    }
    if (NT_SUCCESS(status) && dcb->fRtsControl != RTS_CONTROL_HANDSHAKE && dcb->fRtsControl != RTS_CONTROL_TOGGLE) {
        status = Control(handle, dcb->fRtsControl == RTS_CONTROL_ENABLE ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS);
    }
    if (!NT_SUCCESS(status)) {
        Control(handle, IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(oldBaud));
        Control(handle, IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(oldLine));
        Control(handle, IOCTL_SERIAL_SET_CHARS, BytesOf(oldChars));
        Control(handle, IOCTL_SERIAL_SET_HANDFLOW, BytesOf(oldFlow));
    }
    return FromStatus(status);
}

// GetCommTimeouts: IOCTL_SERIAL_GET_TIMEOUTS.
BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    SERIAL_TIMEOUTS serial{};
    const NTSTATUS status = Control(handle, IOCTL_SERIAL_GET_TIMEOUTS, {}, &serial, sizeof(serial));
    if (NT_SUCCESS(status)) {
        *timeouts = {serial.ReadIntervalTimeout, serial.ReadTotalTimeoutMultiplier, serial.ReadTotalTimeoutConstant,
                     serial.WriteTotalTimeoutMultiplier, serial.WriteTotalTimeoutConstant};
    }
    return FromStatus(status);
}

// SetCommTimeouts: IOCTL_SERIAL_SET_TIMEOUTS.
BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const SERIAL_TIMEOUTS serial{timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                                 timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
                                 timeouts->WriteTotalTimeoutConstant};
    return FromStatus(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(serial)));
}

// GetCommMask: IOCTL_SERIAL_GET_WAIT_MASK.
BOOL GetCommMask(HANDLE handle, DWORD* mask)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return FromStatus(Control(handle, IOCTL_SERIAL_GET_WAIT_MASK, {}, mask, sizeof(*mask)));
}

// SetCommMask: IOCTL_SERIAL_SET_WAIT_MASK, which also ends a pending WaitCommEvent.
BOOL SetCommMask(HANDLE handle, DWORD mask)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return FromStatus(Control(handle, IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(mask)));
}

// WaitCommEvent: IOCTL_SERIAL_WAIT_ON_MASK.
BOOL WaitCommEvent(HANDLE handle, DWORD* events, OVERLAPPED* overlapped)
{
    if (!Valid(handle) || (overlapped != nullptr && !handle->Overlapped)) {
        return Fail(Valid(handle) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    }
    DWORD returned = 0;
    return Issue(handle, handle->File->DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(DWORD)),
                 overlapped, &returned, events, sizeof(DWORD));
}

// PurgeComm: IOCTL_SERIAL_PURGE with the flags as they are.
BOOL PurgeComm(HANDLE handle, DWORD flags)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return FromStatus(Control(handle, IOCTL_SERIAL_PURGE, BytesOf(flags)));
}

// ClearCommError: IOCTL_SERIAL_GET_COMMSTATUS.
BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    SERIAL_STATUS serial{};
    const NTSTATUS result = Control(handle, IOCTL_SERIAL_GET_COMMSTATUS, {}, &serial, sizeof(serial));
    if (NT_SUCCESS(result)) {
        if (errors != nullptr) {
            *errors = serial.Errors;
        }
        if (status != nullptr) {
            *status = COMSTAT();
            status->fEof = serial.EofReceived;
            status->fTxim = serial.WaitForImmediate;
            status->cbInQue = serial.AmountInInQueue;
            status->cbOutQue = serial.AmountInOutQueue;
        }
    }
    return FromStatus(result);
}

// EscapeCommFunction: SETXOFF, SETXON, SETRTS, CLRRTS, SETDTR, CLRDTR,
// RESETDEV, SETBREAK and CLRBREAK each become the serial request of that name.
BOOL EscapeCommFunction(HANDLE handle, DWORD function)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    ULONG code;
    switch (function) {
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
    return FromStatus(Control(handle, code));
}

// SetCommBreak and ClearCommBreak: IOCTL_SERIAL_SET_BREAK_ON and _OFF.
BOOL SetCommBreak(HANDLE handle) { return EscapeCommFunction(handle, SETBREAK); }
BOOL ClearCommBreak(HANDLE handle) { return EscapeCommFunction(handle, CLRBREAK); }

// GetCommModemStatus: IOCTL_SERIAL_GET_MODEMSTATUS.
BOOL GetCommModemStatus(HANDLE handle, DWORD* modemStatus)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return FromStatus(Control(handle, IOCTL_SERIAL_GET_MODEMSTATUS, {}, modemStatus, sizeof(*modemStatus)));
}

// GetCommProperties: IOCTL_SERIAL_GET_PROPERTIES.
BOOL GetCommProperties(HANDLE handle, COMMPROP* properties)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP), "COMMPROP mirrors SERIAL_COMMPROP");
    return FromStatus(Control(handle, IOCTL_SERIAL_GET_PROPERTIES, {}, properties, sizeof(*properties)));
}

// SetupComm: IOCTL_SERIAL_SET_QUEUE_SIZE with the two sizes.
BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue)
{
    if (!Valid(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const DWORD sizes[2] = {inQueue, outQueue};
    std::vector<uint8_t> input(sizeof(sizes));
    std::memcpy(input.data(), sizes, sizeof(sizes));
    return FromStatus(Control(handle, IOCTL_SERIAL_SET_QUEUE_SIZE, input));
}

} // namespace win32
