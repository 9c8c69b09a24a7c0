// The framework's locks: spin locks (raise to DISPATCH_LEVEL, no recursion)
// and wait locks (PASSIVE_LEVEL, with a time-out).
#include "host/framework/creation.h"
#include "host/framework/object.h"
#include "host/framework/work_item.h"
#include "host/kernel/time_scale.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace host {

namespace {

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

} // namespace

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
