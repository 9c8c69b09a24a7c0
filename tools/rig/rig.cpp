#include "tools/rig/rig.h"

#include "tools/rig/windows_inf.h"

#include "host/kernel/registry.h"
#include "host/kernel/strings.h"
#include "host/usb/usb.h"

namespace rig {

std::string BridgeHardwareId()
{
    const auto ids = PackageHardwareIds("OmbrelBus");
    return ids.empty() ? std::string() : ids.front();
}

BridgeRig::BridgeRig()
{
    // Each driver serves the hardware IDs its INF names, as on Windows.
    StartStatus = System.InstallDriverModule("OmbrelBus", OMBREL_BUS_MODULE, PackageHardwareIds("OmbrelBus"));
    if (NT_SUCCESS(StartStatus)) {
        StartStatus =
            System.InstallDriverModule("OmbrelPort", OMBREL_PORT_MODULE, PackageHardwareIds("OmbrelPort"), true);
    }
    if (NT_SUCCESS(StartStatus)) {
        Bus = &System.PlugUsbDevice(Model, "OmbrelBus", &StartStatus);
        Settle();
    }
}

BridgeRig::~BridgeRig()
{
    if (Bus != nullptr) {
        System.Remove(*Bus);
    }
}

void BridgeRig::Settle()
{
    if (Bus != nullptr && !Gone) {
        Bus->Physical().Usb->WaitInIdle(0x81);
    }
    System.WaitIdle();
}

void BridgeRig::SurpriseRemove()
{
    if (Bus != nullptr && !Gone) {
        System.SurpriseRemove(*Bus);
        Gone = true;
    }
}

std::vector<PortView> BridgeRig::Ports()
{
    std::vector<PortView> ports;
    if (Bus == nullptr || Bus->Device() == nullptr) {
        return ports;
    }
    const auto working = System.ChildNodes(*Bus);
    for (const auto& child : host::StaticChildrenOf(Bus->Device())) {
        PortView view;
        view.Index = static_cast<unsigned>(child.Capabilities.Address);
        view.Description = child.Description;
        view.Location = child.Location;
        view.HardwareId = child.HardwareIds.empty() ? std::string() : child.HardwareIds.front();
        view.Working = false;
        for (host::DeviceNode* node : working) {
            if (node->Physical().Pdo != nullptr && node->Physical().Pdo->Handle() == child.Device) {
                view.Working = node->Device() != nullptr;
                view.ComName = host::RegistryGetString(host::HardwareKeyPath(node->Physical()), "PortName").value_or("");
            }
        }
        ports.push_back(view);
    }
    return ports;
}

} // namespace rig
