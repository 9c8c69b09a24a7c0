// Kernel and framework synchronisation: spin locks, wait locks, dispatcher
// events and waits with time-outs, and the time scale.
#include "host/framework/creation.h"
#include "host/framework/object.h"
#include "host/framework/work_item.h"
#include "host/kernel/time_scale.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace host {

namespace {

std::atomic<double> g_timeScale{1.0};

class SpinLock final : public Object {
public:
    explicit SpinLock(Object* parent) : Object(ObjectType::SpinLock, parent) {}

    void Acquire()
    {
        RequireMaxDispatch("WdfSpinLockAcquire");
        if (Owner == std::this_thread::get_id()) {
            Bugcheck("WdfSpinLockAcquire: recursive acquisition of spin lock %p", static_cast<void*>(this));
        }
        const KIRQL old = CurrentIrql();
        NoteSpinLockAcquired(this);
        Mutex.lock();
        Owner = std::this_thread::get_id();
        SavedIrql = old;
        SetIrql(DISPATCH_LEVEL);
    }

    void Release()
    {
        if (Owner != std::this_thread::get_id()) {
            Bugcheck("WdfSpinLockRelease: spin lock %p released by a thread that does not hold it",
                     static_cast<void*>(this));
        }
        NoteSpinLockReleased(this);
        const KIRQL restore = SavedIrql;
        Owner = std::thread::id();
        Mutex.unlock();
        SetIrql(restore);
    }

private:
    std::mutex Mutex;
    std::atomic<std::thread::id> Owner{};
    KIRQL SavedIrql = PASSIVE_LEVEL;
};

// The framework's wait lock is a synchronization event (fxwaitlock.hpp,
// FxWaitLockInternal initialises m_Event as a SynchronizationEvent, signalled),
// and the kernel releases the waiters of an event in the order they began to
// wait. The stand-in hands the lock over by ticket, so a thread that releases
// and at once re-acquires goes to the back, as on Windows.
class WaitLock final : public Object {
public:
    explicit WaitLock(Object* parent) : Object(ObjectType::WaitLock, parent) {}

    NTSTATUS Acquire(const LONGLONG* timeout)
    {
        if (timeout == nullptr || *timeout != 0) {
            RequirePassive("WdfWaitLockAcquire with a time-out other than zero");
            RequireNotOnPowerUpPath("WdfWaitLockAcquire");
        } else {
            RequireMaxDispatch("WdfWaitLockAcquire");
        }
        if (Owner == std::this_thread::get_id()) {
            Bugcheck("WdfWaitLockAcquire: recursive acquisition of wait lock %p", static_cast<void*>(this));
        }
        if (timeout != nullptr && *timeout > 0) {
            Bugcheck("WdfWaitLockAcquire: absolute time-outs are not modelled");
        }
        WorkerBlockedScope blocked;
        std::unique_lock<std::mutex> guard(Mutex);
        auto skipAbandoned = [&] {
            while (Abandoned.erase(NowServing) != 0) {
                NowServing++;
            }
        };
        if (timeout != nullptr && *timeout == 0) {
            skipAbandoned();
            if (Held || NextTicket != NowServing) {
                return STATUS_TIMEOUT;
            }
            NextTicket++;
            NowServing++;
        } else {
            const uint64_t ticket = NextTicket++;
            bool granted;
            if (timeout == nullptr) {
                Changed.wait(guard, [&] { skipAbandoned(); return !Held && NowServing == ticket; });
                granted = true;
            } else {
                granted = Changed.wait_for(guard, KernelIntervalToReal(-*timeout),
                                           [&] { skipAbandoned(); return !Held && NowServing == ticket; });
            }
            if (!granted) {
                Abandoned.insert(ticket);  // a waiter that timed out gives up its place
                skipAbandoned();
                guard.unlock();
                Changed.notify_all();
                return STATUS_TIMEOUT;
            }
            NowServing++;
        }
        Held = true;
        Owner = std::this_thread::get_id();
        NoteWaitLockAcquired();
        return STATUS_SUCCESS;
    }

    void Release()
    {
        if (Owner != std::this_thread::get_id()) {
            Bugcheck("WdfWaitLockRelease: wait lock %p released by a thread that does not hold it",
                     static_cast<void*>(this));
        }
        Owner = std::thread::id();
        NoteWaitLockReleased();
        {
            std::lock_guard<std::mutex> guard(Mutex);
            Held = false;
        }
        Changed.notify_all();
    }

private:
    std::mutex Mutex;
    std::condition_variable Changed;
    bool Held = false;              // guarded by Mutex
    uint64_t NextTicket = 0;        // guarded by Mutex
    uint64_t NowServing = 0;        // guarded by Mutex: the ticket whose turn comes next
    std::set<uint64_t> Abandoned;   // guarded by Mutex: tickets of waiters that timed out
    std::atomic<std::thread::id> Owner{};
};

// One monitor for every dispatcher object: simple and plainly correct at the
// scale of a test.
std::mutex g_dispatcherLock;
std::condition_variable g_dispatcherChanged;

LONG EventState(PRKEVENT event) { return __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST); }

} // namespace

void SetTimeScale(double scale) { g_timeScale = scale; }
double TimeScale() { return g_timeScale; }

std::chrono::nanoseconds KernelIntervalToReal(int64_t hundredNanoseconds)
{
    const double nanoseconds = static_cast<double>(hundredNanoseconds) * 100.0 * g_timeScale.load();
    return std::chrono::nanoseconds(static_cast<int64_t>(nanoseconds));
}

} // namespace host

using host::Object;
using host::ObjectType;

extern "C" NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock)
{
    host::SpinLock* lock;
    NTSTATUS status = host::CreateObject("WdfSpinLockCreate", DISPATCH_LEVEL, SpinLockAttributes, nullptr, &lock,
                                         [](Object* parent) { return new host::SpinLock(parent); });
    *SpinLock = reinterpret_cast<WDFSPINLOCK>(lock);
    return status;
}

extern "C" VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    host::FromHandleAs<host::SpinLock>(SpinLock, ObjectType::SpinLock, "WdfSpinLockAcquire")->Acquire();
}

extern "C" VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    host::FromHandleAs<host::SpinLock>(SpinLock, ObjectType::SpinLock, "WdfSpinLockRelease")->Release();
}

extern "C" NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock)
{
    host::WaitLock* lock;
    NTSTATUS status = host::CreateObject("WdfWaitLockCreate", DISPATCH_LEVEL, LockAttributes, nullptr, &lock,
                                         [](Object* parent) { return new host::WaitLock(parent); });
    *Lock = reinterpret_cast<WDFWAITLOCK>(lock);
    return status;
}

extern "C" NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout)
{
    return host::FromHandleAs<host::WaitLock>(Lock, ObjectType::WaitLock, "WdfWaitLockAcquire")->Acquire(Timeout);
}

extern "C" VOID WdfWaitLockRelease(WDFWAITLOCK Lock)
{
    host::FromHandleAs<host::WaitLock>(Lock, ObjectType::WaitLock, "WdfWaitLockRelease")->Release();
}

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    host::RequireMaxDispatch("KeInitializeEvent");
    std::lock_guard<std::mutex> guard(host::g_dispatcherLock);
    RtlZeroMemory(Event, sizeof(*Event));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
}

extern "C" VOID KeClearEvent(PRKEVENT Event)
{
    host::RequireMaxDispatch("KeClearEvent");
    std::lock_guard<std::mutex> guard(host::g_dispatcherLock);
    __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event) { return host::EventState(Event); }

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    host::RequireMaxDispatch("KeSetEvent");
    if (Wait) {
        host::Bugcheck("KeSetEvent with Wait TRUE is not modelled: the caller would have to wait next");
    }
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(host::g_dispatcherLock);
        previous = host::EventState(Event);
        __atomic_store_n(&Event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
    }
    host::g_dispatcherChanged.notify_all();
    return previous;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Timeout == nullptr || Timeout->QuadPart != 0) {
        host::RequirePassive("KeWaitForSingleObject with a time-out other than zero");
        host::RequireNotOnPowerUpPath("KeWaitForSingleObject");
    } else {
        host::RequireMaxDispatch("KeWaitForSingleObject");
    }
    if (Timeout != nullptr && Timeout->QuadPart > 0) {
        host::Bugcheck("KeWaitForSingleObject: absolute time-outs are not modelled");
    }
    auto* event = static_cast<PRKEVENT>(Object);
    host::WorkerBlockedScope blocked;
    std::unique_lock<std::mutex> guard(host::g_dispatcherLock);
    auto signalled = [event] { return host::EventState(event) != 0; };
    bool satisfied;
    if (Timeout == nullptr) {
        host::g_dispatcherChanged.wait(guard, signalled);
        satisfied = true;
    } else {
        satisfied = host::g_dispatcherChanged.wait_for(guard, host::KernelIntervalToReal(-Timeout->QuadPart),
                                                        signalled);
    }
    if (!satisfied) {
        return STATUS_TIMEOUT;
    }
    if (event->Header.Type == SynchronizationEvent) {
        __atomic_store_n(&event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
    }
    return STATUS_SUCCESS;
}

// A processor pause, not a thread yield (documentation: "YieldProcessor
// macro": it signals the processor that the thread spins, and gives up nothing).
extern "C" VOID YieldProcessor(VOID)
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    __asm__ __volatile__("" ::: "memory");
#endif
}
