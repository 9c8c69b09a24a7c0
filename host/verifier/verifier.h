// The stand-in's verifier. Every framework and kernel call checks the rules a
// driver must keep (IRQL, lock discipline, request ownership, allocation on I/O
// paths, leaks) and stops the process with a clear message when one is broken,
// the way Driver Verifier stops a Windows machine. Tests of the verifier itself
// observe that stop as a death test.
#pragma once

#include <wdf.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace host {

[[noreturn]] void Bugcheck(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What the verifier checked during the run, printed at the end of a test run so
// a reviewer can see the checks ran.
struct VerifierCounters {
    std::atomic<uint64_t> IrqlChecks{0};
    std::atomic<uint64_t> SpinLockAcquisitions{0};
    std::atomic<uint64_t> WaitLockAcquisitions{0};
    std::atomic<uint64_t> CallbacksChecked{0};
    std::atomic<uint64_t> RequestsCompleted{0};
    std::atomic<uint64_t> ObjectsCreated{0};
    std::atomic<uint64_t> ObjectsDeleted{0};
    std::atomic<uint64_t> AllocationsChecked{0};
    std::atomic<uint64_t> InjectedFailures{0};
};
VerifierCounters& Counters();
// The counters by label, in report order. "allocations refused" is always 0:
// a refused allocation stops the run, so no run that reports reached one.
std::vector<std::pair<std::string, uint64_t>> CounterValues();
// "verifier: 15 requests completed, ..." for the end of a run.
std::string CountersReport();

KIRQL CurrentIrql();
void SetIrql(KIRQL irql);

void RequirePassive(const char* operation);
void RequireMaxDispatch(const char* operation);
void RequireNoSpinLockHeld(const char* operation);

// The calling thread's driver spin locks; the spin-lock implementation keeps it.
int HeldSpinLockCount();
void NoteSpinLockAcquired(const void* lock);
void NoteSpinLockReleased(const void* lock);
int HeldWaitLockCount();
void NoteWaitLockAcquired();
void NoteWaitLockReleased();

// Brackets every call from the stand-in into a driver callback: the callback
// runs at `irql` and must return at it, holding no lock it did not hold on entry.
class CallbackScope {
public:
    CallbackScope(const char* callback, KIRQL irql, bool ioPath);
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    const char* Callback;
    KIRQL PreviousIrql;
    KIRQL Irql;
    int SpinLocksOnEntry;
    int WaitLocksOnEntry;
    bool PreviousIoPath;
};

// Marks the calling thread as the framework's power-up path: the thread that
// brings a device back to D0 presents the requests its power-managed queues
// held, before the power transition completes (fxioqueue.cpp,
// FxIoQueue::StartPowerTransitionOn calls DispatchEvents on that thread, and
// FxIoQueue::CanThreadDispatchEventsLocked defers only above PASSIVE_LEVEL or
// with a presentation lock held). A callback that blocks there holds up the
// whole system's resume, so every blocking call fails the run.
class PowerUpPathScope {
public:
    PowerUpPathScope();
    ~PowerUpPathScope();

private:
    bool Previous;
};
void RequireNotOnPowerUpPath(const char* operation);

// An allocation by the driver: refused on an I/O path (a request callback, the
// continuous reader's completion), where the drivers promise to allocate nothing.
void CheckAllocation(const char* operation);
bool OnIoPath();

// Marks the calling thread as being on an I/O path, for tests that call a
// driver's I/O entry points directly.
class IoPathScope {
public:
    IoPathScope();
    ~IoPathScope();

private:
    bool Previous;
};

} // namespace host
