// Clang thread-safety annotations; no-ops on other compilers.
#ifndef QOR_UTIL_THREAD_ANNOTATIONS_H_
#define QOR_UTIL_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define QOR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QOR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QOR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QOR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QOR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QOR_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) QOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) QOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) QOR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS QOR_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // QOR_UTIL_THREAD_ANNOTATIONS_H_
