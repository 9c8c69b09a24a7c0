// How a rig knows the drivers have caught up with the device: every IN
// transfer the device has sent is handled, and the work those transfers
// queued has run. One routine for the bus-only rig and the whole system.
#pragma once

#include <chrono>
#include <cstdint>

namespace host {
struct PhysicalDevice;
class System;
class UsbDeviceModel;
} // namespace host

namespace rig {

// Longer than anything a healthy or failing bridge makes the drivers wait for.
constexpr std::chrono::milliseconds kSettleTimeout = std::chrono::seconds(10);

// The bulk IN endpoint the bus driver reads, from the device's descriptors:
// the last bulk IN endpoint in pipe order, as the driver picks it; 0 if none.
uint8_t ReaderEndpoint(const host::UsbDeviceModel& model);

// Waits until the bus driver has handled every IN transfer the device plugged
// into `bus` has sent so far. False on a time-out.
bool DrainIn(host::PhysicalDevice& bus, std::chrono::milliseconds timeout = kSettleTimeout);

// DrainIn, then waits until the work items are idle (the enumeration runs in
// one) and, given the system, its PnP worker too (it starts the children's
// drivers). The device must still be plugged in. False on a time-out.
bool Settle(host::PhysicalDevice& bus, host::System* system, std::chrono::milliseconds timeout = kSettleTimeout);

} // namespace rig
