// The kernel's driver-development header: on the host it is the executive of wdm.h.
#pragma once

#include <wdm.h>
