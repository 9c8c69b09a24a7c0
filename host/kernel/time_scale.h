// Kernel time on the host. Driver waits are given in the kernel's 100 ns units;
// the stand-in multiplies every such time-out by the time scale before it
// waits in real time, so a test can run a driver's one-second time-out in
// milliseconds without the driver knowing.
#pragma once

#include <chrono>
#include <cstdint>

namespace host {

// 1.0 is real time; 0.01 turns one kernel second into 10 ms of real time.
void SetTimeScale(double scale);
double TimeScale();

// A kernel interval (100 ns units, positive) as real time under the current scale.
std::chrono::nanoseconds KernelIntervalToReal(int64_t hundredNanoseconds);

} // namespace host
