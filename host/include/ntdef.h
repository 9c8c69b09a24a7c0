// Base types of the Windows kernel headers, with the sizes of the x64 ABI
// (LONG and ULONG are 32 bits; WCHAR is 16 bits under -fshort-wchar).
#pragma once

#include <sal.h>
#include <stddef.h>

static_assert(sizeof(wchar_t) == 2, "driver code and the stand-in are compiled with -fshort-wchar");
static_assert(sizeof(void*) == 8, "the stand-in models x64");

#define VOID void
#define FORCEINLINE inline
#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define DECLSPEC_SELECTANY __attribute__((weak))
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define CONST const
#define FALSE 0
#define TRUE 1
#ifndef NULL
#define NULL nullptr
#endif
#define EXTERN_C extern "C"
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define ARRAYSIZE(A) (sizeof(A) / sizeof((A)[0]))
#define RTL_NUMBER_OF(A) ARRAYSIZE(A)
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define C_ASSERT(e) static_assert(e, #e)
#define CONTAINING_RECORD(address, type, field) ((type*)((char*)(address) - offsetof(type, field)))

typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR, CCHAR, *PCHAR, *PSTR;
typedef const char* PCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef short SHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int LONG, *PLONG;
typedef unsigned int ULONG, *PULONG;
typedef long long LONGLONG, *PLONGLONG;
typedef unsigned long long ULONGLONG, *PULONGLONG;
typedef ULONGLONG ULONG64, *PULONG64;
typedef ULONGLONG ULONG_PTR, *PULONG_PTR;
typedef LONGLONG LONG_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *PWCH;
typedef const wchar_t* PCWSTR, *PCWCH;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef void* HANDLE, **PHANDLE;
typedef ULONG ACCESS_MASK;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32 bits on Windows");

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

inline bool IsEqualGUID(REFGUID a, REFGUID b)
{
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

typedef struct _UNICODE_STRING {
    USHORT Length;          // bytes, without a terminator
    USHORT MaximumLength;   // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS                    ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT                    ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                    ((NTSTATUS)0x00000103L)
#define STATUS_DEVICE_BUSY                ((NTSTATUS)0x80000011L)
#define STATUS_BUFFER_OVERFLOW            ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES            ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL               ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED            ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE             ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER          ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE             ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST     ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED              ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL           ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH       ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID        ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND      ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION      ((NTSTATUS)0xC0000035L)
#define STATUS_SHARING_VIOLATION          ((NTSTATUS)0xC0000043L)
#define STATUS_INSUFFICIENT_RESOURCES     ((NTSTATUS)0xC000009AL)
#define STATUS_IO_TIMEOUT                 ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED              ((NTSTATUS)0xC00000BBL)
#define STATUS_CANCELLED                  ((NTSTATUS)0xC0000120L)
#define STATUS_DELETE_PENDING             ((NTSTATUS)0xC0000056L)
#define STATUS_DEVICE_NOT_CONNECTED       ((NTSTATUS)0xC000009DL)
#define STATUS_INVALID_DEVICE_STATE       ((NTSTATUS)0xC0000184L)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#define STATUS_DEVICE_PROTOCOL_ERROR      ((NTSTATUS)0xC0000186L)
#define STATUS_INVALID_BUFFER_SIZE        ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND                  ((NTSTATUS)0xC0000225L)
#define STATUS_DEVICE_REMOVED             ((NTSTATUS)0xC00002B6L)
#include <guiddef.h>
