// The whole system as an application meets it: the bus and port drivers
// loaded as modules, the bridge model plugged in, eight COM ports named by the
// port installer (COM3 to COM10 unless a test names them), and handles opened
// by name through the I/O manager.
#pragma once

#include "bridge/bridge_model.h"
#include "host/io_manager/io_manager.h"
#include "host/pnp/system.h"
#include "port/port.h"

#include <ntddser.h>

#include <memory>
#include <string>
#include <vector>

namespace test {

class PortSystem {
public:
    // `portNames` names ports 0, 1, ... in order; "" leaves a port without a
    // PortName. Ports beyond the list get COM3 + index.
    explicit PortSystem(std::vector<std::string> portNames = {}, bool start = true);
    ~PortSystem();
    PortSystem(const PortSystem&) = delete;
    PortSystem& operator=(const PortSystem&) = delete;

    // Plugs the bridge in and waits until its children have their drivers.
    void Start();
    std::string PortName(unsigned port) const;

    NTSTATUS Open(unsigned port, std::unique_ptr<host::FileHandle>& handle);
    std::unique_ptr<host::FileHandle> OpenOrFail(unsigned port);

    // The bridge sends `bytes` as received data for the port, in frames of at
    // most 56 bytes, and the call returns once the port driver has taken them.
    void Receive(unsigned port, const std::vector<uint8_t>& bytes);
    // Waits until the bus driver has handled every IN transfer and the PnP
    // and system workers are idle.
    void Settle();

    host::DeviceNode& Bus() { return *BusNode; }
    host::DeviceNode* PortNode(unsigned port);
    // The port driver's context of a port, for checks a test cannot make from
    // outside (the ring's indices, say).
    OMBREL_PORT_CONTEXT* PortContext(unsigned port);

    // Data frames the bridge received for `port`, in order (payloads).
    std::vector<std::vector<uint8_t>> DataFramesSent(unsigned port);
    // Control frames for `port` as (op, arg) pairs.
    std::vector<std::pair<uint8_t, uint8_t>> ControlFramesSent(unsigned port);

    bridge::BridgeModel Model;
    host::System System;

private:
    host::DeviceNode* BusNode = nullptr;
    std::vector<std::string> Names;
    size_t ObjectsBefore;
};

// Little helpers for the control-code buffers.
std::vector<uint8_t> Ulong(ULONG value);
ULONG AsUlong(const std::vector<uint8_t>& bytes, size_t offset = 0);

} // namespace test
