// The whole-system rig in a test's hands: both drivers installed from their
// INFs, the bridge model plugged in, eight COM ports named by the port
// installer (COM3 to COM10 unless a test names them), and handles opened by
// name through the I/O manager. Start, Settle and DrainIn fail the test where
// the rig's own return a status.
#pragma once

#include "rig/system_rig.h"

#include "host/io_manager/io_manager.h"
#include "host/kernel/time_scale.h"

#include <ntddser.h>

#include <memory>
#include <string>
#include <vector>

namespace test {

// Kernel time runs as fast as real time while it lives: for a test in which
// the test thread answers the device's commands itself, so that a stalled
// thread has the bus's whole response time-out before an answer is late.
class RealTimeScope {
public:
    RealTimeScope() : Saved(host::TimeScale()) { host::SetTimeScale(1.0); }
    ~RealTimeScope() { host::SetTimeScale(Saved); }
    RealTimeScope(const RealTimeScope&) = delete;
    RealTimeScope& operator=(const RealTimeScope&) = delete;

private:
    double Saved;
};

class PortSystem : public rig::SystemRig {
public:
    // `portNames` names ports 0, 1, ... in order; "" leaves a port without a
    // PortName. Ports beyond the list get COM3 + index.
    explicit PortSystem(std::vector<std::string> portNames = {}, bool start = true);
    // Removes the bridge and checks that nothing of it is left with the drivers.
    ~PortSystem();

    // Plugs the bridge in and waits until its children have their drivers.
    void Start();
    void Settle();
    void DrainIn();
    std::string PortName(unsigned port) const;

    NTSTATUS Open(unsigned port, std::unique_ptr<host::FileHandle>& handle);
    std::unique_ptr<host::FileHandle> OpenOrFail(unsigned port);

    // The bridge sends `bytes` as received data for the port, in frames of at
    // most 56 bytes, and the call returns once the port driver has taken them.
    void Receive(unsigned port, const std::vector<uint8_t>& bytes);

    // Data frames the bridge received for `port`, in order (payloads).
    std::vector<std::vector<uint8_t>> DataFramesSent(unsigned port);
    // Control frames for `port` as (op, arg) pairs.
    std::vector<std::pair<uint8_t, uint8_t>> ControlFramesSent(unsigned port);

private:
    std::vector<std::string> Names;
};

// Little helpers for the control-code buffers.
std::vector<uint8_t> Ulong(ULONG value);
ULONG AsUlong(const std::vector<uint8_t>& bytes, size_t offset = 0);

} // namespace test
