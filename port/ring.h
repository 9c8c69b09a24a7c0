//
// The receive ring in the port context: RxHead is the slot the next received
// byte goes to, RxTail the oldest byte not yet handed out. One slot always
// stays free, so equal indices mean empty and the ring holds at most
// RX_RING_SIZE - 1 bytes.
//
#pragma once

#include "port.h"

constexpr ULONG RX_RING_MASK = RX_RING_SIZE - 1;
static_assert((RX_RING_SIZE & RX_RING_MASK) == 0, "ring indices wrap by masking");

// The ring's operations, each called with the port's RingLock held and calling
// nothing else. Static members, so that clang can read their lock
// annotations, which name a parameter: it reads a member's annotations at the
// end of its class, a free function's at once.
struct PortRing {
    // Bytes held, 0 to RX_RING_SIZE - 1.
    _Requires_lock_held_(Port->RingLock)
    static ULONG Fill(const OMBREL_PORT_CONTEXT* Port)
    {
        return (Port->RxHead - Port->RxTail) & RX_RING_MASK;
    }

    // Appends Data in order until the ring is full; the rest is dropped. Returns
    // the count stored. Copies in at most two blocks, split where the buffer wraps.
    _Requires_lock_held_(Port->RingLock)
    static ULONG Store(OMBREL_PORT_CONTEXT* Port, const UCHAR* Data, ULONG Length)
    {
        const ULONG room = RX_RING_MASK - Fill(Port);
        const ULONG count = Length < room ? Length : room;
        const ULONG head = Port->RxHead;
        const ULONG untilEnd = RX_RING_SIZE - head;
        const ULONG first = count < untilEnd ? count : untilEnd;
        RtlCopyMemory(&Port->RxBuffer[head], Data, first);
        RtlCopyMemory(&Port->RxBuffer[0], Data + first, count - first);
        Port->RxHead = (head + count) & RX_RING_MASK;
        return count;
    }

    // Moves the oldest bytes, up to Length, into Buffer. Returns the count moved.
    _Requires_lock_held_(Port->RingLock)
    static ULONG CopyOut(OMBREL_PORT_CONTEXT* Port, UCHAR* Buffer, size_t Length)
    {
        const ULONG fill = Fill(Port);
        const ULONG count = Length < fill ? static_cast<ULONG>(Length) : fill;
        const ULONG tail = Port->RxTail;
        const ULONG untilEnd = RX_RING_SIZE - tail;
        const ULONG first = count < untilEnd ? count : untilEnd;
        RtlCopyMemory(Buffer, &Port->RxBuffer[tail], first);
        RtlCopyMemory(Buffer + first, &Port->RxBuffer[0], count - first);
        Port->RxTail = (tail + count) & RX_RING_MASK;
        return count;
    }

    // Discards everything held.
    _Requires_lock_held_(Port->RingLock)
    static void Discard(OMBREL_PORT_CONTEXT* Port)
    {
        Port->RxTail = Port->RxHead;
    }
};
