// Command-line options of ombrel-demo.
#pragma once

#include "tools/faults/faults.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace demo {

using faults::Fault;
using faults::FaultName;

// The largest write: a port holds 8191 received bytes, and while a write is
// in progress its queue serves no new read, so a longer write would overflow
// the port with its own loopback.
constexpr size_t kMaxWriteSize = 8191;

struct Options {
    std::vector<unsigned> Ports{0, 1, 2, 3, 4, 5, 6, 7};
    size_t MinSize = 1;
    size_t MaxSize = 4096;
    double DurationSeconds = 3.0;
    uint64_t Seed = 1;
    double TimeScale = 1.0;
    Fault Scenario = Fault::None;
    bool Help = false;
};

// Parses argv; on a bad argument returns nothing and sets `error`.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

// "0,2-5" as {0, 2, 3, 4, 5}; each port once, in order.
std::optional<std::vector<unsigned>> ParsePortList(const std::string& text);

std::string UsageText(const char* program);

} // namespace demo
