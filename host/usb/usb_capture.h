// A recording of the transfers that cross the cable, written as they happen
// to a pcapng file of USBPcap packets, as USBPcap records them on Windows:
// every transfer is two packets with the same IRP ID, its submission (FDO to
// PDO, carrying an OUT transfer's data) and its completion (PDO to FDO, with
// the USBD status, carrying an IN transfer's data). Timestamps are kernel
// time since the recording began, in microseconds.
#pragma once

#include "host/usb/pcapng.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace host {

class UsbCapture {
public:
    // The device's place in the capture: root hub 1, device address 1.
    static constexpr uint16_t kBus = 1;
    static constexpr uint16_t kDevice = 1;

    // Creates the file; nothing, with `error` set, when it cannot.
    static std::shared_ptr<UsbCapture> Create(const std::string& path, std::string& error);
    ~UsbCapture();
    UsbCapture(const UsbCapture&) = delete;
    UsbCapture& operator=(const UsbCapture&) = delete;

    // A transfer handed down to the device: an OUT transfer with its data, an
    // IN transfer (a read posted) without. Returns the transfer's IRP ID.
    uint64_t Submitted(uint8_t endpoint, const uint8_t* data, size_t length);
    // Its completion with the NTSTATUS the host's side was given, and for an
    // IN transfer the data it received.
    void Completed(uint64_t irpId, uint8_t endpoint, int32_t status, const uint8_t* data = nullptr,
                   size_t length = 0);

    // Writes out what is buffered and closes the file; packets recorded
    // later are dropped. False, with `error` set, when a write failed.
    bool Close(std::string& error);
    uint64_t PacketCount() const;
    const std::string& Path() const { return FilePath; }

private:
    UsbCapture() = default;
    void Write(uint64_t irpId, uint8_t endpoint, bool completion, int32_t status, const uint8_t* data, size_t length);

    mutable std::mutex Lock;
    PcapngWriter Writer;
    std::string FilePath;
    bool Open = false;
    int64_t StartedAt = 0;  // kernel time, 100 ns units
    uint64_t NextIrpId = 1;
    uint64_t Packets = 0;
};

} // namespace host
