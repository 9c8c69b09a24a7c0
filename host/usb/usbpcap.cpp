#include "host/usb/usbpcap.h"

#include "host/usb/little_endian.h"

#include <ntdef.h>

namespace host::usbpcap {

using little_endian::Get;
using little_endian::Put;

std::vector<uint8_t> Encode(const Packet& packet)
{
    std::vector<uint8_t> out;
    out.reserve(kHeaderLength + packet.Data.size());
    Put<uint16_t>(out, kHeaderLength);
    Put<uint64_t>(out, packet.IrpId);
    Put<uint32_t>(out, packet.Status);
    Put<uint16_t>(out, packet.Function);
    Put<uint8_t>(out, packet.Info);
    Put<uint16_t>(out, packet.Bus);
    Put<uint16_t>(out, packet.Device);
    Put<uint8_t>(out, packet.Endpoint);
    Put<uint8_t>(out, packet.Transfer);
    Put<uint32_t>(out, static_cast<uint32_t>(packet.Data.size()));
    out.insert(out.end(), packet.Data.begin(), packet.Data.end());
    return out;
}

std::optional<Packet> Decode(const uint8_t* bytes, size_t length, std::string& error)
{
    if (length < kHeaderLength) {
        error = "shorter than a USBPcap header (" + std::to_string(length) + " bytes)";
        return std::nullopt;
    }
    const uint16_t headerLength = Get<uint16_t>(bytes);
    const uint32_t dataLength = Get<uint32_t>(bytes + 23);
    if (headerLength < kHeaderLength || headerLength > length || dataLength > length - headerLength) {
        error = "USBPcap header of " + std::to_string(headerLength) + " bytes with " + std::to_string(dataLength) +
                " data bytes in a packet of " + std::to_string(length);
        return std::nullopt;
    }
    Packet packet;
    packet.IrpId = Get<uint64_t>(bytes + 2);
    packet.Status = Get<uint32_t>(bytes + 10);
    packet.Function = Get<uint16_t>(bytes + 14);
    packet.Info = bytes[16];
    packet.Bus = Get<uint16_t>(bytes + 17);
    packet.Device = Get<uint16_t>(bytes + 19);
    packet.Endpoint = bytes[21];
    packet.Transfer = bytes[22];
    packet.Data.assign(bytes + headerLength, bytes + headerLength + dataLength);
    return packet;
}

uint32_t UsbdStatusOf(int32_t ntStatus)
{
    switch (ntStatus) {
    case STATUS_SUCCESS: return kUsbdStatusSuccess;
    case STATUS_CANCELLED:
    case STATUS_IO_TIMEOUT: return kUsbdStatusCanceled;
    case STATUS_NO_SUCH_DEVICE: return kUsbdStatusDeviceGone;
    case STATUS_BUFFER_OVERFLOW: return kUsbdStatusBabbleDetected;
    default: return kUsbdStatusStallPid;
    }
}

int32_t NtStatusOf(uint32_t usbdStatus)
{
    switch (usbdStatus) {
    case kUsbdStatusSuccess: return STATUS_SUCCESS;
    case kUsbdStatusCanceled: return STATUS_CANCELLED;
    case kUsbdStatusDeviceGone: return STATUS_NO_SUCH_DEVICE;
    case kUsbdStatusBabbleDetected: return STATUS_BUFFER_OVERFLOW;
    default: return STATUS_UNSUCCESSFUL;
    }
}

} // namespace host::usbpcap
