#include "tools/selftest/port_ids.h"

#include "rig/windows_inf.h"
#include "tools/demo/traffic_options.h"

#include <gtest/gtest.h>

namespace selftest {
namespace {

// ombrel-selftest finds the ports by the IDs the port driver is installed on,
// and takes each for the port its ID names, as the bus driver numbers them.
TEST(PortIds, TheInfsPortIdsNameTheirPortsInOrderAndNothingElseIsAPort)
{
    const auto ids = rig::PackageHardwareIds("OmbrelPort");
    ASSERT_EQ(ids.size(), demo::kPortCount);
    for (unsigned port = 0; port < ids.size(); ++port) {
        EXPECT_EQ(PortIndexOfHardwareId(ids[port]), port) << ids[port];
    }
    EXPECT_EQ(PortIndexOfHardwareId("ombrel\\port_05"), 5u);

    for (const std::string& id : rig::PackageHardwareIds("OmbrelBus")) {
        EXPECT_FALSE(PortIndexOfHardwareId(id)) << id;
    }
    for (const char* id : {"OMBREL\\PORT_08", "OMBREL\\PORT_7", "OMBREL\\PORT_007", "OMBREL\\PORT_0x",
                           "OMBREL/PORT_00", "OMBREL\\PORT_00\\00", ""}) {
        EXPECT_FALSE(PortIndexOfHardwareId(id)) << id;
    }
    EXPECT_EQ(PortHardwareIdRange(), ids.front() + " to " + ids.back());
}

} // namespace
} // namespace selftest
