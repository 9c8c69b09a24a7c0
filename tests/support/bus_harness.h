// The bus-only rig in a white-box test's hands: the bus driver brought up
// through its own DriverEntry and callbacks, from its objects linked into the
// test, on a bridge model and without a port driver. The test may then call
// the driver's internal functions (BusPortWrite, BusSendCommand, ...) on the
// device that same copy made.
#pragma once

#include "support/white_box.h"

#include "bridge/bridge_model.h"
#include "rig/bus_rig.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace test {

class BusHarness {
public:
    enum class BringUp {
        // Started and settled: the hello answered, the announce handled, the
        // children enumerated. The bridge's record of OUT transfers is then
        // cleared, so a test counts only its own commands.
        StartAndSettle,
        // Loaded and plugged in only; the test arranges what it needs and starts.
        Later,
    };
    explicit BusHarness(bridge::BridgeModel& model, BringUp bringUp = BringUp::StartAndSettle);
    // Removes the device, unloads the driver and checks that no framework
    // object or device initialisation record is left.
    ~BusHarness();
    BusHarness(const BusHarness&) = delete;
    BusHarness& operator=(const BusHarness&) = delete;

    rig::BusRig& Rig() { return *Instance; }
    // The bus device's context; nullptr while there is no device.
    OMBREL_DEVICE_CONTEXT* Bus() const { return BusContext(Instance->Device()); }
    // The bus's record of one port: the PortHandle of its interface.
    BRIDGE_BUS_PORT* Port(unsigned index) const { return &Bus()->Ports[index]; }

    // Returns once every IN transfer the model has sent so far has been
    // dispatched by the driver; Settle also once the work it queued has run.
    void DrainIn();
    void Settle();

private:
    size_t LiveObjectsBefore;
    int LiveInitsBefore;
    std::unique_ptr<rig::BusRig> Instance;
};

// A receive callback that keeps every delivery, for any number of ports.
class ReceiveRecorder {
public:
    struct Delivery {
        void* Context;
        std::vector<uint8_t> Bytes;
    };
    static VOID Receive(PVOID context, const UCHAR* data, ULONG length);
    static std::vector<Delivery> Take();
    static void Clear();

private:
    static std::mutex Lock;
    static std::vector<Delivery> Deliveries;
};

} // namespace test
