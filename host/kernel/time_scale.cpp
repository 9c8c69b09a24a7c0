#include "host/kernel/time_scale.h"

#include <atomic>

namespace host {

namespace {

std::atomic<double> g_timeScale{1.0};

} // namespace

void SetTimeScale(double scale) { g_timeScale = scale; }
double TimeScale() { return g_timeScale; }

std::chrono::nanoseconds KernelIntervalToReal(int64_t hundredNanoseconds)
{
    const double nanoseconds = static_cast<double>(hundredNanoseconds) * 100.0 * g_timeScale.load();
    return std::chrono::nanoseconds(static_cast<int64_t>(nanoseconds));
}

} // namespace host
