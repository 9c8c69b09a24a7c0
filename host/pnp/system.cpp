#include "host/pnp/system.h"

#include "host/framework/work_item.h"
#include "host/kernel/registry.h"
#include "host/kernel/strings.h"
#include "host/usb/cable.h"
#include "host/verifier/verifier.h"

#include <algorithm>
#include <cctype>

namespace host {

namespace {

bool SameId(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

} // namespace

System::System() : Worker([this] { WorkerLoop(); })
{
    SetChildArrivalHandler([this](FrameworkDevice* bus, FrameworkDevice* child) { OnChildArrived(bus, child); });
}

System::~System()
{
    while (!Buses.empty()) {
        Remove(*Buses.back().Node);
    }
    SetChildArrivalHandler(nullptr);
    {
        std::lock_guard<std::mutex> guard(Lock);
        Stopping = true;
    }
    Changed.notify_all();
    Worker.join();
    Drivers.clear();
}

NTSTATUS System::InstallDriver(const std::string& service, PDRIVER_INITIALIZE entry,
                               std::vector<std::string> hardwareIds, bool servesSerialPorts)
{
    NTSTATUS status = STATUS_SUCCESS;
    auto driver = LoadedDriver::Load(service, entry, &status);
    return Install(std::move(driver), status, std::move(hardwareIds), servesSerialPorts);
}

NTSTATUS System::InstallDriverModule(const std::string& service, const std::string& modulePath,
                                     std::vector<std::string> hardwareIds, bool servesSerialPorts)
{
    NTSTATUS status = STATUS_SUCCESS;
    auto driver = LoadedDriver::LoadModule(service, modulePath, &status);
    return Install(std::move(driver), status, std::move(hardwareIds), servesSerialPorts);
}

NTSTATUS System::Install(std::unique_ptr<LoadedDriver> driver, NTSTATUS status, std::vector<std::string> hardwareIds,
                         bool servesSerialPorts)
{
    if (driver) {
        std::lock_guard<std::mutex> guard(Lock);
        Drivers.push_back({std::move(driver), std::move(hardwareIds), servesSerialPorts});
    }
    return status;
}

void System::SetPortNames(std::vector<std::string> names)
{
    std::lock_guard<std::mutex> guard(Lock);
    PortNames = std::move(names);
    PortsNamed = 0;
}

std::string System::NextPortName()
{
    const size_t index = PortsNamed++;
    if (index < PortNames.size()) {
        return PortNames[index];
    }
    return "COM" + std::to_string(3 + index);
}

System::Installed* System::DriverFor(const std::vector<std::u16string>& hardwareIds)
{
    for (const auto& id : hardwareIds) {
        for (auto& installed : Drivers) {
            for (const auto& served : installed.HardwareIds) {
                if (SameId(Narrow(id), served)) {
                    return &installed;
                }
            }
        }
    }
    return nullptr;
}

DeviceNode& System::PlugUsbDevice(UsbDeviceModel& model, const std::string& service, NTSTATUS* startStatus,
                                  std::shared_ptr<UsbCapture> capture)
{
    LoadedDriver* driver = nullptr;
    {
        std::lock_guard<std::mutex> guard(Lock);
        for (auto& installed : Drivers) {
            if (installed.Driver->Name() == service) {
                driver = installed.Driver.get();
            }
        }
    }
    if (driver == nullptr) {
        Bugcheck("no driver %s is installed", service.c_str());
    }
    auto node = std::make_shared<PhysicalDevice>();
    node->Name = "\\Device\\USBPDO-" + std::to_string(NodesCreated++);
    node->InstancePath = "USB\\VID_0000&PID_0000\\" + std::to_string(NodesCreated);
    node->Usb = std::make_shared<UsbConnection>(model);
    node->Usb->SetCapture(std::move(capture));
    node->Usb->Plug();
    auto dev = std::make_unique<DeviceNode>(*driver, node);
    DeviceNode& ref = *dev;
    {
        std::lock_guard<std::mutex> guard(Lock);
        Buses.push_back({node, std::move(dev)});
    }
    const NTSTATUS status = ref.Start();
    if (startStatus != nullptr) {
        *startStatus = status;
    }
    return ref;
}

// Children arrive from the bus driver's enumeration; the PnP manager starts
// their function drivers later, on its own thread, as Windows does.
void System::OnChildArrived(FrameworkDevice* bus, FrameworkDevice* child)
{
    DeviceNode* busNode = nullptr;
    {
        std::lock_guard<std::mutex> guard(Lock);
        for (auto& entry : Buses) {
            if (entry.Node->Device() == bus->Handle()) {
                busNode = entry.Node.get();
            }
        }
        if (busNode == nullptr) {
            return;
        }
        Work.push_back([this, busNode, child] {
            auto node = std::make_shared<PhysicalDevice>();
            Installed* installed;
            std::string portName;
            {
                std::lock_guard<std::mutex> inner(Lock);
                node->Name = "\\Device\\" + std::string("OMB") + std::to_string(NodesCreated++);
                node->InstancePath = Narrow(child->Init.DeviceId) + "\\" + Narrow(child->Init.InstanceId);
                node->Pdo = child;
                installed = DriverFor(child->Init.HardwareIds);
                if (installed != nullptr && installed->ServesSerialPorts) {
                    portName = NextPortName();
                }
            }
            if (installed == nullptr) {
                return;  // no function driver for this child: it stays without one
            }
            if (!portName.empty()) {
                RegistrySetString(HardwareKeyPath(*node), "PortName", portName);
            }
            auto dev = std::make_unique<DeviceNode>(*installed->Driver, node);
            const NTSTATUS status = dev->Start();
            std::lock_guard<std::mutex> inner(Lock);
            Children.push_back({busNode, std::move(dev), status});
        });
    }
    Changed.notify_all();
}

void System::WorkerLoop()
{
    std::unique_lock<std::mutex> guard(Lock);
    for (;;) {
        Changed.wait(guard, [this] { return Stopping || (!Work.empty() && !StartsHeld); });
        if (Work.empty() || StartsHeld) {
            return;  // stopping; starts still held back never come
        }
        auto job = std::move(Work.front());
        Work.pop_front();
        WorkRunning = true;
        guard.unlock();
        job();
        guard.lock();
        WorkRunning = false;
        Changed.notify_all();
    }
}

bool System::WaitIdle(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A work item may report children, and starting a child may queue work:
    // wait until both workers are idle at once.
    for (int round = 0; round < 3; ++round) {
        if (!WaitForWorkItemsIdle(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()))) {
            return false;
        }
        std::unique_lock<std::mutex> guard(Lock);
        if (!Changed.wait_until(guard, deadline, [this] { return (Work.empty() || StartsHeld) && !WorkRunning; })) {
            return false;
        }
    }
    return true;
}

std::vector<WDFDEVICE> System::BusDevices()
{
    std::lock_guard<std::mutex> guard(Lock);
    std::vector<WDFDEVICE> devices;
    for (auto& entry : Buses) {
        devices.push_back(entry.Node->Device());
    }
    return devices;
}

void System::HoldChildStarts(bool hold)
{
    {
        std::lock_guard<std::mutex> guard(Lock);
        StartsHeld = hold;
    }
    Changed.notify_all();
}

std::vector<DeviceNode*> System::ChildNodes(DeviceNode& bus)
{
    std::lock_guard<std::mutex> guard(Lock);
    std::vector<DeviceNode*> nodes;
    for (auto& child : Children) {
        if (child.Bus == &bus && NT_SUCCESS(child.StartStatus)) {
            nodes.push_back(child.Node.get());
        }
    }
    return nodes;
}

std::vector<NTSTATUS> System::ChildStartResults(DeviceNode& bus)
{
    std::lock_guard<std::mutex> guard(Lock);
    std::vector<NTSTATUS> results;
    for (auto& child : Children) {
        if (child.Bus == &bus) {
            results.push_back(child.StartStatus);
        }
    }
    return results;
}

NTSTATUS System::Sleep(DeviceNode& bus)
{
    for (DeviceNode* child : ChildNodes(bus)) {
        child->Sleep();
    }
    return bus.Sleep();
}

NTSTATUS System::Resume(DeviceNode& bus)
{
    const NTSTATUS status = bus.Resume();
    for (DeviceNode* child : ChildNodes(bus)) {
        child->Resume();
    }
    return status;
}

// The device is gone before the system hears of it: the cable is pulled
// first, then the children and the bus are told, children first.
void System::SurpriseRemove(DeviceNode& bus)
{
    WaitIdle();
    if (bus.Physical().Usb) {
        bus.Physical().Usb->Unplug();
    }
    for (DeviceNode* child : ChildNodes(bus)) {
        child->SurpriseRemove();
    }
    bus.SurpriseRemove();
}

void System::RemoveChild(DeviceNode& child)
{
    child.Remove();
    std::lock_guard<std::mutex> guard(Lock);
    for (auto& entry : Children) {
        if (entry.Node.get() == &child) {
            entry.StartStatus = STATUS_DELETE_PENDING;  // no longer a working child
        }
    }
}

void System::RemoveChildren(DeviceNode& bus)
{
    std::vector<std::unique_ptr<DeviceNode>> removed;
    {
        std::lock_guard<std::mutex> guard(Lock);
        for (auto it = Children.begin(); it != Children.end();) {
            if (it->Bus == &bus) {
                removed.push_back(std::move(it->Node));
                it = Children.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& child : removed) {
        child->Remove();
        RegistryDeleteKey(HardwareKeyPath(child->Physical()));
    }
}

void System::Remove(DeviceNode& bus)
{
    WaitIdle();
    RemoveChildren(bus);
    bus.Remove();
    std::lock_guard<std::mutex> guard(Lock);
    for (auto it = Buses.begin(); it != Buses.end(); ++it) {
        if (it->Node.get() == &bus) {
            it->Physical->Usb->Unplug();
            Buses.erase(it);
            break;
        }
    }
}

} // namespace host
