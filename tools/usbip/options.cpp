#include "tools/usbip/options.h"

#include "tools/cli/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace usbip {

namespace {

std::optional<uint64_t> ParseUnsigned(const std::string& text)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::strtoull(text.c_str(), nullptr, 10);
}

} // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error)
{
    Options options;
    auto known = [](const std::string& name) {
        return name == "--listen" || name == "--port" || name == "--fault" || name == "--seed" ||
               name == "--surprise-after" || name == "--inf";
    };
    auto apply = [&options](const std::string& name, const std::string& value) {
        if (name == "--listen") {
            options.ListenAddress = value;
            return !value.empty();
        }
        if (name == "--port") {
            const auto port = ParseUnsigned(value);
            options.Port = static_cast<uint16_t>(port.value_or(0));
            return port && *port >= 1 && *port <= 65535;
        }
        if (name == "--fault") {
            const auto fault = faults::ParseFault(value);
            options.Scenario = fault.value_or(faults::Fault::None);
            return fault.has_value();
        }
        if (name == "--seed") {
            const auto seed = ParseUnsigned(value);
            options.Seed = seed.value_or(0);
            return seed.has_value();
        }
        if (name == "--surprise-after") {
            char* end = nullptr;
            errno = 0;
            const double seconds = std::strtod(value.c_str(), &end);
            options.SurpriseAfterSeconds = seconds;
            return errno == 0 && !value.empty() && end == value.c_str() + value.size() && std::isfinite(seconds) &&
                   seconds > 0 && seconds <= 24 * 3600;
        }
        options.InfPath = value;
        return !value.empty();
    };
    if (!cli::ParseCommandLine(args, options.Help, error, known, apply)) {
        return std::nullopt;
    }
    return options;
}

std::string UsageText(const char* program)
{
    return std::string("usage: ") + program + R"( [options]

Serves the bridge model as one USB/IP device (busid 1-1), with the vendor and
product ID the bus driver's INF installs on, so a USB/IP client on another
machine attaches it as if the bridge were plugged in there. One client at a
time imports it; once that connection ends the bridge is unplugged and
importable again. Logs one line per connection event on standard error.

options:
  --listen ADDR          IPv4 address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)
  --port N               TCP port (default 3240, the USB/IP port)
  --fault SCENARIO       what the bridge does wrong while imported (default none):
                           none      a healthy bridge
                           nak       refuses one data command now and then (ports 2-7)
                           silence   leaves one data command unanswered now and then (ports 2-7)
                           partial   takes only part of each data chunk (ports 2-7)
                           sleep     holds every data answer 200 ms (ports 2-7), so that a sleep
                                     of the client's machine lands while answers are due
                           surprise  is pulled out some seconds after each import
                           garble    sends frames the drivers must drop, every 100 ms
  --surprise-after SECONDS  when the surprise scenario pulls the bridge (default 5)
  --seed N               seed of the injected faults (default 1)
  --inf PATH             the bus INF to take the device's identity from
                         (default: windows/OmbrelBus/OmbrelBus.inf of this source tree)
  -h, --help             this text
)";
}

} // namespace usbip
