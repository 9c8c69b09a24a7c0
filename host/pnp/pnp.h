// The PnP and power manager: loads drivers, starts a device node with its
// driver (device add, prepare hardware, D0 entry), moves it through sleep,
// resume, stop and restart, and removes it, orderly or by surprise. The
// callbacks of one device run one at a time, at PASSIVE_LEVEL.
#pragma once

#include "host/framework/device.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace host {

// A driver as the system loads it: its DriverEntry has run and created its
// framework driver object.
class LoadedDriver {
public:
    static std::unique_ptr<LoadedDriver> Load(const std::string& serviceName, PDRIVER_INITIALIZE driverEntry,
                                              NTSTATUS* status = nullptr);
    // Loads the driver from its own module, as the system loads a driver
    // image: the module exports DriverEntry and nothing else.
    static std::unique_ptr<LoadedDriver> LoadModule(const std::string& serviceName, const std::string& modulePath,
                                                    NTSTATUS* status = nullptr);
    ~LoadedDriver();
    WDFDRIVER Handle() const { return DriverHandle; }
    const std::string& Name() const { return ServiceName; }

private:
    LoadedDriver(std::string name, WDFDRIVER handle) : ServiceName(std::move(name)), DriverHandle(handle) {}
    std::string ServiceName;
    WDFDRIVER DriverHandle;
    void* Module = nullptr;
};

enum class DeviceState { Absent, Started, LowPower, SurpriseRemoved, StartFailed, Removed };

// One device node with a function driver on it.
class DeviceNode {
public:
    DeviceNode(LoadedDriver& driver, std::shared_ptr<PhysicalDevice> node);
    ~DeviceNode();  // removes the device if it is still there
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;

    // Device add, prepare hardware and the first D0 entry. A failure of any
    // step fails the start: the framework deletes the half-made device.
    NTSTATUS Start();
    // D0 exit to D3 and D0 entry back from it (a system sleep and resume).
    NTSTATUS Sleep();
    NTSTATUS Resume();
    // A stop for resource rebalancing and the restart: D0 exit, then prepare
    // hardware and D0 entry again on the same device.
    NTSTATUS StopAndRestart();
    // The device is unplugged: the USB connection goes, D0 exit runs.
    void SurpriseRemove();
    // Orderly removal (D0 exit first if the device is still in D0), or the
    // removal that follows a surprise removal: the device and its children go.
    void Remove();

    WDFDEVICE Device() const { return DeviceHandle; }
    DeviceState State() const { return CurrentState; }
    PhysicalDevice& Physical() { return *PhysicalRecord; }

private:
    NTSTATUS EnterD0(WDF_POWER_DEVICE_STATE previous);
    void LeaveD0(WDF_POWER_DEVICE_STATE target);
    void DeleteDevice();

    std::mutex Transition;  // one PnP or power callback of this device at a time
    LoadedDriver& Driver;
    std::shared_ptr<PhysicalDevice> PhysicalRecord;
    WDFDEVICE DeviceHandle = nullptr;
    DeviceState CurrentState = DeviceState::Absent;
};

// Called by WdfDriverCreate: the driver object of the DriverEntry now running.
void NoteDriverCreated(WDFDRIVER driver);

// Called by WdfFdoAddStaticChild when a bus reports a new child.
void NotifyChildArrived(FrameworkDevice* bus, FrameworkDevice* child);
// A system-wide observer of child arrivals (the part of the PnP manager that
// loads function drivers on new children); tests and the loader set it.
using ChildArrivalHandler = std::function<void(FrameworkDevice* bus, FrameworkDevice* child)>;
void SetChildArrivalHandler(ChildArrivalHandler handler);

} // namespace host
