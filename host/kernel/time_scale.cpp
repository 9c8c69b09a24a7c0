#include "host/kernel/time_scale.h"

#include <atomic>
#include <mutex>

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<double> g_timeScale{1.0};

// The kernel clock advances piecewise: from the last change of scale, at
// that scale.
struct KernelClock {
    std::mutex Lock;
    Clock::time_point RealAtChange = Clock::now();
    int64_t KernelAtChange = 0;

    int64_t NowLocked(Clock::time_point now) const
    {
        const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(now - RealAtChange).count();
        return KernelAtChange + static_cast<int64_t>(static_cast<double>(real) / 100.0 / g_timeScale.load());
    }
};

KernelClock& TheKernelClock()
{
    static KernelClock clock;
    return clock;
}

} // namespace

void SetTimeScale(double scale)
{
    KernelClock& clock = TheKernelClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    const auto now = Clock::now();
    clock.KernelAtChange = clock.NowLocked(now);
    clock.RealAtChange = now;
    g_timeScale = scale;
}

double TimeScale() { return g_timeScale; }

std::chrono::nanoseconds KernelIntervalToReal(int64_t hundredNanoseconds)
{
    const double nanoseconds = static_cast<double>(hundredNanoseconds) * 100.0 * g_timeScale.load();
    return std::chrono::nanoseconds(static_cast<int64_t>(nanoseconds));
}

int64_t KernelTimeNow()
{
    KernelClock& clock = TheKernelClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    return clock.NowLocked(Clock::now());
}

} // namespace host
