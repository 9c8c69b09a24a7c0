#include "host/workitem.h"

#include "host/faults.h"
#include "host/object.h"
#include "host/verifier.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace host {

namespace {

class WorkItem;

// The system worker: one thread, started on first use and kept for the process.
class SystemWorker {
public:
    static SystemWorker& Instance()
    {
        static SystemWorker* worker = new SystemWorker();  // never destroyed: outlives every test
        return *worker;
    }

    // Queues the item unless it is already queued and not yet started, as the
    // framework does: a second enqueue before the item runs is absorbed.
    void Enqueue(WorkItem* item);
    // Removes the item from the queue and waits for a run in progress.
    void Forget(WorkItem* item);
    bool WaitIdle(std::chrono::milliseconds timeout);

private:
    SystemWorker() : Thread([this] { Run(); }) { Thread.detach(); }
    void Run();

    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<WorkItem*> Queue;
    WorkItem* Running = nullptr;
    std::thread::id WorkerId;
    std::thread Thread;
};

class WorkItem final : public Object {
public:
    WorkItem(Object* parent, const WDF_WORKITEM_CONFIG& config) : Object(ObjectType::WorkItem, parent), Config(config) {}
    void Quiesce() override { SystemWorker::Instance().Forget(this); }
    WDF_WORKITEM_CONFIG Config;
    bool Queued = false;  // guarded by the worker's lock
};

void SystemWorker::Enqueue(WorkItem* item)
{
    {
        std::lock_guard<std::mutex> guard(Lock);
        if (item->Queued) {
            return;
        }
        item->Queued = true;
        Queue.push_back(item);
    }
    Changed.notify_all();
}

void SystemWorker::Forget(WorkItem* item)
{
    std::unique_lock<std::mutex> guard(Lock);
    for (auto it = Queue.begin(); it != Queue.end(); ++it) {
        if (*it == item) {
            Queue.erase(it);
            break;
        }
    }
    item->Queued = false;
    if (std::this_thread::get_id() != WorkerId) {
        Changed.wait(guard, [&] { return Running != item; });
    }
}

bool SystemWorker::WaitIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, timeout, [&] { return Queue.empty() && Running == nullptr; });
}

void SystemWorker::Run()
{
    std::unique_lock<std::mutex> guard(Lock);
    WorkerId = std::this_thread::get_id();
    for (;;) {
        Changed.wait(guard, [&] { return !Queue.empty(); });
        WorkItem* item = Queue.front();
        Queue.pop_front();
        item->Queued = false;
        Running = item;
        guard.unlock();
        {
            CallbackScope scope("EvtWorkItemFunc", PASSIVE_LEVEL, false);
            item->Config.EvtWorkItemFunc(reinterpret_cast<WDFWORKITEM>(item));
        }
        guard.lock();
        Running = nullptr;
        Changed.notify_all();
    }
}

} // namespace

bool WaitForWorkItemsIdle(std::chrono::milliseconds timeout) { return SystemWorker::Instance().WaitIdle(timeout); }

} // namespace host

extern "C" NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                      WDFWORKITEM* WorkItem)
{
    host::RequireMaxDispatch("WdfWorkItemCreate");
    host::CheckAllocation("WdfWorkItemCreate");
    *WorkItem = nullptr;
    if (Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) || Config->EvtWorkItemFunc == nullptr) {
        host::Bugcheck("WdfWorkItemCreate: WDF_WORKITEM_CONFIG not initialised with a work-item function");
    }
    if (Attributes == nullptr || Attributes->ParentObject == nullptr) {
        host::Bugcheck("WdfWorkItemCreate: a work item needs a parent object (a device or a queue)");
    }
    host::Object* parent = host::FromAnyHandle(Attributes->ParentObject, "WdfWorkItemCreate");
    if (parent->Type() != host::ObjectType::Device && parent->Type() != host::ObjectType::Queue) {
        host::Bugcheck("WdfWorkItemCreate: parent is a %s; it must be a device or a queue",
                       host::ObjectTypeName(parent->Type()));
    }
    if (auto failure = host::InjectedFailure("WdfWorkItemCreate")) {
        return *failure;
    }
    if (NTSTATUS refused = host::ParentAcceptsChildren(parent); !NT_SUCCESS(refused)) {
        return refused;
    }
    auto* item = new host::WorkItem(parent, *Config);
    item->ApplyAttributes(Attributes, "WdfWorkItemCreate");
    *WorkItem = reinterpret_cast<WDFWORKITEM>(item);
    return STATUS_SUCCESS;
}

extern "C" VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
{
    host::RequireMaxDispatch("WdfWorkItemEnqueue");
    auto* item = host::FromHandleAs<host::WorkItem>(WorkItem, host::ObjectType::WorkItem, "WdfWorkItemEnqueue");
    host::SystemWorker::Instance().Enqueue(item);
}

extern "C" WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
{
    auto* item = host::FromHandle(WorkItem, host::ObjectType::WorkItem, "WdfWorkItemGetParentObject");
    return item->Parent()->Handle();
}

extern "C" VOID WdfWorkItemFlush(WDFWORKITEM WorkItem)
{
    host::RequirePassive("WdfWorkItemFlush");
    auto* item = host::FromHandleAs<host::WorkItem>(WorkItem, host::ObjectType::WorkItem, "WdfWorkItemFlush");
    UNREFERENCED_PARAMETER(item);
    host::SystemWorker::Instance().WaitIdle(std::chrono::hours(1));
}
