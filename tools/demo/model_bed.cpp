#include "tools/demo/model_bed.h"

#include "rig/system_rig.h"

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
    return std::make_unique<ScenarioConditions>(port, Settings.Scenario, Rig.Model);
}

void ModelBed::TrafficStarted(RunControl& control)
{
    Directing = std::make_unique<FaultDirector>(Rig, Settings, control);
    DirectorThread = std::thread([this] { Directing->Run(); });
}

std::string ModelBed::Phase() const
{
    switch (Directing ? Directing->CurrentPhase() : FaultDirector::Phase::Normal) {
    case FaultDirector::Phase::Asleep: return "  [system asleep]";
    case FaultDirector::Phase::Removed: return "  [bridge removed]";
    case FaultDirector::Phase::Normal: break;
    }
    return {};
}

void ModelBed::Tick() { Rig.Model.ClearOutTransfers(); }

void ModelBed::TrafficEnded() { DirectorThread.join(); }

} // namespace demo
