// A bus device brought up far enough to carry commands and received frames:
// its context, command lock, port records and receive locks, the USB target
// with its two bulk pipes, and the continuous reader running on the IN pipe,
// with a counting stand-in for the enumeration work item.
#pragma once

#include "bridge/bridge_model.h"
#include "bus/bus.h"
#include "host/framework/device.h"
#include "host/usb/usb.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace test {

class BusHarness {
public:
    explicit BusHarness(bridge::BridgeModel& model);
    ~BusHarness();
    BusHarness(const BusHarness&) = delete;
    BusHarness& operator=(const BusHarness&) = delete;

    OMBREL_DEVICE_CONTEXT* Bus() const { return Context; }
    BRIDGE_BUS_PORT* Port(unsigned index) const { return &Context->Ports[index]; }

    // Returns once every IN transfer the model has sent so far has been
    // dispatched by the driver.
    void DrainIn();
    int EnumerationRuns() const { return EnumerationRunCount.load(); }

    host::UsbConnection& Connection() { return *Node->Usb; }

private:
    static void CountEnumeration(WDFWORKITEM item);
    static std::atomic<int> EnumerationRunCount;

    std::shared_ptr<host::PhysicalDevice> Node;
    WDFDRIVER Driver = nullptr;
    WDFDEVICE Device = nullptr;
    OMBREL_DEVICE_CONTEXT* Context = nullptr;
    size_t LiveObjectsBefore = 0;
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
