// ombrel-bench's tables against the bridge model's timing mode: the USB
// bus's microframes, the device's answers and each channel's line pace the
// drivers, and every figure is printed beside the one the timing rules give
// on paper (bridge::paper). All times are kernel time; kernel time runs
// slowed down so that the stand-in's threads react well within a microframe,
// and every table prints how often they did not (LateDeliveries).
#pragma once

namespace bench {

// Kernel time runs `scale` times slower than real time while the tables are
// measured; the scale in force before is restored afterwards.
void RunTimingTables(double scale);

} // namespace bench
