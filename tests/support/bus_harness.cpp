#include "support/bus_harness.h"

#include "host/framework/object.h"
#include "host/framework/work_item.h"

#include <gtest/gtest.h>

namespace test {

std::atomic<int> BusHarness::EnumerationRunCount{0};
std::mutex ReceiveRecorder::Lock;
std::vector<ReceiveRecorder::Delivery> ReceiveRecorder::Deliveries;

void BusHarness::CountEnumeration(WDFWORKITEM item)
{
    UNREFERENCED_PARAMETER(item);
    EnumerationRunCount++;
}

BusHarness::BusHarness(bridge::BridgeModel& model)
{
    EnumerationRunCount = 0;
    LiveObjectsBefore = host::LiveObjectCount();

    Node = std::make_shared<host::PhysicalDevice>();
    Node->Name = "\\Device\\USBPDO-7";
    Node->Usb = std::make_shared<host::UsbConnection>(model);
    Node->Usb->Plug();

    WDF_DRIVER_CONFIG driverConfig;
    WDF_DRIVER_CONFIG_INIT(&driverConfig, nullptr);
    EXPECT_EQ(WdfDriverCreate(nullptr, nullptr, nullptr, &driverConfig, &Driver), STATUS_SUCCESS);

    PWDFDEVICE_INIT init = host::NewDeviceInit(Driver, Node);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, OMBREL_DEVICE_CONTEXT);
    EXPECT_EQ(WdfDeviceCreate(&init, &attributes, &Device), STATUS_SUCCESS);
    Context = BusGetDeviceContext(Device);
    Context->Device = Device;
    KeInitializeEvent(&Context->ResponseEvent, NotificationEvent, FALSE);

    WDF_OBJECT_ATTRIBUTES childAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&childAttributes);
    childAttributes.ParentObject = Device;
    EXPECT_EQ(WdfWaitLockCreate(&childAttributes, &Context->CommandLock), STATUS_SUCCESS);
    for (UCHAR i = 0; i < BRIDGE_PORT_COUNT; ++i) {
        Context->Ports[i].Bus = Context;
        Context->Ports[i].PortIndex = i;
        EXPECT_EQ(WdfSpinLockCreate(&childAttributes, &Context->Ports[i].ReceiveLock), STATUS_SUCCESS);
    }
    WDF_WORKITEM_CONFIG workItemConfig;
    WDF_WORKITEM_CONFIG_INIT(&workItemConfig, CountEnumeration);
    EXPECT_EQ(WdfWorkItemCreate(&workItemConfig, &childAttributes, &Context->EnumWorkItem), STATUS_SUCCESS);

    WDF_USB_DEVICE_CREATE_CONFIG usbConfig;
    WDF_USB_DEVICE_CREATE_CONFIG_INIT(&usbConfig, USBD_CLIENT_CONTRACT_VERSION_602);
    EXPECT_EQ(WdfUsbTargetDeviceCreateWithParameters(Device, &usbConfig, nullptr, &Context->UsbDevice),
              STATUS_SUCCESS);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(Context->UsbDevice, nullptr, &params), STATUS_SUCCESS);
    WDFUSBINTERFACE usbInterface = params.Types.SingleInterface.ConfiguredUsbInterface;
    for (UCHAR i = 0; i < WdfUsbInterfaceGetNumConfiguredPipes(usbInterface); ++i) {
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(usbInterface, i, &info);
        if (info.PipeType == WdfUsbPipeTypeBulk) {
            (WdfUsbTargetPipeIsInEndpoint(pipe) ? Context->BulkInPipe : Context->BulkOutPipe) = pipe;
        }
    }
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(Context->BulkInPipe);
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(Context->BulkOutPipe);
    WDF_USB_CONTINUOUS_READER_CONFIG readerConfig;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&readerConfig, EvtBusReadComplete, Context, BRIDGE_FRAME_MAX);
    readerConfig.EvtUsbTargetPipeReadersFailed = EvtBusReadersFailed;
    EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(Context->BulkInPipe, &readerConfig), STATUS_SUCCESS);
    EXPECT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(Context->BulkInPipe)), STATUS_SUCCESS);
}

BusHarness::~BusHarness()
{
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(Context->BulkInPipe), WdfIoTargetCancelSentIo);
    host::DeleteObject(host::FromAnyHandle(Device, "test teardown"));
    Node->Usb->Unplug();
    host::DeleteObject(host::FromAnyHandle(Driver, "test teardown"));
    EXPECT_TRUE(host::WaitForWorkItemsIdle());
    EXPECT_EQ(host::LiveObjectCount(), LiveObjectsBefore) << "framework objects left undeleted";
}

void BusHarness::DrainIn()
{
    ASSERT_TRUE(Node->Usb->WaitInIdle(0x81)) << "the driver did not take the IN transfers";
}

VOID ReceiveRecorder::Receive(PVOID context, const UCHAR* data, ULONG length)
{
    std::lock_guard<std::mutex> guard(Lock);
    Deliveries.push_back({context, std::vector<uint8_t>(data, data + length)});
}

std::vector<ReceiveRecorder::Delivery> ReceiveRecorder::Take()
{
    std::lock_guard<std::mutex> guard(Lock);
    return std::move(Deliveries);
}

void ReceiveRecorder::Clear()
{
    std::lock_guard<std::mutex> guard(Lock);
    Deliveries.clear();
}

} // namespace test
