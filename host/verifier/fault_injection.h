// Low-resources simulation: a test names a framework call and which of its
// calls (1 = the next one) fails, with which status. Every fallible call of the
// stand-in asks here before it does anything.
#pragma once

#include <ntdef.h>

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace host {

// Arms a failure of the nth future call of `operation` (1 = the next call).
void FailCall(const std::string& operation, int nth = 1, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void ClearInjectedFailures();
// How many calls of `operation` the stand-in has seen since the last clear.
int CallCount(const std::string& operation);
// The same for every operation called since the last clear, by name.
std::map<std::string, int> CallCounts();

// Runs `hook` once, at the start of the next call of `operation`, on the
// calling thread and before the call does anything: a test's way to make
// something happen in exactly the window it wants to probe.
void OnNextCall(const std::string& operation, std::function<void()> hook);

// Called by the stand-in at the start of a fallible operation; runs a hook
// armed for it first.
std::optional<NTSTATUS> InjectedFailure(const char* operation);

} // namespace host
