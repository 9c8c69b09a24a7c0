// White-box access: the drivers' own headers (context structs, internal
// functions, constants) and the look-ups from a rig's device to a driver's
// context. Only code that reaches into a driver includes this: the unit tests
// that call a driver's functions or read its state, and the receive-path
// benchmark. Everything else meets the drivers as the system and
// applications do, through the rigs.
#pragma once

#include "bus/bus.h"
#include "port/port.h"

#include "host/framework/object.h"
#include "host/pnp/pnp.h"

namespace test {

// The context of a bus device or a port device, looked up by the context
// type's name: that finds it whichever copy of the driver made the device,
// its module or the objects linked into the program. nullptr for no device.
inline OMBREL_DEVICE_CONTEXT* BusContext(WDFDEVICE bus)
{
    return bus == nullptr ? nullptr
                          : static_cast<OMBREL_DEVICE_CONTEXT*>(
                                host::FromAnyHandle(bus, "white-box access")->ContextByName("OMBREL_DEVICE_CONTEXT"));
}

inline OMBREL_PORT_CONTEXT* PortContext(WDFDEVICE port)
{
    return port == nullptr ? nullptr
                           : static_cast<OMBREL_PORT_CONTEXT*>(
                                 host::FromAnyHandle(port, "white-box access")->ContextByName("OMBREL_PORT_CONTEXT"));
}

// The port driver's context on a rig's port node (PortNode), or nullptr.
inline OMBREL_PORT_CONTEXT* PortContext(host::DeviceNode* port)
{
    return port == nullptr ? nullptr : PortContext(port->Device());
}

} // namespace test
