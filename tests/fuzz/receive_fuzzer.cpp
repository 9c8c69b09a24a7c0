// Raw IN transfers into the bus driver while all eight ports are open with a
// read parked on each, and one answered command (a 1-byte write, a baud rate
// or a purge on a port from 2 to 7) waits for the bridge's ACK or NAK. The
// bridge itself stays silent and loops nothing back, so everything the
// drivers see comes from the input.
//
// The input is a sequence of transfers: a byte up to 80 is a raw transfer of
// that many bytes; a larger byte picks a generator that builds a frame (or an
// almost-frame) from the following bytes, or fails the next IN read.
//
// What must hold, each checked against a model of the frame rules kept here:
// - every port reads exactly the payloads of the valid data frames for it, in
//   order, and nothing else;
// - a waiting command ends only with the outcome of a matching ACK or NAK
//   that was sent, or by its time-out once that has passed;
// - the bus keeps its eight children, made once.
#include "fuzz_rig.h"

#include <array>
#include <optional>

namespace {

using fuzz::Bytes;
using fuzz::Fail;
using Clock = std::chrono::steady_clock;

using bridge::wire::Encode;
using bridge::wire::kTypeAck;
using bridge::wire::kTypeAnnounce;
using bridge::wire::kTypeControl;
using bridge::wire::kTypeData;
using bridge::wire::kTypeNak;
using bridge::wire::kTypeSetConfig;

constexpr size_t kLongestRaw = 80;
// Stays well inside the port's 8191-byte ring, so no received byte may be lost.
constexpr size_t kMostBytesPerPort = 6000;
// Reads of several sizes, so a frame may fill, split across or leave over reads.
constexpr std::array<ULONG, 8> kReadSizes = {1, 3, 56, 64, 100, 4096, 7, 500};

struct Frame {
    uint8_t Port;
    uint8_t Type;
    Bytes Payload;
};

// A transfer the bridge may send, as its wire format makes one valid:
// magic 'O' 'B', version 1, a payload of at most 56 bytes that ends the
// transfer exactly, and the per-type rules.
std::optional<Frame> ValidFrame(const Bytes& transfer)
{
    if (transfer.size() < 8 || transfer[0] != 0x4F || transfer[1] != 0x42 || transfer[2] != 1) {
        return std::nullopt;
    }
    const size_t length = transfer[6] | transfer[7] << 8;
    if (length > 56 || transfer.size() != 8 + length) {
        return std::nullopt;
    }
    Frame frame{transfer[3], transfer[4], Bytes(transfer.begin() + 8, transfer.end())};
    bool valid = false;
    switch (frame.Type) {
    case kTypeAnnounce:
        valid = frame.Port == 0xFF && length >= 12 && frame.Payload[0] == 1 && frame.Payload[1] == 8;
        break;
    case kTypeAck:
        valid = frame.Port < 8 && length >= 4;
        break;
    case kTypeNak:
        valid = frame.Port < 8 && length >= 2;
        break;
    case kTypeData:
        valid = frame.Port < 8;
        break;
    default:
        break;
    }
    return valid ? std::optional<Frame>(frame) : std::nullopt;
}

enum class Kind { Write, BaudRate, Purge };

struct Outcome {
    NTSTATUS Status;
    ULONG_PTR Information;
};

// One command on an answered port, and what each answer makes of it: the bus
// takes ACK statuses 0 and 2 as success and a count above what was sent as a
// protocol error; the port turns a write of nothing into a busy device, and a
// line setting or control the device took only partly into a protocol error.
struct Command {
    Kind What = Kind::Write;
    unsigned Port = 2;
    uint8_t Type = kTypeData;
    uint16_t FullCount = 1;
    std::shared_ptr<host::IoOperation> Op;
    Clock::time_point Started;

    Outcome AnswerOutcome(const Frame& answer) const
    {
        if (answer.Type == kTypeNak) {
            return {STATUS_DEVICE_PROTOCOL_ERROR, 0};
        }
        const uint8_t status = answer.Payload[1];
        const uint16_t count = static_cast<uint16_t>(answer.Payload[2] | answer.Payload[3] << 8);
        if ((status != 0 && status != 2) || count > FullCount) {
            return {STATUS_DEVICE_PROTOCOL_ERROR, 0};
        }
        if (What == Kind::Write) {
            return count == 0 ? Outcome{STATUS_DEVICE_BUSY, 0} : Outcome{STATUS_SUCCESS, count};
        }
        return count == FullCount ? Outcome{STATUS_SUCCESS, 0} : Outcome{STATUS_DEVICE_PROTOCOL_ERROR, 0};
    }

    bool Matches(const Frame& frame) const
    {
        return (frame.Type == kTypeAck || frame.Type == kTypeNak) && frame.Port == Port && frame.Payload[0] == Type;
    }
};

class ReceiveFuzzer {
public:
    ReceiveFuzzer() : Rig(fuzz::System([this] { Teardown(); }))
    {
        for (unsigned port = 0; port < 8; ++port) {
            Handles[port] = fuzz::OpenOrFail(port);
            Reads[port] = Handles[port]->ReadAsync(kReadSizes[port]);
        }
        // Opened on a healthy bridge; from here on only the input speaks.
        Rig.Model.SetLoopback(false);
        for (uint8_t port = 0; port < 8; ++port) {
            Rig.Model.SetPortBehaviour(port, bridge::Command::Any, bridge::PortBehaviour::Silent());
        }
        fuzz::DrainIn();
    }

    void Run(const uint8_t* data, size_t size)
    {
        fuzz::Input input(data, size);
        Start(input.Byte());
        while (!input.Empty()) {
            const uint8_t code = input.Byte();
            if (code >= 0xFC) {
                static const int32_t kFailures[] = {static_cast<int32_t>(0xC0000001), static_cast<int32_t>(0xC00000B5),
                                                    static_cast<int32_t>(0xC000009D), static_cast<int32_t>(0xC0000120)};
                Rig.Model.FailNextIn(kFailures[code & 3]);
                continue;
            }
            const Bytes transfer = code <= kLongestRaw ? input.Take(code) : Generate(code, input);
            if (!Send(transfer)) {
                break;
            }
            if (!Waiting) {
                Start(input.Byte());
            }
        }
        if (Waiting) {
            fuzz::DrainIn();
            NoteEarlyEnd();
        }
        if (Waiting) {
            // Nothing in the input answered it: our own full ACK must be what ends it.
            Send(Encode(static_cast<uint8_t>(Current.Port), kTypeAck,
                        {Current.Type, 0, static_cast<uint8_t>(Current.FullCount), 0}));
        }
        fuzz::DrainIn();
        for (unsigned port = 0; port < 8; ++port) {
            CollectReads(port);
            if (Got[port] != Expected[port]) {
                Fail("port %u read %zu bytes where the valid data frames for it carried %zu, or other bytes", port,
                     Got[port].size(), Expected[port].size());
            }
            Got[port].clear();
            Expected[port].clear();
        }
        fuzz::CheckChildren();
    }

private:
    // Starts an answered command once every earlier transfer has been
    // dispatched, and returns once its frame is on the wire, so the bus's
    // response slot is armed: from here on, a matching answer must end it.
    void Start(uint8_t choice)
    {
        fuzz::DrainIn();
        Rig.Model.ClearOutTransfers();
        Current = Command{};
        Current.What = static_cast<Kind>(choice % 3);
        Current.Port = 2 + (choice / 3) % 6;
        host::FileHandle& handle = *Handles[Current.Port];
        Current.Started = Clock::now();
        switch (Current.What) {
        case Kind::Write:
            Current.Type = kTypeData;
            Current.FullCount = 1;
            Current.Op = handle.WriteAsync({choice});
            break;
        case Kind::BaudRate:
            Current.Type = kTypeSetConfig;
            Current.FullCount = 8;
            Current.Op = handle.DeviceIoControlAsync(IOCTL_SERIAL_SET_BAUD_RATE, {0x00, 0xC2, 0x01, 0x00}, 0);  // 115200
            break;
        case Kind::Purge:
            Current.Type = kTypeControl;
            Current.FullCount = 2;
            Current.Op = handle.DeviceIoControlAsync(IOCTL_SERIAL_PURGE, {0, 0, 0, 0}, 0);
            break;
        }
        if (!Rig.Model.WaitForOutTransfers(1, fuzz::kHangBound)) {
            Fail("a command on port %u never reached the bridge", Current.Port);
        }
        Waiting = true;
    }

    // A command that ended before any matching answer was sent must have
    // timed out, and only after its time-out.
    void NoteEarlyEnd()
    {
        if (!Current.Op->Done()) {
            return;
        }
        CheckTimedOut("without a matching answer");
        Waiting = false;
    }

    void CheckTimedOut(const char* how)
    {
        const NTSTATUS status = Current.Op->Status();
        if (status != STATUS_IO_TIMEOUT) {
            Fail("a command of type %u on port %u ended %s, with 0x%08X", Current.Type, Current.Port, how,
                 static_cast<unsigned>(status));
        }
        if (Clock::now() - Current.Started < fuzz::kResponseTimeout) {
            Fail("a command of type %u on port %u timed out before its time-out", Current.Type, Current.Port);
        }
    }

    // Injects one transfer after noting what it must do; false once the
    // input has carried as much data as the check allows.
    bool Send(const Bytes& transfer)
    {
        const std::optional<Frame> frame = ValidFrame(transfer);
        if (frame && frame->Type == kTypeData) {
            Bytes& expected = Expected[frame->Port];
            if (expected.size() + frame->Payload.size() > kMostBytesPerPort) {
                return false;
            }
            expected.insert(expected.end(), frame->Payload.begin(), frame->Payload.end());
        }
        if (Waiting) {
            NoteEarlyEnd();
        }
        const bool answers = Waiting && frame && Current.Matches(*frame);
        if (!Rig.Model.InjectIn(transfer)) {
            Fail("the bridge is no longer plugged in");
        }
        if (answers) {
            fuzz::Await(Current.Op, "a command with its answer sent");
            const Outcome expected = Current.AnswerOutcome(*frame);
            const NTSTATUS status = Current.Op->Status();
            const ULONG_PTR information = Current.Op->Information();
            if (status == STATUS_IO_TIMEOUT) {
                CheckTimedOut("by time-out");  // the time-out may win the race with the answer
            } else if (status != expected.Status || information != expected.Information) {
                Fail("a command of type %u on port %u ended with 0x%08X (%lu) where its answer gives 0x%08X (%lu)",
                     Current.Type, Current.Port, static_cast<unsigned>(status),
                     static_cast<unsigned long>(information), static_cast<unsigned>(expected.Status),
                     static_cast<unsigned long>(expected.Information));
            }
            Waiting = false;
        }
        return true;
    }

    // A device control queued behind a fresh read ends only once the read has
    // been served from the ring or parked, so a read still pending after it
    // means the ring is empty.
    void CollectReads(unsigned port)
    {
        for (;;) {
            auto& read = Reads[port];
            if (read->Done()) {
                if (read->Status() != STATUS_SUCCESS) {
                    Fail("a read on port %u ended with 0x%08X", port, static_cast<unsigned>(read->Status()));
                }
                const Bytes bytes = read->Output();
                if (bytes.empty() || bytes.size() > kReadSizes[port]) {
                    Fail("a read of %lu bytes on port %u returned %zu", static_cast<unsigned long>(kReadSizes[port]),
                         port, bytes.size());
                }
                Got[port].insert(Got[port].end(), bytes.begin(), bytes.end());
                read = Handles[port]->ReadAsync(kReadSizes[port]);
            }
            if (fuzz::Control(*Handles[port], IOCTL_SERIAL_GET_COMMSTATUS, {}, 20) != STATUS_SUCCESS) {
                Fail("IOCTL_SERIAL_GET_COMMSTATUS failed on port %u", port);
            }
            if (!read->Done()) {
                return;
            }
        }
    }

    Bytes Generate(uint8_t code, fuzz::Input& input)
    {
        const uint8_t reserved = code & 0x80 ? input.Byte() : 0;
        const uint8_t port = static_cast<uint8_t>(Current.Port);
        switch ((code - kLongestRaw - 1) % 8) {
        case 0: {  // data for a port, now and then one that does not exist
            const uint8_t target = input.Byte();
            const uint8_t length = input.Byte() % 57;
            return Encode(target < 0xF0 ? target % 8 : target, kTypeData, input.Take(length), reserved);
        }
        case 1: {  // an ACK for the waiting command, with any status and count
            const uint8_t status = input.Byte() % 4;
            const uint8_t count = input.Byte() % 10;
            Bytes payload = {Current.Type, status, count, 0};
            const Bytes extra = input.Take(input.Byte() % 4);
            payload.insert(payload.end(), extra.begin(), extra.end());
            return Encode(port, kTypeAck, payload, reserved);
        }
        case 2:  // a NAK for it, whatever its second byte
            return Encode(port, kTypeNak, {Current.Type, input.Byte()}, reserved);
        case 3: {  // an answer for some port and command
            const uint8_t type = input.Byte() & 1 ? kTypeAck : kTypeNak;
            const uint8_t target = input.Byte();
            return Encode(target % 16 < 9 ? target % 9 : target, type, {input.Byte(), 0, 1, 0}, reserved);
        }
        case 4: {  // an announce, valid or with one byte changed
            Bytes announce = Encode(0xFF, kTypeAnnounce, {1, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, reserved);
            const uint8_t at = input.Byte();
            if (at < announce.size()) {
                announce[at] = input.Byte();
            }
            return announce;
        }
        case 5: {  // an answer too short to count
            return input.Byte() & 1 ? Encode(port, kTypeAck, {Current.Type, 0, 1}, reserved)
                                    : Encode(port, kTypeNak, {Current.Type}, reserved);
        }
        case 6: {  // a valid data frame with one byte changed, or cut, or with more behind it
            Bytes frame = Encode(input.Byte() % 8, kTypeData, input.Take(input.Byte() % 57), reserved);
            const uint8_t how = input.Byte();
            const uint8_t at = input.Byte();
            if (how % 3 == 0 && at < frame.size()) {
                frame[at] = input.Byte();
            } else if (how % 3 == 1) {
                frame.resize(std::min<size_t>(frame.size(), at));
            } else {
                const Bytes more = input.Take(at % 16);
                frame.insert(frame.end(), more.begin(), more.end());
            }
            return frame;
        }
        default: {  // any header with a chosen length field and payload
            Bytes frame = {0x4F, 0x42, 1, input.Byte(), input.Byte(), reserved, input.Byte(), input.Byte()};
            const Bytes payload = input.Take(input.Byte() % 64);
            frame.insert(frame.end(), payload.begin(), payload.end());
            return frame;
        }
        }
    }

    void Teardown()
    {
        Rig.Model.ResetBehaviour();
        for (auto& handle : Handles) {
            handle->Close();
        }
    }

    fuzz::Rig& Rig;
    std::array<std::unique_ptr<host::FileHandle>, 8> Handles;
    std::array<std::shared_ptr<host::IoOperation>, 8> Reads;
    std::array<Bytes, 8> Expected;
    std::array<Bytes, 8> Got;
    Command Current;
    bool Waiting = false;
};

} // namespace

OMBREL_FUZZ_TARGET(ReceiveFuzzer)
