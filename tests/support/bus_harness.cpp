#include "support/bus_harness.h"

#include "host/framework/device.h"
#include "host/framework/object.h"
#include "host/framework/work_item.h"

#include <gtest/gtest.h>

namespace test {

std::mutex ReceiveRecorder::Lock;
std::vector<ReceiveRecorder::Delivery> ReceiveRecorder::Deliveries;

BusHarness::BusHarness(bridge::BridgeModel& model, BringUp bringUp)
    : LiveObjectsBefore(host::LiveObjectCount()), LiveInitsBefore(host::LiveDeviceInitCount()),
      Instance(std::make_unique<rig::BusRig>(model, DriverEntry))
{
    if (bringUp == BringUp::StartAndSettle) {
        EXPECT_EQ(Instance->Start(), STATUS_SUCCESS);
        Settle();
        model.ClearOutTransfers();
    }
}

BusHarness::~BusHarness()
{
    Instance.reset();
    EXPECT_TRUE(host::WaitForWorkItemsIdle());
    EXPECT_EQ(host::LiveObjectCount(), LiveObjectsBefore) << "framework objects left undeleted";
    EXPECT_EQ(host::LiveDeviceInitCount(), LiveInitsBefore) << "device initialisation records neither used nor freed";
}

void BusHarness::DrainIn() { ASSERT_TRUE(Instance->DrainIn()) << "the driver did not take the IN transfers"; }

void BusHarness::Settle()
{
    ASSERT_TRUE(Instance->Settle()) << "the driver did not take the IN transfers or its work items did not finish";
}

VOID ReceiveRecorder::Receive(PVOID context, const UCHAR* data, ULONG length)
{
    std::lock_guard<std::mutex> guard(Lock);
    Deliveries.push_back({context, std::vector<uint8_t>(data, data + length)});
}

std::vector<ReceiveRecorder::Delivery> ReceiveRecorder::Take()
{
    std::lock_guard<std::mutex> guard(Lock);
    return std::move(Deliveries);
}

void ReceiveRecorder::Clear()
{
    std::lock_guard<std::mutex> guard(Lock);
    Deliveries.clear();
}

} // namespace test
