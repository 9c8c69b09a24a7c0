// Sequences of what applications do to three COM ports (open, close, reads,
// writes, purges, wait masks, cancels), interleaved with what a failing
// bridge does (refused, ignored, partly taken or mis-answered commands,
// failed IN reads and OUT writes) and with sleeps and resumes, all decoded
// from the input. Ports 0 (never answered), 2 and 5 take part.
//
// What must hold:
// - no operation hangs: every wait is bounded and a hang stops the run;
// - every request ends exactly once (the stand-in's verifier stops the run
//   otherwise), none outlives its handle's close, and once every handle is
//   closed the drivers hold no request;
// - every byte read continues the port's written stream: the bridge loops
//   back what it takes, so bytes may be lost but never made up, repeated or
//   reordered;
// - once the bridge is healthy again, every port opens, and a block written
//   comes back whole.
//
// OMBREL_FUZZ_LATE_ANSWERS=1 also lets the bridge answer after the time-out.
#include "fuzz_rig.h"
#include "tests/support/stream_check.h"

#include "host/framework/io_queue.h"

#include <array>
#include <cstdlib>
#include <thread>

namespace {

using bridge::Command;
using bridge::PortBehaviour;
using fuzz::Bytes;
using fuzz::Fail;

constexpr std::array<unsigned, 3> kPorts = {0, 2, 5};
constexpr size_t kMostOperations = 48;

using test::StreamCheck;

struct PortState {
    unsigned Index = 0;
    std::unique_ptr<host::FileHandle> Handle;
    std::shared_ptr<host::IoOperation> Read;
    std::shared_ptr<host::IoOperation> Write;
    std::shared_ptr<host::IoOperation> Wait;
    size_t WriteSize = 0;
    std::vector<std::shared_ptr<host::IoOperation>> All;  // of the open handle
    StreamCheck Check;
};

class OperationsFuzzer {
public:
    OperationsFuzzer() : Rig(fuzz::System()), LateAnswers(std::getenv("OMBREL_FUZZ_LATE_ANSWERS") != nullptr)
    {
        for (size_t i = 0; i < kPorts.size(); ++i) {
            Ports[i].Index = kPorts[i];
        }
    }

    void Run(const uint8_t* data, size_t size)
    {
        fuzz::Input input(data, size);
        Seed = 0x9E3779B97F4A7C15ull ^ size;
        for (size_t step = 0; step < kMostOperations && !input.Empty(); ++step) {
            Step(input);
        }
        Recover();
    }

private:
    void Step(fuzz::Input& input)
    {
        const uint8_t what = input.Byte();
        PortState& port = Ports[(what >> 4) % Ports.size()];
        switch (what % 16) {
        case 0:
            Open(port);
            break;
        case 1:
            Close(port);
            break;
        case 2:
        case 3:
            StartRead(port, 1 + input.Word() % 600);
            break;
        case 4:
        case 5: {
            static const size_t kSizes[] = {1, 3, 55, 56, 57, 100, 200, 500, 1500};
            const uint8_t size = input.Byte();
            StartWrite(port, kSizes[size % std::size(kSizes)] + size / 64);
            break;
        }
        case 6:
            Control(port, IOCTL_SERIAL_PURGE, Ulong(input.Byte() & 0x1F));
            break;
        case 7: {
            static const ULONG kMasks[] = {0, 0x0001, 0x0004, 0x0005, 0x0008, 0x1FFF};
            Control(port, IOCTL_SERIAL_SET_WAIT_MASK, Ulong(kMasks[input.Byte() % std::size(kMasks)]));
            break;
        }
        case 8:
            StartWait(port);
            break;
        case 9: {
            static const ULONG kRates[] = {9600, 115200, 299, 3000001};
            const uint8_t which = input.Byte();
            if (which & 4) {
                Control(port, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
            } else {
                Control(port, IOCTL_SERIAL_SET_BAUD_RATE, Ulong(kRates[which % 4]));
            }
            break;
        }
        case 10:
            Cancel(port, input.Byte());
            break;
        case 11:
            Collect(port, std::chrono::milliseconds(input.Byte() % 4));
            break;
        case 12:
        case 13:
            BridgeFault(port, input);
            break;
        case 14:
            LinkFault(input);
            break;
        case 15:
            SleepAndResume(input.Byte() % 4);
            break;
        }
    }

    static Bytes Ulong(ULONG value)
    {
        return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                static_cast<uint8_t>(value >> 24)};
    }

    Bytes NextBytes(size_t count)
    {
        Bytes bytes(count);
        for (auto& byte : bytes) {
            Seed ^= Seed << 13;
            Seed ^= Seed >> 7;
            Seed ^= Seed << 17;
            byte = static_cast<uint8_t>(Seed >> 24);
        }
        return bytes;
    }

    // The bridge may refuse or ignore the open; a second open of the
    // exclusive port is refused by the I/O manager.
    void Open(PortState& port)
    {
        std::unique_ptr<host::FileHandle> handle;
        const NTSTATUS status = host::OpenDevice(fuzz::PortName(port.Index), handle);
        if (port.Handle != nullptr) {
            if (status != STATUS_ACCESS_DENIED) {
                Fail("a second open of port %u ended with 0x%08X", port.Index, static_cast<unsigned>(status));
            }
            return;
        }
        port.Handle = std::move(handle);
    }

    // The close ends every request of the handle: those waiting are
    // cancelled, and the close waits for those the driver holds.
    void Close(PortState& port)
    {
        if (port.Handle == nullptr) {
            return;
        }
        port.Handle->Close();
        for (const auto& op : port.All) {
            if (!op->Done()) {
                Fail("a request on port %u outlived its handle's close", port.Index);
            }
        }
        Collect(port, std::chrono::milliseconds(0));
        port.Handle.reset();
        port.All.clear();
    }

    std::shared_ptr<host::IoOperation> Track(PortState& port, std::shared_ptr<host::IoOperation> op)
    {
        port.All.push_back(op);
        return op;
    }

    void StartRead(PortState& port, ULONG size)
    {
        if (port.Handle == nullptr || port.Read != nullptr) {
            return;
        }
        port.Read = Track(port, port.Handle->ReadAsync(size));
    }

    // Whatever the outcome, the bridge may have looped any prefix back.
    void StartWrite(PortState& port, size_t size)
    {
        if (port.Handle == nullptr) {
            return;
        }
        if (port.Write != nullptr) {
            fuzz::Await(port.Write, "a write");
            CheckWrite(port);
        }
        const Bytes block = NextBytes(size);
        port.Check.Wrote(block);
        port.Write = Track(port, port.Handle->WriteAsync(block));
        port.WriteSize = size;
    }

    void StartWait(PortState& port)
    {
        if (port.Handle == nullptr || port.Wait != nullptr) {
            return;
        }
        port.Wait = Track(port, port.Handle->DeviceIoControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4));
    }

    void Control(PortState& port, ULONG code, const Bytes& input, ULONG outputLength = 0)
    {
        if (port.Handle == nullptr) {
            return;
        }
        auto op = Track(port, port.Handle->DeviceIoControlAsync(code, input, outputLength));
        fuzz::Await(op, "a device control");
        if (code == IOCTL_SERIAL_SET_WAIT_MASK && op->Status() == STATUS_SUCCESS && port.Wait != nullptr) {
            // A new mask ends a parked wait with 0 before the set request
            // itself. The one exception: an event took the wait just before
            // the set, and the receive path is still completing it; it then
            // ends with that event, which the set cannot have produced.
            if (!port.Wait->Done()) {
                fuzz::Await(port.Wait, "a wait an event took as the mask changed");
                const Bytes events = port.Wait->Output();
                if (port.Wait->Status() != STATUS_SUCCESS || events.size() != 4 ||
                    (events[0] | events[1] | events[2] | events[3]) == 0) {
                    Fail("a new wait mask on port %u left the earlier wait parked", port.Index);
                }
            }
        }
    }

    void Cancel(PortState& port, uint8_t which)
    {
        if (port.Handle == nullptr) {
            return;
        }
        switch (which % 4) {
        case 0:
            port.Handle->CancelAll();
            break;
        case 1:
            if (port.Read) port.Read->Cancel();
            break;
        case 2:
            if (port.Wait) port.Wait->Cancel();
            break;
        case 3:
            if (port.Write) port.Write->Cancel();
            break;
        }
    }

    // Takes in whatever has ended, waiting up to `wait` for each.
    void Collect(PortState& port, std::chrono::milliseconds wait)
    {
        if (port.Read != nullptr && port.Read->Wait(wait)) {
            if (port.Read->Status() == STATUS_SUCCESS && !port.Check.Read(port.Read->Output())) {
                Fail("port %u read %zu bytes that do not continue the %zu bytes written", port.Index,
                     port.Read->Output().size(), port.Check.Written());
            }
            port.Read = nullptr;
        }
        if (port.Write != nullptr && port.Write->Wait(wait)) {
            CheckWrite(port);
        }
        if (port.Wait != nullptr && port.Wait->Wait(wait)) {
            if (port.Wait->Status() == STATUS_SUCCESS) {
                const Bytes events = port.Wait->Output();
                if (events.size() != 4 || (events[0] & ~0x05) != 0 || events[1] != 0 || events[2] != 0 ||
                    events[3] != 0) {
                    Fail("a wait on port %u reported events that never occur", port.Index);
                }
            }
            port.Wait = nullptr;
        }
    }

    void CheckWrite(PortState& port)
    {
        if (port.Write->Information() > port.WriteSize) {
            Fail("a write on port %u reported %lu bytes of %zu", port.Index,
                 static_cast<unsigned long>(port.Write->Information()), port.WriteSize);
        }
        port.Write = nullptr;
    }

    void BridgeFault(PortState& port, fuzz::Input& input)
    {
        const uint8_t how = input.Byte();
        const uint8_t arg = input.Byte();
        static const Command kCommands[] = {Command::Any, Command::Data, Command::SetConfig, Command::Control};
        const Command command = kCommands[how >> 6];
        PortBehaviour behaviour;
        switch (how % 12) {
        case 0:
            Rig.Model.ClearPortBehaviour(static_cast<uint8_t>(port.Index), command);
            return;
        case 1:
            behaviour = PortBehaviour::Accept({static_cast<uint16_t>(arg % 60), static_cast<uint16_t>(arg / 4)});
            break;
        case 2:
            behaviour = PortBehaviour::AcceptNone();
            break;
        case 3:
            behaviour = PortBehaviour::WithStatus(arg % 4);
            break;
        case 4:
            behaviour = PortBehaviour::Refuse(arg);
            break;
        case 5:
            behaviour = PortBehaviour::Silent();
            break;
        case 6:
            behaviour.ClaimMoreThanSent = true;
            break;
        case 7:
            behaviour.EchoCommand = static_cast<uint8_t>(1 + arg % 3);
            break;
        case 8:
            behaviour.AnswerPort = static_cast<uint8_t>(arg % 9);
            break;
        case 9:
            if (!LateAnswers) {
                return;
            }
            behaviour = PortBehaviour::Late(static_cast<int64_t>(arg) * 100'000);  // up to 2.5 kernel seconds
            break;
        case 10:
            Rig.Model.ResetBehaviour();
            return;
        default:
            Rig.Model.SetOutWriteFault(bridge::OutScope::Commands,
                                       arg & 1 ? bridge::OutWriteFault::Fail(static_cast<int32_t>(0xC0000001), arg & 2)
                                               : bridge::OutWriteFault::Hang(true));
            return;
        }
        Rig.Model.SetPortBehaviour(static_cast<uint8_t>(port.Index), command, arg & 0x80 ? behaviour.Once() : behaviour);
    }

    void LinkFault(fuzz::Input& input)
    {
        static const int32_t kStatuses[] = {static_cast<int32_t>(0xC0000001), static_cast<int32_t>(0xC00000B5),
                                            static_cast<int32_t>(0xC000009D)};
        const uint8_t how = input.Byte();
        Rig.Model.FailNextIn(kStatuses[how % 3], 1 + how / 128);
    }

    // Applications do not run while the system sleeps; what they started goes on.
    void SleepAndResume(unsigned ms)
    {
        const NTSTATUS slept = Rig.Sleep();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        const NTSTATUS resumed = Rig.Resume();
        if (slept != STATUS_SUCCESS || resumed != STATUS_SUCCESS) {
            Fail("sleep 0x%08X, resume 0x%08X", static_cast<unsigned>(slept), static_cast<unsigned>(resumed));
        }
    }

    // Ends the input: every handle closed, the bridge healthy again, and each
    // port opens, gives back what is left to read, and carries a block whole.
    void Recover()
    {
        for (PortState& port : Ports) {
            Close(port);
        }
        Rig.Model.ResetBehaviour();
        fuzz::DrainIn();
        if (const int held = host::OutstandingDriverRequests(); held != 0) {
            Fail("%d requests still held by the drivers with every handle closed", held);
        }
        for (PortState& port : Ports) {
            Open(port);
            if (port.Handle == nullptr) {
                Fail("port %u does not open on a healthy bridge", port.Index);
            }
            ReadWhatIsLeft(port);
            const Bytes block = NextBytes(100);
            port.Check.Reset();
            port.Check.Wrote(block);
            auto write = port.Handle->WriteAsync(block);
            fuzz::Await(write, "a write on a healthy bridge");
            if (write->Status() != STATUS_SUCCESS || write->Information() != block.size()) {
                Fail("a write on port %u failed on a healthy bridge: 0x%08X, %lu bytes", port.Index,
                     static_cast<unsigned>(write->Status()), static_cast<unsigned long>(write->Information()));
            }
            fuzz::DrainIn();
            Bytes back;
            while (back.size() < block.size()) {
                auto read = port.Handle->ReadAsync(static_cast<ULONG>(block.size() - back.size()));
                fuzz::Await(read, "reading back a block written on a healthy bridge");
                const Bytes got = read->Output();
                back.insert(back.end(), got.begin(), got.end());
            }
            if (back != block) {
                Fail("port %u read back other bytes than the block it wrote", port.Index);
            }
            port.Handle->Close();
            port.Handle.reset();
            port.All.clear();
            port.Check.Reset();
        }
        Rig.Model.ClearOutTransfers();
    }

    void ReadWhatIsLeft(PortState& port)
    {
        Bytes status;
        if (fuzz::Control(*port.Handle, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, &status) != STATUS_SUCCESS || status.size() != 20) {
            Fail("IOCTL_SERIAL_GET_COMMSTATUS failed on port %u", port.Index);
        }
        const ULONG left = static_cast<ULONG>(status[8] | status[9] << 8 | status[10] << 16 | status[11] << 24);
        if (left == 0) {
            return;
        }
        auto read = port.Handle->ReadAsync(left);
        fuzz::Await(read, "reading what is left in the ring");
        if (read->Status() != STATUS_SUCCESS || read->Information() != left) {
            Fail("port %u held %lu bytes but a read took %lu", port.Index, static_cast<unsigned long>(left),
                 static_cast<unsigned long>(read->Information()));
        }
        if (!port.Check.Read(read->Output())) {
            Fail("port %u kept %lu bytes that do not continue the %zu bytes written", port.Index,
                 static_cast<unsigned long>(left), port.Check.Written());
        }
    }

    fuzz::Rig& Rig;
    const bool LateAnswers;
    std::array<PortState, kPorts.size()> Ports;
    uint64_t Seed = 0;
};

} // namespace

OMBREL_FUZZ_TARGET(OperationsFuzzer)
