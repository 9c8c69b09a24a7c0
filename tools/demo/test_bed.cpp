#include "tools/demo/test_bed.h"

namespace demo {

void PortConditions::BeforeWrite(std::mt19937_64&) {}

bool PortConditions::ExpectedWriteError(DWORD) const { return false; }

// Only an answered port waits for the bridge's word on each chunk; a time-out
// or a device error leaves open whether the chunk got there.
bool PortConditions::FailedChunkMayArrive(DWORD error) const
{
    return Answered() && (error == ERROR_SEM_TIMEOUT || error == ERROR_IO_DEVICE);
}

bool PortConditions::ShortWriteExpected() const { return false; }

bool PortConditions::BusyExpected() const { return false; }

std::optional<uint64_t> PortConditions::AcknowledgedChunks(size_t, DWORD, DWORD) const { return std::nullopt; }

void TestBed::TrafficStarted(RunControl&) {}

std::string TestBed::Phase() const { return {}; }

void TestBed::Tick() {}

void TestBed::TrafficEnded() {}

std::string TestBed::LiveFigures(unsigned, double, const std::vector<unsigned>&) const { return {}; }

} // namespace demo
