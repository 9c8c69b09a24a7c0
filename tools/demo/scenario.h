// The fault scenarios: what the bridge model is told to do during the run,
// and what the drivers should be seen to do about it.
#pragma once

#include "tools/demo/options.h"
#include "tools/demo/port_worker.h"
#include "tools/demo/test_bed.h"

#include <atomic>
#include <string>
#include <vector>

namespace rig {
class SystemRig;
}

namespace demo {

// What an engineer watching the run should see the drivers do.
std::string ScenarioExplanation(Fault fault, const Options& options);

// How a port's writes go under the scenario: which failures it causes, and
// the chunks the bridge acknowledged, which the model's settings tell.
class ScenarioConditions : public PortConditions {
public:
    // `timed`: the bridge model keeps time, so a full FIFO cuts writes short.
    ScenarioConditions(unsigned port, Fault scenario, bridge::BridgeModel& model, bool timed = false)
        : PortConditions(port), Scenario(scenario), Model(model), Timed(timed)
    {
    }
    void BeforeWrite(std::mt19937_64& rng) override;
    bool ExpectedWriteError(DWORD error) const override;
    bool FailedChunkMayArrive(DWORD error) const override;
    bool ShortWriteExpected() const override { return Scenario == Fault::Partial; }
    // Only ports 2 to 7 are answered with what fit; ports 0 and 1 are held back until it does.
    bool BusyExpected() const override { return Timed && Answered(); }
    std::optional<uint64_t> AcknowledgedChunks(size_t requested, DWORD accepted, DWORD error) const override;

private:
    const Fault Scenario;
    bridge::BridgeModel& Model;
    const bool Timed;
    std::vector<uint16_t> AcceptCounts;  // the partial scenario's, for the write in progress
};

// Bends the bridge (or the system) while the port threads run.
class FaultDirector {
public:
    enum class Phase { Normal, Asleep, Removed };

    FaultDirector(rig::SystemRig& rig, const Options& options, RunControl& control);
    void Run();

    Phase CurrentPhase() const { return State; }
    unsigned Injected() const { return InjectedCount; }
    // Problems of the system itself (a failed sleep or resume).
    std::vector<std::string> Problems() const { return ProblemsList; }

private:
    // Waits until `at` after the start; false when the run ended first.
    bool WaitUntil(double seconds);
    void InjectAnswerFaults();
    void SleepAndResume();
    void SendMalformedTransfers();

    rig::SystemRig& Rig;
    const Options& Settings;
    RunControl& Control;
    std::vector<unsigned> AnsweredPorts;
    std::atomic<Phase> State{Phase::Normal};
    std::atomic<unsigned> InjectedCount{0};
    std::vector<std::string> ProblemsList;
};

} // namespace demo
