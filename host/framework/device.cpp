#include "host/framework/device.h"

#include "host/framework/creation.h"
#include "host/kernel/strings.h"
#include "host/pnp/pnp.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <atomic>
#include <cstring>

namespace {
std::atomic<int> g_liveDeviceInits{0};
} // namespace

void* WDFDEVICE_INIT::operator new(size_t size)
{
    g_liveDeviceInits++;
    return ::operator new(size);
}

void WDFDEVICE_INIT::operator delete(void* record)
{
    g_liveDeviceInits--;
    ::operator delete(record);
}

namespace host {

int LiveDeviceInitCount() { return g_liveDeviceInits.load(); }

FrameworkDevice* DeviceFromHandle(WDFDEVICE device, const char* operation)
{
    return FromHandleAs<FrameworkDevice>(device, ObjectType::Device, operation);
}

Driver* DriverFromHandle(WDFDRIVER driver, const char* operation)
{
    return FromHandleAs<Driver>(driver, ObjectType::Driver, operation);
}

PWDFDEVICE_INIT NewDeviceInit(WDFDRIVER driver, std::shared_ptr<PhysicalDevice> node)
{
    auto* init = new WDFDEVICE_INIT();
    init->OwningDriver = DriverFromHandle(driver, "device add");
    init->Physical = std::move(node);
    return init;
}

PWDFDEVICE_INIT NewChildInit(FrameworkDevice* parent)
{
    auto* init = new WDFDEVICE_INIT();
    init->OwningDriver = DriverFromHandle(reinterpret_cast<WDFDRIVER>(parent->Parent()), "WdfPdoInitAllocate");
    init->ParentBus = parent->Handle();
    init->Physical = std::make_shared<PhysicalDevice>();
    return init;
}

Object* DeviceParentOf(const WDFDEVICE_INIT& init)
{
    if (init.ParentBus != nullptr) {
        return DeviceFromHandle(init.ParentBus, "WdfDeviceCreate");
    }
    return init.OwningDriver;
}

namespace {

void NoInterfaceReference(PVOID) {}

} // namespace

void FrameworkDevice::OnCreated()
{
    if (IsPdo()) {
        Init.Physical->Pdo = this;
    }
}

void FrameworkDevice::PublishInterface(const GUID& type, const INTERFACE& record)
{
    PublishedInterface published;
    published.Type = type;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    published.Record.assign(bytes, bytes + record.Size);
    auto* header = reinterpret_cast<INTERFACE*>(published.Record.data());
    if (header->InterfaceReference == nullptr) {
        header->InterfaceReference = NoInterfaceReference;
    }
    if (header->InterfaceDereference == nullptr) {
        header->InterfaceDereference = NoInterfaceReference;
    }
    QueryInterfaces.push_back(std::move(published));
}

NTSTATUS FrameworkDevice::AnswerQueryInterface(const GUID& type, PINTERFACE buffer, USHORT size, USHORT version) const
{
    for (const auto& published : QueryInterfaces) {
        if (!IsEqualGUID(published.Type, type)) {
            continue;
        }
        const auto* header = reinterpret_cast<const INTERFACE*>(published.Record.data());
        if (header->Size > size || header->Version > version) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        std::memcpy(buffer, published.Record.data(), published.Record.size());
        // The framework references the interface before it hands it out, so
        // the requester owns one reference and releases it with
        // InterfaceDereference (fxpkgpnp.cpp, FxPkgPnp::HandleQueryInterface
        // calls InterfaceReference on the copy it returns).
        if (buffer->InterfaceReference != nullptr) {
            buffer->InterfaceReference(buffer->Context);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS FrameworkDevice::QueryInterfaceBelow(const GUID& type, PINTERFACE buffer, USHORT size, USHORT version) const
{
    if (!Init.Physical || Init.Physical->Pdo == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    return Init.Physical->Pdo->AnswerQueryInterface(type, buffer, size, version);
}

void FrameworkDevice::SetCapabilities(const WDF_DEVICE_PNP_CAPABILITIES& capabilities)
{
    Capabilities = capabilities;
    HasCapabilities = true;
}

void FrameworkDevice::AddStaticChild(FrameworkDevice* child)
{
    child->AddedAsStaticChild = true;
    {
        std::lock_guard<std::mutex> guard(StaticChildrenLock);
        StaticChildren.push_back(child);
    }
    NotifyChildArrived(this, child);
}

std::vector<FrameworkDevice*> FrameworkDevice::StaticChildrenInOrder()
{
    std::lock_guard<std::mutex> guard(StaticChildrenLock);
    return StaticChildren;
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
    if (Driver != nullptr) {
        *Driver = nullptr;
    }
    if (DriverConfig == nullptr || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        host::Bugcheck("WdfDriverCreate: WDF_DRIVER_CONFIG not initialised with WDF_DRIVER_CONFIG_INIT");
    }
    if (NTSTATUS failed = host::BeginCreation("WdfDriverCreate", PASSIVE_LEVEL); !NT_SUCCESS(failed)) {
        return failed;
    }
    if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr) {
        host::Bugcheck("WdfDriverCreate: a driver object has no parent");
    }
    host::Driver* driver;
    NTSTATUS status = host::FinishCreation("WdfDriverCreate", DriverAttributes, nullptr, &driver,
                                           [DriverConfig](host::Object*) { return new host::Driver(*DriverConfig); });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Driver != nullptr) {
        *Driver = reinterpret_cast<WDFDRIVER>(driver);
    }
    host::NoteDriverCreated(reinterpret_cast<WDFDRIVER>(driver));
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

extern "C" VOID WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes)
{
    CheckInit(DeviceInit, "WdfDeviceInitSetRequestAttributes");
    if (RequestAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        host::Bugcheck("WdfDeviceInitSetRequestAttributes: attributes not initialised with WDF_OBJECT_ATTRIBUTES_INIT");
    }
    if (RequestAttributes->ParentObject != nullptr || RequestAttributes->EvtCleanupCallback != nullptr ||
        RequestAttributes->EvtDestroyCallback != nullptr) {
        host::Bugcheck("WdfDeviceInitSetRequestAttributes: only a context type is modelled");
    }
    DeviceInit->RequestAttributes = *RequestAttributes;
    DeviceInit->HasRequestAttributes = true;
}

extern "C" NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(PWDFDEVICE_INIT DeviceInit,
                                                                PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
                                                                UCHAR MajorFunction, PUCHAR MinorFunctions,
                                                                ULONG NumMinorFunctions)
{
    UNREFERENCED_PARAMETER(MinorFunctions);
    CheckInit(DeviceInit, "WdfDeviceInitAssignWdmIrpPreprocessCallback");
    if (MajorFunction != IRP_MJ_FLUSH_BUFFERS || NumMinorFunctions != 0 || EvtDeviceWdmIrpPreprocess == nullptr) {
        host::Bugcheck("WdfDeviceInitAssignWdmIrpPreprocessCallback: only a flush preprocessor is modelled");
    }
    // The framework allocates a record per major function it preprocesses
    // (fxdeviceinitapi.cpp, WdfDeviceInitAssignWdmIrpPreprocessCallback: new
    // FxIrpPreprocessInfo), so the call can fail.
    if (auto failure = host::InjectedFailure("WdfDeviceInitAssignWdmIrpPreprocessCallback")) {
        return *failure;
    }
    DeviceInit->FlushPreprocess = EvtDeviceWdmIrpPreprocess;
    return STATUS_SUCCESS;
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
    *Device = nullptr;
    if (DeviceInit == nullptr || *DeviceInit == nullptr) {
        host::Bugcheck("WdfDeviceCreate: no initialisation record (already consumed by an earlier WdfDeviceCreate?)");
    }
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        host::Bugcheck("WdfDeviceCreate: a device has no parent object of the driver's choosing");
    }
    if (NTSTATUS failed = host::BeginCreation("WdfDeviceCreate", PASSIVE_LEVEL); !NT_SUCCESS(failed)) {
        return failed;
    }
    PWDFDEVICE_INIT init = *DeviceInit;
    host::Object* parent = host::DeviceParentOf(*init);
    if (init->ParentBus != nullptr && init->DeviceId.empty()) {
        host::EndCreation("WdfDeviceCreate");
        return STATUS_INVALID_DEVICE_STATE;  // a child needs its device ID before it can exist
    }
    host::FrameworkDevice* device;
    NTSTATUS status = host::FinishCreation("WdfDeviceCreate", DeviceAttributes, parent, &device,
                                           [init](host::Object* owner) {
                                               return new host::FrameworkDevice(owner, std::move(*init));
                                           });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->OnCreated();
    // The record now belongs to the device; the caller's pointer is cleared as
    // the framework clears it, so a later free would be caught.
    delete init;
    *DeviceInit = nullptr;
    *Device = device->Handle();
    return STATUS_SUCCESS;
}

namespace {

// Copies of the text a child's identity holds; the framework copies what it keeps.
NTSTATUS CopyString(PCUNICODE_STRING source, std::u16string& destination, const char* operation)
{
    host::RequirePassive(operation);
    if (auto failure = host::InjectedFailure(operation)) {
        return *failure;
    }
    if (source == nullptr || source->Buffer == nullptr || source->Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    destination = host::WideFrom(source);
    return STATUS_SUCCESS;
}

void CheckPdoInit(PWDFDEVICE_INIT DeviceInit, const char* operation)
{
    CheckInit(DeviceInit, operation);
    if (DeviceInit->ParentBus == nullptr) {
        host::Bugcheck("%s on a record that WdfPdoInitAllocate did not return", operation);
    }
}

} // namespace

extern "C" PWDFDEVICE_INIT WdfPdoInitAllocate(WDFDEVICE ParentDevice)
{
    host::FrameworkDevice* parent = host::DeviceFromHandle(ParentDevice, "WdfPdoInitAllocate");
    if (parent->IsPdo()) {
        host::Bugcheck("WdfPdoInitAllocate: the parent is itself a child device, not a bus's function device");
    }
    if (!NT_SUCCESS(host::BeginCreation("WdfPdoInitAllocate", PASSIVE_LEVEL))) {
        return nullptr;
    }
    PWDFDEVICE_INIT init = host::NewChildInit(parent);
    host::EndCreation("WdfPdoInitAllocate");
    return init;
}

extern "C" NTSTATUS WdfPdoInitAssignDeviceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceID)
{
    CheckPdoInit(DeviceInit, "WdfPdoInitAssignDeviceID");
    return CopyString(DeviceID, DeviceInit->DeviceId, "WdfPdoInitAssignDeviceID");
}

extern "C" NTSTATUS WdfPdoInitAddHardwareID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING HardwareID)
{
    CheckPdoInit(DeviceInit, "WdfPdoInitAddHardwareID");
    std::u16string id;
    const NTSTATUS status = CopyString(HardwareID, id, "WdfPdoInitAddHardwareID");
    if (NT_SUCCESS(status)) {
        DeviceInit->HardwareIds.push_back(id);
    }
    return status;
}

extern "C" NTSTATUS WdfPdoInitAssignInstanceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING InstanceID)
{
    CheckPdoInit(DeviceInit, "WdfPdoInitAssignInstanceID");
    return CopyString(InstanceID, DeviceInit->InstanceId, "WdfPdoInitAssignInstanceID");
}

extern "C" NTSTATUS WdfPdoInitAddDeviceText(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceDescription,
                                            PCUNICODE_STRING DeviceLocation, LCID LocaleId)
{
    CheckPdoInit(DeviceInit, "WdfPdoInitAddDeviceText");
    WDFDEVICE_INIT::Text text;
    text.Locale = LocaleId;
    NTSTATUS status = CopyString(DeviceDescription, text.Description, "WdfPdoInitAddDeviceText");
    if (NT_SUCCESS(status)) {
        text.Location = host::WideFrom(DeviceLocation);
        DeviceInit->Texts.push_back(text);
    }
    return status;
}

extern "C" VOID WdfPdoInitSetDefaultLocale(PWDFDEVICE_INIT DeviceInit, LCID LocaleId)
{
    CheckPdoInit(DeviceInit, "WdfPdoInitSetDefaultLocale");
    DeviceInit->DefaultLocale = LocaleId;
}

extern "C" NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE Device, PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig)
{
    host::RequirePassive("WdfDeviceAddQueryInterface");
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceAddQueryInterface");
    if (InterfaceConfig == nullptr || InterfaceConfig->Size != sizeof(WDF_QUERY_INTERFACE_CONFIG) ||
        InterfaceConfig->InterfaceType == nullptr) {
        host::Bugcheck("WdfDeviceAddQueryInterface: configuration not initialised with WDF_QUERY_INTERFACE_CONFIG_INIT");
    }
    if (InterfaceConfig->ImportInterface || InterfaceConfig->SendQueryToParentStack ||
        InterfaceConfig->EvtDeviceProcessQueryInterfaceRequest != nullptr || InterfaceConfig->Interface == nullptr) {
        host::Bugcheck("WdfDeviceAddQueryInterface: only an interface answered by a copy of the record is modelled");
    }
    if (InterfaceConfig->Interface->Size < sizeof(INTERFACE)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = host::InjectedFailure("WdfDeviceAddQueryInterface")) {
        return *failure;
    }
    device->PublishInterface(*InterfaceConfig->InterfaceType, *InterfaceConfig->Interface);
    return STATUS_SUCCESS;
}

extern "C" VOID WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities)
{
    host::RequirePassive("WdfDeviceSetPnpCapabilities");
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceSetPnpCapabilities");
    if (PnpCapabilities == nullptr || PnpCapabilities->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES)) {
        host::Bugcheck("WdfDeviceSetPnpCapabilities: record not initialised with WDF_DEVICE_PNP_CAPABILITIES_INIT");
    }
    device->SetCapabilities(*PnpCapabilities);
}

extern "C" NTSTATUS WdfFdoAddStaticChild(WDFDEVICE Fdo, WDFDEVICE Child)
{
    host::RequirePassive("WdfFdoAddStaticChild");
    host::FrameworkDevice* fdo = host::DeviceFromHandle(Fdo, "WdfFdoAddStaticChild");
    host::FrameworkDevice* child = host::DeviceFromHandle(Child, "WdfFdoAddStaticChild");
    if (child->Init.ParentBus != Fdo) {
        host::Bugcheck("WdfFdoAddStaticChild: the child was not allocated on this device");
    }
    if (child->AddedAsStaticChild) {
        host::Bugcheck("WdfFdoAddStaticChild: the child was added before");
    }
    if (auto failure = host::InjectedFailure("WdfFdoAddStaticChild")) {
        return *failure;
    }
    fdo->AddStaticChild(child);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface, USHORT Size,
                                            USHORT Version, PVOID InterfaceSpecificData)
{
    host::RequirePassive("WdfFdoQueryForInterface");
    host::FrameworkDevice* fdo = host::DeviceFromHandle(Fdo, "WdfFdoQueryForInterface");
    if (InterfaceSpecificData != nullptr) {
        host::Bugcheck("WdfFdoQueryForInterface: interface-specific data is not modelled");
    }
    if (auto failure = host::InjectedFailure("WdfFdoQueryForInterface")) {
        return *failure;
    }
    return fdo->QueryInterfaceBelow(*InterfaceType, Interface, Size, Version);
}

namespace host {

std::vector<ChildIdentity> StaticChildrenOf(WDFDEVICE fdo)
{
    std::vector<ChildIdentity> children;
    FrameworkDevice* bus = DeviceFromHandle(fdo, "StaticChildrenOf");
    for (FrameworkDevice* child : bus->StaticChildrenInOrder()) {
        ChildIdentity identity;
        identity.Device = child->Handle();
        identity.Parent = child->Init.ParentBus;
        identity.DeviceType = child->Init.DeviceType;
        identity.DeviceId = Narrow(child->Init.DeviceId);
        for (const auto& id : child->Init.HardwareIds) {
            identity.HardwareIds.push_back(Narrow(id));
        }
        identity.InstanceId = Narrow(child->Init.InstanceId);
        if (!child->Init.Texts.empty()) {
            identity.Description = Narrow(child->Init.Texts.front().Description);
            identity.Location = Narrow(child->Init.Texts.front().Location);
            identity.TextLocale = child->Init.Texts.front().Locale;
        }
        identity.DefaultLocale = child->Init.DefaultLocale;
        identity.Capabilities = child->Capabilities;
        children.push_back(identity);
    }
    return children;
}

} // namespace host
