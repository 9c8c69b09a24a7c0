// The hardware IDs OmbrelBus gives the bridge's port children, OMBREL\PORT_00
// to OMBREL\PORT_07, on which OmbrelPort.inf installs the port driver: how
// ombrel-selftest tells a device for one of the bridge's ports, and which.
#pragma once

#include <optional>
#include <string>

namespace selftest {

// The port index that a hardware ID names; nothing for any other ID. Windows
// compares hardware IDs without regard to case, and so does this.
std::optional<unsigned> PortIndexOfHardwareId(const std::string& id);

// "OMBREL\PORT_00 to OMBREL\PORT_07", for messages.
std::string PortHardwareIdRange();

} // namespace selftest
