// Drivers, device-initialisation records and framework devices.
#pragma once

#include "host/framework/object.h"
#include "host/usb/device_model.h"

#include <wdf.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace host {

class UsbConnection;

// A device as the system's PnP manager knows it, before any driver is loaded
// on it: what it is plugged into and what it reports.
struct PhysicalDevice {
    std::string Name;                               // the physical device object's name
    std::shared_ptr<UsbConnection> Usb;             // set for a USB function
    class FrameworkDevice* Pdo = nullptr;           // set for a bus driver's child: the device that enumerated it
    std::string InstancePath;                       // e.g. "OMBREL\PORT_03\03": where its registry keys live
};

class Driver final : public Object {
public:
    explicit Driver(const WDF_DRIVER_CONFIG& config) : Object(ObjectType::Driver, nullptr), Config(config) {}
    WDF_DRIVER_CONFIG Config;
    std::string ServiceName;
};

} // namespace host

// The record a device add receives. The framework's is opaque; the stand-in's
// keeps what the Init calls set until WdfDeviceCreate takes it.
struct WDFDEVICE_INIT {
    // Records handed out on the heap are counted, so a test sees one that was
    // neither consumed by WdfDeviceCreate nor freed.
    static void* operator new(size_t size);
    static void operator delete(void* record);

    host::Driver* OwningDriver = nullptr;
    std::shared_ptr<host::PhysicalDevice> Physical;
    WDFDEVICE ParentBus = nullptr;                 // set for a child allocated with WdfPdoInitAllocate
    ULONG DeviceType = 0;
    bool Exclusive = false;
    WDF_PNPPOWER_EVENT_CALLBACKS PnpPower{};
    WDF_FILEOBJECT_CONFIG FileObject{};
    bool HasFileObjectConfig = false;
    WDF_OBJECT_ATTRIBUTES RequestAttributes{};
    bool HasRequestAttributes = false;
    PFN_WDFDEVICE_WDM_IRP_PREPROCESS FlushPreprocess = nullptr;  // the only major function modelled
    std::u16string DeviceId;
    std::vector<std::u16string> HardwareIds;
    std::u16string InstanceId;
    struct Text {
        std::u16string Description;
        std::u16string Location;
        LCID Locale;
    };
    std::vector<Text> Texts;
    LCID DefaultLocale = 0;
};

namespace host {

class FrameworkDevice final : public Object {
public:
    FrameworkDevice(Object* parent, WDFDEVICE_INIT&& init) : Object(ObjectType::Device, parent), Init(std::move(init)) {}
    WDFDEVICE Handle() { return reinterpret_cast<WDFDEVICE>(this); }
    bool IsPdo() const { return Init.ParentBus != nullptr; }

    // A child's device, once created, is what its physical device reports.
    void OnCreated();
    // Keeps a copy of `record` to answer query-interface requests for `type`.
    void PublishInterface(const GUID& type, const INTERFACE& record);
    // Answers a query-interface request sent to this (child) device.
    NTSTATUS AnswerQueryInterface(const GUID& type, PINTERFACE buffer, USHORT size, USHORT version) const;
    // Sends a query-interface request down to the device this one's stack sits on.
    NTSTATUS QueryInterfaceBelow(const GUID& type, PINTERFACE buffer, USHORT size, USHORT version) const;
    void SetCapabilities(const WDF_DEVICE_PNP_CAPABILITIES& capabilities);
    // Reports `child` to the PnP manager as this bus's static child.
    void AddStaticChild(FrameworkDevice* child);
    std::vector<FrameworkDevice*> StaticChildrenInOrder();

    WDFDEVICE_INIT Init;
    struct PublishedInterface {
        GUID Type;
        std::vector<unsigned char> Record;  // the INTERFACE-headed record, as published
    };
    std::vector<PublishedInterface> QueryInterfaces;
    WDF_DEVICE_PNP_CAPABILITIES Capabilities{};
    bool HasCapabilities = false;
    bool AddedAsStaticChild = false;
    std::mutex StaticChildrenLock;        // the enumeration adds while others look
    std::vector<FrameworkDevice*> StaticChildren;  // in the order they were added

    // Kept by the PnP and I/O managers.
    std::atomic<int> OpenHandles{0};
    std::atomic<bool> InD0{false};
    std::atomic<bool> Removed{false};  // removal began: no new open, no new request
};

// What the system shows for a device a bus driver enumerated.
struct ChildIdentity {
    WDFDEVICE Device = nullptr;
    WDFDEVICE Parent = nullptr;
    ULONG DeviceType = 0;
    std::string DeviceId;
    std::vector<std::string> HardwareIds;
    std::string InstanceId;
    std::string Description;
    std::string Location;
    LCID TextLocale = 0;
    LCID DefaultLocale = 0;
    WDF_DEVICE_PNP_CAPABILITIES Capabilities{};
};
std::vector<ChildIdentity> StaticChildrenOf(WDFDEVICE fdo);

FrameworkDevice* DeviceFromHandle(WDFDEVICE device, const char* operation);
Driver* DriverFromHandle(WDFDRIVER driver, const char* operation);

// Initialisation records allocated and not yet consumed or freed.
int LiveDeviceInitCount();

// A new initialisation record for a device add of `driver` on `node`, as the
// PnP manager hands it to EvtDriverDeviceAdd.
PWDFDEVICE_INIT NewDeviceInit(WDFDRIVER driver, std::shared_ptr<PhysicalDevice> node);
// A new record for a child of the bus device `parent`, as WdfPdoInitAllocate returns it.
PWDFDEVICE_INIT NewChildInit(FrameworkDevice* parent);
// The object a device made from `init` is the child of: its bus device or its driver.
Object* DeviceParentOf(const WDFDEVICE_INIT& init);

} // namespace host
