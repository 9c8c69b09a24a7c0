#include "host/usb/capture_replay.h"

#include "host/usb/usbpcap.h"

#include <ntdef.h>

#include <algorithm>
#include <cstdio>

namespace host {

namespace {

// What the host's write was given: a transfer the device never completed
// (cancelled by the host's time-out) is one the device does not take.
UsbOutResult OutResultOf(const CapturedTransfer& transfer)
{
    if (!transfer.Completed || transfer.UsbdStatus == usbpcap::kUsbdStatusCanceled) {
        return UsbOutResult::Hang();
    }
    if (transfer.UsbdStatus == usbpcap::kUsbdStatusSuccess) {
        return UsbOutResult::Ok();
    }
    return UsbOutResult::Fail(usbpcap::NtStatusOf(transfer.UsbdStatus));
}

std::string Hex(const uint8_t* data, size_t length)
{
    std::string text;
    for (size_t i = 0; i < length && i < 24; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%s%02x", i == 0 ? "" : " ", data[i]);
        text += byte;
    }
    return length > 24 ? text + " ..." : text;
}

std::string Described(uint8_t endpoint, const uint8_t* data, size_t length)
{
    char head[48];
    std::snprintf(head, sizeof head, "%zu bytes on endpoint 0x%02x", length, endpoint);
    return length == 0 ? head : std::string(head) + ": " + Hex(data, length);
}

} // namespace

CaptureReplay::CaptureReplay(const std::vector<CapturedTransfer>& transfers,
                             std::vector<UsbEndpointDescriptor> endpoints)
    : EndpointList(std::move(endpoints))
{
    for (const CapturedTransfer& transfer : transfers) {
        if (transfer.Bus != transfers.front().Bus || transfer.Device != transfers.front().Device) {
            continue;
        }
        Step step;
        step.In = transfer.IsIn();
        step.Endpoint = transfer.Endpoint;
        step.Data = transfer.Data;
        step.IrpId = transfer.IrpId;
        if (step.In) {
            if (!transfer.Completed || transfer.UsbdStatus == usbpcap::kUsbdStatusCanceled) {
                continue;  // nothing came, or the host cancelled the read
            }
            step.InStatus = usbpcap::NtStatusOf(transfer.UsbdStatus);
            step.Frame = transfer.CompletionFrame;
        } else {
            if (transfer.SubmissionFrame == 0) {
                continue;  // sent before the capture began
            }
            step.OutResult = OutResultOf(transfer);
            step.Frame = transfer.SubmissionFrame;
        }
        Steps.push_back(std::move(step));
    }
    std::stable_sort(Steps.begin(), Steps.end(), [](const Step& a, const Step& b) { return a.Frame < b.Frame; });
    for (Step& step : Steps) {
        if (!step.In) {
            step.OutNumber = ++OutSteps;
        }
    }
}

void CaptureReplay::Connect(UsbHostLink* link)
{
    std::lock_guard<std::mutex> guard(Lock);
    Link = link;
    PlayInLocked();
}

void CaptureReplay::PlayInLocked()
{
    while (Link != nullptr && FirstMismatch.empty() && Next < Steps.size() && Steps[Next].In) {
        const Step& step = Steps[Next++];
        if (NT_SUCCESS(step.InStatus)) {
            Link->SendIn(step.Endpoint, step.Data.data(), step.Data.size());
        } else {
            Link->FailIn(step.Endpoint, step.InStatus);
        }
    }
    Changed.notify_all();
}

UsbOutResult CaptureReplay::OnOutTransfer(uint8_t endpoint, const uint8_t* data, size_t length)
{
    std::lock_guard<std::mutex> guard(Lock);
    if (!FirstMismatch.empty()) {
        return UsbOutResult::Fail(STATUS_UNSUCCESSFUL);
    }
    const std::string sent = "the host sent " + Described(endpoint, data, length);
    if (Next >= Steps.size()) {
        NoteMismatchLocked("OUT transfer " + std::to_string(OutSeen + 1) + " is beyond the capture, which has " +
                           std::to_string(OutSteps) + ": " + sent);
        return UsbOutResult::Fail(STATUS_UNSUCCESSFUL);
    }
    const Step& expected = Steps[Next];
    if (expected.Endpoint != endpoint || expected.Data.size() != length ||
        !std::equal(expected.Data.begin(), expected.Data.end(), data)) {
        size_t at = 0;
        while (at < length && at < expected.Data.size() && data[at] == expected.Data[at]) {
            ++at;
        }
        char where[96];
        std::snprintf(where, sizeof where, "OUT transfer %zu of %zu (capture frame %zu, IRP ID 0x%llx)",
                      expected.OutNumber, OutSteps, expected.Frame, static_cast<unsigned long long>(expected.IrpId));
        NoteMismatchLocked(std::string(where) + " differs from byte " + std::to_string(at) + ": the capture has " +
                           Described(expected.Endpoint, expected.Data.data(), expected.Data.size()) + "; " + sent);
        return UsbOutResult::Fail(STATUS_UNSUCCESSFUL);
    }
    const UsbOutResult result = expected.OutResult;
    ++Next;
    ++OutSeen;
    // The answers to this transfer go out before its write completes, as a
    // device's answer races the completion.
    PlayInLocked();
    return result;
}

void CaptureReplay::NoteMismatchLocked(std::string what)
{
    FirstMismatch = std::move(what);
    Changed.notify_all();
}

std::string CaptureReplay::Mismatch() const
{
    std::lock_guard<std::mutex> guard(Lock);
    return FirstMismatch;
}

size_t CaptureReplay::OutTransfersSeen() const
{
    std::lock_guard<std::mutex> guard(Lock);
    return OutSeen;
}

size_t CaptureReplay::OutTransfersInCapture() const { return OutSteps; }

bool CaptureReplay::Finished() const
{
    std::lock_guard<std::mutex> guard(Lock);
    return FirstMismatch.empty() && Next == Steps.size();
}

bool CaptureReplay::WaitFinished(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, timeout, [this] { return !FirstMismatch.empty() || Next == Steps.size(); }) &&
           FirstMismatch.empty();
}

} // namespace host
