//
// The receive ring in the port context: RxHead is the slot the next received
// byte goes to, RxTail the oldest byte not yet handed out. One slot always
// stays free, so equal indices mean empty and the ring holds at most
// RX_RING_SIZE - 1 bytes.
//
// Locking invariant: every function here is called with the port's RingLock
// held, and calls nothing else.
//
#pragma once

#include "port.h"

constexpr ULONG RX_RING_MASK = RX_RING_SIZE - 1;
static_assert((RX_RING_SIZE & RX_RING_MASK) == 0, "ring indices wrap by masking");

// Bytes held, 0 to RX_RING_SIZE - 1.
_Requires_lock_held_(Port->RingLock)
inline ULONG PortRingFill(const OMBREL_PORT_CONTEXT* Port)
{
    return (Port->RxHead - Port->RxTail) & RX_RING_MASK;
}

// Appends Data in order until the ring is full; the rest is dropped. Returns the count stored.
_Requires_lock_held_(Port->RingLock)
inline ULONG PortRingStore(OMBREL_PORT_CONTEXT* Port, const UCHAR* Data, ULONG Length)
{
    ULONG stored = 0;
    while (stored < Length) {
        const ULONG next = (Port->RxHead + 1) & RX_RING_MASK;
        if (next == Port->RxTail) {
            break;
        }
        Port->RxBuffer[Port->RxHead] = Data[stored];
        Port->RxHead = next;
        ++stored;
    }
    return stored;
}

// Moves the oldest bytes, up to Length, into Buffer. Returns the count moved.
_Requires_lock_held_(Port->RingLock)
inline ULONG PortRingCopyOut(OMBREL_PORT_CONTEXT* Port, UCHAR* Buffer, size_t Length)
{
    ULONG copied = 0;
    while (copied < Length && Port->RxTail != Port->RxHead) {
        Buffer[copied] = Port->RxBuffer[Port->RxTail];
        Port->RxTail = (Port->RxTail + 1) & RX_RING_MASK;
        ++copied;
    }
    return copied;
}

// Discards everything held.
_Requires_lock_held_(Port->RingLock)
inline void PortRingDiscard(OMBREL_PORT_CONTEXT* Port)
{
    Port->RxTail = Port->RxHead;
}
