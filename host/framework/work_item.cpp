#include "host/framework/work_item.h"

#include "host/framework/creation.h"
#include "host/framework/object.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace host {

namespace {

class WorkItem;

// The system's worker threads: a pool that grows while every thread is busy,
// started on first use and kept for the process. Windows runs work items on
// several system worker threads (documentation: "System Worker Threads"), so
// two work items, or two runs of one, can run at once.
class SystemWorker {
public:
    static SystemWorker& Instance()
    {
        static SystemWorker* worker = new SystemWorker();  // never destroyed: outlives every test
        return *worker;
    }

    // Queues the item unless it is already queued and not yet started, as the
    // framework does (fxworkitem.cpp, FxWorkItem::Enqueue returns when
    // m_Enqueued is set). FxWorkItem::WorkItemHandler clears m_Enqueued before
    // it calls the driver, so an item queued again while it runs starts again,
    // on another thread if one is free.
    void Enqueue(WorkItem* item);
    // Removes the item from the queue and waits for its runs in progress.
    void Forget(WorkItem* item);
    bool WaitIdle(std::chrono::milliseconds timeout);
    void NoteBlocked(int delta);

private:
    SystemWorker() = default;
    void Run();

    static constexpr int MaxThreads = 32;
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<WorkItem*> Queue;
    int Threads = 0;
    int Idle = 0;
    int RunsInProgress = 0;
    int BlockedRuns = 0;  // runs in progress that wait in the kernel
};

class WorkItem final : public Object {
public:
    WorkItem(Object* parent, const WDF_WORKITEM_CONFIG& config) : Object(ObjectType::WorkItem, parent), Config(config) {}
    void Quiesce() override { SystemWorker::Instance().Forget(this); }
    WDF_WORKITEM_CONFIG Config;
    bool Queued = false;  // guarded by the worker's lock
    int Running = 0;      // guarded by the worker's lock
};

thread_local WorkItem* t_runningItem = nullptr;

void SystemWorker::Enqueue(WorkItem* item)
{
    bool startThread = false;
    {
        std::lock_guard<std::mutex> guard(Lock);
        if (item->Queued) {
            return;
        }
        item->Queued = true;
        Queue.push_back(item);
        if (Idle < static_cast<int>(Queue.size()) && Threads < MaxThreads) {
            Threads++;
            startThread = true;
        }
    }
    if (startThread) {
        std::thread([this] { Run(); }).detach();
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
    const int ownRun = t_runningItem == item ? 1 : 0;  // deleted from its own callback
    Changed.wait(guard, [&] { return item->Running == ownRun; });
}

bool SystemWorker::WaitIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, timeout, [&] { return Queue.empty() && RunsInProgress == BlockedRuns; });
}

void SystemWorker::NoteBlocked(int delta)
{
    {
        std::lock_guard<std::mutex> guard(Lock);
        BlockedRuns += delta;
    }
    Changed.notify_all();
}

void SystemWorker::Run()
{
    std::unique_lock<std::mutex> guard(Lock);
    for (;;) {
        Idle++;
        Changed.wait(guard, [&] { return !Queue.empty(); });
        Idle--;
        WorkItem* item = Queue.front();
        Queue.pop_front();
        item->Queued = false;
        item->Running++;
        RunsInProgress++;
        guard.unlock();
        t_runningItem = item;
        {
            CallbackScope scope("EvtWorkItemFunc", PASSIVE_LEVEL, false);
            item->Config.EvtWorkItemFunc(reinterpret_cast<WDFWORKITEM>(item));
        }
        t_runningItem = nullptr;
        guard.lock();
        item->Running--;
        RunsInProgress--;
        Changed.notify_all();
    }
}

} // namespace

bool WaitForWorkItemsIdle(std::chrono::milliseconds timeout) { return SystemWorker::Instance().WaitIdle(timeout); }

WorkerBlockedScope::WorkerBlockedScope() : Counted(t_runningItem != nullptr)
{
    if (t_blockObserver.Notify != nullptr) {
        t_blockObserver.Notify(t_blockObserver.Context);
    }
    if (Counted) {
        SystemWorker::Instance().NoteBlocked(1);
    }
}

WorkerBlockedScope::~WorkerBlockedScope()
{
    if (Counted) {
        SystemWorker::Instance().NoteBlocked(-1);
    }
}

} // namespace host

extern "C" NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                      WDFWORKITEM* WorkItem)
{
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
    host::WorkItem* item;
    NTSTATUS status = host::CreateObject("WdfWorkItemCreate", DISPATCH_LEVEL, Attributes, parent, &item,
                                         [Config](host::Object* owner) { return new host::WorkItem(owner, *Config); });
    *WorkItem = reinterpret_cast<WDFWORKITEM>(item);
    return status;
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
