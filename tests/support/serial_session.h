// A session of the main job's kind through the Win32 comm API, one step at a
// time so that its USB traffic comes in the same order on every run: each
// port in turn is opened, set to 57600 8N1, written a block and read back
// what the bridge took of it, then closed. Failures are recorded, not
// asserted, so a session against a device that refuses it still ends.
#pragma once

#include "host/win32/comm.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace test {

struct SessionStep {
    std::string ComName;
    std::vector<uint8_t> Block;
    std::function<void()> BeforeWrite;  // once the port is open and set
};

struct SessionOutcome {
    bool Opened = false;
    bool Configured = false;
    DWORD Written = 0;
    DWORD WriteError = ERROR_SUCCESS;
    std::vector<uint8_t> Read;           // what came back of the bytes written
};

std::vector<SessionOutcome> RunSession(const std::vector<SessionStep>& steps);

} // namespace test
