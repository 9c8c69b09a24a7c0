// The contract between the stand-in's USB stack and a device model on the far
// end of the cable. The stand-in owns the host side (pipes, the continuous
// reader, synchronous writes); a model owns the device side: its descriptors,
// what it does with each OUT transfer, and what it sends on its IN endpoints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace host {

enum class UsbEndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct UsbEndpointDescriptor {
    uint8_t Address = 0;              // bit 7 set for an IN endpoint
    UsbEndpointType Type = UsbEndpointType::Bulk;
    uint16_t MaximumPacketSize = 64;
    bool IsIn() const { return (Address & 0x80) != 0; }
};

// What the device does with one OUT transfer.
struct UsbOutResult {
    enum class Kind : uint8_t {
        Completed,      // the transfer was taken; the host's write completes with Status
        NeverCompletes, // the device never takes it (NAKs forever); only a time-out or a cancel ends the write
    };
    Kind Outcome = Kind::Completed;
    int32_t Status = 0;               // NTSTATUS of the completed transfer (0 = success)

    static UsbOutResult Ok() { return {}; }
    static UsbOutResult Fail(int32_t status) { return {Kind::Completed, status}; }
    static UsbOutResult Hang() { return {Kind::NeverCompletes, 0}; }
};

// What a device sees of the host: the IN direction. Every call queues one
// transfer on the endpoint's FIFO; the host's readers take them in order. An
// IN transfer waits in the device until the host posts a read, as on a real
// bus, so data sent while the reader is stopped is delivered once it starts.
class UsbHostLink {
public:
    virtual ~UsbHostLink() = default;
    virtual void SendIn(uint8_t endpoint, const uint8_t* data, size_t length) = 0;
    // The next read posted on the endpoint fails with this NTSTATUS.
    virtual void FailIn(uint8_t endpoint, int32_t status) = 0;
};

class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;

    // Endpoints of the device's single interface, in pipe order.
    virtual std::vector<UsbEndpointDescriptor> Endpoints() const = 0;

    // Called when the device is plugged into a host (before any transfer) and
    // with nullptr when it is unplugged. The model keeps the link to send IN
    // transfers, from any thread, until it is unplugged.
    virtual void Connect(UsbHostLink* link) = 0;

    // One OUT transfer, on the writing thread. The model may call SendIn from
    // here (an answer racing the completion of the write, as on real hardware).
    virtual UsbOutResult OnOutTransfer(uint8_t endpoint, const uint8_t* data, size_t length) = 0;
};

} // namespace host
