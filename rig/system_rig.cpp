#include "rig/system_rig.h"

#include "rig/windows_inf.h"

#include "host/kernel/registry.h"
#include "host/kernel/strings.h"
#include "host/usb/cable.h"

#include <algorithm>

namespace rig {

SystemRig::SystemRig(SystemOptions options) : Options(std::move(options))
{
    // Each driver serves the hardware IDs its INF names, as on Windows.
    const auto busIds = PackageHardwareIds("OmbrelBus");
    const auto portIds = PackageHardwareIds("OmbrelPort");
    if (busIds.empty() || portIds.empty()) {
        InstallStatus = STATUS_NOT_FOUND;
    } else {
        InstallStatus = Options.BusDriverEntry != nullptr
                            ? System.InstallDriver("OmbrelBus", Options.BusDriverEntry, busIds)
                            : System.InstallDriverModule("OmbrelBus", OMBREL_BUS_MODULE, busIds);
    }
    if (NT_SUCCESS(InstallStatus)) {
        InstallStatus = System.InstallDriverModule("OmbrelPort", OMBREL_PORT_MODULE, portIds, true);
    }
    if (Options.PlugIn) {
        Plug();
    }
}

SystemRig::~SystemRig() { Remove(); }

NTSTATUS SystemRig::Plug()
{
    if (!NT_SUCCESS(InstallStatus)) {
        return StartStatus = InstallStatus;
    }
    System.SetPortNames(Options.PortNames);
    Gone = false;
    host::UsbDeviceModel& device = Options.Device != nullptr ? *Options.Device : Model;
    BusNode = &System.PlugUsbDevice(device, "OmbrelBus", &StartStatus, Options.Capture);
    Settle();
    return StartStatus;
}

bool SystemRig::DrainIn(std::chrono::milliseconds timeout)
{
    if (BusNode == nullptr || Gone) {
        return true;
    }
    // A timed bridge holds its IN transfers until the bus would carry them.
    if (Options.Device == nullptr && !Model.WaitTimedSent(timeout)) {
        return false;
    }
    return rig::DrainIn(BusNode->Physical(), timeout);
}

bool SystemRig::Settle(std::chrono::milliseconds timeout)
{
    if (BusNode == nullptr || Gone) {
        return System.WaitIdle(timeout);
    }
    if (Options.Device != nullptr) {
        return rig::Settle(BusNode->Physical(), &System, timeout);
    }
    // A timed bridge may queue an IN transfer while the system works (the
    // announce, once the hello's write is carried), so settling is done once
    // a whole pass saw the timeline send nothing new.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !Model.WaitTimedSent(left)) {
            return false;
        }
        const uint64_t sent = Model.TimedSentCount();
        if (!rig::Settle(BusNode->Physical(), &System, left)) {
            return false;
        }
        if (Model.TimedSentCount() == sent && Model.WaitTimedSent(std::chrono::milliseconds(0))) {
            return true;
        }
    }
}

bool SystemRig::WaitForPorts(std::chrono::milliseconds timeout)
{
    // Settle waits out a timed bring-up as well, so one settle is enough.
    if (!Settle(timeout)) {
        return false;
    }
    const auto ports = Ports();
    return ports.size() == bridge::wire::kPortCount &&
           std::all_of(ports.begin(), ports.end(), [](const PortView& port) { return port.Working; });
}

void SystemRig::SetCapture(std::shared_ptr<host::UsbCapture> capture)
{
    Options.Capture = capture;
    if (BusNode != nullptr && !Gone) {
        BusNode->Physical().Usb->SetCapture(std::move(capture));
    }
}

void SystemRig::SurpriseRemove()
{
    if (BusNode != nullptr && !Gone) {
        System.SurpriseRemove(*BusNode);
        Gone = true;
    }
}

void SystemRig::Remove()
{
    if (BusNode != nullptr) {
        System.Remove(*BusNode);
        BusNode = nullptr;
    }
}

host::DeviceNode* SystemRig::PortNode(unsigned port)
{
    if (BusNode == nullptr) {
        return nullptr;
    }
    const std::u16string instanceId = host::Widen((port < 10 ? "0" : "") + std::to_string(port));
    for (host::DeviceNode* node : System.ChildNodes(*BusNode)) {
        auto* pdo = node->Physical().Pdo;
        if (pdo != nullptr && pdo->Init.InstanceId == instanceId) {
            return node;
        }
    }
    return nullptr;
}

std::vector<PortView> SystemRig::Ports()
{
    std::vector<PortView> ports;
    if (BusNode == nullptr || BusNode->Device() == nullptr) {
        return ports;
    }
    const auto working = System.ChildNodes(*BusNode);
    for (const auto& child : host::StaticChildrenOf(BusNode->Device())) {
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
