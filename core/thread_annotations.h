// Thread-safety annotations: the locking rules written into the types.
//
// Clang checks them with -Wthread-safety: a member marked GUARDED_BY(mu) may
// only be touched while mu is held, a function marked REQUIRES(mu) may only
// be called with mu held, and so on. Other compilers see nothing; the macros
// expand to nothing there, so the annotations cost nothing at run time.
#ifndef SL_CORE_THREAD_ANNOTATIONS_H_
#define SL_CORE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define SL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SL_THREAD_ANNOTATION(x)
#endif

// A class whose instances are locks.
#define CAPABILITY(name) SL_THREAD_ANNOTATION(capability(name))
// A class whose instances hold a lock for their lifetime.
#define SCOPED_CAPABILITY SL_THREAD_ANNOTATION(scoped_lockable)
// A field that is read or written only with the lock held.
#define GUARDED_BY(x) SL_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose target is read or written only with the lock held.
#define PT_GUARDED_BY(x) SL_THREAD_ANNOTATION(pt_guarded_by(x))
// A function that the caller calls with the lock held.
#define REQUIRES(...) SL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function that takes the lock and returns with it held.
#define ACQUIRE(...) SL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// A function that takes the lock when it returns `result`.
#define TRY_ACQUIRE(...) SL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function that releases a held lock.
#define RELEASE(...) SL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function that the caller must not call with the lock held (it takes it).
#define EXCLUDES(...) SL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function after which the analysis takes the lock as held.
#define ASSERT_CAPABILITY(x) SL_THREAD_ANNOTATION(assert_capability(x))
// A function the analysis does not look into; each use says why.
#define NO_THREAD_SAFETY_ANALYSIS SL_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif
