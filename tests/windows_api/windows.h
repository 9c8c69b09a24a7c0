// <windows.h> for the code in this tree written against Windows' own header:
// the stand-in's kernel32 subset.
#pragma once

#include "host/win32/comm.h"
