// Included before headers with DEFINE_GUID in the one translation unit that
// emits those GUIDs.
#pragma once

#define INITGUID
#include <guiddef.h>
