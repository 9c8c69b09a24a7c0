#include "tools/faults/faults.h"

#include <algorithm>

namespace faults {

namespace {

constexpr size_t kChunkSize = 56;

struct FaultEntry {
    Fault Value;
    const char* Name;
};
constexpr FaultEntry kFaults[] = {
    {Fault::None, "none"},   {Fault::Nak, "nak"},     {Fault::Silence, "silence"},
    {Fault::Partial, "partial"}, {Fault::Sleep, "sleep"}, {Fault::Surprise, "surprise"},
    {Fault::Garble, "garble"},
};

using bridge::wire::Bytes;

Bytes Concat(Bytes first, const Bytes& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A frame whose header says what the arguments say, whatever the payload.
Bytes RawFrame(uint8_t port, uint8_t type, uint16_t length, const Bytes& payload, uint8_t magic0 = 0x4F,
               uint8_t version = bridge::wire::kVersion)
{
    Bytes frame = bridge::wire::Encode(port, type, payload);
    frame[0] = magic0;
    frame[2] = version;
    frame[6] = static_cast<uint8_t>(length & 0xFF);
    frame[7] = static_cast<uint8_t>(length >> 8);
    return frame;
}

} // namespace

const char* FaultName(Fault fault)
{
    for (const FaultEntry& entry : kFaults) {
        if (entry.Value == fault) {
            return entry.Name;
        }
    }
    return "?";
}

std::optional<Fault> ParseFault(const std::string& name)
{
    const auto found = std::find_if(std::begin(kFaults), std::end(kFaults),
                                    [&](const FaultEntry& entry) { return name == entry.Name; });
    if (found == std::end(kFaults)) {
        return std::nullopt;
    }
    return found->Value;
}

void RefuseNextData(bridge::BridgeModel& model, uint8_t port)
{
    model.SetPortBehaviour(port, bridge::Command::Data, bridge::PortBehaviour::Refuse(1).Once());
}

void SilenceNextData(bridge::BridgeModel& model, uint8_t port)
{
    model.SetPortBehaviour(port, bridge::Command::Data, bridge::PortBehaviour::Silent().Once());
}

void HoldDataAnswers(bridge::BridgeModel& model, uint8_t port)
{
    model.SetPortBehaviour(port, bridge::Command::Data, bridge::PortBehaviour::Late(kHeldAnswer));
}

void AcceptDataInPart(bridge::BridgeModel& model, uint8_t port, std::vector<uint16_t> counts)
{
    model.SetPortBehaviour(port, bridge::Command::Data, bridge::PortBehaviour::Accept(std::move(counts)));
}

std::vector<Bytes> MalformedTransfers(uint8_t port)
{
    namespace wire = bridge::wire;
    const Bytes data = {'G', 'A', 'R', 'B', 'L', 'E'};
    const auto length = static_cast<uint16_t>(data.size());
    Bytes announce = wire::AnnouncePayload();
    Bytes otherRevision = announce;
    otherRevision[0] = 2;
    Bytes otherPortCount = announce;
    otherPortCount[1] = 7;
    const Bytes dataFrame = wire::Data(port, data);
    // An ACK for a command the host never sends, so no command can be waiting for it.
    constexpr uint8_t kNoSuchCommand = 0x55;
    return {
        Bytes(dataFrame.begin(), dataFrame.begin() + wire::kHeaderSize - 1),           // shorter than a header
        RawFrame(port, wire::kTypeData, length, data, 0x42),                             // magic
        RawFrame(port, wire::kTypeData, length, data, wire::kMagic0, 2),                 // version
        RawFrame(port, wire::kTypeData, wire::kMaxPayload + 1, Bytes(wire::kMaxPayload, 'G')),  // length over 56
        RawFrame(port, wire::kTypeData, length + 1, data),                               // shorter than its length
        Concat(dataFrame, {0}),                                                          // a byte after the frame
        Concat(dataFrame, dataFrame),                                                    // two frames in one transfer
        wire::Data(wire::kPortCount, data),                                              // no such port
        wire::Encode(port, wire::kTypeSetConfig, Bytes(8, 0)),                           // a type only the host sends
        wire::Encode(0, wire::kTypeAnnounce, announce),                                  // announce on a port
        wire::Encode(wire::kDevicePort, wire::kTypeAnnounce, Bytes(announce.begin(), announce.end() - 1)),
        wire::Encode(wire::kDevicePort, wire::kTypeAnnounce, otherRevision),
        wire::Encode(wire::kDevicePort, wire::kTypeAnnounce, otherPortCount),
        wire::Encode(port, wire::kTypeAck, {wire::kTypeData, 0, 1}),                     // ACK without its count
        wire::Encode(port, wire::kTypeNak, {wire::kTypeData}),                           // NAK without its reason
        wire::Ack(wire::kPortCount, wire::kTypeData, 0, 1),                              // ACK for no port
        wire::Ack(port, kNoSuchCommand, 0, 1),                                           // answers nothing in flight
    };
}

void SendMalformedTransfers(bridge::BridgeModel& model, uint8_t port)
{
    for (const Bytes& transfer : MalformedTransfers(port)) {
        model.InjectIn(transfer);
    }
}

std::vector<uint16_t> PartialAcceptCounts(std::mt19937_64& rng, size_t count)
{
    std::vector<uint16_t> counts(count, 0);
    std::uniform_int_distribution<int> part(1, static_cast<int>(kChunkSize) - 1);
    std::uniform_int_distribution<int> die(0, 5);
    for (size_t i = 0; i < counts.size(); ++i) {
        const bool none = i != 0 && i + 1 != counts.size() && die(rng) == 0;
        counts[i] = none ? 0 : static_cast<uint16_t>(part(rng));
    }
    return counts;
}

} // namespace faults
