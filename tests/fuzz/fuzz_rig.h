// What the three fuzzers share: the whole system brought up once per process
// and reused by every input, bounded waits, a reader of the fuzzer's bytes,
// and the way a broken invariant stops the run.
#pragma once

#include "rig/system_rig.h"

#include "host/io_manager/io_manager.h"

#include <ntddser.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Kernel time runs five times faster: the bus's one-second response time-out
// lasts 200 ms, well above what a sanitized process on a busy machine can
// stall for (a leak check stops every thread), so a healthy bridge's answer is
// never taken for a time-out.
constexpr double kTimeScale = 0.2;
constexpr auto kResponseTimeout = std::chrono::milliseconds(200);
// Nothing a healthy or failing bridge does takes this long; past it, a wait is a hang.
constexpr auto kHangBound = std::chrono::seconds(10);

// Prints the message and aborts, which libFuzzer reports as a crash with the input.
[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The fuzzer's bytes, read front to back; past the end every byte reads as 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : Data(data), Size(size) {}
    bool Empty() const { return Offset >= Size; }
    size_t Left() const { return Empty() ? 0 : Size - Offset; }
    uint8_t Byte() { return Empty() ? 0 : Data[Offset++]; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Ulong() { return static_cast<uint32_t>(Word() | static_cast<uint32_t>(Word()) << 16); }
    // Up to `count` bytes, fewer when the input ends first.
    Bytes Take(size_t count);

private:
    const uint8_t* Data;
    size_t Size;
    size_t Offset = 0;
};

// The whole-system rig: both drivers loaded from their modules, the bridge
// model plugged in and its eight ports started.
using Rig = rig::SystemRig;

// The rig, brought up on first use; `teardown` runs at exit before the bridge
// is removed (the fuzzer closes its handles there).
Rig& System(std::function<void()> teardown = nullptr);
std::string PortName(unsigned port);
std::unique_ptr<host::FileHandle> OpenOrFail(unsigned port);

// Waits for an operation, aborting with `what` if it outlives kHangBound.
void Await(const std::shared_ptr<host::IoOperation>& op, const char* what);
// A synchronous device control, bounded the same way.
NTSTATUS Control(host::FileHandle& handle, ULONG code, const Bytes& input, ULONG outputLength,
                 Bytes* output = nullptr, ULONG_PTR* information = nullptr);
// Waits until the bus has dispatched every IN transfer the bridge has sent
// and the system's workers are idle.
void DrainIn();
// Checks that the bus still has exactly its eight working ports: the
// enumeration ran once and no announce since has added or dropped a child.
void CheckChildren();

} // namespace fuzz

// libFuzzer's entry points for a fuzzer class with a default constructor and
// Run(data, size). Its one instance is never destroyed: every input reuses
// it, and the rig's teardown at exit may still need its handles. It is made
// in LLVMFuzzerInitialize, before libFuzzer lists the code it watches, so that
// the two driver modules it loads are among that code.
#define OMBREL_FUZZ_TARGET(FuzzerClass)                                        \
    static FuzzerClass& FuzzerInstance()                                       \
    {                                                                          \
        static FuzzerClass* const fuzzer = new FuzzerClass();                  \
        return *fuzzer;                                                        \
    }                                                                          \
    extern "C" int LLVMFuzzerInitialize(int*, char***)                         \
    {                                                                          \
        FuzzerInstance();                                                      \
        return 0;                                                              \
    }                                                                          \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)    \
    {                                                                          \
        FuzzerInstance().Run(data, size);                                      \
        return 0;                                                              \
    }
