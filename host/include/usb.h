// USB definitions of the kernel headers that the drivers see.
#pragma once

#include <ntdef.h>

typedef LONG USBD_STATUS;

#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_DIRECTION_IN(addr) ((addr) & USB_ENDPOINT_DIRECTION_MASK)
