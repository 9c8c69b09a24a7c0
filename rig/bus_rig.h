// The bus driver alone on a device model, brought up as the PnP manager
// brings up a function driver: its DriverEntry, then device add, prepare
// hardware and D0 entry through the callbacks it registered. No port driver
// is installed: the children the bus reports stay without one.
#pragma once

#include "host/pnp/pnp.h"
#include "rig/settle.h"

#include <memory>
#include <vector>

namespace host {
class UsbConnection;
class UsbDeviceModel;
} // namespace host

namespace rig {

class BusRig {
public:
    // Loads the driver and plugs the device in; Start() starts the driver on
    // it. `driverEntry` is the DriverEntry of the bus driver's objects linked
    // into the program (a white-box test calls that copy's internal functions
    // on the device it made); without it the driver comes from its module, as
    // the system loads it.
    explicit BusRig(host::UsbDeviceModel& model, PDRIVER_INITIALIZE driverEntry = nullptr);
    // Removes the device (D0 exit first if it is still in D0), unplugs the
    // model and unloads the driver.
    ~BusRig();
    BusRig(const BusRig&) = delete;
    BusRig& operator=(const BusRig&) = delete;

    // Device add, prepare hardware and the first D0 entry; a failure of any
    // step fails the start and the framework deletes the half-made device.
    // A driver that did not load gives its DriverEntry's status here.
    NTSTATUS Start();
    bool DrainIn(std::chrono::milliseconds timeout = kSettleTimeout) { return rig::DrainIn(*Physical, timeout); }
    bool Settle(std::chrono::milliseconds timeout = kSettleTimeout)
    {
        return rig::Settle(*Physical, nullptr, timeout);
    }

    // Power and removal through the device node: Sleep, Resume, StopAndRestart,
    // SurpriseRemove, Remove. Only for a driver that loaded.
    host::DeviceNode& Node() { return *DeviceNode; }
    // The bus device; nullptr before a successful start and after removal.
    WDFDEVICE Device() const;
    host::UsbConnection& Connection();
    // The IN endpoint the driver reads and how many continuous readers run on it.
    uint8_t ReaderEndpoint() const;
    int RunningReaders();
    // The children the bus reported, in the order it added them.
    std::vector<host::ChildIdentity> Children() const;

private:
    host::UsbDeviceModel& Model;
    NTSTATUS LoadStatus = STATUS_UNSUCCESSFUL;
    std::unique_ptr<host::LoadedDriver> Driver;
    std::shared_ptr<host::PhysicalDevice> Physical;
    std::unique_ptr<host::DeviceNode> DeviceNode;
};

} // namespace rig
