// One application thread per COM port: opens the port through the Win32 comm
// API, writes seeded random blocks and checks that the bridge's loopback
// returns exactly the bytes the driver reported as accepted.
#pragma once

#include "tools/demo/traffic_options.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace demo {

class PortConditions;

constexpr unsigned kFirstAnsweredPort = 2;
constexpr size_t kChunkSize = 56;

enum class PortState { Opening, Ready, Running, Done, Gone, Failed };

// Shared between the main thread, the fault director and the port threads.
struct RunControl {
    std::atomic<bool> Go{false};       // set once every port is ready; the clock starts then
    std::atomic<bool> Stop{false};
    std::atomic<bool> Removed{false};  // raised before the surprise removal starts
    std::chrono::steady_clock::time_point Deadline;
    std::mutex Mutex;
};

struct PortStats {
    unsigned Port = 0;
    std::string ComName;
    std::atomic<PortState> State{PortState::Opening};
    std::atomic<uint64_t> Accepted{0};        // bytes the driver reported as written
    std::atomic<uint64_t> Read{0};
    std::atomic<uint64_t> Writes{0};
    std::atomic<uint64_t> ShortWrites{0};     // succeeded with part of the request
    std::atomic<uint64_t> BusyWrites{0};      // ended busy with what the bridge had room for, as expected
    std::atomic<uint64_t> AckedChunks{0};     // ports 2-7: chunks the bridge acknowledged
    std::atomic<uint64_t> ExpectedFailures{0};
    std::atomic<uint64_t> UnexpectedFailures{0};
    std::atomic<uint64_t> Mismatches{0};
    std::atomic<uint64_t> Lost{0};            // accepted, never read back, device still present
    std::atomic<uint64_t> UnreadAtRemoval{0};
    std::atomic<uint64_t> ResentDelivered{0}; // bytes of failed chunks that came back as well
    std::atomic<int64_t> ElapsedMs{0};

    void Note(const std::string& text);
    // A failure the scenario causes: counted by kind, the first of each kept.
    void NoteExpected(const std::string& kind, const std::string& text);
    std::vector<std::string> Notes();

private:
    struct ExpectedKind {
        std::string Kind;
        uint64_t Count;
        std::string First;
    };
    std::mutex NotesLock;
    std::vector<std::string> NotesList;
    uint64_t NotesDropped = 0;
    std::vector<ExpectedKind> ExpectedKinds;
};

struct WorkerConfig {
    const TrafficOptions* Settings;
    RunControl* Control;
    // How long one write may wait: each chunk waits its turn for the bridge
    // behind every other port, and a silent bridge costs every port a
    // response time-out.
    std::chrono::seconds WriteLimit;
};

void RunPort(PortStats& stats, PortConditions& conditions, const WorkerConfig& config);

const char* ChannelName(unsigned port);

} // namespace demo
