// Framework work items: queued from up to DISPATCH_LEVEL, run at
// PASSIVE_LEVEL on the stand-in's system worker thread, one at a time.
#pragma once

#include <chrono>

namespace host {

// Waits until no work item is queued or running (a test's way to let the
// system worker catch up). Returns false if that did not happen in time.
bool WaitForWorkItemsIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace host
