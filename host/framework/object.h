// Framework objects: opaque handles with a type, a parent, typed zero-filled
// contexts and cleanup and destroy callbacks. Deleting an object deletes its
// children first; every cleanup callback of a subtree runs before any context
// of it goes away.
#pragma once

#include <wdf.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace host {

enum class ObjectType {
    Driver,
    Device,
    SpinLock,
    WaitLock,
    WorkItem,
    Memory,
    UsbDevice,
    UsbInterface,
    UsbPipe,
    Queue,
    Request,
    FileObject,
    Key,
};
const char* ObjectTypeName(ObjectType type);

class Object {
public:
    Object(ObjectType type, Object* parent);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ObjectType Type() const { return TypeValue; }
    Object* Parent() const { return ParentObject; }
    WDFOBJECT Handle() { return reinterpret_cast<WDFOBJECT>(this); }

    // Applies the attributes given at creation: the context type and the callbacks.
    void ApplyAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, const char* operation);
    void* Context(PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo) const;
    // The context registered under `name`: how a test reaches the context of a
    // driver loaded as a module, whose type records are the module's own.
    void* ContextByName(const char* name) const;

    // Stand-in bookkeeping run when the object is deleted: before the driver's
    // cleanup callback (Quiesce, e.g. stopping a reader thread) and after every
    // cleanup of the subtree has run.
    virtual void Quiesce() {}

    bool IsDeleting() const { return Deleting; }
    std::vector<Object*> ChildrenSnapshot() const;
    // The children of one type, chosen while the tree is locked: a sibling of
    // another type (a file object, say) may be deleted by another thread.
    std::vector<Object*> ChildrenOfType(ObjectType type) const;

private:
    friend void DeleteObject(Object* object);
    struct ContextBlock {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo;
        void* Memory;
    };

    ObjectType TypeValue;
    Object* ParentObject;
    std::vector<Object*> Children;
    std::vector<ContextBlock> Contexts;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP CleanupCallback = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY DestroyCallback = nullptr;
    bool Deleting = false;
    bool CleanedUp = false;
};

// Looks a handle up among the live objects and checks its type; a stale or
// foreign handle is a verifier stop naming the operation.
Object* FromHandle(const void* handle, ObjectType expected, const char* operation);
Object* FromAnyHandle(const void* handle, const char* operation);
template <typename T>
T* FromHandleAs(const void* handle, ObjectType expected, const char* operation)
{
    return static_cast<T*>(FromHandle(handle, expected, operation));
}

// Resolves a creation's parent: the attributes' ParentObject, else `fallback`.
Object* ParentFromAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, Object* fallback, const char* operation);

// The framework refuses new children of an object it is deleting.
inline NTSTATUS ParentAcceptsChildren(const Object* parent)
{
    return parent != nullptr && parent->IsDeleting() ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
}

// Deletes the object and its subtree: Quiesce and cleanup callbacks (children
// first), then destroy callbacks and contexts.
void DeleteObject(Object* object);

size_t LiveObjectCount();
// One line per live object, for leak reports.
std::vector<std::string> DescribeLiveObjects();

} // namespace host
