#include "tools/faults/faults.h"

#include <algorithm>

namespace faults {

namespace {

constexpr size_t kChunkSize = 56;

struct FaultEntry {
    Fault Value;
    const char* Name;
};
constexpr FaultEntry kFaults[] = {
    {Fault::None, "none"},   {Fault::Nak, "nak"},     {Fault::Silence, "silence"},
    {Fault::Partial, "partial"}, {Fault::Sleep, "sleep"}, {Fault::Surprise, "surprise"},
};

} // namespace

const char* FaultName(Fault fault)
{
    for (const FaultEntry& entry : kFaults) {
        if (entry.Value == fault) {
            return entry.Name;
        }
    }
    return "?";
}

std::optional<Fault> ParseFault(const std::string& name)
{
    const auto found = std::find_if(std::begin(kFaults), std::end(kFaults),
                                    [&](const FaultEntry& entry) { return name == entry.Name; });
    if (found == std::end(kFaults)) {
        return std::nullopt;
    }
    return found->Value;
}

void RefuseNextData(bridge::BridgeModel& model, uint8_t port)
{
    model.SetPortBehaviour(port, bridge::Command::Data, bridge::PortBehaviour::Refuse(1).Once());
}

void SilenceNextData(bridge::BridgeModel& model, uint8_t port)
{
    model.SetPortBehaviour(port, bridge::Command::Data, bridge::PortBehaviour::Silent().Once());
}

void HoldDataAnswers(bridge::BridgeModel& model, uint8_t port)
{
    model.SetPortBehaviour(port, bridge::Command::Data, bridge::PortBehaviour::Late(kHeldAnswer));
}

void AcceptDataInPart(bridge::BridgeModel& model, uint8_t port, std::vector<uint16_t> counts)
{
    model.SetPortBehaviour(port, bridge::Command::Data, bridge::PortBehaviour::Accept(std::move(counts)));
}

std::vector<uint16_t> PartialAcceptCounts(std::mt19937_64& rng, size_t count)
{
    std::vector<uint16_t> counts(count, 0);
    std::uniform_int_distribution<int> part(1, static_cast<int>(kChunkSize) - 1);
    std::uniform_int_distribution<int> die(0, 5);
    for (size_t i = 0; i < counts.size(); ++i) {
        const bool none = i != 0 && i + 1 != counts.size() && die(rng) == 0;
        counts[i] = none ? 0 : static_cast<uint16_t>(part(rng));
    }
    return counts;
}

} // namespace faults
