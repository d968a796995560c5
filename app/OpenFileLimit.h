#pragma once

#include "platform/Result.h"

#include <functional>
#include <sys/resource.h>

namespace corvantis {

// The application's open-file limit: the soft limit goes up to the hard limit, but never past 1100, which is
// also what an unlimited hard limit gives. The application needs far fewer descriptors than the extension, and
// a soft limit above what poll-based code was sized for gains nothing.
inline constexpr rlim_t kAppOpenFileCap = 1100;

// The soft limit the rule picks for a hard limit of `hard` (RLIM_INFINITY for unlimited).
rlim_t ChooseOpenFileLimit(rlim_t hard);

// The two system calls the rule makes, replaceable so that tests reach limits the kernel refuses (an unlimited
// hard limit). Each returns 0 or -1 with errno set, as getrlimit and setrlimit do.
struct OpenFileLimitCalls {
    std::function<int(rlimit& limits)> get;
    std::function<int(const rlimit& limits)> set;
};
// getrlimit and setrlimit of RLIMIT_NOFILE.
OpenFileLimitCalls SystemOpenFileLimitCalls();

// Reads the limits and sets the soft limit by the rule, keeping the hard limit. Returns the soft limit set, or
// the failing call's error.
Result<rlim_t> ApplyOpenFileLimit(const OpenFileLimitCalls& calls = SystemOpenFileLimitCalls());

} // namespace corvantis
