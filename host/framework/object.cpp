#include "host/framework/object.h"

#include "host/verifier/verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>

namespace host {

namespace {

// The object tree is guarded by one lock; callbacks into drivers run outside it.
std::recursive_mutex& TreeLock()
{
    static std::recursive_mutex lock;
    return lock;
}

std::unordered_set<const Object*>& LiveObjects()
{
    static std::unordered_set<const Object*> live;
    return live;
}

constexpr std::align_val_t kContextAlignment{16};

} // namespace

const char* ObjectTypeName(ObjectType type)
{
    switch (type) {
    case ObjectType::Driver: return "WDFDRIVER";
    case ObjectType::Device: return "WDFDEVICE";
    case ObjectType::SpinLock: return "WDFSPINLOCK";
    case ObjectType::WaitLock: return "WDFWAITLOCK";
    case ObjectType::WorkItem: return "WDFWORKITEM";
    case ObjectType::Memory: return "WDFMEMORY";
    case ObjectType::UsbDevice: return "WDFUSBDEVICE";
    case ObjectType::UsbInterface: return "WDFUSBINTERFACE";
    case ObjectType::UsbPipe: return "WDFUSBPIPE";
    case ObjectType::Queue: return "WDFQUEUE";
    case ObjectType::Request: return "WDFREQUEST";
    case ObjectType::FileObject: return "WDFFILEOBJECT";
    case ObjectType::Key: return "WDFKEY";
    }
    return "?";
}

Object::Object(ObjectType type, Object* parent) : TypeValue(type), ParentObject(parent)
{
    std::lock_guard<std::recursive_mutex> guard(TreeLock());
    if (parent != nullptr) {
        parent->Children.push_back(this);
    }
    LiveObjects().insert(this);
    Counters().ObjectsCreated++;
}

Object::~Object()
{
    for (auto& block : Contexts) {
        ::operator delete(block.Memory, kContextAlignment);
    }
}

void Object::ApplyAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, const char* operation)
{
    if (attributes == nullptr) {
        return;
    }
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        Bugcheck("%s: WDF_OBJECT_ATTRIBUTES.Size is %u; initialise it with WDF_OBJECT_ATTRIBUTES_INIT", operation,
                 attributes->Size);
    }
    CleanupCallback = attributes->EvtCleanupCallback;
    DestroyCallback = attributes->EvtDestroyCallback;
    if (attributes->ContextTypeInfo != nullptr) {
        const auto* info = attributes->ContextTypeInfo->UniqueType != nullptr ? attributes->ContextTypeInfo->UniqueType
                                                                              : attributes->ContextTypeInfo;
        size_t size = info->ContextSize;
        if (attributes->ContextSizeOverride != 0) {
            if (attributes->ContextSizeOverride < size) {
                Bugcheck("%s: ContextSizeOverride %zu is smaller than the context type's size %zu", operation,
                         attributes->ContextSizeOverride, size);
            }
            size = attributes->ContextSizeOverride;
        }
        void* memory = ::operator new(size, kContextAlignment);
        std::memset(memory, 0, size);
        Contexts.push_back({info, memory});
    }
}

void* Object::Context(PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo) const
{
    const auto* wanted = typeInfo->UniqueType != nullptr ? typeInfo->UniqueType : typeInfo;
    for (const auto& block : Contexts) {
        if (block.TypeInfo == wanted) {
            return block.Memory;
        }
    }
    return nullptr;
}

void* Object::ContextByName(const char* name) const
{
    for (const auto& block : Contexts) {
        if (std::strcmp(block.TypeInfo->ContextName, name) == 0) {
            return block.Memory;
        }
    }
    return nullptr;
}

std::vector<Object*> Object::ChildrenSnapshot() const
{
    std::lock_guard<std::recursive_mutex> guard(TreeLock());
    return Children;
}

std::vector<Object*> Object::ChildrenOfType(ObjectType type) const
{
    std::lock_guard<std::recursive_mutex> guard(TreeLock());
    std::vector<Object*> matching;
    for (Object* child : Children) {
        if (child->Type() == type) {
            matching.push_back(child);
        }
    }
    return matching;
}

Object* FromAnyHandle(const void* handle, const char* operation)
{
    if (handle == nullptr) {
        Bugcheck("%s: NULL handle", operation);
    }
    std::lock_guard<std::recursive_mutex> guard(TreeLock());
    auto* object = static_cast<const Object*>(handle);
    if (LiveObjects().count(object) == 0) {
        Bugcheck("%s: handle %p is not a live framework object (deleted, or never created)", operation, handle);
    }
    return const_cast<Object*>(object);
}

Object* FromHandle(const void* handle, ObjectType expected, const char* operation)
{
    Object* object = FromAnyHandle(handle, operation);
    if (object->Type() != expected) {
        Bugcheck("%s: handle %p is a %s, not a %s", operation, handle, ObjectTypeName(object->Type()),
                 ObjectTypeName(expected));
    }
    return object;
}

Object* ParentFromAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, Object* fallback, const char* operation)
{
    if (attributes != nullptr && attributes->ParentObject != nullptr) {
        return FromAnyHandle(attributes->ParentObject, operation);
    }
    return fallback;
}

namespace {

void CollectPostOrder(Object* object, std::vector<Object*>& out)
{
    for (Object* child : object->ChildrenSnapshot()) {
        CollectPostOrder(child, out);
    }
    out.push_back(object);
}

} // namespace

void DeleteObject(Object* object)
{
    {
        std::lock_guard<std::recursive_mutex> guard(TreeLock());
        if (object->Deleting) {
            return;
        }
        object->Deleting = true;
    }

    // Cleanup callbacks may create children of the objects being deleted (a
    // property buffer parented to a device being removed): run until no object
    // of the subtree is left without its cleanup.
    for (;;) {
        std::vector<Object*> subtree;
        CollectPostOrder(object, subtree);
        bool ranAny = false;
        for (Object* item : subtree) {
            if (item->CleanedUp) {
                continue;
            }
            item->CleanedUp = true;
            item->Deleting = true;
            ranAny = true;
            item->Quiesce();
            if (item->CleanupCallback != nullptr) {
                CallbackScope scope("EvtCleanupCallback", CurrentIrql(), false);
                item->CleanupCallback(item->Handle());
            }
        }
        if (!ranAny) {
            break;
        }
    }

    std::vector<Object*> subtree;
    CollectPostOrder(object, subtree);
    {
        std::lock_guard<std::recursive_mutex> guard(TreeLock());
        for (Object* item : subtree) {
            LiveObjects().erase(item);
        }
        if (Object* parent = object->ParentObject) {
            auto& siblings = parent->Children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), object), siblings.end());
        }
    }
    for (Object* item : subtree) {
        if (item->DestroyCallback != nullptr) {
            CallbackScope scope("EvtDestroyCallback", CurrentIrql(), false);
            item->DestroyCallback(item->Handle());
        }
        Counters().ObjectsDeleted++;
    }
    for (Object* item : subtree) {
        delete item;
    }
}

size_t LiveObjectCount()
{
    std::lock_guard<std::recursive_mutex> guard(TreeLock());
    return LiveObjects().size();
}

std::vector<std::string> DescribeLiveObjects()
{
    std::lock_guard<std::recursive_mutex> guard(TreeLock());
    std::vector<std::string> lines;
    for (const Object* object : LiveObjects()) {
        char line[128];
        std::snprintf(line, sizeof(line), "%s %p (parent %p)", ObjectTypeName(object->Type()),
                      static_cast<const void*>(object), static_cast<const void*>(object->Parent()));
        lines.emplace_back(line);
    }
    return lines;
}

} // namespace host

extern "C" PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    host::Object* object = host::FromAnyHandle(Handle, "WdfObjectGetTypedContextWorker");
    return object->Context(TypeInfo);
}

extern "C" VOID WdfObjectDelete(WDFOBJECT Object)
{
    host::RequireMaxDispatch("WdfObjectDelete");
    host::Object* object = host::FromAnyHandle(Object, "WdfObjectDelete");
    switch (object->Type()) {
    case host::ObjectType::Driver:
    case host::ObjectType::Request:
    case host::ObjectType::UsbInterface:
    case host::ObjectType::UsbPipe:
    case host::ObjectType::FileObject:
        host::Bugcheck("WdfObjectDelete on a %s, which the framework owns", host::ObjectTypeName(object->Type()));
    default:
        break;
    }
    host::DeleteObject(object);
}
