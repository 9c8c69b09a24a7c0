#include "host/framework/creation.h"

#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <cstring>
#include <mutex>

namespace host {

namespace {

std::mutex g_seenLock;
std::set<std::string> g_seen;  // guarded by g_seenLock
thread_local const char* t_creating = nullptr;

} // namespace

NTSTATUS BeginCreation(const char* operation, KIRQL maxIrql)
{
    if (maxIrql == PASSIVE_LEVEL) {
        RequirePassive(operation);
    } else {
        RequireMaxDispatch(operation);
    }
    CheckAllocation(operation);
    {
        std::lock_guard<std::mutex> guard(g_seenLock);
        g_seen.insert(operation);
    }
    if (auto failure = InjectedFailure(operation)) {
        return *failure;
    }
    t_creating = operation;
    return STATUS_SUCCESS;
}

NTSTATUS ResolveParent(const char* operation, const WDF_OBJECT_ATTRIBUTES* attributes, Object* defaultParent,
                       Object** parent)
{
    *parent = ParentFromAttributes(attributes, defaultParent, operation);
    return ParentAcceptsChildren(*parent);
}

void RequireCreationBegun(const char* operation)
{
    if (t_creating == nullptr || std::strcmp(t_creating, operation) != 0) {
        Bugcheck("%s: created without BeginCreation's IRQL, allocation and failure checks", operation);
    }
}

void EndCreation(const char* operation)
{
    RequireCreationBegun(operation);
    t_creating = nullptr;
}

std::set<std::string> CreationsSeen()
{
    std::lock_guard<std::mutex> guard(g_seenLock);
    return g_seen;
}

} // namespace host
