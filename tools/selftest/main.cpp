// ombrel-selftest: ombrel-demo's traffic check on a Windows machine with the
// drivers installed and the bridge plugged in. Finds the bridge's COM ports,
// lists them as Device Manager does, runs looped-back traffic on all of them
// at once through the Win32 comm API and checks every byte. Nothing bends the
// bridge here, so every failure counts against the drivers, and the bridge's
// acknowledgements are out of sight.
#include "tools/demo/win32.h"

#include "tools/demo/report.h"
#include "tools/demo/traffic.h"
#include "tools/demo/traffic_options.h"
#include "tools/selftest/port_discovery.h"
#include "tools/selftest/port_ids.h"

#include <cinttypes>
#include <cstdio>

using namespace demo;

namespace {

// The exit statuses, as --help and the README give them.
constexpr int kPassed = 0;
constexpr int kFailed = 1;
constexpr int kBadCommandLine = 2;
constexpr int kNoBridge = 3;

// ombrel-demo's limit at real time (WorkerConfig::WriteLimit).
constexpr std::chrono::seconds kWriteLimit(40);

// The bridge as found on the machine, left alone.
class PluggedInBridge : public TestBed {
public:
    explicit PluggedInBridge(std::vector<PortListing> ports) : Listing(std::move(ports)) {}
    std::vector<PortListing> Ports() override { return Listing; }
    std::unique_ptr<PortConditions> Conditions(unsigned port) override
    {
        return std::make_unique<PortConditions>(port);
    }
    bool CountsAcknowledgements() const override { return false; }

private:
    std::vector<PortListing> Listing;
};

std::string UsageText()
{
    return "usage: ombrel-selftest [options]\n\nFinds the Ombrel Vesk bridge on this machine: the devices with hardware "
           "IDs\n" +
           selftest::PortHardwareIdRange() + R"( that OmbrelBus creates, one per
channel, each a COM port of OmbrelPort. Lists them as Device Manager does,
then writes seeded random blocks on every chosen port at once through the
Win32 comm API and checks that each byte comes back, in order. Each
channel's data must be looped back to it, as the bridge model does; a port
whose bytes do not come back fails after 10 s.

options:
)" + TrafficOptionsUsage() +
           R"(  -h, --help         this text

exit status:
  0  every byte read back was written, in order
  1  a mismatch, a lost byte, a failed call, or a chosen port without a working COM port
  2  a bad command line
  3  no bridge found
)";
}

// The live view redraws in place in a console that takes VT sequences
// (Windows 10 and later); redirected output gets a plain line a second.
bool ConsoleRedraws()
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(out, &mode) && SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

} // namespace

int main(int argc, char** argv)
{
    TrafficOptions options;
    std::string error;
    if (!ParseTrafficOptions(std::vector<std::string>(argv + 1, argv + argc), {}, options, error)) {
        std::fprintf(stderr, "ombrel-selftest: %s\n(ombrel-selftest --help lists the options)\n", error.c_str());
        return kBadCommandLine;
    }
    if (options.Help) {
        std::fputs(UsageText().c_str(), stdout);
        return kPassed;
    }

    const selftest::BridgeSearch search = selftest::FindBridgePorts();
    if (!search.Error.empty()) {
        std::printf("The machine's devices could not be listed: %s\n", search.Error.c_str());
        return kFailed;
    }
    if (search.Ports.empty()) {
        std::printf("No bridge found: no device present has a hardware ID from %s\n"
                    "(the ports that OmbrelBus creates once an Ombrel Vesk bridge is plugged in).\n",
                    selftest::PortHardwareIdRange().c_str());
        return kNoBridge;
    }
    std::printf("Ombrel Vesk bridge %s: seed %" PRIu64 "\n", search.Bridge.c_str(), options.Seed);
    for (const std::string& other : search.OtherBridges) {
        std::printf("Another bridge, %s, is left alone; unplug all but one to test another.\n", other.c_str());
    }
    PluggedInBridge bed(search.Ports);

    std::printf("\nDevice Manager, Ports (COM & LPT):\n");
    const auto ports = bed.Ports();
    ShowPorts(ports);
    auto stats = ChoosePorts(ports, options.Ports);
    if (!stats) {
        return kFailed;
    }

    std::printf("\n");
    RunControl control;
    const WorkerConfig config{&options, &control, kWriteLimit};
    RunTraffic(bed, config, *stats, ConsoleRedraws());
    const bool clean = PrintSummary(*stats, bed.CountsAcknowledgements());
    std::printf("\n%s\n", clean ? "Result: every byte read back was written, in order." : "Result: FAILED (see above).");
    return clean ? kPassed : kFailed;
}
