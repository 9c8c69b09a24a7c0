// The device-control surface of an open port: any code (mostly the serial
// ones, 0x1B0000 to 0x1B00A0), any input and output length up to 300 bytes,
// any bytes, on port 3 (answered by the bridge) or port 0 (never answered).
//
// A table kept here says, for every code the port handles, the buffers it
// needs and the status, information and bytes it answers with; a model of the
// port's settings (line, time-outs, wait mask) follows every request, failed
// ones included. Every request must end as the table says, a wait on the mask
// may park until the mask changes or it is cancelled, and after every input
// the port must still carry a byte out and back. The stand-in gives the
// driver one system buffer of max(input, output) bytes, so AddressSanitizer
// catches a write past it.
#include "fuzz_rig.h"

#include <array>
#include <cstring>

namespace {

using fuzz::Bytes;
using fuzz::Fail;

enum class Effect {
    Nothing,
    SetBaudRate,
    SetLineControl,
    BreakOn,
    SetTimeouts,
    GetTimeouts,
    GetWaitMask,
    SetWaitMask,
    WaitOnMask,
    Purge,
    GetBaudRate,
    GetLineControl,
    Zeros,
    ModemStatus,
    CommStatus,
    Properties,
    DtrRts,
};

struct Row {
    ULONG Code;
    ULONG MinInput;
    ULONG MinOutput;
    ULONG Information;  // with success
    Effect What;
};

// Every code the port answers; any other code is an invalid device request.
constexpr Row kTable[] = {
    {0x1B0004, 4, 0, 0, Effect::SetBaudRate},   {0x1B0008, 0, 0, 0, Effect::Nothing},
    {0x1B000C, 3, 0, 0, Effect::SetLineControl}, {0x1B0010, 0, 0, 0, Effect::BreakOn},
    {0x1B0014, 0, 0, 0, Effect::Nothing},       {0x1B0018, 0, 0, 0, Effect::Nothing},
    {0x1B001C, 20, 0, 0, Effect::SetTimeouts},  {0x1B0020, 0, 20, 20, Effect::GetTimeouts},
    {0x1B0024, 0, 0, 0, Effect::Nothing},       {0x1B0028, 0, 0, 0, Effect::Nothing},
    {0x1B002C, 0, 0, 0, Effect::Nothing},       {0x1B0030, 0, 0, 0, Effect::Nothing},
    {0x1B0034, 0, 0, 0, Effect::Nothing},       {0x1B0038, 0, 0, 0, Effect::Nothing},
    {0x1B003C, 0, 0, 0, Effect::Nothing},       {0x1B0040, 0, 4, 4, Effect::GetWaitMask},
    {0x1B0044, 4, 0, 0, Effect::SetWaitMask},   {0x1B0048, 0, 4, 4, Effect::WaitOnMask},
    {0x1B004C, 4, 0, 0, Effect::Purge},         {0x1B0050, 0, 4, 4, Effect::GetBaudRate},
    {0x1B0054, 0, 3, 3, Effect::GetLineControl}, {0x1B0058, 0, 6, 6, Effect::Zeros},
    {0x1B005C, 0, 0, 0, Effect::Nothing},       {0x1B0060, 0, 16, 16, Effect::Zeros},
    {0x1B0064, 0, 0, 0, Effect::Nothing},       {0x1B0068, 0, 4, 4, Effect::ModemStatus},
    {0x1B006C, 0, 20, 20, Effect::CommStatus},  {0x1B0074, 0, 64, 64, Effect::Properties},
    {0x1B0078, 0, 4, 4, Effect::DtrRts},
};

constexpr unsigned kPorts[] = {3, 0};
constexpr ULONG kLongestBuffer = 300;

const Row* Find(ULONG code)
{
    for (const Row& row : kTable) {
        if (row.Code == code) {
            return &row;
        }
    }
    return nullptr;
}

void PutUlong(Bytes& bytes, size_t offset, ULONG value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

ULONG GetUlong(const Bytes& bytes, size_t offset)
{
    ULONG value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

// What the port keeps, as the requests set it: line settings stay stored even
// when they are rejected, the wait mask only when it is valid.
struct PortModel {
    ULONG BaudRate = 115200;
    uint8_t DataBits = 8;
    uint8_t Parity = 0;
    uint8_t StopBits = 0;
    Bytes Timeouts = Bytes(20, 0);
    ULONG WaitMask = 0;

    bool LineValid() const
    {
        return BaudRate >= 300 && BaudRate <= 3000000 && (DataBits == 7 || DataBits == 8) && Parity <= 2 &&
               StopBits <= 2;
    }
};

struct Expected {
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG_PTR Information = 0;
    Bytes Output;
    bool Parks = false;
};

class ControlFuzzer {
public:
    ControlFuzzer() : Rig(fuzz::System([this] { Teardown(); }))
    {
        for (size_t i = 0; i < std::size(kPorts); ++i) {
            Handles[i] = fuzz::OpenOrFail(kPorts[i]);
        }
    }

    void Run(const uint8_t* data, size_t size)
    {
        fuzz::Input input(data, size);
        Current = input.Byte() & 1;
        while (!input.Empty()) {
            const ULONG code = DrawCode(input);
            const ULONG inputLength = DrawLength(input);
            const ULONG outputLength = DrawLength(input);
            Bytes bytes = input.Take(inputLength);
            bytes.resize(inputLength, 0);
            Issue(code, bytes, outputLength);
        }
        EndInput(static_cast<uint8_t>(size));
    }

private:
    // Mostly serial codes, the table's range first; the stand-in models only
    // METHOD_BUFFERED, so the two method bits are always clear.
    static ULONG DrawCode(fuzz::Input& input)
    {
        const uint8_t how = input.Byte();
        if (how < 0xB0) {
            return 0x1B0000 + 4 * (how % 41);
        }
        if (how < 0xE0) {
            return 0x1B0000 | ((input.Word() << 2) & 0xFFFC);
        }
        return input.Ulong() & ~3u;
    }

    static ULONG DrawLength(fuzz::Input& input)
    {
        const uint8_t how = input.Byte();
        return how < 0xC0 ? how % 70 : input.Word() % (kLongestBuffer + 1);
    }

    host::FileHandle& Handle() { return *Handles[Current]; }
    PortModel& Model() { return Models[Current]; }

    Expected Predict(ULONG code, const Bytes& in, ULONG outputLength)
    {
        Expected expected;
        const Row* row = Find(code);
        if (row == nullptr) {
            expected.Status = STATUS_INVALID_DEVICE_REQUEST;
            return expected;
        }
        // The framework refuses a buffer shorter than asked for, and an absent one.
        if ((row->MinInput != 0 && in.size() < row->MinInput) ||
            (row->MinOutput != 0 && outputLength < row->MinOutput)) {
            expected.Status = STATUS_BUFFER_TOO_SMALL;
            return expected;
        }
        PortModel& port = Model();
        expected.Information = row->Information;
        expected.Output.assign(row->Information, 0);
        switch (row->What) {
        case Effect::Nothing:
        case Effect::BreakOn:  // the bridge takes the break on both ports
        case Effect::Zeros:
        case Effect::CommStatus:  // the ring is empty whenever an input runs
        case Effect::DtrRts:
            break;
        case Effect::SetBaudRate:
            port.BaudRate = GetUlong(in, 0);
            expected.Status = port.LineValid() ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
            break;
        case Effect::SetLineControl:
            port.StopBits = in[0];
            port.Parity = in[1];
            port.DataBits = in[2];
            expected.Status = port.LineValid() ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
            break;
        case Effect::SetTimeouts:
            port.Timeouts.assign(in.begin(), in.begin() + 20);
            break;
        case Effect::GetTimeouts:
            expected.Output = port.Timeouts;
            break;
        case Effect::GetWaitMask:
            PutUlong(expected.Output, 0, port.WaitMask);
            break;
        case Effect::SetWaitMask:
            if (GetUlong(in, 0) > 0x1FFF) {
                expected.Status = STATUS_INVALID_PARAMETER;
            } else {
                port.WaitMask = GetUlong(in, 0);
            }
            break;
        case Effect::WaitOnMask:
            // Nothing happens on the port during an input, so a wait that may
            // wait parks; a second one while it does is refused.
            if (port.WaitMask == 0 || ParkedWait) {
                expected.Status = STATUS_INVALID_PARAMETER;
            } else {
                expected.Parks = true;
            }
            break;
        case Effect::Purge:
            break;
        case Effect::GetBaudRate:
            PutUlong(expected.Output, 0, port.BaudRate);
            break;
        case Effect::GetLineControl:
            expected.Output = {port.StopBits, port.Parity, port.DataBits};
            break;
        case Effect::ModemStatus:
            PutUlong(expected.Output, 0, 0xB0);  // CTS, DSR and carrier up, ring off
            break;
        case Effect::Properties:
            expected.Output[0] = 64;  // PacketLength
            expected.Output[2] = 2;   // PacketVersion
            PutUlong(expected.Output, 12, 8192);     // MaxTxQueue
            PutUlong(expected.Output, 16, 8192);     // MaxRxQueue
            PutUlong(expected.Output, 20, 3000000);  // MaxBaud
            break;
        }
        if (expected.Status != STATUS_SUCCESS) {
            expected.Information = 0;
            expected.Output.clear();
        }
        return expected;
    }

    void Issue(ULONG code, const Bytes& in, ULONG outputLength)
    {
        const bool setsMask = code == IOCTL_SERIAL_SET_WAIT_MASK && in.size() >= 4 && GetUlong(in, 0) <= 0x1FFF;
        std::shared_ptr<host::IoOperation> released = setsMask ? ParkedWait : nullptr;
        const Expected expected = Predict(code, in, outputLength);
        auto op = Handle().DeviceIoControlAsync(code, in, outputLength);
        if (expected.Parks) {
            // The default queue is sequential: once a request behind the wait
            // has ended, the wait has been handled.
            fuzz::Control(Handle(), IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
            if (op->Done()) {
                Fail("IOCTL_SERIAL_WAIT_ON_MASK ended with 0x%08X though no event can occur",
                     static_cast<unsigned>(op->Status()));
            }
            ParkedWait = op;
            return;
        }
        fuzz::Await(op, "a device control");
        Check(code, in.size(), outputLength, *op, expected);
        if (released != nullptr) {
            // A new mask ends the parked wait with no events, before the set itself.
            if (!released->Done() || released->CompletionOrder() > op->CompletionOrder()) {
                Fail("a new wait mask did not end the parked wait first");
            }
            Expected ended;
            ended.Information = 4;
            ended.Output = Bytes(4, 0);
            Check(0x1B0048, 0, 4, *released, ended);
            ParkedWait = nullptr;
        }
    }

    void Check(ULONG code, size_t inputLength, ULONG outputLength, host::IoOperation& op, const Expected& expected)
    {
        const NTSTATUS status = op.Status();
        const ULONG_PTR information = op.Information();
        if (status != expected.Status || information != expected.Information) {
            Fail("port %u, code 0x%X, input %zu, output %lu: 0x%08X with information %lu, expected 0x%08X with %lu",
                 kPorts[Current], static_cast<unsigned>(code), inputLength, static_cast<unsigned long>(outputLength),
                 static_cast<unsigned>(status), static_cast<unsigned long>(information),
                 static_cast<unsigned>(expected.Status), static_cast<unsigned long>(expected.Information));
        }
        if (op.Output() != expected.Output) {
            Fail("port %u, code 0x%X: the %lu bytes returned are not the expected ones", kPorts[Current],
                 static_cast<unsigned>(code), static_cast<unsigned long>(information));
        }
    }

    // Cancels a parked wait, puts the settings back so every input starts
    // alike, and sends a byte out and back: the port still works.
    void EndInput(uint8_t probe)
    {
        if (ParkedWait != nullptr) {
            ParkedWait->Cancel();
            fuzz::Await(ParkedWait, "a cancelled IOCTL_SERIAL_WAIT_ON_MASK");
            Expected cancelled;
            cancelled.Status = STATUS_CANCELLED;
            Check(0x1B0048, 0, 4, *ParkedWait, cancelled);
            ParkedWait = nullptr;
        }
        Issue(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(4, 0), 0);
        Issue(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(20, 0), 0);
        Issue(IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0, 8}, 0);
        Issue(IOCTL_SERIAL_SET_BAUD_RATE, {0x00, 0xC2, 0x01, 0x00}, 0);
        if (!Model().LineValid()) {
            Fail("the default line settings were refused");
        }

        auto write = Handle().WriteAsync({probe});
        fuzz::Await(write, "a 1-byte write after the input");
        if (write->Status() != STATUS_SUCCESS || write->Information() != 1) {
            Fail("port %u no longer writes: 0x%08X, %lu bytes", kPorts[Current],
                 static_cast<unsigned>(write->Status()), static_cast<unsigned long>(write->Information()));
        }
        auto read = Handle().ReadAsync(16);
        fuzz::Await(read, "reading back the byte written");
        if (read->Status() != STATUS_SUCCESS || read->Output() != Bytes{probe}) {
            Fail("port %u did not read back the byte it wrote: 0x%08X, %zu bytes", kPorts[Current],
                 static_cast<unsigned>(read->Status()), read->Output().size());
        }
        Rig.Model.ClearOutTransfers();
    }

    void Teardown()
    {
        for (auto& handle : Handles) {
            handle->Close();
        }
    }

    fuzz::Rig& Rig;
    std::array<std::unique_ptr<host::FileHandle>, std::size(kPorts)> Handles;
    std::array<PortModel, std::size(kPorts)> Models;
    size_t Current = 0;
    std::shared_ptr<host::IoOperation> ParkedWait;
};

} // namespace

OMBREL_FUZZ_TARGET(ControlFuzzer)
