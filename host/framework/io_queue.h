// The framework's I/O queues as the PnP manager drives them through power
// transitions and removal.
#pragma once

#include "host/framework/device.h"

namespace host {

// Power-managed queues of the device dispatch only while it is in D0; the PnP
// manager calls these around D0 entry and exit. Powering down stops their
// dispatching and, as the framework does for a driver without EvtIoStop,
// waits until the driver has completed every request they delivered to it.
void PowerUpQueues(FrameworkDevice* device);
void PowerDownQueues(FrameworkDevice* device);
// Removal: every request waiting in the device's queues is cancelled and new
// ones are refused with STATUS_DELETE_PENDING.
void PurgeQueues(FrameworkDevice* device);
// Waits until the driver holds no request of the device (removal waits so).
void WaitForDriverRequests(FrameworkDevice* device, const char* why);
// Requests the driver holds right now, over all devices: a test's check that
// nothing was left uncompleted.
int OutstandingDriverRequests();

} // namespace host
