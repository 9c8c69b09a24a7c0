// The bridge's frame format as its firmware encodes it. Deliberately written
// out here rather than shared with the drivers, so that a wrong constant on
// either side shows up as a failed test instead of cancelling out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace bridge::wire {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kMagic0 = 0x4F;   // 'O'
constexpr uint8_t kMagic1 = 0x42;   // 'B'
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = 8;
constexpr size_t kMaxPayload = 56;
constexpr uint8_t kPortCount = 8;
constexpr uint8_t kDevicePort = 0xFF;

constexpr uint8_t kTypeData = 0x01;
constexpr uint8_t kTypeSetConfig = 0x02;
constexpr uint8_t kTypeControl = 0x03;
constexpr uint8_t kTypeAnnounce = 0x7E;
constexpr uint8_t kTypeAck = 0x80;
constexpr uint8_t kTypeNak = 0xFF;

// One decoded frame.
struct Frame {
    uint8_t Port = 0;
    uint8_t Type = 0;
    uint8_t Reserved = 0;
    Bytes Payload;
};

// Any header and payload, unchecked: the length field is the payload's size
// (truncated to 16 bits), so tests can build frames the host must reject.
Bytes Encode(uint8_t port, uint8_t type, const Bytes& payload, uint8_t reserved = 0);

Bytes Hello();                                          // 4F 42 01 FF 7E 00 00 00
Bytes Announce();                                       // this bridge's own announce
Bytes Data(uint8_t port, const Bytes& payload);
Bytes Ack(uint8_t port, uint8_t command, uint8_t status, uint16_t accepted);
Bytes Nak(uint8_t port, uint8_t command, uint8_t reason = 0);

// The announce payload this bridge sends: 1, 8, then firmware details.
Bytes AnnouncePayload();

// A frame as the firmware accepts one from the host: magic, version 1, a
// payload of at most 56 bytes and exactly 8 + payload bytes in the transfer.
std::optional<Frame> Decode(const uint8_t* data, size_t length);
inline std::optional<Frame> Decode(const Bytes& bytes) { return Decode(bytes.data(), bytes.size()); }

} // namespace bridge::wire
