#include "host/pnp/pnp.h"

#include "host/framework/io_queue.h"
#include "host/kernel/object_namespace.h"
#include "host/kernel/strings.h"
#include "host/usb/cable.h"
#include "host/verifier/verifier.h"

#include <dlfcn.h>

#include <chrono>
#include <thread>

namespace host {

namespace {

// The driver object that the DriverEntry now running created.
thread_local WDFDRIVER t_driverCreatedByEntry = nullptr;

std::mutex g_arrivalLock;
ChildArrivalHandler g_arrivalHandler;

} // namespace

void NoteDriverCreated(WDFDRIVER driver) { t_driverCreatedByEntry = driver; }

std::unique_ptr<LoadedDriver> LoadedDriver::Load(const std::string& serviceName, PDRIVER_INITIALIZE driverEntry,
                                                 NTSTATUS* status)
{
    t_driverCreatedByEntry = nullptr;
    std::u16string path = Widen("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName);
    UNICODE_STRING registryPath = CountedString(path);
    NTSTATUS result;
    {
        CallbackScope scope("DriverEntry", PASSIVE_LEVEL, false);
        result = driverEntry(nullptr, &registryPath);
    }
    if (status != nullptr) {
        *status = result;
    }
    WDFDRIVER created = t_driverCreatedByEntry;
    t_driverCreatedByEntry = nullptr;
    if (!NT_SUCCESS(result)) {
        // A failed DriverEntry unloads the driver; what it created goes with it.
        if (created != nullptr) {
            DeleteObject(FromAnyHandle(created, "driver unload"));
        }
        return nullptr;
    }
    if (created == nullptr) {
        Bugcheck("DriverEntry of %s succeeded without calling WdfDriverCreate", serviceName.c_str());
    }
    DriverFromHandle(created, "driver load")->ServiceName = serviceName;
    return std::unique_ptr<LoadedDriver>(new LoadedDriver(serviceName, created));
}

std::unique_ptr<LoadedDriver> LoadedDriver::LoadModule(const std::string& serviceName, const std::string& modulePath,
                                                      NTSTATUS* status)
{
    void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        Bugcheck("cannot load driver module %s: %s", modulePath.c_str(), dlerror());
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (entry == nullptr) {
        Bugcheck("driver module %s exports no DriverEntry", modulePath.c_str());
    }
    auto driver = Load(serviceName, entry, status);
    if (!driver) {
        dlclose(module);
        return nullptr;
    }
    driver->Module = module;
    return driver;
}

LoadedDriver::~LoadedDriver()
{
    Object* driver = FromAnyHandle(DriverHandle, "driver unload");
    for (Object* child : driver->ChildrenSnapshot()) {
        if (child->Type() == ObjectType::Device) {
            Bugcheck("driver %s unloaded while one of its devices still exists", ServiceName.c_str());
        }
    }
    DeleteObject(driver);
    if (Module != nullptr) {
        dlclose(Module);
    }
}

DeviceNode::DeviceNode(LoadedDriver& driver, std::shared_ptr<PhysicalDevice> node) : Driver(driver), PhysicalRecord(std::move(node))
{
}

DeviceNode::~DeviceNode()
{
    if (DeviceHandle != nullptr) {
        Remove();
    }
}

NTSTATUS DeviceNode::Start()
{
    std::lock_guard<std::mutex> guard(Transition);
    if (CurrentState != DeviceState::Absent) {
        Bugcheck("DeviceNode::Start on a node that was started before");
    }
    host::Driver* driver = DriverFromHandle(Driver.Handle(), "device add");
    PWDFDEVICE_INIT init = NewDeviceInit(Driver.Handle(), PhysicalRecord);
    NTSTATUS status;
    {
        CallbackScope scope("EvtDriverDeviceAdd", PASSIVE_LEVEL, false);
        status = driver->Config.EvtDriverDeviceAdd(Driver.Handle(), init);
    }
    // The device the add created, if any: the driver's only device on this node.
    // The driver also parents other objects (registry keys, say): the type
    // is checked before the cast.
    for (Object* child : driver->ChildrenSnapshot()) {
        if (child->Type() != ObjectType::Device) {
            continue;
        }
        auto* device = static_cast<host::FrameworkDevice*>(child);
        if (device->Init.Physical == PhysicalRecord) {
            DeviceHandle = device->Handle();
        }
    }
    if (init != nullptr && DeviceHandle == nullptr) {
        delete init;  // never consumed by WdfDeviceCreate: the framework frees it
    }
    if (!NT_SUCCESS(status)) {
        DeleteDevice();
        CurrentState = DeviceState::StartFailed;
        return status;
    }
    if (DeviceHandle == nullptr) {
        Bugcheck("EvtDriverDeviceAdd of %s returned success without creating a device", Driver.Name().c_str());
    }
    auto* device = DeviceFromHandle(DeviceHandle, "prepare hardware");
    if (auto prepare = device->Init.PnpPower.EvtDevicePrepareHardware) {
        CallbackScope scope("EvtDevicePrepareHardware", PASSIVE_LEVEL, false);
        status = prepare(DeviceHandle, nullptr, nullptr);
    }
    if (NT_SUCCESS(status)) {
        status = EnterD0(WdfPowerDeviceD3Final);
    }
    if (!NT_SUCCESS(status)) {
        DeleteDevice();
        CurrentState = DeviceState::StartFailed;
        return status;
    }
    CurrentState = DeviceState::Started;
    return STATUS_SUCCESS;
}

// Power-managed queues dispatch once D0 entry has succeeded, and stop before
// D0 exit runs.
NTSTATUS DeviceNode::EnterD0(WDF_POWER_DEVICE_STATE previous)
{
    auto* device = DeviceFromHandle(DeviceHandle, "D0 entry");
    NTSTATUS status = STATUS_SUCCESS;
    if (auto entry = device->Init.PnpPower.EvtDeviceD0Entry) {
        CallbackScope scope("EvtDeviceD0Entry", PASSIVE_LEVEL, false);
        status = entry(DeviceHandle, previous);
    }
    if (NT_SUCCESS(status)) {
        device->InD0 = true;
        PowerUpQueues(device);
    }
    return status;
}

void DeviceNode::LeaveD0(WDF_POWER_DEVICE_STATE target)
{
    auto* device = DeviceFromHandle(DeviceHandle, "D0 exit");
    PowerDownQueues(device);
    device->InD0 = false;
    if (auto exit = device->Init.PnpPower.EvtDeviceD0Exit) {
        CallbackScope scope("EvtDeviceD0Exit", PASSIVE_LEVEL, false);
        const NTSTATUS status = exit(DeviceHandle, target);
        if (!NT_SUCCESS(status)) {
            Bugcheck("EvtDeviceD0Exit of %s failed with 0x%08X; leaving D0 cannot fail", Driver.Name().c_str(),
                     static_cast<unsigned>(status));
        }
    }
}

NTSTATUS DeviceNode::Sleep()
{
    std::lock_guard<std::mutex> guard(Transition);
    if (CurrentState != DeviceState::Started) {
        Bugcheck("DeviceNode::Sleep on a device that is not in D0");
    }
    LeaveD0(WdfPowerDeviceD3);
    CurrentState = DeviceState::LowPower;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceNode::Resume()
{
    std::lock_guard<std::mutex> guard(Transition);
    if (CurrentState != DeviceState::LowPower) {
        Bugcheck("DeviceNode::Resume on a device that is not in low power");
    }
    const NTSTATUS status = EnterD0(WdfPowerDeviceD3);
    // A failed power-up leaves the device out of D0; the system then removes it.
    CurrentState = NT_SUCCESS(status) ? DeviceState::Started : DeviceState::StartFailed;
    return status;
}

NTSTATUS DeviceNode::StopAndRestart()
{
    std::lock_guard<std::mutex> guard(Transition);
    if (CurrentState != DeviceState::Started) {
        Bugcheck("DeviceNode::StopAndRestart on a device that is not in D0");
    }
    LeaveD0(WdfPowerDeviceD3);
    auto* device = DeviceFromHandle(DeviceHandle, "restart");
    if (auto release = device->Init.PnpPower.EvtDeviceReleaseHardware) {
        CallbackScope scope("EvtDeviceReleaseHardware", PASSIVE_LEVEL, false);
        release(DeviceHandle, nullptr);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (auto prepare = device->Init.PnpPower.EvtDevicePrepareHardware) {
        CallbackScope scope("EvtDevicePrepareHardware", PASSIVE_LEVEL, false);
        status = prepare(DeviceHandle, nullptr, nullptr);
    }
    if (NT_SUCCESS(status)) {
        status = EnterD0(WdfPowerDeviceD3);
    }
    CurrentState = NT_SUCCESS(status) ? DeviceState::Started : DeviceState::StartFailed;
    return status;
}

void DeviceNode::SurpriseRemove()
{
    std::lock_guard<std::mutex> guard(Transition);
    if (PhysicalRecord->Usb) {
        PhysicalRecord->Usb->Unplug();
    }
    if (DeviceHandle != nullptr) {
        auto* device = DeviceFromHandle(DeviceHandle, "surprise removal");
        device->Removed = true;
        PurgeQueues(device);
    }
    if (CurrentState == DeviceState::Started) {
        LeaveD0(WdfPowerDeviceD3Final);
    }
    if (DeviceHandle != nullptr) {
        auto* device = DeviceFromHandle(DeviceHandle, "surprise removal");
        if (auto surprise = device->Init.PnpPower.EvtDeviceSurpriseRemoval) {
            CallbackScope scope("EvtDeviceSurpriseRemoval", PASSIVE_LEVEL, false);
            surprise(DeviceHandle);
        }
    }
    CurrentState = DeviceState::SurpriseRemoved;
}

// The framework purges the device's queues and waits until the driver has
// completed every request it holds before the device goes.
void DeviceNode::Remove()
{
    std::lock_guard<std::mutex> guard(Transition);
    if (DeviceHandle != nullptr) {
        auto* device = DeviceFromHandle(DeviceHandle, "removal");
        device->Removed = true;
        PurgeQueues(device);
        // The system removes a device only once every handle to it is closed.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (device->OpenHandles > 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                Bugcheck("device of %s removed while an application still holds a handle to it",
                         Driver.Name().c_str());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        WaitForDriverRequests(device, "device removal");
    }
    if (CurrentState == DeviceState::Started) {
        LeaveD0(WdfPowerDeviceD3Final);
    }
    DeleteDevice();
    CurrentState = DeviceState::Removed;
}

void DeviceNode::DeleteDevice()
{
    if (DeviceHandle == nullptr) {
        return;
    }
    auto* device = DeviceFromHandle(DeviceHandle, "device removal");
    RemoveNamesOf(device);
    DeleteObject(device);
    DeviceHandle = nullptr;
}

void NotifyChildArrived(FrameworkDevice* bus, FrameworkDevice* child)
{
    ChildArrivalHandler handler;
    {
        std::lock_guard<std::mutex> guard(g_arrivalLock);
        handler = g_arrivalHandler;
    }
    if (handler) {
        handler(bus, child);
    }
}

void SetChildArrivalHandler(ChildArrivalHandler handler)
{
    std::lock_guard<std::mutex> guard(g_arrivalLock);
    g_arrivalHandler = std::move(handler);
}

} // namespace host
