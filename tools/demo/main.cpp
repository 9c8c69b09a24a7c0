// ombrel-demo: the whole system against the bridge model, as a user meets it.
// Lists the COM ports the drivers make of the bridge, runs looped-back traffic
// on all of them at once through the Win32 comm API, and checks every byte.
#include "host/kernel/time_scale.h"
#include "host/usb/usb_capture.h"
#include "host/verifier/verifier.h"
#include "rig/system_rig.h"
#include "tools/demo/model_bed.h"
#include "tools/demo/options.h"
#include "tools/demo/report.h"
#include "tools/demo/scenario.h"
#include "tools/demo/timing_view.h"
#include "tools/demo/traffic.h"
#include "tools/demo/win32.h"

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>

using namespace demo;


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

    const bridge::TimingConfig timing;
    std::printf("Ombrel Vesk bridge on the bridge model: seed %" PRIu64 ", kernel time scale %g, scenario %s%s\n\n",
                options.Seed, options.TimeScale, FaultName(options.Scenario),
                options.Timing ? ("; " + timing.Describe()).c_str()
                               : "; untimed: the bridge answers at once and takes data at any speed"
                                 " (--timing for USB and line time)");
    rig::SystemOptions systemOptions;
    // Timed from the plug-in on, so the bring-up keeps USB time too.
    systemOptions.PlugIn = !options.Timing;
    if (!options.CapturePath.empty()) {
        systemOptions.Capture = host::UsbCapture::Create(options.CapturePath, error);
        if (!systemOptions.Capture) {
            std::fprintf(stderr, "ombrel-demo: cannot write the capture: %s\n", error.c_str());
            return 2;
        }
    }
    const std::shared_ptr<host::UsbCapture> capture = systemOptions.Capture;
    auto rig = std::make_unique<rig::SystemRig>(systemOptions);
    if (options.Timing) {
        rig->Model.SetTiming(timing);
        rig->Plug();
    }
    if (!rig->Started()) {
        std::printf("The bridge did not start: 0x%08X\n", static_cast<unsigned>(rig->StartResult()));
        return 1;
    }
    ModelBed bed(*rig, options);

    std::printf("Device Manager, Ports (COM & LPT):\n");
    const auto ports = bed.Ports();
    ShowPorts(ports);
    auto stats = ChoosePorts(ports, options.Ports);
    if (!stats) {
        return 1;
    }

    std::printf("\nScenario %s: %s\n\n", FaultName(options.Scenario),
                ScenarioExplanation(options.Scenario, options).c_str());
    RunControl control;
    // The wait for a silent bridge's response time-out scales with kernel time.
    const WorkerConfig config{&options, &control,
                              std::chrono::seconds(30 + static_cast<int>(10 * options.TimeScale))};
    RunTraffic(bed, config, *stats, terminal);

    const auto timingReport = rig->Model.Timing();
    bool clean = true;
    SummaryExtras extras;
    if (timingReport) {
        clean = NoteLostBytes(*timingReport, *stats);
        extras = TimingColumns(*timingReport, *stats, options.TimeScale);
    }
    clean = PrintSummary(*stats, bed.CountsAcknowledgements(), extras) && clean;
    if (timingReport) {
        PrintTimingReport(stdout, *timingReport, options.TimeScale);
    }
    const FaultDirector& director = bed.Director();
    if (options.Scenario != Fault::None && options.Scenario != Fault::Partial && director.Injected() == 0) {
        std::printf("  The run ended before the %s fault could be injected (or no chosen port is answered).\n",
                    FaultName(options.Scenario));
    }
    for (const std::string& problem : director.Problems()) {
        std::printf("  %s\n", problem.c_str());
        clean = false;
    }

    if (control.Removed) {
        uint64_t unreadAtRemoval = 0;
        for (auto& entry : *stats) {
            unreadAtRemoval += entry->UnreadAtRemoval;
        }
        std::printf("\nAfter the removal (%s accepted bytes were still on their way back when the bridge went):\n",
                    Grouped(unreadAtRemoval).c_str());
        for (auto& entry : *stats) {
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
    if (capture) {
        // Closed after the teardown, so the reads it cancels are in the file too.
        if (capture->Close(error)) {
            std::printf("Capture: %s USB packets (pcapng, USBPcap) in %s\n",
                        Grouped(capture->PacketCount()).c_str(), capture->Path().c_str());
        } else {
            std::printf("Capture: %s\n", error.c_str());
            clean = false;
        }
    }
    std::printf("%s\n", clean ? "Result: every byte read back was written, in order."
                              : "Result: FAILED (see above).");
    return clean ? 0 : 1;
}
