#include "host/device.h"

#include "host/faults.h"
#include "host/verifier.h"

namespace host {

Device* DeviceFromHandle(WDFDEVICE device, const char* operation)
{
    return FromHandleAs<Device>(device, ObjectType::Device, operation);
}

Driver* DriverFromHandle(WDFDRIVER driver, const char* operation)
{
    return FromHandleAs<Driver>(driver, ObjectType::Driver, operation);
}

PWDFDEVICE_INIT NewDeviceInit(WDFDRIVER driver, std::shared_ptr<DeviceNode> node)
{
    auto* init = new WDFDEVICE_INIT();
    init->OwningDriver = DriverFromHandle(driver, "device add");
    init->Node = std::move(node);
    return init;
}

} // namespace host

namespace {

void CheckInit(PWDFDEVICE_INIT DeviceInit, const char* operation)
{
    host::RequirePassive(operation);
    if (DeviceInit == nullptr) {
        host::Bugcheck("%s: NULL PWDFDEVICE_INIT", operation);
    }
}

} // namespace

extern "C" NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                    PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                                    WDFDRIVER* Driver)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    host::RequirePassive("WdfDriverCreate");
    if (Driver != nullptr) {
        *Driver = nullptr;
    }
    if (DriverConfig == nullptr || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        host::Bugcheck("WdfDriverCreate: WDF_DRIVER_CONFIG not initialised with WDF_DRIVER_CONFIG_INIT");
    }
    if (auto failure = host::InjectedFailure("WdfDriverCreate")) {
        return *failure;
    }
    auto* driver = new host::Driver(*DriverConfig);
    driver->ApplyAttributes(DriverAttributes, "WdfDriverCreate");
    if (Driver != nullptr) {
        *Driver = reinterpret_cast<WDFDRIVER>(driver);
    }
    return STATUS_SUCCESS;
}

extern "C" VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, ULONG DeviceType)
{
    CheckInit(DeviceInit, "WdfDeviceInitSetDeviceType");
    DeviceInit->DeviceType = DeviceType;
}

extern "C" VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
{
    CheckInit(DeviceInit, "WdfDeviceInitSetExclusive");
    DeviceInit->Exclusive = IsExclusive != FALSE;
}

extern "C" VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                       PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    CheckInit(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks");
    if (PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        host::Bugcheck("WdfDeviceInitSetPnpPowerEventCallbacks: record not initialised with its INIT function");
    }
    DeviceInit->PnpPower = *PnpPowerEventCallbacks;
}

extern "C" VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                                 PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    UNREFERENCED_PARAMETER(FileObjectAttributes);
    CheckInit(DeviceInit, "WdfDeviceInitSetFileObjectConfig");
    if (FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        host::Bugcheck("WdfDeviceInitSetFileObjectConfig: record not initialised with WDF_FILEOBJECT_CONFIG_INIT");
    }
    DeviceInit->FileObject = *FileObjectConfig;
    DeviceInit->HasFileObjectConfig = true;
}

extern "C" VOID WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit)
{
    CheckInit(DeviceInit, "WdfDeviceInitFree");
    if (DeviceInit->ParentBus == nullptr) {
        host::Bugcheck("WdfDeviceInitFree on a record the framework gave to device add; only a child's record "
                       "from WdfPdoInitAllocate is the driver's to free");
    }
    delete DeviceInit;
}

extern "C" NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                    WDFDEVICE* Device)
{
    host::RequirePassive("WdfDeviceCreate");
    *Device = nullptr;
    if (DeviceInit == nullptr || *DeviceInit == nullptr) {
        host::Bugcheck("WdfDeviceCreate: no initialisation record (already consumed by an earlier WdfDeviceCreate?)");
    }
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        host::Bugcheck("WdfDeviceCreate: a device has no parent object of the driver's choosing");
    }
    if (auto failure = host::InjectedFailure("WdfDeviceCreate")) {
        return *failure;
    }
    PWDFDEVICE_INIT init = *DeviceInit;
    host::Object* parent = init->ParentBus != nullptr
        ? static_cast<host::Object*>(host::DeviceFromHandle(init->ParentBus, "WdfDeviceCreate"))
        : static_cast<host::Object*>(init->OwningDriver);
    auto* device = new host::Device(parent, std::move(*init));
    device->ApplyAttributes(DeviceAttributes, "WdfDeviceCreate");
    // The record now belongs to the device; the caller's pointer is cleared as
    // the framework clears it, so a later free would be caught.
    delete init;
    *DeviceInit = nullptr;
    *Device = device->Handle();
    return STATUS_SUCCESS;
}
