#include "bridge/wire.h"

#include <algorithm>

namespace bridge::wire {

Bytes Encode(uint8_t port, uint8_t type, const Bytes& payload, uint8_t reserved)
{
    const auto length = static_cast<uint16_t>(payload.size());
    Bytes frame(kHeaderSize + payload.size());
    frame[0] = kMagic0;
    frame[1] = kMagic1;
    frame[2] = kVersion;
    frame[3] = port;
    frame[4] = type;
    frame[5] = reserved;
    frame[6] = static_cast<uint8_t>(length & 0xFF);
    frame[7] = static_cast<uint8_t>(length >> 8);
    std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderSize);
    return frame;
}

Bytes Hello() { return Encode(kDevicePort, kTypeAnnounce, {}); }

Bytes AnnouncePayload()
{
    // Protocol 1, eight ports, firmware 2.3 (major, minor), the rest reserved.
    Bytes payload(12, 0);
    payload[0] = 1;
    payload[1] = kPortCount;
    payload[2] = 2;
    payload[3] = 3;
    return payload;
}

Bytes Announce() { return Encode(kDevicePort, kTypeAnnounce, AnnouncePayload()); }

Bytes Data(uint8_t port, const Bytes& payload) { return Encode(port, kTypeData, payload); }

Bytes Ack(uint8_t port, uint8_t command, uint8_t status, uint16_t accepted)
{
    return Encode(port, kTypeAck,
                  {command, status, static_cast<uint8_t>(accepted & 0xFF), static_cast<uint8_t>(accepted >> 8)});
}

Bytes Nak(uint8_t port, uint8_t command, uint8_t reason) { return Encode(port, kTypeNak, {command, reason}); }

std::optional<Frame> Decode(const uint8_t* data, size_t length)
{
    if (data == nullptr || length < kHeaderSize) return std::nullopt;
    if (data[0] != kMagic0 || data[1] != kMagic1 || data[2] != kVersion) return std::nullopt;
    const size_t payloadLength = data[6] | (size_t{data[7]} << 8);
    if (payloadLength > kMaxPayload || length != kHeaderSize + payloadLength) return std::nullopt;
    Frame frame;
    frame.Port = data[3];
    frame.Type = data[4];
    frame.Reserved = data[5];
    frame.Payload.assign(data + kHeaderSize, data + length);
    return frame;
}

} // namespace bridge::wire
