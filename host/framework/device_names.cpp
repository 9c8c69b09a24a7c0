// How a device is named: its symbolic links and device interfaces in the
// object namespace, and the name of its physical device object.
#include "host/framework/creation.h"
#include "host/framework/device.h"
#include "host/framework/memory.h"
#include "host/kernel/object_namespace.h"
#include "host/kernel/strings.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <algorithm>

extern "C" NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName)
{
    host::RequirePassive("WdfDeviceCreateSymbolicLink");
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceCreateSymbolicLink");
    if (auto failure = host::InjectedFailure("WdfDeviceCreateSymbolicLink")) {
        return *failure;
    }
    return host::CreateSymbolicLink(host::Narrow(SymbolicLinkName), device);
}

extern "C" NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                   PCUNICODE_STRING ReferenceString)
{
    host::RequirePassive("WdfDeviceCreateDeviceInterface");
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceCreateDeviceInterface");
    if (auto failure = host::InjectedFailure("WdfDeviceCreateDeviceInterface")) {
        return *failure;
    }
    host::RegisterDeviceInterface({*InterfaceClassGUID, host::Narrow(ReferenceString), device});
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfDeviceAllocAndQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                                   POOL_TYPE PoolType, PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes,
                                                   WDFMEMORY* PropertyMemory)
{
    UNREFERENCED_PARAMETER(PoolType);
    *PropertyMemory = nullptr;
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceAllocAndQueryProperty");
    if (DeviceProperty != DevicePropertyPhysicalDeviceObjectName) {
        host::Bugcheck("WdfDeviceAllocAndQueryProperty: only the physical device object's name is modelled");
    }
    if (NTSTATUS failed = host::BeginCreation("WdfDeviceAllocAndQueryProperty", PASSIVE_LEVEL); !NT_SUCCESS(failed)) {
        return failed;
    }
    if (!device->Init.Physical || device->Init.Physical->Name.empty()) {
        host::EndCreation("WdfDeviceAllocAndQueryProperty");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const std::u16string name = host::Widen(device->Init.Physical->Name);
    host::Memory* memory;
    NTSTATUS status = host::FinishCreation("WdfDeviceAllocAndQueryProperty", PropertyMemoryAttributes, device->Parent(),
                                           &memory, [&name](host::Object* parent) {
                                               return new host::Memory(parent, (name.size() + 1) * sizeof(WCHAR));
                                           });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::copy(name.begin(), name.end(), reinterpret_cast<char16_t*>(memory->Bytes.data()));
    *PropertyMemory = memory->Handle();
    return STATUS_SUCCESS;
}
