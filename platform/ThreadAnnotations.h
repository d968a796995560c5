#pragma once

// Clang's thread-safety attributes. g++ ignores them (the macros are empty there); the clang pass of
// scripts/test (-Wthread-safety) checks that fields marked GUARDED_BY are only touched with their mutex held.
// Use them with platform/Mutex.h: std::mutex carries no capability, so the analysis cannot see it.
#if defined(__clang__)
#define CORVANTIS_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define CORVANTIS_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) CORVANTIS_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY CORVANTIS_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) CORVANTIS_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) CORVANTIS_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) CORVANTIS_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) CORVANTIS_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) CORVANTIS_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) CORVANTIS_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) CORVANTIS_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) CORVANTIS_THREAD_ATTRIBUTE(assert_capability(x))
#define RETURN_CAPABILITY(x) CORVANTIS_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS CORVANTIS_THREAD_ATTRIBUTE(no_thread_safety_analysis)
