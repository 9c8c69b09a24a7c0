#include "host/verifier/fault_injection.h"

#include "host/verifier/verifier.h"

#include <map>
#include <mutex>

namespace host {

namespace {

struct ArmedFailure {
    int RemainingCalls;
    NTSTATUS Status;
};

struct FaultTable {
    std::mutex Lock;
    std::multimap<std::string, ArmedFailure> Armed;
    std::map<std::string, int> Calls;
    std::multimap<std::string, std::function<void()>> Hooks;
};

FaultTable& Table()
{
    static FaultTable table;
    return table;
}

} // namespace

void FailCall(const std::string& operation, int nth, NTSTATUS status)
{
    auto& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    table.Armed.insert({operation, {nth, status}});
}

void ClearInjectedFailures()
{
    auto& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    table.Armed.clear();
    table.Calls.clear();
    table.Hooks.clear();
}

void OnNextCall(const std::string& operation, std::function<void()> hook)
{
    auto& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    table.Hooks.insert({operation, std::move(hook)});
}

int CallCount(const std::string& operation)
{
    auto& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    auto it = table.Calls.find(operation);
    return it == table.Calls.end() ? 0 : it->second;
}

std::map<std::string, int> CallCounts()
{
    auto& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    return table.Calls;
}

std::optional<NTSTATUS> InjectedFailure(const char* operation)
{
    auto& table = Table();
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(table.Lock);
        auto found = table.Hooks.find(operation);
        if (found != table.Hooks.end()) {
            hook = std::move(found->second);
            table.Hooks.erase(found);
        }
    }
    if (hook) {
        hook();
    }
    std::lock_guard<std::mutex> guard(table.Lock);
    table.Calls[operation]++;
    // Every armed failure of the operation counts this call; the first that
    // reaches its call fires.
    std::optional<NTSTATUS> fired;
    auto range = table.Armed.equal_range(operation);
    for (auto it = range.first; it != range.second;) {
        if (--it->second.RemainingCalls == 0 && !fired) {
            fired = it->second.Status;
            it = table.Armed.erase(it);
            Counters().InjectedFailures++;
        } else {
            ++it;
        }
    }
    if (fired) {
        return fired;
    }
    return std::nullopt;
}

} // namespace host
