// Dispatcher events and the waits on them, with the kernel's relative
// time-outs taken through the time scale.
#include "host/framework/work_item.h"
#include "host/kernel/time_scale.h"
#include "host/verifier/verifier.h"

#include <condition_variable>
#include <mutex>

namespace host {

namespace {

// One monitor for every dispatcher object: simple and plainly correct at the
// scale of a test.
std::mutex g_dispatcherLock;
std::condition_variable g_dispatcherChanged;

LONG EventState(PRKEVENT event) { return __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST); }

} // namespace

} // namespace host

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
