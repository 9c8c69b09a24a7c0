// Test entry point: kernel time runs twenty times faster than real time, so a
// driver's one-second response time-out lasts 50 ms, and the verifier's
// counters are printed at the end so a reader of the log sees the checks ran.
#include "host/time_scale.h"
#include "host/verifier.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    host::SetTimeScale(0.05);
    const int result = RUN_ALL_TESTS();
    std::printf("%s\n", host::CountersReport().c_str());
    return result;
}
