//
// The one platform include of the driver code.
//
// On Windows these names resolve to the WDK's headers; the Linux host build puts
// host/include first on the include path, so the same names resolve to the
// stand-in. Driver sources include this header and the project's own headers,
// nothing else.
//
// A translation unit that must emit the GUIDs it uses (one per driver) defines
// OMBREL_DEFINE_GUIDS before including this header.
//
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdfusb.h>
#include <ntstrsafe.h>

#ifdef OMBREL_DEFINE_GUIDS
#include <initguid.h>
#endif

#include <ntddser.h>
