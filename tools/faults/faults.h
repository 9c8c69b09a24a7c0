// The fault scenarios of the bridge model, shared by the programs that run
// it (ombrel-demo, ombrel-usbip): their names on the command line and the
// model knobs each one turns, so both bend the bridge the same way.
#pragma once

#include "bridge/bridge_model.h"

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace faults {

enum class Fault { None, Nak, Silence, Partial, Sleep, Surprise, Garble };

const char* FaultName(Fault fault);
std::optional<Fault> ParseFault(const std::string& name);

// How long the bridge holds each answer in the sleep scenario: well inside
// the drivers' one-second response time-out, so only the sleep ends the
// wait. In kernel time, 100 ns units.
constexpr int64_t kHeldAnswer = 2'000'000;

// The answered ports' knobs (ports 2-7 get answers; 0 and 1 never do).
// nak: the next data command on `port` is refused (NAK reason 1).
void RefuseNextData(bridge::BridgeModel& model, uint8_t port);
// silence: the next data command on `port` goes unanswered (its data is still taken and looped back).
void SilenceNextData(bridge::BridgeModel& model, uint8_t port);
// sleep: every data answer on `port` comes kHeldAnswer late, until cleared.
void HoldDataAnswers(bridge::BridgeModel& model, uint8_t port);
// partial: the data commands on `port` are taken only in part, in turn by the
// counts given (see PartialAcceptCounts), the last repeated.
void AcceptDataInPart(bridge::BridgeModel& model, uint8_t port, std::vector<uint16_t> counts);

// garble: one IN transfer of each kind the bus driver drops unseen, each
// breaking one of its receive rules (MalformedTransfers). Their data is for
// `port`, so a transfer wrongly delivered breaks that port's loopback check.
std::vector<bridge::wire::Bytes> MalformedTransfers(uint8_t port);
void SendMalformedTransfers(bridge::BridgeModel& model, uint8_t port);

// `count` accept counts for one write of 56-byte chunks: each chunk taken in
// part (1 to 55 bytes), and now and then, but never first or last, not at all.
std::vector<uint16_t> PartialAcceptCounts(std::mt19937_64& rng, size_t count);

} // namespace faults
