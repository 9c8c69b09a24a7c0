// The whole system on one machine: both drivers installed on the hardware IDs
// their INF files name, the bridge model plugged in, and the eight COM ports
// the system makes of it. Tests, fuzzers, the benchmark and the main job all
// bring the system up through this.
#pragma once

#include "bridge/bridge_model.h"
#include "host/pnp/system.h"
#include "rig/settle.h"

#include <memory>
#include <string>
#include <vector>

namespace rig {

// A port as Device Manager shows it.
struct PortView {
    unsigned Index;
    std::string ComName;
    std::string Description;
    std::string Location;
    std::string HardwareId;
    bool Working;
};

struct SystemOptions {
    // The names the port installer gives, in order of arrival; "" leaves a
    // port without a PortName, and ports beyond the list get COM3 + index.
    std::vector<std::string> PortNames;
    // The DriverEntry of the bus driver's objects linked into the program,
    // for a white-box program that calls that copy's routines on the device
    // it made; without it the bus driver comes from its module, like the port
    // driver always does.
    PDRIVER_INITIALIZE BusDriverEntry = nullptr;
    // Plug the bridge in and settle as part of the construction.
    bool PlugIn = true;
    // Records the bridge's transfers from the first plug-in on (see SetCapture).
    std::shared_ptr<host::UsbCapture> Capture;
    // Plugged in instead of the bridge model (a capture's replay, say); the
    // rig's Model then stays unplugged.
    host::UsbDeviceModel* Device = nullptr;
};

class SystemRig {
public:
    explicit SystemRig(SystemOptions options = {});
    ~SystemRig();  // removes the bridge if it is still there
    SystemRig(const SystemRig&) = delete;
    SystemRig& operator=(const SystemRig&) = delete;

    // STATUS_SUCCESS once both drivers are installed; STATUS_NOT_FOUND when an
    // INF names no hardware ID.
    NTSTATUS InstallResult() const { return InstallStatus; }

    // Plugs the bridge in, starts the bus driver on it and settles; returns
    // how the bus's start ended (or the install's failure). Only while the
    // bridge is not plugged in.
    // Every plug-in names the ports afresh from the first of PortNames, as
    // the port installer gives a device back the names it had.
    NTSTATUS Plug();
    bool Started() const { return StartStatus == STATUS_SUCCESS; }
    NTSTATUS StartResult() const { return StartStatus; }
    bool Plugged() const { return BusNode != nullptr; }
    // The bridge's device node; only while plugged in.
    host::DeviceNode& Bus() { return *BusNode; }

    // Waits until the bus driver has handled every IN transfer the bridge has
    // sent (at once when it is not plugged in or was pulled out: nothing more
    // arrives); Settle then also until every child that arrived has its
    // driver and the system's workers are idle.
    bool DrainIn(std::chrono::milliseconds timeout = kSettleTimeout);
    bool Settle(std::chrono::milliseconds timeout = kSettleTimeout);
    // Settles, then tells whether all eight ports have their driver.
    bool WaitForPorts(std::chrono::milliseconds timeout = kSettleTimeout);

    // The child of `port` that got a function driver, or nullptr.
    host::DeviceNode* PortNode(unsigned port);
    // What the system made of the bus's children, in the order it added them.
    std::vector<PortView> Ports();

    // Records every transfer of the bridge into `capture` from now on, over
    // later plug-ins too (nullptr: none). The capture is written as it goes;
    // close it once the rig is gone to have the last of it.
    void SetCapture(std::shared_ptr<host::UsbCapture> capture);

    NTSTATUS Sleep() { return System.Sleep(*BusNode); }
    NTSTATUS Resume() { return System.Resume(*BusNode); }
    void SurpriseRemove();
    // Removes the bridge with its children, orderly or after a surprise removal.
    void Remove();

    bridge::BridgeModel Model;
    host::System System;

private:
    SystemOptions Options;
    NTSTATUS InstallStatus = STATUS_UNSUCCESSFUL;
    NTSTATUS StartStatus = STATUS_UNSUCCESSFUL;
    host::DeviceNode* BusNode = nullptr;
    bool Gone = false;
};

} // namespace rig
