// Lock annotations for clang's thread-safety analysis (-Wthread-safety). They state
// which lock guards a field, which locks a function needs or must not hold, and the
// order in which locks are taken, so that clang rejects code breaking those rules
// (the DRALM_THREAD_SAFETY_ANALYSIS build). Other compilers see nothing.
//
// What clang checks: every access to a GUARDED_BY field (and every dereference of a
// PT_GUARDED_BY pointer) happens with its lock held, a function marked REQUIRES is only
// called with the named locks held and EXCLUDES only without them, guards release what
// they took, and (with -Wthread-safety-beta) locks are taken in the ACQUIRED_AFTER
// order. What it does not: a call of a non-const method through a guarded field counts
// as a read, so it is accepted under a shared hold.
#pragma once

#if defined(__clang__)
#define DRALM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define DRALM_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks; `name` appears in the diagnostics.
#define CAPABILITY(name) DRALM_THREAD_ANNOTATION(capability(name))
// An RAII class that holds the lock its constructor acquires until it is destroyed.
#define SCOPED_CAPABILITY DRALM_THREAD_ANNOTATION(scoped_lockable)

// Fields: read with the lock held shared or exclusive, written with it exclusive.
#define GUARDED_BY(lock) DRALM_THREAD_ANNOTATION(guarded_by(lock))
// Pointer fields: the same for what the pointer points to.
#define PT_GUARDED_BY(lock) DRALM_THREAD_ANNOTATION(pt_guarded_by(lock))
// Locks: this one is taken only after the named ones (never while holding it).
#define ACQUIRED_AFTER(...) DRALM_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// Functions: the caller holds the locks (exclusive / at least shared).
#define REQUIRES(...) DRALM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) DRALM_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// Functions: the caller must not hold the locks (the function takes them itself).
#define EXCLUDES(...) DRALM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// Functions that take or drop a lock and return with it held or released.
#define ACQUIRE(...) DRALM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) DRALM_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) DRALM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) DRALM_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))

// Turns the analysis off for one function whose correct locking it cannot follow;
// every use says why next to it.
#define NO_THREAD_SAFETY_ANALYSIS DRALM_THREAD_ANNOTATION(no_thread_safety_analysis)
