// A whole system: installed drivers matched to devices by hardware ID (the
// INF files' role), a port installer that names serial ports, a PnP worker
// that starts a function driver on every child a bus reports, and power and
// removal of a bus together with its children.
#pragma once

#include "host/pnp/pnp.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host {

class UsbCapture;

class System {
public:
    System();
    ~System();  // removes every device, children first, and unloads the drivers
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    // Loads a driver and records which hardware IDs it serves. A driver that
    // serves serial ports gets a PortName in each device's hardware key.
    NTSTATUS InstallDriver(const std::string& service, PDRIVER_INITIALIZE entry, std::vector<std::string> hardwareIds,
                           bool servesSerialPorts = false);
    // The same for a driver built as its own module.
    NTSTATUS InstallDriverModule(const std::string& service, const std::string& modulePath,
                                 std::vector<std::string> hardwareIds, bool servesSerialPorts = false);
    // Names the port installer gives, in order of arrival: COM3, COM4, ...
    // unless set here; an empty name gives the port no PortName at all.
    void SetPortNames(std::vector<std::string> names);

    // Plugs a USB device in and starts `service` on it; `capture`, if given,
    // records the device's transfers from the first.
    DeviceNode& PlugUsbDevice(UsbDeviceModel& model, const std::string& service, NTSTATUS* startStatus = nullptr,
                              std::shared_ptr<UsbCapture> capture = nullptr);
    // Waits until the PnP worker and the system worker are idle; child starts
    // held back by HoldChildStarts do not count as work to wait for.
    bool WaitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // While held, children still arrive but their function drivers start only
    // once released, in order of arrival: a test's way to let a bus finish its
    // enumeration before any child's driver runs, so that the framework calls
    // of the two can be told apart.
    void HoldChildStarts(bool hold);

    // The framework devices of the buses plugged in, safe to call from any
    // thread (a hook on the PnP worker, say).
    std::vector<WDFDEVICE> BusDevices();

    // Children of `bus` that got a function driver, in order of arrival.
    std::vector<DeviceNode*> ChildNodes(DeviceNode& bus);
    // The status with which each child's start ended, in order of arrival.
    std::vector<NTSTATUS> ChildStartResults(DeviceNode& bus);

    // Power and removal of a bus and its children, in the order the system
    // sends them: children leave D0 before their bus and come back after it.
    // Removes one child's function device while its bus stays (the user
    // disables the port, say); the child keeps no driver afterwards.
    void RemoveChild(DeviceNode& child);

    NTSTATUS Sleep(DeviceNode& bus);
    NTSTATUS Resume(DeviceNode& bus);
    void SurpriseRemove(DeviceNode& bus);
    void Remove(DeviceNode& bus);

private:
    struct Installed {
        std::unique_ptr<LoadedDriver> Driver;
        std::vector<std::string> HardwareIds;
        bool ServesSerialPorts;
    };
    struct Child {
        DeviceNode* Bus;
        std::unique_ptr<DeviceNode> Node;
        NTSTATUS StartStatus;
    };
    struct Bus {
        std::shared_ptr<PhysicalDevice> Physical;
        std::unique_ptr<DeviceNode> Node;
    };

    NTSTATUS Install(std::unique_ptr<LoadedDriver> driver, NTSTATUS status, std::vector<std::string> hardwareIds,
                     bool servesSerialPorts);
    void OnChildArrived(FrameworkDevice* bus, FrameworkDevice* child);
    void WorkerLoop();
    Installed* DriverFor(const std::vector<std::u16string>& hardwareIds);
    std::string NextPortName();
    void RemoveChildren(DeviceNode& bus);

    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<Installed> Drivers;
    std::vector<Bus> Buses;
    std::vector<Child> Children;
    std::deque<std::function<void()>> Work;
    bool WorkRunning = false;
    bool StartsHeld = false;
    bool Stopping = false;
    std::vector<std::string> PortNames;
    size_t PortsNamed = 0;
    unsigned NodesCreated = 0;
    std::thread Worker;
};

} // namespace host
