// A driver-style unit for thread_safety_check. As written it keeps its locks
// as the drivers do and must pass clang's thread-safety analysis; each FAULT_*
// define plants one locking fault that the analysis must reject.
#include "platform.h"

typedef struct _SNIPPET_CONTEXT {
    WDFSPINLOCK StateLock;
    WDFWAITLOCK CommandLock;
    _Guarded_by_(StateLock) ULONG Count;
} SNIPPET_CONTEXT;

struct StateLockHeld {
    _Requires_lock_held_(Context->StateLock)
    static VOID Bump(SNIPPET_CONTEXT* Context)
    {
        Context->Count += 1;
    }
};

VOID Record(SNIPPET_CONTEXT* Context)
{
#if !defined(FAULT_CALL_WITHOUT_LOCK)
    WdfSpinLockAcquire(Context->StateLock);
#endif
    StateLockHeld::Bump(Context);
#if !defined(FAULT_CALL_WITHOUT_LOCK)
    WdfSpinLockRelease(Context->StateLock);
#endif
}

ULONG TakeCount(SNIPPET_CONTEXT* Context, BOOLEAN Reset)
{
    WdfSpinLockAcquire(Context->StateLock);
    const ULONG count = Context->Count;
    if (Reset) {
        Context->Count = 0;
#if defined(FAULT_RETURN_HOLDING_SPIN_LOCK)
        return count;
#endif
    }
    WdfSpinLockRelease(Context->StateLock);
    return count;
}

ULONG PeekCount(SNIPPET_CONTEXT* Context)
{
#if defined(FAULT_READ_UNGUARDED)
    return Context->Count;
#else
    WdfSpinLockAcquire(Context->StateLock);
    const ULONG count = Context->Count;
    WdfSpinLockRelease(Context->StateLock);
    return count;
#endif
}

NTSTATUS SendCommand(SNIPPET_CONTEXT* Context, ULONG Length)
{
    WdfWaitLockAcquire(Context->CommandLock, nullptr);
    if (Length == 0) {
#if !defined(FAULT_WAIT_LOCK_KEPT_ON_ERROR)
        WdfWaitLockRelease(Context->CommandLock);
#endif
        return STATUS_INVALID_PARAMETER;
    }
    WdfWaitLockRelease(Context->CommandLock);
    return STATUS_SUCCESS;
}
