// ombrel-demo: the whole system against the bridge model, as a user meets it.
// Lists the COM ports the drivers make of the bridge, runs looped-back traffic
// on all of them at once through the Win32 comm API, and checks every byte.
#include "bridge/bridge_model.h"
#include "host/kernel/time_scale.h"
#include "host/verifier/verifier.h"
#include "host/win32/comm.h"
#include "tools/demo/options.h"
#include "tools/demo/port_worker.h"
#include "tools/demo/report.h"
#include "tools/demo/scenario.h"
#include "rig/system_rig.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <thread>

using namespace demo;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kRedraw = std::chrono::milliseconds(100);

std::string Rate(uint64_t bytes, double seconds)
{
    return seconds > 0 ? Grouped(static_cast<uint64_t>(static_cast<double>(bytes) / seconds)) : "-";
}

std::string StateText(PortState state)
{
    switch (state) {
    case PortState::Opening: return "opening";
    case PortState::Ready: return "ready";
    case PortState::Running: return "running";
    case PortState::Done: return "done";
    case PortState::Gone: return "gone";
    case PortState::Failed: return "FAILED";
    }
    return "?";
}

void ShowPorts(const std::vector<rig::PortView>& ports)
{
    Table table({"Port", "Name", "Description", "Location", "Hardware ID", "Status"});
    for (const rig::PortView& port : ports) {
        table.Add({std::to_string(port.Index), port.ComName.empty() ? "-" : port.ComName, port.Description,
                   port.Location, port.HardwareId,
                   port.Working ? "This device is working properly." : "This device cannot start."});
    }
    table.Print(stdout);
}

std::string ProgressLine(PortStats& stats, double seconds)
{
    char text[200];
    std::snprintf(text, sizeof text, "  %-6s %-6s  written %13s B  read %13s B  %11s B/s  failures %3" PRIu64
                  "  %s",
                  stats.ComName.c_str(), ChannelName(stats.Port), Grouped(stats.Accepted).c_str(),
                  Grouped(stats.Read).c_str(), Rate(stats.Read, seconds).c_str(),
                  stats.ExpectedFailures + stats.UnexpectedFailures, StateText(stats.State).c_str());
    return text;
}

bool Finished(PortState state)
{
    return state == PortState::Done || state == PortState::Gone || state == PortState::Failed;
}

} // namespace

int main(int argc, char** argv)
{
    std::string error;
    const auto parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!parsed) {
        std::fprintf(stderr, "ombrel-demo: %s\n(ombrel-demo --help lists the options)\n", error.c_str());
        return 2;
    }
    const Options options = *parsed;
    if (options.Help) {
        std::fputs(UsageText("ombrel-demo").c_str(), stdout);
        return 0;
    }
    const bool terminal = isatty(1) != 0;
    host::SetTimeScale(options.TimeScale);

    std::printf("Ombrel Vesk bridge on the bridge model: seed %" PRIu64 ", kernel time scale %g, scenario %s\n\n",
                options.Seed, options.TimeScale, FaultName(options.Scenario));
    auto rig = std::make_unique<rig::SystemRig>();
    if (!rig->Started()) {
        std::printf("The bridge did not start: 0x%08X\n", static_cast<unsigned>(rig->StartResult()));
        return 1;
    }

    std::printf("Device Manager, Ports (COM & LPT):\n");
    const auto ports = rig->Ports();
    ShowPorts(ports);

    std::vector<std::unique_ptr<PortStats>> stats;
    for (unsigned index : options.Ports) {
        auto entry = std::make_unique<PortStats>();
        entry->Port = index;
        for (const rig::PortView& view : ports) {
            if (view.Index == index && view.Working) {
                entry->ComName = view.ComName;
            }
        }
        if (entry->ComName.empty()) {
            std::printf("\nPort %u has no working COM port.\n", index);
            return 1;
        }
        stats.push_back(std::move(entry));
    }

    std::printf("\nScenario %s: %s\n\n", FaultName(options.Scenario),
                ScenarioExplanation(options.Scenario, options).c_str());
    std::printf("Traffic for %g s on %zu port(s), blocks of %zu to %zu bytes:\n", options.DurationSeconds,
                stats.size(), options.MinSize, options.MaxSize);
    std::fflush(stdout);

    RunControl control;
    const WorkerConfig config{&options, &rig->Model, &control};
    std::vector<std::thread> workers;
    for (auto& entry : stats) {
        workers.emplace_back(RunPort, std::ref(*entry), std::cref(config));
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

    FaultDirector director(*rig, options, control);
    std::thread directing([&] { director.Run(); });

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
        const char* phase = director.CurrentPhase() == FaultDirector::Phase::Asleep    ? "  [system asleep]"
                            : director.CurrentPhase() == FaultDirector::Phase::Removed ? "  [bridge removed]"
                                                                                       : "";
        char heading[96];
        std::snprintf(heading, sizeof heading, "  %5.1f s%s", seconds, phase);
        char plain[160];
        std::snprintf(plain, sizeof plain, "  %5.1f s: written %s B, read %s B, failures %" PRIu64 "%s", seconds,
                      Grouped(written).c_str(), Grouped(read).c_str(), failures, phase);
        progress.Show(seconds, heading, lines, plain);
        // Nothing here reads the model's record of OUT transfers; it would
        // grow by every chunk of a long run.
        rig->Model.ClearOutTransfers();
        if (allFinished) {
            break;
        }
        std::this_thread::sleep_for(kRedraw);
    }
    control.Stop = true;
    for (auto& worker : workers) {
        worker.join();
    }
    directing.join();

    std::printf("\nSummary:\n");
    Table summary({"Port", "Name", "Channel", "Written (B)", "Read (B)", "Read (B/s)", "Acked chunks", "Short writes",
                   "Failures exp/unexp", "Mismatches", "Result"},
                  {false, false, false, true, true, true, true, true, true, true, false});
    bool clean = true;
    uint64_t unreadAtRemoval = 0;
    for (auto& entry : stats) {
        const bool answered = entry->Port >= kFirstAnsweredPort;
        const bool good = entry->Mismatches == 0 && entry->UnexpectedFailures == 0 && entry->Lost == 0 &&
                          entry->State != PortState::Failed;
        clean = clean && good;
        unreadAtRemoval += entry->UnreadAtRemoval;
        const double seconds = static_cast<double>(entry->ElapsedMs) / 1000.0;
        summary.Add({std::to_string(entry->Port), entry->ComName, ChannelName(entry->Port), Grouped(entry->Accepted),
                     Grouped(entry->Read), Rate(entry->Read, seconds), answered ? Grouped(entry->AckedChunks) : "(unanswered)",
                     Grouped(entry->ShortWrites),
                     Grouped(entry->ExpectedFailures) + "/" + Grouped(entry->UnexpectedFailures),
                     Grouped(entry->Mismatches),
                     !good ? "FAIL" : entry->State == PortState::Gone ? "ok, gone" : "ok"});
    }
    summary.Print(stdout);

    for (auto& entry : stats) {
        if (entry->ResentDelivered != 0) {
            std::printf("  %s: the bridge had taken %s bytes of chunks whose writes failed; they came back, and "
                        "again when written again (the far end got them twice)\n",
                        entry->ComName.c_str(), Grouped(entry->ResentDelivered).c_str());
        }
        for (const std::string& note : entry->Notes()) {
            std::printf("  %s: %s\n", entry->ComName.c_str(), note.c_str());
        }
    }
    if (options.Scenario != Fault::None && options.Scenario != Fault::Partial && director.Injected() == 0) {
        std::printf("  The run ended before the %s fault could be injected (or no chosen port is answered).\n",
                    FaultName(options.Scenario));
    }
    for (const std::string& problem : director.Problems()) {
        std::printf("  %s\n", problem.c_str());
        clean = false;
    }

    if (control.Removed) {
        std::printf("\nAfter the removal (%s accepted bytes were still on their way back when the bridge went):\n",
                    Grouped(unreadAtRemoval).c_str());
        for (auto& entry : stats) {
            const std::string name = "\\\\.\\" + entry->ComName;
            const HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_OVERLAPPED, nullptr);
            if (handle != INVALID_HANDLE_VALUE) {
                CloseHandle(handle);
                std::printf("  %s still opens after the removal\n", entry->ComName.c_str());
                clean = false;
            } else {
                std::printf("  %s is gone (CreateFile fails with error %u)\n", entry->ComName.c_str(),
                            static_cast<unsigned>(GetLastError()));
            }
        }
    }

    // Tearing the system down checks for requests never completed and objects left behind.
    rig.reset();
    std::printf("\n%s\n", host::CountersReport().c_str());
    std::printf("%s\n", clean ? "Result: every byte read back was written, in order."
                              : "Result: FAILED (see above).");
    return clean ? 0 : 1;
}
