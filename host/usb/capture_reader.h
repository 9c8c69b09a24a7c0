// The bulk transfers of a capture of USBPcap packets in a pcapng file, as
// the cable writes them and USBPcap on Windows does: each transfer's
// submission and completion paired by IRP ID.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct CapturedTransfer {
    uint16_t Bus = 0;
    uint16_t Device = 0;
    uint8_t Endpoint = 0;                 // with 0x80 for IN
    uint64_t IrpId = 0;
    // An OUT transfer's data from its submission, an IN transfer's from its completion.
    std::vector<uint8_t> Data;
    bool Completed = false;
    uint32_t UsbdStatus = 0;              // of the completion
    // Packet numbers as Wireshark counts them, from 1; 0 where the capture
    // holds no such packet (it began or ended while the transfer was pending).
    size_t SubmissionFrame = 0;
    size_t CompletionFrame = 0;
    uint64_t SubmittedAt = 0;             // microseconds
    uint64_t CompletedAt = 0;

    bool IsIn() const { return (Endpoint & 0x80) != 0; }
};

// The bulk transfers on the file's USBPcap interfaces, in the order of their
// first packet; packets of other transfer types and link types are skipped.
// Nothing, with `error` set, for a file that is not pcapng, holds no USBPcap
// interface or has a malformed USBPcap packet.
std::optional<std::vector<CapturedTransfer>> ReadUsbCapture(const std::string& path, std::string& error);

} // namespace host
