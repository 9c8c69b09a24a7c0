// The bridge model in the stand-in as ombrel-demo's test bed: the rig's port
// list, each port's conditions under the fault scenario, and the director
// that bends the bridge while the traffic runs.
#pragma once

#include "tools/demo/options.h"
#include "tools/demo/scenario.h"
#include "tools/demo/test_bed.h"

#include <memory>
#include <thread>

namespace rig {
class SystemRig;
}

namespace demo {

class ModelBed : public TestBed {
public:
    ModelBed(rig::SystemRig& rig, const Options& options) : Rig(rig), Settings(options) {}
    ~ModelBed() override;
    ModelBed(const ModelBed&) = delete;
    ModelBed& operator=(const ModelBed&) = delete;

    std::vector<PortListing> Ports() override;
    std::unique_ptr<PortConditions> Conditions(unsigned port) override;
    // A timed bridge acknowledges each chunk with what fit, which the
    // application cannot count.
    bool CountsAcknowledgements() const override { return !Settings.Timing; }
    void TrafficStarted(RunControl& control) override;
    std::string Phase() const override;
    // Nothing reads the model's record of OUT transfers; it would grow by
    // every chunk of a long run.
    void Tick() override;
    void TrafficEnded() override;
    // In timing mode: the port's rate beside its line rate and paper limit.
    std::string LiveFigures(unsigned port, double recentRate, const std::vector<unsigned>& active) const override;

    // Once the traffic has started.
    const FaultDirector& Director() const { return *Directing; }

private:
    rig::SystemRig& Rig;
    const Options& Settings;
    std::unique_ptr<FaultDirector> Directing;
    std::thread DirectorThread;
};

} // namespace demo
