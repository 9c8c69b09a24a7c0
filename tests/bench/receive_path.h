// The receive path driven from the benchmark thread: data frames handed to the
// bus driver's read completion exactly as the continuous reader hands them,
// each one filling a read parked on a port of the running system.
//
// White-box: the completion called is this program's copy of the bus driver,
// and the bus device it is handed must be one that copy made, so the system
// the benchmark runs on installs the bus driver from it (LinkedBusSystem).
#pragma once

#include "rig/system_rig.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace host {
class FileHandle;
}

namespace bench {

constexpr unsigned kFramePayload = 56;
constexpr unsigned kFrameLength = 64;

// The whole system with the bus driver from this program's copy of its
// objects, through that copy's DriverEntry; the port driver from its module.
rig::SystemOptions LinkedBusSystem();

class ReceivePath {
public:
    // `comName` is the port of `system` to feed; it must not be open elsewhere.
    ReceivePath(rig::SystemRig& system, const std::string& comName);
    ~ReceivePath();
    ReceivePath(const ReceivePath&) = delete;
    ReceivePath& operator=(const ReceivePath&) = delete;

    bool Ready() const { return Bus != nullptr; }
    const std::string& Error() const { return Failure; }

    // Parks `count` reads of one frame's payload, then hands `count` frames to
    // the completion. Only the completions are timed (or, with `measured`
    // false, run outside ReceiveBatch so callgrind does not count them).
    // Returns false when a read did not end with the frame's bytes.
    bool RunBatch(unsigned count, bool measured, std::chrono::nanoseconds* elapsed);
    // The same with no read waiting: the frames only go into the port's ring
    // (StoreBatch for callgrind); one read empties the ring afterwards.
    bool RunStoreBatch(unsigned count, bool measured, std::chrono::nanoseconds* elapsed);

private:
    bool ParkReads(unsigned count);
    void Complete(unsigned count, bool readsParked, bool measured, std::chrono::nanoseconds* elapsed);

    std::unique_ptr<host::FileHandle> Handle;
    struct Parked;
    std::unique_ptr<Parked> Reads;
    void* Bus = nullptr;          // the bus driver's device context
    void* Port = nullptr;         // the port driver's context of the fed port
    void* Pipe = nullptr;         // the bulk IN pipe carrying the reader
    void* FrameMemory = nullptr;  // the framework memory object holding the frame
    std::string Failure;
};

// The floor: one 56-byte copy per call, through a call that is not inlined,
// as the completion is not.
void CopyBatch(uint8_t* destination, const uint8_t* source, unsigned count);

} // namespace bench
