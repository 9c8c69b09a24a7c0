#include "tools/usbip/scenario.h"

#include <random>

namespace usbip {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kFirstAnsweredPort = 2;
constexpr uint8_t kPortCount = 8;
constexpr auto kTick = std::chrono::milliseconds(50);
constexpr auto kNakEvery = std::chrono::milliseconds(150);
constexpr auto kSilenceEvery = std::chrono::milliseconds(2500);  // each silence stalls the bus for a time-out
constexpr auto kGarbleEvery = std::chrono::milliseconds(100);
constexpr auto kPartialRefresh = std::chrono::seconds(1);
constexpr size_t kPartialCounts = 256;

} // namespace

FaultDirector::FaultDirector(ExportedDevice& device, const Options& options) : Device(device), Settings(options)
{
    if (Settings.Scenario != faults::Fault::None) {
        Thread = std::thread(&FaultDirector::Run, this);
    }
}

FaultDirector::~FaultDirector()
{
    {
        std::lock_guard lock(Mutex);
        Stopping = true;
    }
    Changed.notify_all();
    if (Thread.joinable()) {
        Thread.join();
    }
}

void FaultDirector::Run()
{
    using faults::Fault;
    std::mt19937_64 rng(Settings.Seed);
    std::uniform_int_distribution<int> answered(kFirstAnsweredPort, kPortCount - 1);
    bridge::BridgeModel& model = Device.Model();
    uint64_t seenImports = 0;
    bool pulled = false;
    Clock::time_point importedAt{};
    Clock::time_point next{};
    const auto surpriseAfter = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(Settings.SurpriseAfterSeconds));

    std::unique_lock lock(Mutex);
    while (!Changed.wait_for(lock, kTick, [&] { return Stopping; })) {
        const auto now = Clock::now();
        const uint64_t imports = Device.Imports();
        if (imports != seenImports) {
            // A new importer meets the scenario from its start, not the last one's leftovers.
            seenImports = imports;
            pulled = false;
            importedAt = now;
            next = now;
            model.ResetBehaviour();
            if (Settings.Scenario == Fault::Sleep) {
                for (uint8_t port = kFirstAnsweredPort; port < kPortCount; ++port) {
                    faults::HoldDataAnswers(model, port);
                }
            }
        }
        if (!Device.Imported() || now < next) {
            continue;
        }
        switch (Settings.Scenario) {
        case Fault::Nak:
            faults::RefuseNextData(model, static_cast<uint8_t>(answered(rng)));
            next = now + kNakEvery;
            break;
        case Fault::Silence:
            faults::SilenceNextData(model, static_cast<uint8_t>(answered(rng)));
            next = now + kSilenceEvery;
            break;
        case Fault::Partial:
            for (uint8_t port = kFirstAnsweredPort; port < kPortCount; ++port) {
                faults::AcceptDataInPart(model, port, faults::PartialAcceptCounts(rng, kPartialCounts));
            }
            next = now + kPartialRefresh;
            break;
        case Fault::Surprise:
            if (!pulled && now - importedAt >= surpriseAfter) {
                pulled = true;
                Device.Unplug("the bridge was pulled out (surprise scenario)");
            }
            break;
        case Fault::Garble:
            faults::SendMalformedTransfers(model, static_cast<uint8_t>(answered(rng)));
            next = now + kGarbleEvery;
            break;
        case Fault::None:
        case Fault::Sleep:
            break;
        }
    }
}

} // namespace usbip
