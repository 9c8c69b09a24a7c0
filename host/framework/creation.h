// The one way the stand-in's framework makes what a driver asks it to create:
// every object and every record it allocates for a driver. First the
// stand-in's own checks: the caller's IRQL, the verifier's allocation check
// (none on an I/O path) and an injected failure. Then as the framework makes
// an object (fxspinlockapi.cpp, WdfSpinLockCreate, and its kin: validate the
// attributes, allocate with the context, then FxObject::Commit): the parent is
// the attributes' ParentObject or the framework's default, and a parent being
// deleted refuses it with STATUS_DELETE_PENDING (fxobject.cpp,
// FxObject::AssignParentObject).
#pragma once

#include "host/framework/object.h"

#include <set>
#include <string>

namespace host {

// The checks before anything is allocated. A failure is the status the create
// returns; on success the creation may go on to FinishCreation.
NTSTATUS BeginCreation(const char* operation, KIRQL maxIrql);

// The parent the new object gets, or the status that refuses it.
NTSTATUS ResolveParent(const char* operation, const WDF_OBJECT_ATTRIBUTES* attributes, Object* defaultParent,
                       Object** parent);

// Stops the verifier unless `operation` began with BeginCreation on this
// thread, so a create cannot skip the checks.
void RequireCreationBegun(const char* operation);
// Ends a creation that returns early after BeginCreation succeeded.
void EndCreation(const char* operation);

// Makes the object with `make(parent)` under the resolved parent and applies
// the attributes; ends the creation either way.
template <typename T, typename Make>
NTSTATUS FinishCreation(const char* operation, const WDF_OBJECT_ATTRIBUTES* attributes, Object* defaultParent,
                        T** created, Make make)
{
    RequireCreationBegun(operation);
    *created = nullptr;
    Object* parent = nullptr;
    if (NTSTATUS refused = ResolveParent(operation, attributes, defaultParent, &parent); !NT_SUCCESS(refused)) {
        EndCreation(operation);
        return refused;
    }
    T* object = make(parent);
    object->ApplyAttributes(attributes, operation);
    EndCreation(operation);
    *created = object;
    return STATUS_SUCCESS;
}

// A whole creation with nothing to decide between the checks and the making.
template <typename T, typename Make>
NTSTATUS CreateObject(const char* operation, KIRQL maxIrql, const WDF_OBJECT_ATTRIBUTES* attributes,
                      Object* defaultParent, T** created, Make make)
{
    *created = nullptr;
    if (NTSTATUS failed = BeginCreation(operation, maxIrql); !NT_SUCCESS(failed)) {
        return failed;
    }
    return FinishCreation(operation, attributes, defaultParent, created, make);
}

// The create functions that have gone through BeginCreation in this process:
// a test's check that every create the drivers can call takes this path.
std::set<std::string> CreationsSeen();

} // namespace host
