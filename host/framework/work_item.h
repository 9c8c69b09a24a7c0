// Framework work items: queued from up to DISPATCH_LEVEL, run at
// PASSIVE_LEVEL on a pool of system worker threads.
#pragma once

#include <chrono>

namespace host {

// Waits until no work item is queued and every one running is blocked in a
// kernel wait (a test's way to let the workers catch up: a work item that waits
// for a device's answer waits for something the test may be about to send).
// Returns false if that did not happen in time.
bool WaitForWorkItemsIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Brackets a blocking wait of the calling thread; on a work item's run it
// marks the run as blocked for WaitForWorkItemsIdle, and on a thread that set
// a block observer it tells the observer first (how the sender of a flush
// learns that the driver keeps the flush waiting).
class WorkerBlockedScope {
public:
    WorkerBlockedScope();
    ~WorkerBlockedScope();
    WorkerBlockedScope(const WorkerBlockedScope&) = delete;
    WorkerBlockedScope& operator=(const WorkerBlockedScope&) = delete;

private:
    bool Counted;
};

struct BlockObserver {
    void (*Notify)(void* context);
    void* Context;
};
inline thread_local BlockObserver t_blockObserver{nullptr, nullptr};

} // namespace host
