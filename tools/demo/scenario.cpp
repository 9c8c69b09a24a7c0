#include "tools/demo/scenario.h"

#include "rig/system_rig.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <thread>

namespace demo {

using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kAsleepFor = std::chrono::milliseconds(300);

std::string Seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", value);
    return text;
}

} // namespace

std::string ScenarioExplanation(Fault fault, const Options& options)
{
    const std::string timeout = Seconds(options.TimeScale);
    switch (fault) {
    case Fault::None:
        return "A healthy bridge: every write completes in full, every byte comes back in order, no failures.";
    case Fault::Nak:
        return "The bridge refuses (NAKs) one data chunk now and then on ports 2-7: that write fails at once with "
               "ERROR_IO_DEVICE (STATUS_DEVICE_PROTOCOL_ERROR) and reports the bytes taken before the refused "
               "chunk; exactly those come back, the program writes the rest. Ports 0 and 1 are never answered "
               "and run unharmed.";
    case Fault::Silence:
        return "The bridge leaves one data chunk unanswered now and then on ports 2-7: after the drivers' "
               "one-second response time-out (" + timeout + " real time at this scale) that write fails with "
               "ERROR_SEM_TIMEOUT (STATUS_IO_TIMEOUT), and while the bus waits every port stalls, since one "
               "command at a time crosses the bridge. The silent chunk was taken and looped back, so it may come "
               "back once more when the program writes it again.";
    case Fault::Partial:
        return "The bridge takes only part of each chunk on ports 2-7: the port driver sends the rest as the next "
               "chunk; a chunk taken not at all ends the write with ERROR_BUSY (STATUS_DEVICE_BUSY) and the bytes "
               "taken so far, and the program writes the rest. Ports 0 and 1 always take everything.";
    case Fault::Sleep:
        return "The bridge holds its answers on ports 2-7 for a moment and the system sleeps meanwhile: the waiting "
               "write fails with ERROR_IO_DEVICE as the bus leaves D0, the ports' queues hold new requests until "
               "the system resumes, then traffic goes on and nothing accepted is lost.";
    case Fault::Surprise:
        return "The bridge is pulled out halfway through: every request in flight completes (with an error), the "
               "program closes its handles, the ports disappear, and everything read before the removal matches "
               "what was written. Exit status 0 means nothing was lost or duplicated.";
    case Fault::Garble:
        return "The bridge sends, every 100 ms, one transfer of each kind the drivers must drop (too short, "
               "wrong magic or version, a length that does not fit, two frames in one, no such port or type, "
               "a malformed announce, ACK or NAK, an ACK nothing waits for): none of it reaches a port, so "
               "traffic runs as on a healthy bridge and every byte comes back unchanged.";
    }
    return "";
}

// The partial scenario: each chunk of the coming write is taken only in
// part, and now and then not at all, which ends the write short.
void ScenarioConditions::BeforeWrite(std::mt19937_64& rng)
{
    if (Scenario == Fault::Partial && Answered()) {
        AcceptCounts = faults::PartialAcceptCounts(rng, 32);
        faults::AcceptDataInPart(Model, static_cast<uint8_t>(Port), AcceptCounts);
    }
}

bool ScenarioConditions::ExpectedWriteError(DWORD error) const
{
    switch (Scenario) {
    case Fault::Nak: return Answered() && error == ERROR_IO_DEVICE;
    case Fault::Silence: return Answered() && error == ERROR_SEM_TIMEOUT;
    // A chunk taken not at all fails the write as busy, with the bytes taken before it.
    case Fault::Partial: return Answered() && error == ERROR_BUSY;
    // A sender waiting for its answer is released when the bridge leaves D0.
    case Fault::Sleep: return Answered() && error == ERROR_IO_DEVICE;
    default: return false;
    }
}

// A refusal takes nothing.
bool ScenarioConditions::FailedChunkMayArrive(DWORD error) const
{
    return PortConditions::FailedChunkMayArrive(error) && !(Scenario == Fault::Nak && error == ERROR_IO_DEVICE);
}

// The port driver sends each chunk from the first byte not yet taken, and a
// chunk taken not at all (acknowledged with 0) ends the write.
std::optional<uint64_t> ScenarioConditions::AcknowledgedChunks(size_t requested, DWORD accepted, DWORD error) const
{
    if (!Answered()) {
        return std::nullopt;
    }
    if (AcceptCounts.empty()) {
        return (accepted + kChunkSize - 1) / kChunkSize;
    }
    uint64_t chunks = 0;
    size_t sent = 0;
    while (sent < accepted) {
        const size_t count = AcceptCounts[std::min<size_t>(chunks, AcceptCounts.size() - 1)];
        const size_t taken = std::min<size_t>({count, kChunkSize, requested - sent});
        ++chunks;
        if (taken == 0) {
            break;
        }
        sent += taken;
    }
    if (error == ERROR_BUSY || (error == ERROR_SUCCESS && accepted < requested)) {
        ++chunks;
    }
    return chunks;
}

FaultDirector::FaultDirector(rig::SystemRig& rig, const Options& options, RunControl& control)
    : Rig(rig), Settings(options), Control(control)
{
    for (unsigned port : options.Ports) {
        if (port >= kFirstAnsweredPort) {
            AnsweredPorts.push_back(port);
        }
    }
}

bool FaultDirector::WaitUntil(double seconds)
{
    const auto start = Control.Deadline - std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(Settings.DurationSeconds));
    const auto at = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < at) {
        if (Control.Stop || Clock::now() >= Control.Deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !Control.Stop && Clock::now() < Control.Deadline;
}

void FaultDirector::Run()
{
    switch (Settings.Scenario) {
    case Fault::None:
    case Fault::Partial:  // the port threads arrange their own acceptance
        return;
    case Fault::Nak:
    case Fault::Silence:
        InjectAnswerFaults();
        return;
    case Fault::Sleep:
        SleepAndResume();
        return;
    case Fault::Garble:
        SendMalformedTransfers();
        return;
    case Fault::Surprise:
        if (WaitUntil(Settings.DurationSeconds / 2)) {
            Control.Removed = true;
            State = Phase::Removed;
            Rig.SurpriseRemove();
            ++InjectedCount;
        }
        return;
    }
}

void FaultDirector::InjectAnswerFaults()
{
    if (AnsweredPorts.empty()) {
        return;
    }
    std::mt19937_64 rng(Settings.Seed);
    const bool silence = Settings.Scenario == Fault::Silence;
    // A silence stalls the whole bridge for a time-out; leave room for traffic between them.
    const double interval = silence ? std::max(2.5 * Settings.TimeScale, 0.25) : 0.15;
    for (double at = silence ? 0.3 : 0.1; WaitUntil(at); at += interval) {
        const auto port = static_cast<uint8_t>(AnsweredPorts[rng() % AnsweredPorts.size()]);
        if (silence) {
            faults::SilenceNextData(Rig.Model, port);
        } else {
            faults::RefuseNextData(Rig.Model, port);
        }
        ++InjectedCount;
    }
}

// Addressed to the chosen ports in turn, so that a transfer the drivers
// wrongly took would break that port's loopback check.
void FaultDirector::SendMalformedTransfers()
{
    if (Settings.Ports.empty()) {
        return;
    }
    size_t next = 0;
    for (double at = 0.05; WaitUntil(at); at += 0.1) {
        faults::SendMalformedTransfers(Rig.Model, static_cast<uint8_t>(Settings.Ports[next++ % Settings.Ports.size()]));
        ++InjectedCount;
    }
}

void FaultDirector::SleepAndResume()
{
    for (double at : {Settings.DurationSeconds / 3, Settings.DurationSeconds * 2 / 3}) {
        if (!WaitUntil(at)) {
            return;
        }
        for (unsigned port : AnsweredPorts) {
            faults::HoldDataAnswers(Rig.Model, static_cast<uint8_t>(port));
        }
        // Long enough for a write to be waiting on its held answer.
        std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.001, 0.05 * Settings.TimeScale)));

        State = Phase::Asleep;
        const NTSTATUS slept = Rig.Sleep();
        if (!NT_SUCCESS(slept)) {
            ProblemsList.push_back("System sleep failed with " + std::to_string(static_cast<uint32_t>(slept)));
        }
        ++InjectedCount;
        std::this_thread::sleep_for(kAsleepFor);
        for (unsigned port : AnsweredPorts) {
            Rig.Model.ClearPortBehaviour(static_cast<uint8_t>(port), bridge::Command::Data);
        }
        const NTSTATUS resumed = Rig.Resume();
        if (!NT_SUCCESS(resumed)) {
            ProblemsList.push_back("System resume failed with " + std::to_string(static_cast<uint32_t>(resumed)));
        }
        State = Phase::Normal;
    }
}

} // namespace demo
