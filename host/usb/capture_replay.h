// A device model that plays a capture back to the host. The capture's IN
// transfers go to the host's reader in order, each as soon as every OUT
// transfer before it in the capture has come from the host, so an answer is
// never ahead of the command it answers; the host's OUT transfers must be
// the capture's, byte for byte and in order, and each completes as it did
// there. Reads the host cancelled itself are not played.
#pragma once

#include "host/usb/capture_reader.h"
#include "host/usb/device_model.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace host {

class CaptureReplay : public UsbDeviceModel {
public:
    // Plays the transfers of the device of the capture's first transfer;
    // a capture holds no descriptors, so `endpoints` describes the device.
    CaptureReplay(const std::vector<CapturedTransfer>& transfers, std::vector<UsbEndpointDescriptor> endpoints);

    std::vector<UsbEndpointDescriptor> Endpoints() const override { return EndpointList; }
    void Connect(UsbHostLink* link) override;
    // An OUT transfer that is not the capture's next one is refused with
    // STATUS_UNSUCCESSFUL, as is every one after it, and nothing more is played.
    UsbOutResult OnOutTransfer(uint8_t endpoint, const uint8_t* data, size_t length) override;

    // The first OUT transfer of the host that was not the capture's, in
    // words; empty while there is none.
    std::string Mismatch() const;
    size_t OutTransfersSeen() const;     // matched so far
    size_t OutTransfersInCapture() const;
    // Every OUT transfer of the capture has come and every IN transfer has
    // been sent, with no mismatch.
    bool Finished() const;
    // Waits until Finished or a mismatch.
    bool WaitFinished(std::chrono::milliseconds timeout) const;

private:
    struct Step {
        bool In = false;
        uint8_t Endpoint = 0;
        std::vector<uint8_t> Data;
        UsbOutResult OutResult;          // for an OUT step
        int32_t InStatus = 0;            // for an IN step
        size_t Frame = 0;
        uint64_t IrpId = 0;
        size_t OutNumber = 0;            // an OUT step's place among the OUT steps, from 1
    };

    // With Lock held: sends the IN steps up to the next OUT step.
    void PlayInLocked();
    void NoteMismatchLocked(std::string what);

    const std::vector<UsbEndpointDescriptor> EndpointList;
    std::vector<Step> Steps;             // in capture order: OUT at its submission, IN at its completion
    size_t OutSteps = 0;

    mutable std::mutex Lock;
    mutable std::condition_variable Changed;
    UsbHostLink* Link = nullptr;
    size_t Next = 0;
    size_t OutSeen = 0;
    std::string FirstMismatch;
};

} // namespace host
