// The framework's USB target (device, interface, pipes, continuous reader,
// synchronous writes) over the cable, and the stand-in's settings for it.
#pragma once

#include <chrono>

namespace host {

// Stand-in settings for continuous readers.
// How many reader threads complete transfers of one reader at once, at most
// its number of reads in flight (1: the completions run one at a time, in
// order; more: they may overlap and finish out of order, as on a
// multiprocessor).
void SetConcurrentReadCompletions(int count);

// How long a synchronous write that the device never completes may wait when
// the driver gave it no time-out, before the verifier stops the run: such a
// write would hang the system forever.
void SetUnboundedWriteLimit(std::chrono::milliseconds limit);

} // namespace host
