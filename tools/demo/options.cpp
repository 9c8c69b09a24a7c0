#include "tools/demo/options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace demo {

namespace {

constexpr unsigned kPortCount = 8;

std::optional<uint64_t> ParseUnsigned(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParsePositive(const std::string& text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0) {
        return std::nullopt;
    }
    return value;
}

bool ParseSizes(const std::string& text, Options& options)
{
    const size_t dash = text.find('-');
    const auto low = ParseUnsigned(text.substr(0, dash));
    const auto high = dash == std::string::npos ? low : ParseUnsigned(text.substr(dash + 1));
    if (!low || !high || *low < 1 || *low > *high || *high > kMaxWriteSize) {
        return false;
    }
    options.MinSize = static_cast<size_t>(*low);
    options.MaxSize = static_cast<size_t>(*high);
    return true;
}

} // namespace

std::optional<std::vector<unsigned>> ParsePortList(const std::string& text)
{
    std::vector<bool> chosen(kPortCount, false);
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        const size_t dash = item.find('-');
        const auto first = ParseUnsigned(item.substr(0, dash));
        const auto last = dash == std::string::npos ? first : ParseUnsigned(item.substr(dash + 1));
        if (!first || !last || *first > *last || *last >= kPortCount) {
            return std::nullopt;
        }
        for (uint64_t port = *first; port <= *last; ++port) {
            chosen[port] = true;
        }
        start = comma + 1;
    }
    std::vector<unsigned> ports;
    for (unsigned port = 0; port < kPortCount; ++port) {
        if (chosen[port]) {
            ports.push_back(port);
        }
    }
    return ports;
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error)
{
    Options options;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        const size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        if (name == "-h" || name == "--help") {
            options.Help = true;
            continue;
        }
        const bool takesValue = name == "--ports" || name == "--size" || name == "--duration" || name == "--seed" ||
                                name == "--scale" || name == "--fault";
        if (!takesValue) {
            error = "unknown option '" + args[i] + "'";
            return std::nullopt;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }

        bool good = true;
        if (name == "--ports") {
            const auto ports = ParsePortList(value);
            good = ports.has_value();
            if (good) {
                options.Ports = *ports;
            }
        } else if (name == "--size") {
            good = ParseSizes(value, options);
        } else if (name == "--duration") {
            const auto seconds = ParsePositive(value);
            good = seconds.has_value() && *seconds <= 24 * 3600;
            options.DurationSeconds = seconds.value_or(0);
        } else if (name == "--seed") {
            const auto seed = ParseUnsigned(value);
            good = seed.has_value();
            options.Seed = seed.value_or(0);
        } else if (name == "--scale") {
            const auto scale = ParsePositive(value);
            good = scale.has_value() && *scale >= 0.001 && *scale <= 100;
            options.TimeScale = scale.value_or(0);
        } else {
            const auto fault = faults::ParseFault(value);
            good = fault.has_value();
            if (good) {
                options.Scenario = *fault;
            }
        }
        if (!good) {
            error = "bad value '" + value + "' for " + name;
            return std::nullopt;
        }
    }
    return options;
}

std::string UsageText(const char* program)
{
    return std::string("usage: ") + program + R"( [options]

Brings up both drivers against the bridge model, lists the eight COM ports as
Device Manager would, then writes seeded random blocks on every chosen port at
once through the Win32 comm API and checks that each byte comes back, in
order, through the bridge's loopback. Exits non-zero on any mismatch, lost
byte or failure the chosen scenario does not explain.

options:
  --ports LIST       ports to run, 0-7, as a list of numbers and ranges (default 0-7;
                     0,1 CAN FD, 2-5 RS485, 6,7 RS232), e.g. --ports 0,2-5
  --size MIN-MAX     sizes of the blocks written, in bytes, drawn evenly from the range
  --size N           every block N bytes (1 to 8191, default 1-4096)
  --duration SECONDS how long the traffic runs (default 3)
  --seed N           seed of the block sizes and contents (default 1)
  --scale X          kernel time per real time: 1 is real time (default), 0.1 makes the
                     drivers' one-second time-outs last 100 ms
  --fault SCENARIO   what goes wrong during the run (default none):
                       none      a healthy bridge
                       nak       the bridge refuses some data commands (ports 2-7)
                       silence   the bridge leaves some data commands unanswered (ports 2-7)
                       partial   the bridge takes only part of each chunk (ports 2-7)
                       sleep     the system sleeps and resumes while writes wait for answers
                       surprise  the bridge is pulled out in the middle of the traffic
  -h, --help         this text
)";
}

} // namespace demo
