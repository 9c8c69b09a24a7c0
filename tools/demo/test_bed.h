// What the traffic runs on, as the application sees it: the bridge model in
// the stand-in (ombrel-demo) or a bridge plugged into a Windows machine
// (ombrel-selftest). The port threads, the loopback check and the report know
// only this and the Win32 API; whatever reaches into the model (the fault
// scenarios, the bridge's acknowledgements) is on the far side of it.
#pragma once

#include "tools/demo/port_worker.h"
#include "tools/demo/win32.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace demo {

// A port as Device Manager lists it.
struct PortListing {
    unsigned Index = 0;
    std::string ComName;
    std::string Description;
    std::string Location;
    std::string HardwareId;
    bool Working = false;  // started, with a COM name
    std::string Status;
};

// How one port's writes are judged; only that port's thread uses it. As it
// stands, a bridge left alone: no failure is expected, and a chunk whose write
// failed for want of the bridge's answer may still have been taken.
class PortConditions {
public:
    explicit PortConditions(unsigned port) : Port(port) {}
    virtual ~PortConditions() = default;
    PortConditions(const PortConditions&) = delete;
    PortConditions& operator=(const PortConditions&) = delete;

    // Before each write; may draw from the port's generator.
    virtual void BeforeWrite(std::mt19937_64& rng);
    // Whether a failed write's error is one the run provokes.
    virtual bool ExpectedWriteError(DWORD error) const;
    // Whether the chunk at which a write failed may still have been taken,
    // and so looped back, though its answer never counted.
    virtual bool FailedChunkMayArrive(DWORD error) const;
    // Whether a write may succeed with only part of its bytes taken.
    virtual bool ShortWriteExpected() const;
    // Whether a write may end with ERROR_BUSY after the bytes the bridge had
    // room for, as a bridge whose transmit FIFO is full does: the application
    // writes the rest again, and it counts as busy, not as a failure.
    virtual bool BusyExpected() const;
    // The chunks of one write that the bridge acknowledged, where the bed can
    // see them.
    virtual std::optional<uint64_t> AcknowledgedChunks(size_t requested, DWORD accepted, DWORD error) const;

protected:
    bool Answered() const { return Port >= kFirstAnsweredPort; }
    const unsigned Port;
};

class TestBed {
public:
    virtual ~TestBed() = default;

    virtual std::vector<PortListing> Ports() = 0;
    virtual std::unique_ptr<PortConditions> Conditions(unsigned port) = 0;
    // Whether the summary shows the bridge's acknowledgement counts.
    virtual bool CountsAcknowledgements() const = 0;

    // The run's course: once the clock has started; at every redraw (the
    // text shown beside the clock, and the bed's own upkeep); once every port
    // thread has ended.
    virtual void TrafficStarted(RunControl& control);
    virtual std::string Phase() const;
    virtual void Tick();
    virtual void TrafficEnded();
    // What the bed adds to a port's line of the live view: `recentRate` is
    // the port's read rate over the last second, in bytes per real second,
    // while the `active` ports stream. Empty by default.
    virtual std::string LiveFigures(unsigned port, double recentRate, const std::vector<unsigned>& active) const;
};

} // namespace demo
