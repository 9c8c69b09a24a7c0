// The bridge's COM ports on this Windows machine, found through the SetupAPI
// and the configuration manager: every present device with one of the port
// children's hardware IDs (port_ids.h), whatever its driver. The SERIALCOMM
// device map cannot tell them: its value names are the children's device
// object names, which the system makes up.
#pragma once

#include "tools/demo/test_bed.h"

#include <string>
#include <vector>

namespace selftest {

struct BridgeSearch {
    std::string Error;                     // the device list could not be read
    std::string Bridge;                    // the instance ID of the ports' parent, the bridge
    std::vector<demo::PortListing> Ports;  // that bridge's, by port index; empty: no bridge found
    std::vector<std::string> OtherBridges; // further bridges' instance IDs, left alone
};

BridgeSearch FindBridgePorts();

} // namespace selftest
