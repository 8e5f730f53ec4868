#pragma once
// Clang's thread-safety annotations: what a lock guards and which functions need it held, so
// that touching guarded data without the lock fails to compile (-Wthread-safety -Werror in the
// clang build). Other compilers see nothing.

#if defined(__clang__)
#define TOLMARK_TSA(x) __attribute__((x))
#else
#define TOLMARK_TSA(x)
#endif

#define CAPABILITY(name) TOLMARK_TSA(capability(name))
#define SCOPED_CAPABILITY TOLMARK_TSA(scoped_lockable)
#define GUARDED_BY(lock) TOLMARK_TSA(guarded_by(lock))
#define PT_GUARDED_BY(lock) TOLMARK_TSA(pt_guarded_by(lock))
#define REQUIRES(...) TOLMARK_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TOLMARK_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TOLMARK_TSA(release_capability(__VA_ARGS__))
#define EXCLUDES(...) TOLMARK_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) TOLMARK_TSA(acquired_before(__VA_ARGS__))
#define RETURN_CAPABILITY(x) TOLMARK_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TOLMARK_TSA(no_thread_safety_analysis)
