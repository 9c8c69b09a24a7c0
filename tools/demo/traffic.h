// The traffic check both programs run: one application thread per chosen
// port, all at once, with the live view until every port has finished.
#pragma once

#include "tools/demo/port_worker.h"
#include "tools/demo/test_bed.h"

#include <memory>
#include <optional>
#include <vector>

namespace demo {

// A record for each chosen port, with its COM name from the listing; nothing,
// after saying which, when a chosen port has no working COM port.
std::optional<std::vector<std::unique_ptr<PortStats>>> ChoosePorts(const std::vector<PortListing>& ports,
                                                                   const std::vector<unsigned>& chosen);

// Runs the traffic on every chosen port for the configured duration; the
// live view redraws in place on a terminal.
void RunTraffic(TestBed& bed, const WorkerConfig& config, std::vector<std::unique_ptr<PortStats>>& stats,
                bool terminal);

} // namespace demo
