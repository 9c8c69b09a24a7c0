#include "tools/demo/traffic.h"

#include "tools/demo/report.h"

#include <cinttypes>
#include <cstdio>
#include <deque>
#include <thread>

namespace demo {

using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kRedraw = std::chrono::milliseconds(100);
constexpr double kRecentSeconds = 1.0;

bool Finished(PortState state)
{
    return state == PortState::Done || state == PortState::Gone || state == PortState::Failed;
}

// A port's read rate over the last second of redraws.
class RecentRate {
public:
    double Update(double seconds, uint64_t read)
    {
        Samples.push_back({seconds, read});
        while (Samples.size() > 2 && seconds - Samples[1].Seconds >= kRecentSeconds) {
            Samples.pop_front();
        }
        const Sample& from = Samples.front();
        return seconds > from.Seconds ? static_cast<double>(read - from.Read) / (seconds - from.Seconds) : 0;
    }

private:
    struct Sample {
        double Seconds;
        uint64_t Read;
    };
    std::deque<Sample> Samples{{0, 0}};
};

} // namespace

std::optional<std::vector<std::unique_ptr<PortStats>>> ChoosePorts(const std::vector<PortListing>& ports,
                                                                   const std::vector<unsigned>& chosen)
{
    std::vector<std::unique_ptr<PortStats>> stats;
    for (unsigned index : chosen) {
        auto entry = std::make_unique<PortStats>();
        entry->Port = index;
        for (const PortListing& listing : ports) {
            if (listing.Index == index && listing.Working) {
                entry->ComName = listing.ComName;
            }
        }
        if (entry->ComName.empty()) {
            std::printf("\nPort %u has no working COM port.\n", index);
            return std::nullopt;
        }
        stats.push_back(std::move(entry));
    }
    return stats;
}

void RunTraffic(TestBed& bed, const WorkerConfig& config, std::vector<std::unique_ptr<PortStats>>& stats,
                bool terminal)
{
    const TrafficOptions& options = *config.Settings;
    RunControl& control = *config.Control;
    std::printf("Traffic for %g s on %zu port(s), blocks of %zu to %zu bytes:\n", options.DurationSeconds,
                stats.size(), options.MinSize, options.MaxSize);
    std::fflush(stdout);

    std::vector<std::unique_ptr<PortConditions>> conditions;
    std::vector<std::thread> workers;
    for (auto& entry : stats) {
        conditions.push_back(bed.Conditions(entry->Port));
        workers.emplace_back(RunPort, std::ref(*entry), std::ref(*conditions.back()), std::cref(config));
    }
    for (auto& entry : stats) {
        while (entry->State == PortState::Opening) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    const auto start = Clock::now();
    control.Deadline = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(options.DurationSeconds));
    control.Go = true;
    bed.TrafficStarted(control);

    ProgressView progress(stdout, terminal);
    std::vector<RecentRate> recent(stats.size());
    for (;;) {
        bool allFinished = true;
        uint64_t written = 0;
        uint64_t read = 0;
        uint64_t failures = 0;
        std::vector<std::string> lines;
        std::vector<unsigned> active;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        for (auto& entry : stats) {
            if (entry->State == PortState::Running) {
                active.push_back(entry->Port);
            }
        }
        bool figures = false;
        for (size_t i = 0; i < stats.size(); ++i) {
            PortStats& entry = *stats[i];
            allFinished = allFinished && Finished(entry.State);
            written += entry.Accepted;
            read += entry.Read;
            failures += entry.ExpectedFailures + entry.UnexpectedFailures;
            const std::string extra = bed.LiveFigures(entry.Port, recent[i].Update(seconds, entry.Read), active);
            figures = figures || !extra.empty();
            lines.push_back(ProgressLine(entry, seconds) + extra);
        }
        const std::string phase = bed.Phase();
        char heading[96];
        std::snprintf(heading, sizeof heading, "  %5.1f s%s", seconds, phase.c_str());
        char plain[160];
        std::snprintf(plain, sizeof plain, "  %5.1f s: written %s B, read %s B, failures %" PRIu64 "%s", seconds,
                      Grouped(written).c_str(), Grouped(read).c_str(), failures, phase.c_str());
        // A bed's figures are per port, so the plain view lists the ports too.
        progress.Show(seconds, heading, lines, plain, figures);
        bed.Tick();
        if (allFinished) {
            break;
        }
        std::this_thread::sleep_for(kRedraw);
    }
    control.Stop = true;
    for (auto& worker : workers) {
        worker.join();
    }
    bed.TrafficEnded();
}

} // namespace demo
