#pragma once

// Clang's thread-safety attributes. g++ ignores them (the macros are empty there); a clang build with
// -Wthread-safety checks that fields marked GUARDED_BY are only touched with their mutex held.
#if defined(__clang__)
#define CORVANTIS_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define CORVANTIS_THREAD_ATTRIBUTE(x)
#endif

#define GUARDED_BY(x) CORVANTIS_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) CORVANTIS_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) CORVANTIS_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) CORVANTIS_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
