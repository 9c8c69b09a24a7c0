// USBPcap's packet format (pcap link type LINKTYPE_USBPCAP, 249), as USBPcap's
// capture format page describes it ("USB Packet capture for Windows –
// USBPcap", desowin.org/usbpcap/captureformat.html, after the header
// USBPCAP_BUFFER_PACKET_HEADER in its USBPcapBuffer.h): a little-endian
// 27-byte header, then the transfer's data. Bulk transfers carry no header
// fields beyond those 27 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host::usbpcap {

constexpr uint16_t kLinkType = 249;
constexpr uint16_t kHeaderLength = 27;
// URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER (usb.h).
constexpr uint16_t kFunctionBulkOrInterruptTransfer = 0x0009;
// USBPCAP_INFO_PDO_TO_FDO: the request is on its way back up, completed.
constexpr uint8_t kInfoPdoToFdo = 0x01;
constexpr uint8_t kTransferBulk = 3;  // USBPCAP_TRANSFER_BULK
constexpr uint8_t kEndpointIn = 0x80;

// USBD status codes of the URB header (Microsoft's USBD_STATUS reference, usb.h).
constexpr uint32_t kUsbdStatusSuccess = 0x00000000;
constexpr uint32_t kUsbdStatusStallPid = 0xC0000004;
constexpr uint32_t kUsbdStatusBabbleDetected = 0xC0000012;
constexpr uint32_t kUsbdStatusDeviceGone = 0xC0007000;
constexpr uint32_t kUsbdStatusCanceled = 0xC0010000;

struct Packet {
    uint64_t IrpId = 0;         // pairs a submission with its completion
    uint32_t Status = kUsbdStatusSuccess;
    uint16_t Function = kFunctionBulkOrInterruptTransfer;
    uint8_t Info = 0;
    uint16_t Bus = 0;
    uint16_t Device = 0;
    uint8_t Endpoint = 0;       // with kEndpointIn for an IN endpoint
    uint8_t Transfer = kTransferBulk;
    std::vector<uint8_t> Data;

    bool IsCompletion() const { return (Info & kInfoPdoToFdo) != 0; }
    bool IsIn() const { return (Endpoint & kEndpointIn) != 0; }
};

std::vector<uint8_t> Encode(const Packet& packet);
// A packet as captured; nothing, with `error` set, when it is shorter than its
// header says. A longer header's transfer-specific fields are skipped.
std::optional<Packet> Decode(const uint8_t* bytes, size_t length, std::string& error);

// The header holds only the URB's USBD status, not the NTSTATUS the driver
// was given, so the cable writes one USBD status per kind of outcome and a
// replay turns it back into that NTSTATUS: success; cancelled (a time-out or
// a cancel ended a transfer the device never completed); device gone;
// babble (more data than the read asked for); and a stall for any other
// failure, read back as STATUS_UNSUCCESSFUL.
uint32_t UsbdStatusOf(int32_t ntStatus);
int32_t NtStatusOf(uint32_t usbdStatus);

} // namespace host::usbpcap
