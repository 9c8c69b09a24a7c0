// The USB/IP wire format: the operation packets before an import and the
// 48-byte URB headers after it. Every field is big-endian; the eight setup
// bytes of a control URB travel as the USB packet has them (little-endian
// fields), since they are the device's bytes, not the protocol's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace usbip {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kVersion = 0x0111;

constexpr uint16_t kOpReqDevlist = 0x8005;
constexpr uint16_t kOpRepDevlist = 0x0005;
constexpr uint16_t kOpReqImport = 0x8003;
constexpr uint16_t kOpRepImport = 0x0003;
constexpr uint32_t kOpStatusOk = 0;
constexpr uint32_t kOpStatusError = 1;

constexpr size_t kOpHeaderSize = 8;
constexpr size_t kBusIdSize = 32;
constexpr size_t kPathSize = 256;
constexpr size_t kImportRequestSize = kOpHeaderSize + kBusIdSize;
// path, busid, busnum, devnum, speed, ids, classes, configuration counts.
constexpr size_t kDeviceRecordSize = kPathSize + kBusIdSize + 12 + 6 + 6;

constexpr uint32_t kCmdSubmit = 1;
constexpr uint32_t kCmdUnlink = 2;
constexpr uint32_t kRetSubmit = 3;
constexpr uint32_t kRetUnlink = 4;
constexpr size_t kUrbHeaderSize = 48;

constexpr uint32_t kDirOut = 0;
constexpr uint32_t kDirIn = 1;

// transfer_flags: a short IN transfer is an error for this URB.
constexpr uint32_t kShortNotOk = 0x0001;
constexpr uint32_t kNoIsoPackets = 0xFFFFFFFF;

// URB status values as the client's USB core reads them (Linux errno numbers,
// whatever the server's own platform calls them).
constexpr int32_t kStatusOk = 0;
constexpr int32_t kStatusStall = -32;        // -EPIPE: the endpoint stalled the request
constexpr int32_t kStatusProtocol = -71;     // -EPROTO: the transfer failed on the bus
constexpr int32_t kStatusOverflow = -75;     // -EOVERFLOW: the device sent more than the buffer holds
constexpr int32_t kStatusUnlinked = -104;    // -ECONNRESET: the URB was unlinked before it completed
constexpr int32_t kStatusShort = -121;       // -EREMOTEIO: short transfer with kShortNotOk

// The speed field of a device record: high speed.
constexpr uint32_t kSpeedHigh = 3;

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}
inline void Put16(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}
inline void Put32(Bytes& out, uint32_t value)
{
    Put16(out, static_cast<uint16_t>(value >> 16));
    Put16(out, static_cast<uint16_t>(value));
}
// `text` in a zero-filled field of `size` bytes, cut to leave the closing zero.
void PutFixedString(Bytes& out, const std::string& text, size_t size);

// The 48-byte header of every URB packet, both directions.
struct UrbHeader {
    uint32_t Command = 0;
    uint32_t SeqNum = 0;
    uint32_t DevId = 0;
    uint32_t Direction = 0;
    uint32_t Endpoint = 0;
    // CMD_SUBMIT: transfer_flags, transfer_buffer_length, start_frame,
    // number_of_packets, interval. CMD_UNLINK: Words[0] is unlink_seqnum.
    // RET_SUBMIT: status, actual_length, start_frame, number_of_packets,
    // error_count. RET_UNLINK: Words[0] is the status.
    uint32_t Words[5] = {};
    uint8_t Setup[8] = {};

    static UrbHeader Parse(const uint8_t* data);  // kUrbHeaderSize bytes
    void AppendTo(Bytes& out) const;
};

// The device as OP_REP_DEVLIST and OP_REP_IMPORT describe it.
struct DeviceRecord {
    std::string Path;
    std::string BusId;
    uint32_t BusNum = 0;
    uint32_t DevNum = 0;
    uint32_t Speed = kSpeedHigh;
    uint16_t VendorId = 0;
    uint16_t ProductId = 0;
    uint16_t BcdDevice = 0;
    uint8_t DeviceClass = 0;
    uint8_t DeviceSubClass = 0;
    uint8_t DeviceProtocol = 0;
    uint8_t ConfigurationValue = 0;
    uint8_t NumConfigurations = 0;
    struct Interface {
        uint8_t Class = 0;
        uint8_t SubClass = 0;
        uint8_t Protocol = 0;
    };
    std::vector<Interface> Interfaces;

    uint32_t DevId() const { return BusNum << 16 | (DevNum & 0xFFFF); }
    // The record without its interface list (OP_REP_IMPORT) or with it (OP_REP_DEVLIST).
    void AppendTo(Bytes& out, bool withInterfaces) const;
};

Bytes OpHeader(uint16_t code, uint32_t status);

} // namespace usbip
