#include "tools/demo/timing_view.h"

#include <algorithm>

namespace demo {

namespace {

std::string Whole(double value) { return Grouped(static_cast<uint64_t>(std::max(0.0, value) + 0.5)); }

} // namespace

double PaperLimit(const bridge::TimingReport& report, unsigned port, const std::vector<unsigned>& active)
{
    std::vector<unsigned> streaming = active;
    if (std::find(streaming.begin(), streaming.end(), port) == streaming.end()) {
        streaming.push_back(port);
    }
    unsigned answered = 0;
    std::vector<double> unansweredRates;
    for (unsigned each : streaming) {
        if (each >= kFirstAnsweredPort) {
            ++answered;
        } else {
            unansweredRates.push_back(report.LineRate[each]);
        }
    }
    return bridge::paper::ChannelLimit(report.Config, report.LineRate[port], answered, unansweredRates);
}

std::string LiveTimingFigures(const bridge::TimingReport& report, unsigned port, double rate,
                              const std::vector<unsigned>& active)
{
    char text[120];
    std::snprintf(text, sizeof text, "  now %9s of line %9s, paper %9s B/s", Whole(rate).c_str(),
                  Whole(report.LineRate[port]).c_str(), Whole(PaperLimit(report, port, active)).c_str());
    return text;
}

SummaryExtras TimingColumns(const bridge::TimingReport& report,
                            const std::vector<std::unique_ptr<PortStats>>& stats, double timeScale)
{
    std::vector<unsigned> chosen;
    for (const auto& entry : stats) {
        chosen.push_back(entry->Port);
    }
    SummaryExtras extras;
    extras.Rates.Headings = {"Line (B/s)", "Paper limit (B/s)", "Measured (B/s)"};
    extras.Counts.Headings = {"Busy", "Lost", "Nakked"};
    for (const auto& entry : stats) {
        const double seconds = static_cast<double>(entry->ElapsedMs) / 1000.0;
        const auto& counts = report.Channels[entry->Port];
        extras.Rates.Rows.push_back(
            {Whole(report.LineRate[entry->Port]), Whole(PaperLimit(report, entry->Port, chosen)),
             seconds > 0 ? Whole(static_cast<double>(entry->Read) * timeScale / seconds) : "-"});
        extras.Counts.Rows.push_back({Grouped(entry->BusyWrites), Grouped(counts.Lost),
                                      entry->Port < kFirstAnsweredPort ? Grouped(counts.Nakked) : "-"});
    }
    return extras;
}

bool NoteLostBytes(const bridge::TimingReport& report, const std::vector<std::unique_ptr<PortStats>>& stats)
{
    bool none = true;
    for (unsigned port = 0; port < report.Channels.size(); ++port) {
        const uint64_t lost = report.Channels[port].Lost;
        if (lost == 0) {
            continue;
        }
        none = false;
        for (const auto& entry : stats) {
            if (entry->Port == port) {
                ++entry->UnexpectedFailures;
                entry->Note("the bridge model lost " + Grouped(lost) + " received bytes: its " +
                            std::to_string(report.Config.RxBufferBytes) +
                            "-byte receive buffer was full when they came off the line");
            }
        }
    }
    return none;
}

void PrintTimingReport(std::FILE* out, const bridge::TimingReport& report, double timeScale)
{
    std::fprintf(out, "\n%s; kernel time scale %g\n", report.Config.Describe().c_str(), timeScale);
    std::fprintf(out, "  Rates are bytes per second of kernel time. The paper limit counts the command channel's "
                      "turns with every chosen port streaming, not the IN pipe that carries the answers and the "
                      "loopback.\n");
    uint64_t lost = 0;
    for (const auto& counts : report.Channels) {
        lost += counts.Lost;
    }
    if (lost != 0) {
        std::fprintf(out, "  *** The bridge model LOST %s received bytes (see the Lost column).\n",
                     Grouped(lost).c_str());
    }
    if (report.LateDeliveries == 0) {
        std::fprintf(out, "  Late deliveries: 0 (the host kept up with every microframe)\n");
    } else {
        std::fprintf(out, "  Late deliveries: %s IN transfers left more than a microframe after the model's time "
                          "for them: this machine could not keep up, and the rates may differ from run to run "
                          "(a larger --scale, e.g. 10, slows kernel time to give it room)\n",
                     Grouped(report.LateDeliveries).c_str());
    }
    std::fprintf(out, "  Host slips: %s commands submitted a microframe or more after the host last heard from "
                      "the bus (an application between writes, or a host that fell behind)\n",
                 Grouped(report.HostSlips).c_str());
}

} // namespace demo
