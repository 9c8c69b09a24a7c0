// The fault scenarios while the device is imported: each new import starts
// from a healthy bridge, then the scenario's knobs are turned on it (see
// tools/faults), and the surprise scenario pulls the bridge out.
#pragma once

#include "tools/usbip/device.h"
#include "tools/usbip/options.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace usbip {

class FaultDirector {
public:
    FaultDirector(ExportedDevice& device, const Options& options);
    ~FaultDirector();
    FaultDirector(const FaultDirector&) = delete;
    FaultDirector& operator=(const FaultDirector&) = delete;

private:
    void Run();

    ExportedDevice& Device;
    const Options Settings;
    std::mutex Mutex;
    std::condition_variable Changed;
    bool Stopping = false;
    std::thread Thread;
};

} // namespace usbip
