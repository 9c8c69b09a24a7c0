// The whole system on one machine, for programs that are not tests: both
// drivers loaded from their modules, a bridge model plugged in, and the eight
// COM ports the system makes of it.
#pragma once

#include "bridge/bridge_model.h"
#include "host/pnp/system.h"

#include <string>
#include <vector>

namespace rig {

struct PortView {
    unsigned Index;
    std::string ComName;
    std::string Description;
    std::string Location;
    std::string HardwareId;
    bool Working;
};

class BridgeRig {
public:
    // Loads the drivers and plugs the bridge in; Started() tells whether the
    // bus came up, and Ports() what the system made of its children.
    BridgeRig();
    ~BridgeRig();
    BridgeRig(const BridgeRig&) = delete;
    BridgeRig& operator=(const BridgeRig&) = delete;

    bool Started() const { return StartStatus == STATUS_SUCCESS; }
    NTSTATUS StartResult() const { return StartStatus; }
    std::vector<PortView> Ports();
    // Waits until the drivers have seen everything the bridge sent and every
    // child has its driver.
    void Settle();

    NTSTATUS Sleep() { return System.Sleep(*Bus); }
    NTSTATUS Resume() { return System.Resume(*Bus); }
    void SurpriseRemove();
    bool Removed() const { return Bus == nullptr || Gone; }

    bridge::BridgeModel Model;
    host::System System;

private:
    host::DeviceNode* Bus = nullptr;
    NTSTATUS StartStatus = STATUS_UNSUCCESSFUL;
    bool Gone = false;
};

// The bus driver's USB hardware ID, as its INF file names it.
std::string BridgeHardwareId();

} // namespace rig
