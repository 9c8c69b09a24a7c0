#include "host/usb/cable.h"

namespace host {

UsbConnection::UsbConnection(UsbDeviceModel& model) : DeviceModel(model) {}

UsbConnection::~UsbConnection()
{
    if (IsPlugged) {
        Unplug();
    }
}

void UsbConnection::Plug()
{
    {
        std::lock_guard<std::mutex> guard(Lock);
        IsPlugged = true;
    }
    DeviceModel.Connect(this);
}

void UsbConnection::Unplug()
{
    if (!Plugged()) {
        return;
    }
    // The model is told first and without the connection's lock: it waits for
    // any SendIn of its own in progress, which takes that lock.
    DeviceModel.Connect(nullptr);
    {
        std::lock_guard<std::mutex> guard(Lock);
        IsPlugged = false;
        InQueues.clear();
    }
    Changed.notify_all();
}

bool UsbConnection::Plugged()
{
    std::lock_guard<std::mutex> guard(Lock);
    return IsPlugged;
}

void UsbConnection::SendIn(uint8_t endpoint, const uint8_t* data, size_t length)
{
    {
        std::lock_guard<std::mutex> guard(Lock);
        if (!IsPlugged) {
            return;
        }
        InQueues[endpoint].push_back({std::vector<uint8_t>(data, data + length), STATUS_SUCCESS});
    }
    Changed.notify_all();
}

void UsbConnection::FailIn(uint8_t endpoint, int32_t status)
{
    {
        std::lock_guard<std::mutex> guard(Lock);
        if (!IsPlugged) {
            return;
        }
        InQueues[endpoint].push_back({{}, status});
    }
    Changed.notify_all();
}

void UsbConnection::SetCapture(std::shared_ptr<UsbCapture> capture)
{
    std::lock_guard<std::mutex> guard(Lock);
    Capture = std::move(capture);
}

UsbConnection::OutSubmission UsbConnection::SubmitOut(uint8_t endpoint, const uint8_t* data, size_t length)
{
    OutSubmission submission;
    bool plugged;
    {
        std::lock_guard<std::mutex> guard(Lock);
        submission.Capture = Capture;
        plugged = IsPlugged;
    }
    if (submission.Capture) {
        submission.IrpId = submission.Capture->Submitted(endpoint, data, length);
    }
    // The device may answer from OnOutTransfer; the submission is recorded
    // before that answer can be taken.
    submission.Result = plugged ? DeviceModel.OnOutTransfer(endpoint, data, length)
                                : UsbOutResult::Fail(STATUS_NO_SUCH_DEVICE);
    return submission;
}

void UsbConnection::CompleteOut(const OutSubmission& submission, uint8_t endpoint, NTSTATUS status)
{
    if (submission.Capture) {
        submission.Capture->Completed(submission.IrpId, endpoint, status);
    }
}

bool UsbConnection::TakeIn(uint8_t endpoint, size_t maxLength, InTransfer& transfer,
                           const std::function<bool()>& stop)
{
    std::unique_lock<std::mutex> guard(Lock);
    // Recorded with the lock held, so a read is posted in the capture before
    // any transfer it takes; the capture never takes the connection's lock.
    const std::shared_ptr<UsbCapture> capture = Capture;
    const uint64_t irpId = capture ? capture->Submitted(endpoint, nullptr, 0) : 0;
    for (;;) {
        if (stop()) {
            if (capture) {
                capture->Completed(irpId, endpoint, STATUS_CANCELLED);
            }
            return false;
        }
        auto& queue = InQueues[endpoint];
        if (IsPlugged && !queue.empty()) {
            transfer = std::move(queue.front());
            queue.pop_front();
            ++ActiveReads;
            if (NT_SUCCESS(transfer.Status) && transfer.Bytes.size() > maxLength) {
                transfer.Status = STATUS_BUFFER_OVERFLOW;  // the device sent more than the read asked for
                transfer.Bytes.clear();
            }
            if (capture) {
                capture->Completed(irpId, endpoint, transfer.Status, transfer.Bytes.data(), transfer.Bytes.size());
            }
            return true;
        }
        Changed.wait(guard);
    }
}

void UsbConnection::ReadDone()
{
    {
        std::lock_guard<std::mutex> guard(Lock);
        --ActiveReads;
    }
    Changed.notify_all();
}

bool UsbConnection::WaitInIdle(uint8_t endpoint, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, timeout, [&] { return InQueues[endpoint].empty() && ActiveReads == 0; });
}

int UsbConnection::RunningReaders(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(Lock);
    return ReadersRunning[endpoint];
}

void UsbConnection::NoteReaderStarted(uint8_t endpoint, int delta)
{
    std::lock_guard<std::mutex> guard(Lock);
    ReadersRunning[endpoint] += delta;
}

void UsbConnection::Notify()
{
    { std::lock_guard<std::mutex> guard(Lock); }
    Changed.notify_all();
}

NTSTATUS UsbConnection::WaitHungWrite(std::chrono::steady_clock::time_point deadline, bool hasDeadline,
                                      const std::function<bool()>& cancelled)
{
    std::unique_lock<std::mutex> guard(Lock);
    for (;;) {
        if (!IsPlugged) {
            return STATUS_NO_SUCH_DEVICE;
        }
        if (cancelled()) {
            return STATUS_CANCELLED;
        }
        if (hasDeadline && std::chrono::steady_clock::now() >= deadline) {
            return STATUS_IO_TIMEOUT;
        }
        if (hasDeadline) {
            Changed.wait_until(guard, deadline);
        } else {
            Changed.wait(guard);
        }
    }
}

} // namespace host
