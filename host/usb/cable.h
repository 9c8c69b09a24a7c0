// The cable between a device model and the host: IN transfers queued per
// endpoint until a read takes them, the plug state writes and reads see, and
// the capture that records what crosses it.
#pragma once

#include "host/usb/device_model.h"
#include "host/usb/usb_capture.h"

#include <wdf.h>

#include <condition_variable>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace host {

// One device model plugged into the host. It queues the IN transfers the
// model sends, per endpoint, until a read takes them, and wakes writes that
// the model never completes when the device goes away.
class UsbConnection final : public UsbHostLink, public std::enable_shared_from_this<UsbConnection> {
public:
    explicit UsbConnection(UsbDeviceModel& model);
    ~UsbConnection() override;

    UsbDeviceModel& Model() { return DeviceModel; }

    // Plugs the model in: it may send from now on.
    void Plug();
    // Unplugs it: reads and writes in progress fail, and the model is told.
    void Unplug();
    bool Plugged();

    void SendIn(uint8_t endpoint, const uint8_t* data, size_t length) override;
    void FailIn(uint8_t endpoint, int32_t status) override;

    // Records every transfer from now on into `capture` (nullptr: none).
    void SetCapture(std::shared_ptr<UsbCapture> capture);

    // An OUT transfer from its submission to its completion: what the device
    // did with it, and where its completion is recorded.
    struct OutSubmission {
        UsbOutResult Result;
        std::shared_ptr<UsbCapture> Capture;
        uint64_t IrpId = 0;
    };
    // Hands an OUT transfer to the device; one sent to a device that is gone
    // fails with STATUS_NO_SUCH_DEVICE.
    OutSubmission SubmitOut(uint8_t endpoint, const uint8_t* data, size_t length);
    // The status the host's write ends with.
    void CompleteOut(const OutSubmission& submission, uint8_t endpoint, NTSTATUS status);

    struct InTransfer {
        std::vector<uint8_t> Bytes;
        NTSTATUS Status = STATUS_SUCCESS;
    };
    // A read of up to `maxLength` bytes posted on `endpoint`: waits for the
    // next IN transfer until one arrives or `stop` turns true (checked under
    // the connection's lock whenever it is notified). A transfer longer than
    // the read fails it with STATUS_BUFFER_OVERFLOW.
    bool TakeIn(uint8_t endpoint, size_t maxLength, InTransfer& transfer, const std::function<bool()>& stop);
    void Notify();
    // Called by a reader when the transfer it took has been handled.
    void ReadDone();
    // Waits until every IN transfer queued on `endpoint` has been taken by a
    // read and handled: a test's way to know the driver has seen them all.
    bool WaitInIdle(uint8_t endpoint, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Waits, for a write the device never completes, until `deadline`, the
    // unplug, or `cancelled` turns true. Returns the write's status.
    NTSTATUS WaitHungWrite(std::chrono::steady_clock::time_point deadline, bool hasDeadline,
                           const std::function<bool()>& cancelled);

    // How many continuous readers are started on `endpoint` right now.
    int RunningReaders(uint8_t endpoint);
    void NoteReaderStarted(uint8_t endpoint, int delta);

    std::mutex Lock;

private:
    UsbDeviceModel& DeviceModel;
    std::condition_variable_any Changed;
    std::map<uint8_t, std::deque<InTransfer>> InQueues;
    bool IsPlugged = false;
    int ActiveReads = 0;
    std::map<uint8_t, int> ReadersRunning;
    std::shared_ptr<UsbCapture> Capture;
};

} // namespace host
