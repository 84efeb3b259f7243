// Lock contracts the compiler can check. Under clang with -Wthread-safety
// these attributes let the analysis prove that guarded state is touched only
// with its lock held and that a function's callers hold what it requires;
// other compilers see empty macros.
//
// The engine's locks are recursive, but the contracts are written as if they
// were not: a function either takes a lock (EXCLUDES, or nothing said) or
// requires it held (REQUIRES), never both. Where a lock is taken again below
// a caller that holds it, the inner function says REQUIRES and the caller's
// guard covers it.
#pragma once

#if defined(__clang__)
#define VAULTFS_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define VAULTFS_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) VAULTFS_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY VAULTFS_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) VAULTFS_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) VAULTFS_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VAULTFS_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VAULTFS_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VAULTFS_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VAULTFS_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VAULTFS_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VAULTFS_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VAULTFS_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VAULTFS_THREAD_ATTRIBUTE(assert_capability(x))
#define RETURN_CAPABILITY(x) VAULTFS_THREAD_ATTRIBUTE(lock_returned(x))
// For the few functions whose locking the analysis cannot follow (locks
// taken hand over hand along a path of objects, or a set of objects locked
// for a compaction); each use says why.
#define NO_THREAD_SAFETY_ANALYSIS VAULTFS_THREAD_ATTRIBUTE(no_thread_safety_analysis)
