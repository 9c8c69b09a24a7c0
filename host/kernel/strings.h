// Counted strings on the host. WCHAR text is kept as std::u16string, never
// std::wstring: the C library's wide functions assume a 32-bit wchar_t.
#pragma once

#include <wdm.h>

#include <string>

namespace host {

std::u16string WideFrom(PCUNICODE_STRING string);
std::u16string WideFrom(PCWSTR zeroTerminated);
std::u16string Widen(const std::string& ascii);
std::string Narrow(const std::u16string& wide);
std::string Narrow(PCUNICODE_STRING string);

// The text in lower case: how the registry and the object namespace compare names.
std::string Folded(std::string text);

// A counted string over the given text, valid as long as `text` is.
UNICODE_STRING CountedString(const std::u16string& text);

} // namespace host
