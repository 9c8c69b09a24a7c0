#include "bridge/bridge_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace {

using bridge::BridgeModel;
using bridge::Command;
using bridge::PortBehaviour;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

class CapturingLink : public host::UsbHostLink {
public:
    void SendIn(uint8_t endpoint, const uint8_t* data, size_t length) override
    {
        std::lock_guard lock(mutex_);
        endpoints_.push_back(endpoint);
        transfers_.emplace_back(data, data + length);
        changed_.notify_all();
    }
    void FailIn(uint8_t endpoint, int32_t status) override
    {
        std::lock_guard lock(mutex_);
        failedIn_.emplace_back(endpoint, status);
    }
    std::vector<Bytes> Transfers()
    {
        std::lock_guard lock(mutex_);
        return transfers_;
    }
    std::vector<uint8_t> Endpoints()
    {
        std::lock_guard lock(mutex_);
        return endpoints_;
    }
    std::vector<std::pair<uint8_t, int32_t>> FailedIn()
    {
        std::lock_guard lock(mutex_);
        return failedIn_;
    }
    bool WaitFor(size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return transfers_.size() >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Bytes> transfers_;
    std::vector<uint8_t> endpoints_;
    std::vector<std::pair<uint8_t, int32_t>> failedIn_;
};

class BridgeModelTest : public ::testing::Test {
protected:
    void SetUp() override { model.Connect(&link); }
    void TearDown() override { model.Connect(nullptr); }

    host::UsbOutResult Write(const Bytes& bytes) { return model.OnOutTransfer(0x02, bytes.data(), bytes.size()); }

    CapturingLink link;
    BridgeModel model;
};

const Bytes kHello{0x4F, 0x42, 0x01, 0xFF, 0x7E, 0x00, 0x00, 0x00};
const Bytes kPort3Data{0x4F, 0x42, 0x01, 0x03, 0x01, 0x00, 0x03, 0x00, 'a', 'b', 'c'};

Bytes DataFrame(uint8_t port, size_t length)
{
    Bytes frame{0x4F, 0x42, 0x01, port, 0x01, 0x00, static_cast<uint8_t>(length), 0x00};
    for (size_t i = 0; i < length; ++i) frame.push_back(static_cast<uint8_t>(0x30 + i));
    return frame;
}

TEST_F(BridgeModelTest, AnswersOnlyTheExactHelloWithItsAnnounce)
{
    EXPECT_EQ(Write(kHello).Status, 0);
    Bytes notHello = kHello;
    notHello[5] = 1;  // reserved byte set
    Write(notHello);

    const auto in = link.Transfers();
    ASSERT_EQ(in.size(), 1u);
    ASSERT_EQ(in[0].size(), 20u);
    EXPECT_EQ(Bytes(in[0].begin(), in[0].begin() + 10), (Bytes{0x4F, 0x42, 0x01, 0xFF, 0x7E, 0x00, 0x0C, 0x00, 0x01, 0x08}));
    EXPECT_EQ(link.Endpoints()[0], 0x81);
}

TEST_F(BridgeModelTest, AcksPortCommandsInFullAndLoopsDataBack)
{
    Write(kPort3Data);
    Write({0x4F, 0x42, 0x01, 0x06, 0x03, 0x00, 0x02, 0x00, 0x01, 0x01});  // open port 6

    const auto in = link.Transfers();
    ASSERT_EQ(in.size(), 3u);
    EXPECT_EQ(in[0], (Bytes{0x4F, 0x42, 0x01, 0x03, 0x80, 0x00, 0x04, 0x00, 0x01, 0x00, 0x03, 0x00}));
    EXPECT_EQ(in[1], (Bytes{0x4F, 0x42, 0x01, 0x03, 0x01, 0x00, 0x03, 0x00, 'a', 'b', 'c'}));
    EXPECT_EQ(in[2], (Bytes{0x4F, 0x42, 0x01, 0x06, 0x80, 0x00, 0x04, 0x00, 0x03, 0x00, 0x02, 0x00}));

    const auto out = model.OutTransfers();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].Endpoint, 0x02);
    EXPECT_EQ(out[0].Bytes, kPort3Data);
    ASSERT_TRUE(out[1].Frame);
    EXPECT_EQ(out[1].Frame->Port, 6);
    EXPECT_EQ(out[1].Frame->Type, 0x03);
}

TEST_F(BridgeModelTest, NeverAnswersPortsZeroAndOneButLoopsTheirDataBack)
{
    Write(DataFrame(0, 2));
    Write({0x4F, 0x42, 0x01, 0x01, 0x03, 0x00, 0x02, 0x00, 0x02, 0x01});

    const auto in = link.Transfers();
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0], DataFrame(0, 2));
}

TEST_F(BridgeModelTest, RecordsAndIgnoresMalformedTransfers)
{
    Write({0x01, 0x02, 0x03});
    Bytes trailing = kPort3Data;
    trailing.push_back(0);
    Write(trailing);
    Bytes version2 = kPort3Data;
    version2[2] = 2;
    Write(version2);

    EXPECT_TRUE(link.Transfers().empty());
    const auto out = model.OutTransfers();
    ASSERT_EQ(out.size(), 3u);
    for (const auto& transfer : out) EXPECT_FALSE(transfer.Frame);
    EXPECT_EQ(out[1].Bytes, trailing);
}

TEST_F(BridgeModelTest, PartialAcceptFollowsTheCountSequenceAndLoopsBackOnlyWhatWasTaken)
{
    model.SetPortBehaviour(2, Command::Data, PortBehaviour::Accept({3, 0}));
    Write(DataFrame(2, 5));
    Write(DataFrame(2, 5));
    Write(DataFrame(2, 5));  // the last count repeats
    Write({0x4F, 0x42, 0x01, 0x02, 0x03, 0x00, 0x02, 0x00, 0x02, 0x01});  // control: still healthy

    const auto in = link.Transfers();
    ASSERT_EQ(in.size(), 5u);
    EXPECT_EQ(in[0], (Bytes{0x4F, 0x42, 0x01, 0x02, 0x80, 0x00, 0x04, 0x00, 0x01, 0x00, 0x03, 0x00}));
    EXPECT_EQ(in[1], DataFrame(2, 3));
    EXPECT_EQ(in[2], (Bytes{0x4F, 0x42, 0x01, 0x02, 0x80, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(in[3], in[2]);
    EXPECT_EQ(in[4], (Bytes{0x4F, 0x42, 0x01, 0x02, 0x80, 0x00, 0x04, 0x00, 0x03, 0x00, 0x02, 0x00}));
}

TEST_F(BridgeModelTest, OneShotRefusalIsFollowedByHealthyAnswers)
{
    model.SetPortBehaviour(4, Command::Any, PortBehaviour::Refuse(5).Once());
    Write(DataFrame(4, 1));
    Write(DataFrame(4, 1));

    const auto in = link.Transfers();
    ASSERT_EQ(in.size(), 3u);
    EXPECT_EQ(in[0], (Bytes{0x4F, 0x42, 0x01, 0x04, 0xFF, 0x00, 0x02, 0x00, 0x01, 0x05}));
    EXPECT_EQ(in[1], (Bytes{0x4F, 0x42, 0x01, 0x04, 0x80, 0x00, 0x04, 0x00, 0x01, 0x00, 0x01, 0x00}));
    EXPECT_EQ(in[2], DataFrame(4, 1));
}

TEST_F(BridgeModelTest, MisdirectedAnswersCarryTheRequestedFaults)
{
    PortBehaviour wrong;
    wrong.EchoCommand = 0x02;
    wrong.AnswerPort = 5;
    wrong.ClaimMoreThanSent = true;
    wrong.Status = 1;
    model.SetPortBehaviour(3, Command::Data, wrong);
    model.SetLoopback(false);
    Write(kPort3Data);

    const auto in = link.Transfers();
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0], (Bytes{0x4F, 0x42, 0x01, 0x05, 0x80, 0x00, 0x04, 0x00, 0x02, 0x01, 0x04, 0x00}));
}

TEST_F(BridgeModelTest, LateAnswerArrivesAfterTheWriteReturns)
{
    model.SetPortBehaviour(3, Command::Any, PortBehaviour::Late(2'000'000));  // 0.2 s of kernel time
    Write(kPort3Data);

    ASSERT_TRUE(link.WaitFor(2));
    const auto in = link.Transfers();
    EXPECT_EQ(in[0], kPort3Data);  // the loopback is not held back with the answer
    EXPECT_EQ(in[1], (Bytes{0x4F, 0x42, 0x01, 0x03, 0x80, 0x00, 0x04, 0x00, 0x01, 0x00, 0x03, 0x00}));
}

TEST_F(BridgeModelTest, HeldAnswersGoOutOneAtATimeWhenReleased)
{
    model.SetPortBehaviour(3, Command::Data, PortBehaviour::Held());
    model.SetLoopback(false);
    Write(kPort3Data);
    Write(kPort3Data);
    EXPECT_TRUE(link.Transfers().empty());

    ASSERT_TRUE(model.ReleaseHeldAnswer(std::chrono::seconds(1)));
    ASSERT_TRUE(link.WaitFor(1));
    EXPECT_EQ(link.Transfers().size(), 1u);
    ASSERT_TRUE(model.ReleaseHeldAnswer(std::chrono::seconds(1)));
    ASSERT_TRUE(link.WaitFor(2));
    EXPECT_FALSE(model.ReleaseHeldAnswer(std::chrono::milliseconds(1)));
}

TEST_F(BridgeModelTest, UnplugDropsPendingLateAnswersWithoutWaiting)
{
    model.SetPortBehaviour(3, Command::Any, PortBehaviour::Late(100'000'000'000));  // far beyond the test's run
    model.SetLoopback(false);
    Write(kPort3Data);
    model.Connect(nullptr);
    EXPECT_FALSE(model.InjectIn(kHello));
    model.Connect(&link);

    EXPECT_TRUE(link.Transfers().empty());
}

TEST_F(BridgeModelTest, OutWriteFaultsHitTheirScopeAndReachNoFirmware)
{
    model.SetOutWriteFault(bridge::OutScope::Hello, bridge::OutWriteFault::Hang());
    model.SetOutWriteFault(bridge::OutScope::Commands, bridge::OutWriteFault::Fail(static_cast<int32_t>(0xC0000001), true));

    EXPECT_EQ(Write(kHello).Outcome, host::UsbOutResult::Kind::NeverCompletes);
    EXPECT_EQ(Write(kPort3Data).Status, static_cast<int32_t>(0xC0000001));
    EXPECT_TRUE(link.Transfers().empty());
    EXPECT_EQ(Write(kPort3Data).Status, 0);
    EXPECT_EQ(link.Transfers().size(), 2u);
    EXPECT_EQ(model.OutTransferCount(), 3u);
}

TEST(BridgeModelEndpoints, SendsOnTheLastBulkInEndpointAndHandsOverInFailuresAtPlugIn)
{
    CapturingLink link;
    BridgeModel model;
    model.SetEndpoints({{0x81, host::UsbEndpointType::Bulk, 512},
                        {0x83, host::UsbEndpointType::Interrupt, 16},
                        {0x84, host::UsbEndpointType::Bulk, 512},
                        {0x85, host::UsbEndpointType::Isochronous, 1024},
                        {0x02, host::UsbEndpointType::Bulk, 512}});
    model.FailNextIn(static_cast<int32_t>(0xC0000001), 2);
    EXPECT_FALSE(model.SendAnnounce());

    model.Connect(&link);
    EXPECT_TRUE(model.SendAnnounce());
    EXPECT_EQ(link.Endpoints(), (std::vector<uint8_t>{0x84}));
    EXPECT_EQ(link.FailedIn().size(), 2u);
    EXPECT_EQ(link.FailedIn()[0].first, 0x84);
}

TEST(BridgeModelRandom, SameSeedGivesTheSameFaultsAndNoSeedGivesNone)
{
    auto run = [](std::optional<uint64_t> seed) {
        CapturingLink link;
        BridgeModel model;
        model.SetLoopback(false);
        if (seed) {
            bridge::RandomFaults faults;
            faults.Seed = *seed;
            faults.FailOut = faults.Silent = faults.Refuse = faults.BadStatus = faults.Partial = 0.1;
            model.SetRandomFaults(faults);
        }
        model.Connect(&link);
        for (int i = 0; i < 200; ++i) {
            const Bytes frame = DataFrame(static_cast<uint8_t>(2 + i % 6), 8);
            model.OnOutTransfer(0x02, frame.data(), frame.size());
        }
        model.Connect(nullptr);
        return link.Transfers();
    };
    const auto healthy = run(std::nullopt);
    EXPECT_EQ(healthy.size(), 200u);
    const auto first = run(7);
    EXPECT_EQ(first, run(7));
    EXPECT_LT(first.size(), 200u);
}

} // namespace
