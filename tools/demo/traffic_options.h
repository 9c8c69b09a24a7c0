// The command-line options of the traffic check that ombrel-demo and
// ombrel-selftest share, and the parser both programs' own options join.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace demo {

constexpr unsigned kPortCount = 8;

// The largest write: a port holds 8191 received bytes, and while a write is
// in progress its queue serves no new read, so a longer write would overflow
// the port with its own loopback.
constexpr size_t kMaxWriteSize = 8191;

struct TrafficOptions {
    std::vector<unsigned> Ports{0, 1, 2, 3, 4, 5, 6, 7};
    size_t MinSize = 1;
    size_t MaxSize = 4096;
    double DurationSeconds = 3.0;
    uint64_t Seed = 1;
    bool Help = false;
};

// An option of one program only, taking a value; Apply returns false for a
// bad value.
struct ProgramOption {
    std::string Name;
    std::function<bool(const std::string& value)> Apply;
};

// Parses argv into `options`, with the program's own options; false on a bad
// argument, with `error` set.
bool ParseTrafficOptions(const std::vector<std::string>& args, const std::vector<ProgramOption>& own,
                         TrafficOptions& options, std::string& error);

// "0,2-5" as {0, 2, 3, 4, 5}; each port once, in order.
std::optional<std::vector<unsigned>> ParsePortList(const std::string& text);

// A finite number above zero.
std::optional<double> ParsePositive(const std::string& text);

// The usage lines of the shared options (--help not among them).
std::string TrafficOptionsUsage();

} // namespace demo
