#include "rig/settle.h"

#include "host/framework/device.h"
#include "host/framework/work_item.h"
#include "host/pnp/system.h"
#include "host/usb/cable.h"

namespace rig {

uint8_t ReaderEndpoint(const host::UsbDeviceModel& model)
{
    uint8_t endpoint = 0;
    for (const auto& descriptor : model.Endpoints()) {
        if (descriptor.IsIn() && descriptor.Type == host::UsbEndpointType::Bulk) {
            endpoint = descriptor.Address;
        }
    }
    return endpoint;
}

bool DrainIn(host::PhysicalDevice& bus, std::chrono::milliseconds timeout)
{
    return bus.Usb->WaitInIdle(ReaderEndpoint(bus.Usb->Model()), timeout);
}

bool Settle(host::PhysicalDevice& bus, host::System* system, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto left = [deadline] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    if (!DrainIn(bus, timeout)) {
        return false;
    }
    return system != nullptr ? system->WaitIdle(left()) : host::WaitForWorkItemsIdle(left());
}

} // namespace rig
