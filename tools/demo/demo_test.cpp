#include "tools/demo/loopback_check.h"
#include "tools/demo/options.h"
#include "tools/demo/report.h"
#include "tools/demo/timing_view.h"

#include <gtest/gtest.h>

#include <numeric>

namespace demo {
namespace {

std::vector<uint8_t> Bytes(size_t length, uint8_t first)
{
    std::vector<uint8_t> bytes(length);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

bool Feed(LoopbackCheck& check, const std::vector<uint8_t>& bytes) { return check.Feed(bytes.data(), bytes.size()); }

TEST(LoopbackCheck, AcceptedBytesMustComeBackInOrderAndOnlyOnce)
{
    LoopbackCheck check;
    const auto first = Bytes(100, 0);
    const auto second = Bytes(20, 200);
    check.ExpectAccepted(first.data(), first.size());
    check.ExpectAccepted(second.data(), second.size());
    EXPECT_EQ(check.Outstanding(), 120u);

    // Split at odd places, across the two writes.
    EXPECT_TRUE(check.Feed(first.data(), 33));
    EXPECT_TRUE(check.Feed(first.data() + 33, 67));
    EXPECT_TRUE(check.Feed(second.data(), 1));
    EXPECT_EQ(check.Outstanding(), 19u);
    EXPECT_TRUE(check.Feed(second.data() + 1, 19));
    EXPECT_EQ(check.Outstanding(), 0u);

    // Anything more was never written: a duplicate of the last byte fails.
    EXPECT_FALSE(check.Feed(second.data() + 19, 1));
    EXPECT_EQ(check.MismatchAt(), 0u);
}

TEST(LoopbackCheck, AWrongOrMissingByteIsFoundWhereItIs)
{
    LoopbackCheck check;
    const auto written = Bytes(56, 10);
    check.ExpectAccepted(written.data(), written.size());
    auto read = written;
    read[40] ^= 0xFF;
    EXPECT_FALSE(Feed(check, read));
    EXPECT_EQ(check.MismatchAt(), 40u);
    EXPECT_EQ(check.BytesRead(), 40u);

    LoopbackCheck gap;
    gap.ExpectAccepted(written.data(), written.size());
    std::vector<uint8_t> skipped(written.begin(), written.begin() + 10);
    skipped.insert(skipped.end(), written.begin() + 11, written.end());
    EXPECT_FALSE(Feed(gap, skipped));
    EXPECT_EQ(gap.MismatchAt(), 10u);
}

// A failed chunk that the bridge may have taken is followed by the same bytes
// written again: the stream is right with the chunk or without it.
TEST(LoopbackCheck, APossiblyTakenChunkIsAllowedOnceBeforeItsRewrite)
{
    const auto block = Bytes(120, 0);
    auto expect = [&](LoopbackCheck& check) {
        check.ExpectAccepted(block.data(), 56);          // first chunk acknowledged
        check.ExpectPossibly(block.data() + 56, 56);     // second chunk unanswered
        check.ExpectAccepted(block.data() + 56, 64);     // the rest written again
    };

    LoopbackCheck with;
    expect(with);
    std::vector<uint8_t> delivered(block.begin(), block.begin() + 112);
    delivered.insert(delivered.end(), block.begin() + 56, block.end());
    EXPECT_TRUE(Feed(with, delivered));
    EXPECT_EQ(with.Outstanding(), 0u);
    EXPECT_EQ(with.PossiblyTakenDelivered(), 56u);

    LoopbackCheck without;
    expect(without);
    EXPECT_TRUE(Feed(without, block));
    EXPECT_EQ(without.Outstanding(), 0u);
    EXPECT_EQ(without.PossiblyTakenDelivered(), 0u);

    // Part of the chunk and then the rewrite is neither.
    LoopbackCheck torn;
    expect(torn);
    std::vector<uint8_t> partly(block.begin(), block.begin() + 80);
    partly.insert(partly.end(), block.begin() + 56, block.end());
    EXPECT_FALSE(Feed(torn, partly));

    // Three copies of the chunk is one too many.
    LoopbackCheck thrice;
    expect(thrice);
    std::vector<uint8_t> repeated = delivered;
    repeated.insert(repeated.end(), block.begin() + 56, block.begin() + 112);
    EXPECT_FALSE(Feed(thrice, repeated));
}

TEST(LoopbackCheck, OutstandingCountsOnlyAcceptedBytes)
{
    LoopbackCheck check;
    const auto block = Bytes(30, 1);
    check.ExpectAccepted(block.data(), 10);
    check.ExpectPossibly(block.data() + 10, 20);
    EXPECT_EQ(check.Outstanding(), 10u);
    EXPECT_TRUE(check.Feed(block.data(), 10));
    EXPECT_EQ(check.Outstanding(), 0u);
    // The possible chunk may still arrive later, whole.
    EXPECT_TRUE(check.Feed(block.data() + 10, 20));
    EXPECT_FALSE(check.Feed(block.data(), 1));
}

TEST(Options, DefaultsRunEveryPortWithoutFaults)
{
    std::string error;
    const auto options = ParseOptions({}, error);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->Ports, (std::vector<unsigned>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(options->Scenario, Fault::None);
    EXPECT_EQ(options->MinSize, 1u);
    EXPECT_GT(options->MaxSize, 1024u);
}

TEST(Options, ValuesInBothSpellings)
{
    std::string error;
    const auto options = ParseOptions({"--ports", "6,0,2-3", "--size=64-128", "--duration", "0.5", "--seed=7",
                                       "--scale", "0.1", "--fault=silence", "--capture", "run.pcapng"},
                                      error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->Ports, (std::vector<unsigned>{0, 2, 3, 6}));
    EXPECT_EQ(options->MinSize, 64u);
    EXPECT_EQ(options->MaxSize, 128u);
    EXPECT_DOUBLE_EQ(options->DurationSeconds, 0.5);
    EXPECT_EQ(options->Seed, 7u);
    EXPECT_DOUBLE_EQ(options->TimeScale, 0.1);
    EXPECT_EQ(options->Scenario, Fault::Silence);
    EXPECT_EQ(options->CapturePath, "run.pcapng");

    const auto fixed = ParseOptions({"--size", "100"}, error);
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->MinSize, 100u);
    EXPECT_EQ(fixed->MaxSize, 100u);
}

TEST(Options, TimingIsAFlagAmongValuedOptionsAndOffByDefault)
{
    std::string error;
    EXPECT_FALSE(ParseOptions({}, error)->Timing);
    const auto timed = ParseOptions({"--ports", "0,2", "--timing", "--scale", "10"}, error);
    ASSERT_TRUE(timed) << error;
    EXPECT_TRUE(timed->Timing);
    EXPECT_EQ(timed->Ports, (std::vector<unsigned>{0, 2}));
    EXPECT_DOUBLE_EQ(timed->TimeScale, 10);
    // It takes no value, so the next argument stays an option of its own.
    EXPECT_FALSE(ParseOptions({"--timing", "1"}, error));
    EXPECT_FALSE(ParseOptions({"--timing=1"}, error));
}

TEST(Options, BadValuesAreRefusedWithAReason)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--ports", "8"},     {"--ports", "3-1"},     {"--ports", ""},        {"--ports", "1,,2"},
        {"--size", "0"},      {"--size", "10-5"},     {"--size", "8192"},     {"--size", "-5"},
        {"--duration", "0"},  {"--duration", "abc"},  {"--duration", "nan"},  {"--scale", "-1"},
        {"--seed", "-1"},     {"--seed", "1x"},       {"--fault", "melt"},    {"--fault"},
        {"--capture", ""},    {"--bogus"},
    };
    for (const auto& args : bad) {
        std::string error;
        EXPECT_FALSE(ParseOptions(args, error)) << args.front();
        EXPECT_FALSE(error.empty());
    }
}

TEST(Options, EveryOptionIsDocumented)
{
    const std::string usage = UsageText("ombrel-demo");
    for (const char* word : {"--ports", "--size", "--duration", "--seed", "--scale", "--fault", "--capture", "--timing", "--help", "none",
                             "nak", "silence", "partial", "sleep", "surprise", "garble"}) {
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    }
}

std::vector<std::unique_ptr<PortStats>> StatsFor(const std::vector<unsigned>& ports)
{
    std::vector<std::unique_ptr<PortStats>> stats;
    for (unsigned port : ports) {
        stats.push_back(std::make_unique<PortStats>());
        stats.back()->Port = port;
        stats.back()->ComName = "COM" + std::to_string(port + 3);
    }
    return stats;
}

// The default model with every line at 115200 baud, 8N1.
bridge::TimingReport DefaultReport()
{
    bridge::TimingReport report;
    for (unsigned port = 0; port < 8; ++port) {
        report.LineRate[port] = port < 2 ? 175'000 : 11'520;
    }
    return report;
}

// Every port takes 250 us a turn on the command channel; a turn lasts at
// least the 320 us a CAN FD line needs for 56 bytes, at which its NAKs pace it.
TEST(TimingView, PaperLimitsShareTheCommandChannelAmongTheActivePorts)
{
    const auto report = DefaultReport();
    const std::vector<unsigned> all{0, 1, 2, 3, 4, 5, 6, 7};
    // Eight ports: a turn of 2 ms, 56 bytes each, more than an RS485 line carries.
    EXPECT_NEAR(PaperLimit(report, 0, all), 56 / 2e-3, 0.5);
    EXPECT_DOUBLE_EQ(PaperLimit(report, 5, all), 11'520);
    // Alone, a CAN FD port is paced by its line.
    EXPECT_DOUBLE_EQ(PaperLimit(report, 1, {}), 175'000);
    // The port itself counts once, listed or not.
    EXPECT_NEAR(PaperLimit(report, 0, {2, 6}), 56 / 750e-6, 0.5);
    EXPECT_DOUBLE_EQ(PaperLimit(report, 0, {0, 2, 6}), PaperLimit(report, 0, {2, 6}));
}

TEST(TimingView, AByteTheModelLostFailsItsPortAndTheRun)
{
    auto stats = StatsFor({2, 3});
    auto report = DefaultReport();
    EXPECT_TRUE(NoteLostBytes(report, stats));
    EXPECT_TRUE(PrintSummary(stats, false, TimingColumns(report, stats, 1)));

    report.Channels[3].Lost = 17;
    EXPECT_FALSE(NoteLostBytes(report, stats));
    EXPECT_EQ(stats[0]->UnexpectedFailures, 0u);
    EXPECT_EQ(stats[1]->UnexpectedFailures, 1u);
    ASSERT_EQ(stats[1]->Notes().size(), 1u);
    EXPECT_NE(stats[1]->Notes()[0].find("lost 17 received bytes"), std::string::npos);
    EXPECT_FALSE(PrintSummary(stats, false, TimingColumns(report, stats, 1)));

    // A channel no port ran on still fails the run.
    auto others = StatsFor({2});
    report.Channels[3].Lost = 0;
    report.Channels[7].Lost = 1;
    EXPECT_FALSE(NoteLostBytes(report, others));
}

TEST(TimingView, SummaryRatesAreOnKernelTimeBesideTheModelsCounts)
{
    auto stats = StatsFor({0, 4});
    for (auto& entry : stats) {
        entry->Read = 20'000;
        entry->ElapsedMs = 2'000;
    }
    stats[1]->BusyWrites = 3;
    auto report = DefaultReport();
    report.Channels[0].Nakked = 42;
    report.Channels[4].Lost = 5;
    // Kernel time ten times slower than real time: ten times the bytes per kernel second.
    const SummaryExtras extras = TimingColumns(report, stats, 10);
    ASSERT_EQ(extras.Rates.Rows.size(), 2u);
    EXPECT_EQ(extras.Rates.Rows[0], (std::vector<std::string>{"175,000", "112,000", "100,000"}));
    EXPECT_EQ(extras.Rates.Rows[1], (std::vector<std::string>{"11,520", "11,520", "100,000"}));
    EXPECT_EQ(extras.Counts.Rows[0], (std::vector<std::string>{"0", "0", "42"}));
    EXPECT_EQ(extras.Counts.Rows[1], (std::vector<std::string>{"3", "5", "-"}));
}

TEST(Report, GroupsThousands)
{
    EXPECT_EQ(Grouped(0), "0");
    EXPECT_EQ(Grouped(999), "999");
    EXPECT_EQ(Grouped(1000), "1,000");
    EXPECT_EQ(Grouped(1234567), "1,234,567");
}

} // namespace
} // namespace demo
