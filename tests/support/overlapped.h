// An OVERLAPPED with its own manual-reset event, as real clients give each
// operation in flight on a handle: with several in flight, a wait on the
// handle itself ends when any of them completes.
#pragma once

#include "host/win32/comm.h"

namespace test {

struct EventOverlapped : OVERLAPPED {
    EventOverlapped() : OVERLAPPED{} { hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~EventOverlapped() { CloseHandle(hEvent); }
    EventOverlapped(const EventOverlapped&) = delete;
    EventOverlapped& operator=(const EventOverlapped&) = delete;
};

} // namespace test
