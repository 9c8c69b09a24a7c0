#include "host/kernel/strings.h"

#include "host/verifier/verifier.h"

#include <ntstrsafe.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>

namespace host {

std::u16string WideFrom(PCUNICODE_STRING string)
{
    if (string == nullptr || string->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(string->Buffer), string->Length / sizeof(WCHAR));
}

std::u16string WideFrom(PCWSTR zeroTerminated)
{
    return zeroTerminated == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(zeroTerminated));
}

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Narrow(const std::u16string& wide)
{
    std::string out;
    out.reserve(wide.size());
    for (char16_t c : wide) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::string Narrow(PCUNICODE_STRING string) { return Narrow(WideFrom(string)); }

UNICODE_STRING CountedString(const std::u16string& text)
{
    UNICODE_STRING string;
    string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    string.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(text.data()));
    return string;
}

std::string Folded(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

} // namespace host

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t length = 0;
    while (SourceString[length] != 0) {
        ++length;
    }
    DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>((length + 1) * sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

// The conversions the drivers use. A result that does not fit is truncated to
// the buffer and reported as STATUS_BUFFER_OVERFLOW, as the kernel's does; an
// unknown conversion is a verifier stop rather than silently wrong text.
extern "C" NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...)
{
    if (DestinationString == nullptr || DestinationString->Buffer == nullptr || pszFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string out;
    va_list args;
    va_start(args, pszFormat);
    for (const WCHAR* p = pszFormat; *p != 0; ++p) {
        if (*p != L'%') {
            out.push_back(static_cast<char16_t>(*p));
            continue;
        }
        ++p;
        if (*p == L'%') {
            out.push_back(u'%');
            continue;
        }
        bool zeroPad = false;
        int width = 0;
        if (*p == L'0') {
            zeroPad = true;
            ++p;
        }
        while (*p >= L'0' && *p <= L'9') {
            width = width * 10 + (*p - L'0');
            ++p;
        }
        if (*p == L'u') {
            std::string digits = std::to_string(va_arg(args, unsigned int));
            while (static_cast<int>(digits.size()) < width) {
                digits.insert(digits.begin(), zeroPad ? '0' : ' ');
            }
            out += host::Widen(digits);
        } else if (p[0] == L'w' && p[1] == L's') {
            ++p;
            out += host::WideFrom(va_arg(args, PCWSTR));
        } else if (p[0] == L'w' && p[1] == L'Z') {
            ++p;
            out += host::WideFrom(va_arg(args, PCUNICODE_STRING));
        } else {
            va_end(args);
            host::Bugcheck("RtlUnicodeStringPrintf: conversion %%%c is not modelled", static_cast<char>(*p));
        }
    }
    va_end(args);

    // A counted result: no terminator is written, and text that does not fit
    // is cut at the buffer's end.
    const size_t capacity = DestinationString->MaximumLength / sizeof(WCHAR);
    const bool fits = out.size() <= capacity;
    const size_t count = fits ? out.size() : capacity;
    for (size_t i = 0; i < count; ++i) {
        DestinationString->Buffer[i] = static_cast<WCHAR>(out[i]);
    }
    DestinationString->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    return fits ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}
