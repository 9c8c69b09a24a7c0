// The Win32 API of the application code that builds for both platforms:
// Windows' own <windows.h> in the Windows build, and here the stand-in's
// kernel32 subset, which has Windows' names, signatures and layouts.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not the header's macros
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "host/win32/comm.h"
#endif
