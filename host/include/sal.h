// Source annotations: the WDK's analysis reads them; the host compilers do
// not, except that clang reads the lock annotations (below).
#pragma once

#define _In_
#define _In_opt_
#define _In_z_
#define _In_reads_(n)
#define _In_reads_opt_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _Out_
#define _Out_opt_
#define _Out_writes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_bytes_to_(n, m)
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_bytes_(n)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_bytebuffer_(n)
#define _Outptr_opt_result_bytebuffer_(n)
#define _Printf_format_string_
#define _Must_inspect_result_
#define _Use_decl_annotations_
#define _Function_class_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_requires_same_
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(k, x)
#define _IRQL_restores_global_(k, x)
#define _Interlocked_
#define _Interlocked_operand_
#define _When_(c, a)
#define _Success_(x)
#define _Post_satisfies_(x)
#define _Pre_satisfies_(x)
#define _Analysis_assume_(x)
#define _At_(t, a)
#define _Field_size_(n)
#define _Field_size_bytes_(n)
#define _Field_size_bytes_part_(n, m)
#define _Null_terminated_
#define _Ret_maybenull_
#define _Kernel_clear_do_init_(x)
#define _Dispatch_type_(x)
#define _Strict_type_match_
#define _Pre_notnull_
#define _Post_invalid_
#define _Frees_ptr_
#define _Frees_ptr_opt_

// Lock annotations. Under clang they become its thread-safety attributes, so
// a driver compiled with -Wthread-safety has its locking checked; the lock
// handles (wdf.h) are capabilities. clang parses an attribute in front of a
// free function before the function's parameters exist, so an annotation
// there can name globals only; in front of a class member (a static member
// function, say) it is parsed at the end of the class and can name the
// member's parameters, as the WDK's analysis can anywhere.
// _Requires_lock_not_held_ is locks_excluded rather than a negative
// capability: a caller holding the lock is rejected, but callers need not
// declare that they do not hold it.
#if defined(__clang__)
#define _Requires_lock_held_(x) __attribute__((requires_capability(x)))
#define _Requires_lock_not_held_(x) __attribute__((locks_excluded(x)))
#define _Acquires_lock_(x) __attribute__((acquire_capability(x)))
#define _Releases_lock_(x) __attribute__((release_capability(x)))
#define _Guarded_by_(x) __attribute__((guarded_by(x)))
// For the stand-in's own declarations, which carry the attributes after the
// declarator, where clang can name the parameters of any function.
#define OMBREL_HOST_THREAD_SAFETY(...) __attribute__((__VA_ARGS__))
#else
#define _Requires_lock_held_(x)
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _Guarded_by_(x)
#define OMBREL_HOST_THREAD_SAFETY(...)
#endif
