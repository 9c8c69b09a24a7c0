// Arbitrary byte streams into ombrel-usbip's connection state machine
// (usbip::Session, without sockets) in front of a healthy bridge model.
//
// The input: one control byte, then the stream the client sends. The control
// byte's low two bits choose how the stream is cut into reads (whole, single
// bytes, 7-byte pieces, 61-byte pieces); bit 2 makes the bridge hang every
// command write, bit 3 fail the next one.
//
// What must hold:
// - nothing is sent after the session logged that it closed;
// - every USBIP_RET_SUBMIT, and every USBIP_RET_UNLINK with -ECONNRESET,
//   answers a USBIP_CMD_SUBMIT the stream holds, and each submission gets at
//   most one of the two;
// - every packet sent is whole: an operation reply or a URB header whose
//   IN data is as long as its actual_length says.
#include "rig/windows_inf.h"
#include "tools/usbip/device.h"
#include "tools/usbip/protocol.h"
#include "tools/usbip/session.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>

namespace {

using namespace usbip;

[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* format, ...)
{
    std::fprintf(stderr, "*** FUZZ INVARIANT BROKEN: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::abort();
}

// The submissions in the stream, read as a well-behaved server would read
// it: after an OP_REQ_IMPORT, 48-byte URB headers, an OUT submit followed by
// its data. Past what the session accepts this overcounts, which only widens
// the set of allowed answers.
struct Submissions {
    std::map<uint32_t, int> Count;                 // seqnum -> how often submitted
    // unlink seqnum -> the seqnums its unlinks name, in stream order: the
    // session answers each unlink once, in the order it reads them.
    std::map<uint32_t, std::deque<uint32_t>> UnlinkTargets;
    std::map<uint32_t, unsigned> Directions;       // seqnum -> bit 0: submitted OUT, bit 1: submitted IN

    explicit Submissions(const uint8_t* data, size_t size)
    {
        if (size < kImportRequestSize || Get16(data + 2) != kOpReqImport) {
            return;
        }
        for (size_t at = kImportRequestSize; at + kUrbHeaderSize <= size;) {
            const UrbHeader header = UrbHeader::Parse(data + at);
            at += kUrbHeaderSize;
            if (header.Command == kCmdSubmit) {
                ++Count[header.SeqNum];
                Directions[header.SeqNum] |= header.Direction == kDirIn ? 2u : 1u;
                if (header.Direction == kDirOut) {
                    at += header.Words[1];
                }
            } else if (header.Command == kCmdUnlink) {
                UnlinkTargets[header.SeqNum].push_back(header.Words[0]);
            } else {
                return;
            }
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const uint8_t control = data[0];
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;
    const Submissions submitted(stream, length);

    bridge::BridgeModel model;
    if (control & 4) {
        model.SetOutWriteFault(bridge::OutScope::Commands, bridge::OutWriteFault::Hang());
    }
    if (control & 8) {
        model.SetOutWriteFault(bridge::OutScope::Commands,
                               bridge::OutWriteFault::Fail(static_cast<int32_t>(0xC0000001), true));
    }
    // The bus INF's identity, read once, as the server reads it.
    static const Identity identity = [] {
        std::string error;
        const auto read = IdentityFromInf(rig::PackageInfPath("OmbrelBus"), error);
        if (!read) {
            Fail("%s", error.c_str());
        }
        return *read;
    }();
    ExportedDevice device(model, identity);

    bool closed = false;
    bool imported = false;
    std::map<uint32_t, int> answered;
    auto unlinks = submitted.UnlinkTargets;
    Session::Hooks hooks;
    hooks.Log = [&](const std::string& line) {
        if (line.find("connection closed") != std::string::npos) {
            closed = true;
        }
    };
    hooks.Send = [&](const Bytes& packet) {
        if (closed) {
            Fail("a packet of %zu bytes sent after the session closed", packet.size());
        }
        if (!imported) {
            if (packet.size() < kOpHeaderSize || Get16(packet.data()) != kVersion) {
                Fail("an operation reply of %zu bytes without the protocol's header", packet.size());
            }
            const uint16_t code = Get16(packet.data() + 2);
            const uint32_t status = Get32(packet.data() + 4);
            if (code == kOpRepImport && status == kOpStatusOk) {
                if (packet.size() != kOpHeaderSize + kDeviceRecordSize) {
                    Fail("an import reply of %zu bytes", packet.size());
                }
                imported = true;
            }
            return true;
        }
        if (packet.size() < kUrbHeaderSize) {
            Fail("a URB packet of %zu bytes", packet.size());
        }
        const UrbHeader header = UrbHeader::Parse(packet.data());
        uint32_t answers = 0;
        if (header.Command == kRetSubmit) {
            answers = header.SeqNum;
            // An IN answer carries actual_length bytes, an OUT answer none; a
            // seqnum used for both (one after the other) may have either.
            const auto found = submitted.Directions.find(header.SeqNum);
            const unsigned directions = found != submitted.Directions.end() ? found->second : 0;
            const bool asIn = (directions & 2) != 0 && packet.size() == kUrbHeaderSize + header.Words[1];
            const bool asOut = (directions & 1) != 0 && packet.size() == kUrbHeaderSize;
            if (!asIn && !asOut) {
                Fail("RET_SUBMIT %u of %zu bytes with actual_length %u", header.SeqNum, packet.size(),
                     header.Words[1]);
            }
        } else if (header.Command == kRetUnlink) {
            if (packet.size() != kUrbHeaderSize) {
                Fail("RET_UNLINK of %zu bytes", packet.size());
            }
            auto& targets = unlinks[header.SeqNum];
            if (targets.empty()) {
                Fail("RET_UNLINK %u for no unlink in the stream", header.SeqNum);
            }
            answers = targets.front();
            targets.pop_front();
            if (static_cast<int32_t>(header.Words[0]) != kStatusUnlinked) {
                return true;
            }
        } else {
            Fail("a URB packet with command %u", header.Command);
        }
        const auto count = submitted.Count.find(answers);
        if (count == submitted.Count.end()) {
            Fail("an answer for URB %u, which was never submitted", answers);
        }
        if (++answered[answers] > count->second) {
            Fail("URB %u answered %d times, submitted %d", answers, answered[answers], count->second);
        }
        return true;
    };

    {
        Session session(device, hooks, "fuzz");
        static constexpr size_t kPieces[] = {SIZE_MAX, 1, 7, 61};
        const size_t piece = kPieces[control & 3];
        for (size_t at = 0; at < length;) {
            const size_t take = std::min(piece, length - at);
            const bool open = session.Feed(stream + at, take);
            at += take;
            if (!open) {
                if (!closed) {
                    Fail("Feed reported a closed session that logged no close");
                }
                // Fed again, a closed session takes nothing and answers nothing.
                if (session.Feed(stream, length)) {
                    Fail("a closed session took more input");
                }
                break;
            }
        }
        session.Finish();
    }
    if (device.Imported()) {
        Fail("the device is still held after its session finished");
    }
    return 0;
}
