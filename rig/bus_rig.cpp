#include "rig/bus_rig.h"

#include "host/usb/cable.h"

namespace rig {

BusRig::BusRig(host::UsbDeviceModel& model, PDRIVER_INITIALIZE driverEntry) : Model(model)
{
    Driver = driverEntry != nullptr ? host::LoadedDriver::Load("OmbrelBus", driverEntry, &LoadStatus)
                                    : host::LoadedDriver::LoadModule("OmbrelBus", OMBREL_BUS_MODULE, &LoadStatus);
    Physical = std::make_shared<host::PhysicalDevice>();
    Physical->Name = "\\Device\\USBPDO-0";
    Physical->Usb = std::make_shared<host::UsbConnection>(model);
    Physical->Usb->Plug();
    if (Driver) {
        DeviceNode = std::make_unique<host::DeviceNode>(*Driver, Physical);
    }
}

BusRig::~BusRig()
{
    DeviceNode.reset();
    Physical->Usb->Unplug();
    Driver.reset();
}

NTSTATUS BusRig::Start() { return DeviceNode ? DeviceNode->Start() : LoadStatus; }

WDFDEVICE BusRig::Device() const { return DeviceNode ? DeviceNode->Device() : nullptr; }

host::UsbConnection& BusRig::Connection() { return *Physical->Usb; }

uint8_t BusRig::ReaderEndpoint() const { return rig::ReaderEndpoint(Model); }

int BusRig::RunningReaders() { return Physical->Usb->RunningReaders(ReaderEndpoint()); }

std::vector<host::ChildIdentity> BusRig::Children() const
{
    return Device() != nullptr ? host::StaticChildrenOf(Device()) : std::vector<host::ChildIdentity>();
}

} // namespace rig
