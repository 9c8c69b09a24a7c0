#include "host/usb/usb_capture.h"

#include "host/kernel/time_scale.h"
#include "host/usb/usbpcap.h"

namespace host {

std::shared_ptr<UsbCapture> UsbCapture::Create(const std::string& path, std::string& error)
{
    std::shared_ptr<UsbCapture> capture(new UsbCapture());
    // USBPcap names its interfaces after its filter's control devices, one per root hub.
    if (!capture->Writer.Open(path, usbpcap::kLinkType, "USBPcap" + std::to_string(kBus), error)) {
        return nullptr;
    }
    capture->FilePath = path;
    capture->Open = true;
    capture->StartedAt = KernelTimeNow();
    return capture;
}

UsbCapture::~UsbCapture()
{
    std::string ignored;
    Close(ignored);
}

uint64_t UsbCapture::Submitted(uint8_t endpoint, const uint8_t* data, size_t length)
{
    std::lock_guard<std::mutex> guard(Lock);
    const uint64_t irpId = NextIrpId++;
    Write(irpId, endpoint, false, 0, data, length);
    return irpId;
}

void UsbCapture::Completed(uint64_t irpId, uint8_t endpoint, int32_t status, const uint8_t* data, size_t length)
{
    std::lock_guard<std::mutex> guard(Lock);
    Write(irpId, endpoint, true, status, data, length);
}

// Runs under Lock, so packets are in the file in the order they happened and
// their timestamps never go back.
void UsbCapture::Write(uint64_t irpId, uint8_t endpoint, bool completion, int32_t status, const uint8_t* data,
                       size_t length)
{
    if (!Open) {
        return;
    }
    usbpcap::Packet packet;
    packet.IrpId = irpId;
    packet.Status = completion ? usbpcap::UsbdStatusOf(status) : usbpcap::kUsbdStatusSuccess;
    packet.Info = completion ? usbpcap::kInfoPdoToFdo : 0;
    packet.Bus = kBus;
    packet.Device = kDevice;
    packet.Endpoint = endpoint;
    if (data != nullptr) {
        packet.Data.assign(data, data + length);
    }
    const int64_t elapsed = KernelTimeNow() - StartedAt;  // 100 ns units
    Writer.WritePacket(static_cast<uint64_t>(elapsed < 0 ? 0 : elapsed / 10), usbpcap::Encode(packet));
    ++Packets;
}

bool UsbCapture::Close(std::string& error)
{
    std::lock_guard<std::mutex> guard(Lock);
    Open = false;
    return Writer.Close(error);
}

uint64_t UsbCapture::PacketCount() const
{
    std::lock_guard<std::mutex> guard(Lock);
    return Packets;
}

} // namespace host
