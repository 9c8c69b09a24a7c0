#include "tools/demo/traffic.h"

#include "tools/demo/report.h"

#include <cinttypes>
#include <cstdio>
#include <thread>

namespace demo {

using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kRedraw = std::chrono::milliseconds(100);

bool Finished(PortState state)
{
    return state == PortState::Done || state == PortState::Gone || state == PortState::Failed;
}

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
    for (;;) {
        bool allFinished = true;
        uint64_t written = 0;
        uint64_t read = 0;
        uint64_t failures = 0;
        std::vector<std::string> lines;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        for (auto& entry : stats) {
            allFinished = allFinished && Finished(entry->State);
            written += entry->Accepted;
            read += entry->Read;
            failures += entry->ExpectedFailures + entry->UnexpectedFailures;
            lines.push_back(ProgressLine(*entry, seconds));
        }
        const std::string phase = bed.Phase();
        char heading[96];
        std::snprintf(heading, sizeof heading, "  %5.1f s%s", seconds, phase.c_str());
        char plain[160];
        std::snprintf(plain, sizeof plain, "  %5.1f s: written %s B, read %s B, failures %" PRIu64 "%s", seconds,
                      Grouped(written).c_str(), Grouped(read).c_str(), failures, phase.c_str());
        progress.Show(seconds, heading, lines, plain);
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
