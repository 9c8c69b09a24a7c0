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

// Kernel time since the stand-in started, in 100 ns units: real time divided
// by the scale in force while it passed, so a driver's one-second time-out
// takes one second of it at any scale.
int64_t KernelTimeNow();

} // namespace host
