// The bytes the bus driver puts on the bulk OUT pipe, compared byte for byte
// with frames spelled out by hand.
#include "support/bus_harness.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

class BusWireTest : public testing::Test {
protected:
    Bytes OnlyTransfer()
    {
        const auto transfers = Model.OutTransfers();
        EXPECT_EQ(transfers.size(), 1u);
        return transfers.empty() ? Bytes() : transfers.front().Bytes;
    }

    bridge::BridgeModel Model;
    test::BusHarness Harness{Model};
};

TEST_F(BusWireTest, SetConfigForPortThreeAt115200EightNoneOne)
{
    const PORT_LINE_CONFIG config = {115200, 8, 0, 0, 0};
    EXPECT_EQ(BusPortSetConfig(Harness.Port(3), &config), STATUS_SUCCESS);
    EXPECT_EQ(OnlyTransfer(), (Bytes{0x4F, 0x42, 0x01, 0x03, 0x02, 0x00, 0x08, 0x00, 0x00, 0xC2, 0x01, 0x00, 0x08,
                                     0x00, 0x00, 0x00}));
}

TEST_F(BusWireTest, ControlFrameThatOpensPortSix)
{
    EXPECT_EQ(BusPortControl(Harness.Port(6), PORT_CONTROL_OPEN, 1), STATUS_SUCCESS);
    EXPECT_EQ(OnlyTransfer(), (Bytes{0x4F, 0x42, 0x01, 0x06, 0x03, 0x00, 0x02, 0x00, 0x01, 0x01}));
}

TEST_F(BusWireTest, FullDataFrameIsSixtyFourBytes)
{
    Bytes payload(56);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(0xA0 + i);
    }
    ULONG accepted = 0;
    EXPECT_EQ(BusPortWrite(Harness.Port(4), payload.data(), 56, &accepted), STATUS_SUCCESS);
    EXPECT_EQ(accepted, 56u);
    Bytes expected{0x4F, 0x42, 0x01, 0x04, 0x01, 0x00, 0x38, 0x00};
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(OnlyTransfer(), expected);
}

TEST_F(BusWireTest, EmptyDataFrameIsTheBareHeader)
{
    ULONG accepted = 99;
    EXPECT_EQ(BusPortWrite(Harness.Port(2), nullptr, 0, &accepted), STATUS_SUCCESS);
    EXPECT_EQ(accepted, 0u);
    EXPECT_EQ(OnlyTransfer(), (Bytes{0x4F, 0x42, 0x01, 0x02, 0x01, 0x00, 0x00, 0x00}));
}

} // namespace
