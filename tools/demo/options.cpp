#include "tools/demo/options.h"

namespace demo {

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error)
{
    Options options;
    // The one option without a value; the rest go to the shared parser.
    std::vector<std::string> valued;
    for (const std::string& arg : args) {
        if (arg == "--timing") {
            options.Timing = true;
        } else {
            valued.push_back(arg);
        }
    }
    const std::vector<ProgramOption> own = {
        {"--scale",
         [&options](const std::string& value) {
             const auto scale = ParsePositive(value);
             options.TimeScale = scale.value_or(0);
             return scale.has_value() && *scale >= 0.001 && *scale <= 100;
         }},
        {"--fault",
         [&options](const std::string& value) {
             const auto fault = faults::ParseFault(value);
             if (fault) {
                 options.Scenario = *fault;
             }
             return fault.has_value();
         }},
        {"--capture",
         [&options](const std::string& value) {
             options.CapturePath = value;
             return !value.empty();
         }},
    };
    if (!ParseTrafficOptions(valued, own, options, error)) {
        return std::nullopt;
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
)" + TrafficOptionsUsage() +
           R"(  --scale X          kernel time per real time: 1 is real time (default), 0.1 makes the
                     drivers' one-second time-outs last 100 ms; with --timing a larger scale
                     (e.g. 10) keeps a slow host within the model's 125 us microframes (the
                     summary counts the late deliveries when it could not keep up)
  --fault SCENARIO   what goes wrong during the run (default none):
                       none      a healthy bridge
                       nak       the bridge refuses some data commands (ports 2-7)
                       silence   the bridge leaves some data commands unanswered (ports 2-7)
                       partial   the bridge takes only part of each chunk (ports 2-7)
                       sleep     the system sleeps and resumes while writes wait for answers
                       surprise  the bridge is pulled out in the middle of the traffic
                       garble    the bridge sends frames the drivers must drop, between its answers
  --capture FILE     record the bridge's USB traffic, both bulk pipes from the bring-up
                     to the removal, as a pcapng file that Wireshark opens (USBPcap)
  --timing           the bridge model keeps USB 2.0 high-speed time from its plug-in on: 125 us
                     microframes, per-channel FIFOs drained at the line rate; the live view and
                     the summary set each port's rate beside its line rate and its limit on
                     paper, and a write the full FIFO cuts short (ERROR_BUSY) is written again
  -h, --help         this text
)";
}

} // namespace demo
