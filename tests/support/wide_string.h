// A wide, terminated copy of an ASCII string, for the W forms of the Win32
// layer (std::wstring's compiled library code assumes a 32-bit wchar_t).
#pragma once

#include <ntdef.h>

#include <string>
#include <vector>

namespace test {

inline std::vector<WCHAR> Wide(const std::string& text)
{
    std::vector<WCHAR> wide(text.begin(), text.end());
    wide.push_back(0);
    return wide;
}

} // namespace test
