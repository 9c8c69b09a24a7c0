#include "host/usb/capture_reader.h"

#include "host/usb/pcapng.h"
#include "host/usb/usbpcap.h"

#include <map>
#include <tuple>

namespace host {

std::optional<std::vector<CapturedTransfer>> ReadUsbCapture(const std::string& path, std::string& error)
{
    const auto file = ReadPcapng(path, error);
    if (!file) {
        return std::nullopt;
    }
    bool hasUsbPcap = false;
    for (const auto& interface : file->Interfaces) {
        hasUsbPcap = hasUsbPcap || interface.LinkType == usbpcap::kLinkType;
    }
    if (!hasUsbPcap) {
        error = path + ": no USBPcap interface (link type 249) in the capture";
        return std::nullopt;
    }
    std::vector<CapturedTransfer> transfers;
    // A transfer waiting for its completion, by where it is and its IRP ID:
    // USBPcap's IDs are IRP addresses, used again once an IRP has completed.
    std::map<std::tuple<uint16_t, uint16_t, uint64_t>, size_t> pending;
    for (size_t index = 0; index < file->Packets.size(); ++index) {
        const PcapngPacket& captured = file->Packets[index];
        if (file->Interfaces[captured.Interface].LinkType != usbpcap::kLinkType) {
            continue;
        }
        const size_t frame = index + 1;
        std::string why;
        auto packet = usbpcap::Decode(captured.Data.data(), captured.Data.size(), why);
        if (!packet) {
            error = path + ": frame " + std::to_string(frame) + ": " + why;
            return std::nullopt;
        }
        if (packet->Transfer != usbpcap::kTransferBulk) {
            continue;
        }
        const auto key = std::make_tuple(packet->Bus, packet->Device, packet->IrpId);
        if (!packet->IsCompletion()) {
            CapturedTransfer transfer;
            transfer.Bus = packet->Bus;
            transfer.Device = packet->Device;
            transfer.Endpoint = packet->Endpoint;
            transfer.IrpId = packet->IrpId;
            transfer.SubmissionFrame = frame;
            transfer.SubmittedAt = captured.TimestampMicroseconds;
            if (!packet->IsIn()) {
                transfer.Data = std::move(packet->Data);
            }
            pending[key] = transfers.size();
            transfers.push_back(std::move(transfer));
            continue;
        }
        const auto open = pending.find(key);
        if (open == pending.end()) {
            CapturedTransfer transfer;  // submitted before the capture began
            transfer.Bus = packet->Bus;
            transfer.Device = packet->Device;
            transfer.Endpoint = packet->Endpoint;
            transfer.IrpId = packet->IrpId;
            transfers.push_back(std::move(transfer));
        }
        CapturedTransfer& transfer = open == pending.end() ? transfers.back() : transfers[open->second];
        if (open != pending.end()) {
            pending.erase(open);
        }
        transfer.Completed = true;
        transfer.UsbdStatus = packet->Status;
        transfer.CompletionFrame = frame;
        transfer.CompletedAt = captured.TimestampMicroseconds;
        if (packet->IsIn()) {
            transfer.Data = std::move(packet->Data);
        }
    }
    return transfers;
}

} // namespace host
