// Counted-string formatting. The stand-in's RtlUnicodeStringPrintf takes the
// conversions the drivers use: %u and %02u style unsigned integers, %ws (a
// zero-terminated WCHAR string), %wZ (a PCUNICODE_STRING) and %%.
#pragma once

#include <ntdef.h>

typedef const WCHAR* NTSTRSAFE_PCWSTR;

#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)

extern "C" NTSTATUS RtlUnicodeStringPrintf(_Inout_ PUNICODE_STRING DestinationString,
                                           _In_ _Printf_format_string_ NTSTRSAFE_PCWSTR pszFormat, ...);
