#include "host/verifier/verifier.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace host {

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
// The one driver spin lock the thread holds, or null: the verifier refuses a
// second, so one slot is enough and a thread's state holds no heap memory. A
// reader thread started by one fuzz input's resume runs on through later
// inputs (the fuzzers keep one system), and must leave nothing for the
// per-input leak check to find.
thread_local const void* t_heldSpinLock = nullptr;
thread_local int t_heldWaitLocks = 0;
thread_local bool t_ioPath = false;
thread_local bool t_powerUpPath = false;
} // namespace

void Bugcheck(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "\n*** STAND-IN VERIFIER STOP: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
    std::fflush(stderr);
    std::abort();
}

VerifierCounters& Counters()
{
    static VerifierCounters counters;
    return counters;
}

std::vector<std::pair<std::string, uint64_t>> CounterValues()
{
    auto& c = Counters();
    return {
        {"requests completed", c.RequestsCompleted},
        {"spin locks taken", c.SpinLockAcquisitions},
        {"wait locks taken", c.WaitLockAcquisitions},
        {"IRQL checks", c.IrqlChecks},
        {"callbacks checked", c.CallbacksChecked},
        {"allocations checked", c.AllocationsChecked},
        {"allocations refused", 0},
        {"injected failures", c.InjectedFailures},
        {"objects created", c.ObjectsCreated},
        {"objects deleted", c.ObjectsDeleted},
    };
}

std::string CountersReport()
{
    std::ostringstream out;
    out << "verifier:";
    const char* separator = " ";
    for (const auto& [label, value] : CounterValues()) {
        out << separator << value << ' ' << label;
        separator = ", ";
    }
    out << " (a refused allocation stops the run)";
    return out.str();
}

KIRQL CurrentIrql() { return t_irql; }

void SetIrql(KIRQL irql) { t_irql = irql; }

void RequirePassive(const char* operation)
{
    Counters().IrqlChecks++;
    if (t_irql != PASSIVE_LEVEL) {
        Bugcheck("%s called at IRQL %u; it requires PASSIVE_LEVEL", operation, t_irql);
    }
}

void RequireMaxDispatch(const char* operation)
{
    Counters().IrqlChecks++;
    if (t_irql > DISPATCH_LEVEL) {
        Bugcheck("%s called at IRQL %u; it requires DISPATCH_LEVEL or below", operation, t_irql);
    }
}

void RequireNoSpinLockHeld(const char* operation)
{
    if (t_heldSpinLock != nullptr) {
        Bugcheck("%s while the thread holds a driver spin lock", operation);
    }
}

int HeldSpinLockCount() { return t_heldSpinLock != nullptr ? 1 : 0; }

void NoteSpinLockAcquired(const void* lock)
{
    // The drivers never nest their spin locks: a port's ring and event locks are
    // never held together, and the bus's receive lock guards only its pair.
    if (t_heldSpinLock != nullptr) {
        Bugcheck("spin lock %p acquired while the thread already holds spin lock %p", lock, t_heldSpinLock);
    }
    t_heldSpinLock = lock;
    Counters().SpinLockAcquisitions++;
}

void NoteSpinLockReleased(const void* lock)
{
    if (t_heldSpinLock != lock) {
        Bugcheck("spin lock %p released by a thread that does not hold it", lock);
    }
    t_heldSpinLock = nullptr;
}

int HeldWaitLockCount() { return t_heldWaitLocks; }
void NoteWaitLockAcquired()
{
    ++t_heldWaitLocks;
    Counters().WaitLockAcquisitions++;
}
void NoteWaitLockReleased() { --t_heldWaitLocks; }

CallbackScope::CallbackScope(const char* callback, KIRQL irql, bool ioPath)
    : Callback(callback), PreviousIrql(t_irql), Irql(irql), SpinLocksOnEntry(HeldSpinLockCount()),
      WaitLocksOnEntry(t_heldWaitLocks), PreviousIoPath(t_ioPath)
{
    t_irql = irql;
    t_ioPath = ioPath || PreviousIoPath;
    Counters().CallbacksChecked++;
}

CallbackScope::~CallbackScope()
{
    if (HeldSpinLockCount() != SpinLocksOnEntry) {
        Bugcheck("%s returned holding a spin lock", Callback);
    }
    if (t_heldWaitLocks != WaitLocksOnEntry) {
        Bugcheck("%s returned holding a wait lock", Callback);
    }
    if (t_irql != Irql) {
        Bugcheck("%s returned at IRQL %u; it was called at IRQL %u", Callback, t_irql, Irql);
    }
    t_irql = PreviousIrql;
    t_ioPath = PreviousIoPath;
}

void CheckAllocation(const char* operation)
{
    Counters().AllocationsChecked++;
    if (t_ioPath) {
        Bugcheck("%s allocates on an I/O path", operation);
    }
}

bool OnIoPath() { return t_ioPath; }

PowerUpPathScope::PowerUpPathScope() : Previous(t_powerUpPath) { t_powerUpPath = true; }
PowerUpPathScope::~PowerUpPathScope() { t_powerUpPath = Previous; }

void RequireNotOnPowerUpPath(const char* operation)
{
    if (t_powerUpPath) {
        Bugcheck("%s blocks on the framework's power-up path: a power-managed queue presented a request while its "
                 "device returned to D0, and the callback that blocks holds up the system's resume",
                 operation);
    }
}

IoPathScope::IoPathScope() : Previous(t_ioPath) { t_ioPath = true; }
IoPathScope::~IoPathScope() { t_ioPath = Previous; }

} // namespace host

extern "C" KIRQL KeGetCurrentIrql(VOID) { return host::CurrentIrql(); }
