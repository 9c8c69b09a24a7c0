//
// Driver entry of OmbrelBus. This translation unit emits the GUIDs that the
// bus driver uses.
//
#define OMBREL_DEFINE_GUIDS
#include "bus.h"

// No unload routine and no driver attributes: every object the driver creates
// belongs to a bus device and goes away with it.
extern "C"
_Use_decl_annotations_
NTSTATUS
DriverEntry(
    PDRIVER_OBJECT DriverObject,
    PUNICODE_STRING RegistryPath
    )
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtBusDeviceAdd);

    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}
