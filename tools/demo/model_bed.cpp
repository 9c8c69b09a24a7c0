#include "tools/demo/model_bed.h"

#include "rig/system_rig.h"
#include "tools/demo/report.h"
#include "tools/demo/timing_view.h"

namespace demo {

ModelBed::~ModelBed()
{
    if (DirectorThread.joinable()) {
        DirectorThread.join();
    }
}

std::vector<PortListing> ModelBed::Ports()
{
    std::vector<PortListing> listing;
    for (const rig::PortView& port : Rig.Ports()) {
        listing.push_back({port.Index, port.ComName, port.Description, port.Location, port.HardwareId, port.Working,
                           port.Working ? "This device is working properly." : "This device cannot start."});
    }
    return listing;
}

std::unique_ptr<PortConditions> ModelBed::Conditions(unsigned port)
{
    return std::make_unique<ScenarioConditions>(port, Settings.Scenario, Rig.Model, Settings.Timing);
}

void ModelBed::TrafficStarted(RunControl& control)
{
    Directing = std::make_unique<FaultDirector>(Rig, Settings, control);
    DirectorThread = std::thread([this] { Directing->Run(); });
}

std::string ModelBed::Phase() const
{
    std::string late;
    if (const auto report = Rig.Model.Timing()) {
        late = "  late deliveries " + Grouped(report->LateDeliveries);
    }
    switch (Directing ? Directing->CurrentPhase() : FaultDirector::Phase::Normal) {
    case FaultDirector::Phase::Asleep: return late + "  [system asleep]";
    case FaultDirector::Phase::Removed: return late + "  [bridge removed]";
    case FaultDirector::Phase::Normal: break;
    }
    return late;
}

std::string ModelBed::LiveFigures(unsigned port, double recentRate, const std::vector<unsigned>& active) const
{
    const auto report = Rig.Model.Timing();
    return report ? LiveTimingFigures(*report, port, recentRate * Settings.TimeScale, active) : std::string();
}

void ModelBed::Tick() { Rig.Model.ClearOutTransfers(); }

void ModelBed::TrafficEnded() { DirectorThread.join(); }

} // namespace demo
