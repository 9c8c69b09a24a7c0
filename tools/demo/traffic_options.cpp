#include "tools/demo/traffic_options.h"

#include "tools/cli/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace demo {

namespace {

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

bool ParseSizes(const std::string& text, TrafficOptions& options)
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

// Applies a shared option; false for a bad value.
bool ApplyTrafficOption(const std::string& name, const std::string& value, TrafficOptions& options)
{
    if (name == "--ports") {
        const auto ports = ParsePortList(value);
        if (ports) {
            options.Ports = *ports;
        }
        return ports.has_value();
    }
    if (name == "--size") {
        return ParseSizes(value, options);
    }
    if (name == "--duration") {
        const auto seconds = ParsePositive(value);
        options.DurationSeconds = seconds.value_or(0);
        return seconds.has_value() && *seconds <= 24 * 3600;
    }
    const auto seed = ParseUnsigned(value);
    options.Seed = seed.value_or(0);
    return seed.has_value();
}

} // namespace

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

bool ParseTrafficOptions(const std::vector<std::string>& args, const std::vector<ProgramOption>& own,
                         TrafficOptions& options, std::string& error)
{
    auto programOption = [&own](const std::string& name) {
        return std::find_if(own.begin(), own.end(), [&](const ProgramOption& option) { return option.Name == name; });
    };
    auto shared = [](const std::string& name) {
        return name == "--ports" || name == "--size" || name == "--duration" || name == "--seed";
    };
    return cli::ParseCommandLine(
        args, options.Help, error,
        [&](const std::string& name) { return shared(name) || programOption(name) != own.end(); },
        [&](const std::string& name, const std::string& value) {
            return shared(name) ? ApplyTrafficOption(name, value, options) : programOption(name)->Apply(value);
        });
}

std::string TrafficOptionsUsage()
{
    return R"(  --ports LIST       ports to run, 0-7, as a list of numbers and ranges (default 0-7;
                     0,1 CAN FD, 2-5 RS485, 6,7 RS232), e.g. --ports 0,2-5
  --size MIN-MAX     sizes of the blocks written, in bytes, drawn evenly from the range
  --size N           every block N bytes (1 to 8191, default 1-4096)
  --duration SECONDS how long the traffic runs (default 3)
  --seed N           seed of the block sizes and contents (default 1)
)";
}

} // namespace demo
