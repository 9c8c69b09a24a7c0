// What the benchmark's tables share: order statistics, the way a run stops
// on a broken rig, the ports' names and a handle on each.
#pragma once

#include "rig/system_rig.h"

#include "host/win32/comm.h"

#include <array>
#include <map>
#include <string>
#include <vector>

namespace bench {

// NAN for no values.
double Median(std::vector<double> values);
// Nearest rank; NAN for no values.
double Percentile(std::vector<double> values, double percent);

// Prints the reason and ends the program with status 1.
[[noreturn]] void Fail(const std::string& why);

// The COM name of each of the bridge's eight ports; fails the run unless all
// eight started with a name.
std::map<unsigned, std::string> PortNames(rig::SystemRig& bridge);

// A handle on every port, opened for reading and writing, closed at the end.
class OpenPorts {
public:
    explicit OpenPorts(const std::map<unsigned, std::string>& names);
    ~OpenPorts();
    OpenPorts(const OpenPorts&) = delete;
    OpenPorts& operator=(const OpenPorts&) = delete;

    HANDLE operator[](unsigned index) const { return Handles.at(index); }

private:
    std::array<HANDLE, 8> Handles{};
};

} // namespace bench
