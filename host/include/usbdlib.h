// USB client library definitions: the client contract versions.
#pragma once

#include <usb.h>

#define USBD_CLIENT_CONTRACT_VERSION_INVALID 0xFFFFFFFF
#define USBD_CLIENT_CONTRACT_VERSION_602 0x00000602
