// Command-line options of ombrel-demo: the shared traffic options, the kernel
// time scale, the fault scenario, the capture file and the timing mode.
#pragma once

#include "tools/demo/traffic_options.h"
#include "tools/faults/faults.h"

#include <optional>
#include <string>
#include <vector>

namespace demo {

using faults::Fault;
using faults::FaultName;

struct Options : TrafficOptions {
    double TimeScale = 1.0;
    Fault Scenario = Fault::None;
    std::string CapturePath;  // empty: no capture
    bool Timing = false;      // the bridge model in timing mode from its plug-in on
};

// Parses argv; on a bad argument returns nothing and sets `error`.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

std::string UsageText(const char* program);

} // namespace demo
