// Test entry point: kernel time runs twenty times faster than real time, so a
// driver's one-second response time-out lasts 50 ms, and the verifier's
// counters are printed at the end so a reader of the log sees the checks ran.
// When OMBREL_VERIFIER_TOTALS names a file, the counters are also appended to
// it as one "label=value;..." line, which tools/run-tests sums over the run.
#include "host/kernel/time_scale.h"
#include "host/verifier/verifier.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void AppendCounters(const char* path)
{
    std::string line;
    for (const auto& [label, value] : host::CounterValues()) {
        line += label + "=" + std::to_string(value) + ";";
    }
    line += "\n";
    // One short append: binaries that ctest runs at once do not interleave.
    if (FILE* totals = std::fopen(path, "a")) {
        std::fputs(line.c_str(), totals);
        std::fclose(totals);
    }
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    host::SetTimeScale(0.05);
    const int result = RUN_ALL_TESTS();
    std::printf("%s\n", host::CountersReport().c_str());
    if (const char* totals = std::getenv("OMBREL_VERIFIER_TOTALS")) {
        AppendCounters(totals);
    }
    return result;
}
