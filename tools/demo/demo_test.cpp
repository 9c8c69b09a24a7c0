#include "tools/demo/loopback_check.h"
#include "tools/demo/options.h"
#include "tools/demo/report.h"

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
    for (const char* word : {"--ports", "--size", "--duration", "--seed", "--scale", "--fault", "--capture", "--help", "none",
                             "nak", "silence", "partial", "sleep", "surprise", "garble"}) {
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    }
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
