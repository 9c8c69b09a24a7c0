// The stand-in stops the run, loudly, when a driver breaks a rule that Windows
// would punish with a bug check or a hang.
#include "support/bus_harness.h"

#include "host/framework/creation.h"
#include "host/framework/memory.h"
#include "host/framework/work_item.h"
#include "host/io_manager/io_manager.h"
#include "host/pnp/pnp.h"
#include "host/framework/usb_target.h"
#include "host/verifier/verifier.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

WDFSPINLOCK NewSpinLock()
{
    WDFSPINLOCK lock = nullptr;
    EXPECT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    return lock;
}

TEST(VerifierDeathTest, RecursiveSpinLockAcquisition)
{
    EXPECT_DEATH(
        {
            WDFSPINLOCK lock = NewSpinLock();
            WdfSpinLockAcquire(lock);
            WdfSpinLockAcquire(lock);
        },
        "recursive acquisition of spin lock");
}

// A create that makes its object without the creation path's checks (IRQL,
// allocation on an I/O path, injected failure) is stopped as it ends.
TEST(VerifierDeathTest, ObjectMadeWithoutTheCreationChecks)
{
    EXPECT_DEATH(
        {
            host::Memory* made = nullptr;
            host::FinishCreation("WdfExampleCreate", WDF_NO_OBJECT_ATTRIBUTES, nullptr, &made,
                                 [](host::Object* parent) { return new host::Memory(parent, 16); });
        },
        "created without BeginCreation");
}

// The drivers never nest their spin locks (a port's ring and event locks above all).
TEST(VerifierDeathTest, NestedSpinLocks)
{
    EXPECT_DEATH(
        {
            WDFSPINLOCK first = NewSpinLock();
            WDFSPINLOCK second = NewSpinLock();
            WdfSpinLockAcquire(first);
            WdfSpinLockAcquire(second);
        },
        "acquired while the thread already holds spin lock");
}

TEST(VerifierDeathTest, SpinLockReleasedByAnotherThread)
{
    EXPECT_DEATH(
        {
            WDFSPINLOCK lock = NewSpinLock();
            WdfSpinLockAcquire(lock);
            std::thread([lock] { WdfSpinLockRelease(lock); }).join();
        },
        "released by a thread that does not hold it");
}

TEST(VerifierDeathTest, StaleHandle)
{
    EXPECT_DEATH(
        {
            WDFSPINLOCK lock = NewSpinLock();
            WdfObjectDelete(lock);
            WdfSpinLockAcquire(lock);
        },
        "not a live framework object");
}

TEST(VerifierDeathTest, BlockingWaitAboveDispatch)
{
    EXPECT_DEATH(
        {
            WDFSPINLOCK lock = NewSpinLock();
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            LARGE_INTEGER timeout;
            timeout.QuadPart = -10'000;
            WdfSpinLockAcquire(lock);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "KeWaitForSingleObject.* called at IRQL 2");
}

// A command sent while the caller holds a spin lock would block at
// DISPATCH_LEVEL: the wait lock catches it before the USB write would.
TEST(VerifierDeathTest, CommandSentAtDispatchLevel)
{
    EXPECT_DEATH(
        {
            bridge::BridgeModel model;
            test::BusHarness harness(model);
            WdfSpinLockAcquire(harness.Port(2)->ReceiveLock);
            ULONG accepted = 0;
            BusPortWrite(harness.Port(2), "a", 1, &accepted);
        },
        "WdfWaitLockAcquire.* called at IRQL 2");
}

void LeaveLockHeld(WDFWORKITEM)
{
    static WDFSPINLOCK lock = NewSpinLock();
    WdfSpinLockAcquire(lock);
}

TEST(VerifierDeathTest, CallbackReturnsHoldingASpinLock)
{
    EXPECT_DEATH(
        {
            bridge::BridgeModel model;
            test::BusHarness harness(model);
            WDF_WORKITEM_CONFIG config;
            WDF_WORKITEM_CONFIG_INIT(&config, LeaveLockHeld);
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.ParentObject = harness.Bus()->Device;
            WDFWORKITEM item = nullptr;
            WdfWorkItemCreate(&config, &attributes, &item);
            WdfWorkItemEnqueue(item);
            host::WaitForWorkItemsIdle();
        },
        "EvtWorkItemFunc returned holding a spin lock");
}

TEST(VerifierDeathTest, AllocationOnAnIoPath)
{
    EXPECT_DEATH(
        {
            host::IoPathScope ioPath;
            NewSpinLock();
        },
        "WdfSpinLockCreate allocates on an I/O path");
}

// Without a time-out of its own, a write the bridge never takes would hang
// the writing thread forever; the stand-in turns that hang into a stop.
void WriteWithoutTimeOutToABridgeThatNeverTakesIt()
{
    host::SetUnboundedWriteLimit(std::chrono::milliseconds(100));
    bridge::BridgeModel model;
    model.SetOutWriteFault(bridge::OutScope::Commands, bridge::OutWriteFault::Hang());
    test::BusHarness harness(model);
    UCHAR frame[8] = {0x4F, 0x42, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00};
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, frame, sizeof(frame));
    WdfUsbTargetPipeWriteSynchronously(harness.Bus()->BulkOutPipe, nullptr, nullptr, &descriptor, nullptr);
}

TEST(VerifierDeathTest, UnboundedWriteThatNeverCompletes)
{
    EXPECT_DEATH(WriteWithoutTimeOutToABridgeThatNeverTakesIt(), "without a time-out never completed");
}

// A one-queue device whose read callback breaks a rule chosen by the test.
enum class ReadMisuse { CompleteTwice, CompleteUnderSpinLock, CompleteWhileQueued, NeverComplete };
ReadMisuse g_misuse;
WDFQUEUE g_manualQueue;
WDFSPINLOCK g_lock;

VOID MisbehavingRead(WDFQUEUE, WDFREQUEST request, size_t)
{
    switch (g_misuse) {
    case ReadMisuse::CompleteTwice:
        WdfRequestComplete(request, STATUS_SUCCESS);
        WdfRequestComplete(request, STATUS_SUCCESS);
        break;
    case ReadMisuse::CompleteUnderSpinLock:
        WdfSpinLockAcquire(g_lock);
        WdfRequestComplete(request, STATUS_SUCCESS);
        WdfSpinLockRelease(g_lock);
        break;
    case ReadMisuse::CompleteWhileQueued:
        WdfRequestForwardToIoQueue(request, g_manualQueue);
        WdfRequestComplete(request, STATUS_SUCCESS);
        break;
    case ReadMisuse::NeverComplete:
        WdfRequestForwardToIoQueue(request, g_manualQueue);
        WdfIoQueueRetrieveNextRequest(g_manualQueue, &request);  // taken, and then forgotten
        break;
    }
}

NTSTATUS MiniDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DECLARE_CONST_UNICODE_STRING(link, L"\\DosDevices\\Global\\MINI");
    WdfDeviceCreateSymbolicLink(device, &link);
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoRead = MisbehavingRead;
    WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &g_manualQueue);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    return WdfSpinLockCreate(&attributes, &g_lock);
}

NTSTATUS MiniDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, MiniDeviceAdd);
    return WdfDriverCreate(nullptr, nullptr, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

void ReadFromAMisbehavingDriver(ReadMisuse misuse)
{
    g_misuse = misuse;
    host::SetRequestCompletionLimit(std::chrono::milliseconds(200));
    auto driver = host::LoadedDriver::Load("Mini", MiniDriverEntry);
    host::DeviceNode node(*driver, std::make_shared<host::PhysicalDevice>());
    node.Start();
    std::unique_ptr<host::FileHandle> handle;
    host::OpenDevice("MINI", handle);
    handle->ReadAsync(4)->Wait(std::chrono::milliseconds(100));
    handle->Close();
}

TEST(VerifierDeathTest, RequestCompletedTwice)
{
    EXPECT_DEATH(ReadFromAMisbehavingDriver(ReadMisuse::CompleteTwice), "was completed already");
}

TEST(VerifierDeathTest, RequestCompletedUnderASpinLock)
{
    EXPECT_DEATH(ReadFromAMisbehavingDriver(ReadMisuse::CompleteUnderSpinLock),
                 "WdfRequestComplete while the thread holds a driver spin lock");
}

TEST(VerifierDeathTest, RequestCompletedWhileItWaitsInAQueue)
{
    EXPECT_DEATH(ReadFromAMisbehavingDriver(ReadMisuse::CompleteWhileQueued), "the driver does not own it");
}

TEST(VerifierDeathTest, RequestNeverCompleted)
{
    EXPECT_DEATH(ReadFromAMisbehavingDriver(ReadMisuse::NeverComplete), "never completed");
}

} // namespace
