#include "fuzz_rig.h"

#include "host/framework/io_queue.h"
#include "host/kernel/time_scale.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace fuzz {

namespace {

Rig* g_rig = nullptr;
std::function<void()> g_teardown;

void TeardownOnThisThread()
{
    if (g_teardown) {
        g_teardown();
    }
    delete g_rig;  // removes the bridge
    g_rig = nullptr;
    if (const int left = host::OutstandingDriverRequests(); left != 0) {
        std::fprintf(stderr, "*** FUZZ INVARIANT BROKEN: %d requests never completed after the bridge was removed\n",
                     left);
        std::_Exit(1);
    }
}

// libFuzzer ends a run with exit(): the fuzzer's handles are closed and the
// bridge removed before the stand-in's own statics go, which also checks that
// the drivers let go of everything. It runs on a thread of its own because
// exit() has already destroyed the main thread's thread-locals, where the
// verifier keeps a thread's IRQL and held locks.
void Teardown()
{
    std::thread([] { TeardownOnThisThread(); }).join();
}

} // namespace

void Fail(const char* format, ...)
{
    std::fprintf(stderr, "*** FUZZ INVARIANT BROKEN: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    std::abort();
}

Bytes Input::Take(size_t count)
{
    const size_t n = std::min(count, Left());
    Bytes bytes(Data + Offset, Data + Offset + n);
    Offset += n;
    return bytes;
}

Rig& System(std::function<void()> teardown)
{
    if (g_rig == nullptr) {
        host::SetTimeScale(kTimeScale);
        g_rig = new Rig();
        if (!g_rig->Started()) {
            Fail("the bridge did not start: 0x%08X", static_cast<unsigned>(g_rig->StartResult()));
        }
        DrainIn();
        CheckChildren();
        g_teardown = std::move(teardown);
        std::atexit(Teardown);
    }
    return *g_rig;
}

std::string PortName(unsigned port) { return "COM" + std::to_string(3 + port); }

std::unique_ptr<host::FileHandle> OpenOrFail(unsigned port)
{
    std::unique_ptr<host::FileHandle> handle;
    const NTSTATUS status = host::OpenDevice(PortName(port), handle);
    if (status != STATUS_SUCCESS) {
        Fail("cannot open port %u: 0x%08X", port, static_cast<unsigned>(status));
    }
    return handle;
}

void Await(const std::shared_ptr<host::IoOperation>& op, const char* what)
{
    if (!op->Wait(kHangBound)) {
        Fail("%s did not end within %lld s", what, static_cast<long long>(kHangBound.count()));
    }
}

NTSTATUS Control(host::FileHandle& handle, ULONG code, const Bytes& input, ULONG outputLength, Bytes* output,
                 ULONG_PTR* information)
{
    auto op = handle.DeviceIoControlAsync(code, input, outputLength);
    char what[64];
    std::snprintf(what, sizeof(what), "device control 0x%X", static_cast<unsigned>(code));
    Await(op, what);
    if (output != nullptr) {
        *output = op->Output();
    }
    if (information != nullptr) {
        *information = op->Information();
    }
    return op->Status();
}

void DrainIn()
{
    if (!g_rig->DrainIn(kHangBound)) {
        Fail("the bus did not take the bridge's IN transfers");
    }
    if (!g_rig->Settle(kHangBound)) {
        Fail("the PnP or system worker did not become idle");
    }
}

void CheckChildren()
{
    const size_t reported = host::StaticChildrenOf(g_rig->Bus().Device()).size();
    size_t working = 0;
    for (host::DeviceNode* child : g_rig->System.ChildNodes(g_rig->Bus())) {
        working += child->Device() != nullptr ? 1 : 0;
    }
    if (reported != 8 || working != 8) {
        Fail("the bus reports %zu children, %zu of them working; the enumeration must make eight, once", reported,
             working);
    }
}

} // namespace fuzz
