// Clang's thread-safety attributes, so that which lock guards which field is
// checked by the compiler (-Wthread-safety) rather than told in a comment.
// They expand to nothing on compilers without the analysis.
#pragma once

#if defined(__clang__)
#define CORV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CORV_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks (name: what the diagnostics call it).
#define CAPABILITY(name) CORV_THREAD_ANNOTATION(capability(name))
// An object that holds a lock for its scope.
#define SCOPED_CAPABILITY CORV_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only with the lock held.
#define GUARDED_BY(lock) CORV_THREAD_ANNOTATION(guarded_by(lock))
// A pointer whose pointee is read or written only with the lock held.
#define PT_GUARDED_BY(lock) CORV_THREAD_ANNOTATION(pt_guarded_by(lock))
// The caller must hold the lock(s) / must not hold them.
#define REQUIRES(...) CORV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) CORV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes / frees the lock (this object's when none is named).
#define ACQUIRE(...) CORV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) CORV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the lock when it returns the given value.
#define TRY_ACQUIRE(...) CORV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// For the few functions whose locking the analysis cannot follow; each use
// says why.
#define NO_THREAD_SAFETY_ANALYSIS CORV_THREAD_ANNOTATION(no_thread_safety_analysis)
