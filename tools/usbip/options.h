// Command-line options of ombrel-usbip.
#pragma once

#include "tools/faults/faults.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace usbip {

struct Options {
    std::string ListenAddress = "127.0.0.1";
    uint16_t Port = 3240;
    faults::Fault Scenario = faults::Fault::None;
    double SurpriseAfterSeconds = 5;
    uint64_t Seed = 1;
    std::string InfPath;   // empty: the repository's bus INF
    bool Help = false;
};

// Parses argv; on a bad argument returns nothing and sets `error`.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);
std::string UsageText(const char* program);

} // namespace usbip
