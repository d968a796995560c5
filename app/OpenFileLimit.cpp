#include "app/OpenFileLimit.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace corvantis {

rlim_t ChooseOpenFileLimit(rlim_t hard)
{
    if (hard == RLIM_INFINITY || hard > kAppOpenFileCap)
        return kAppOpenFileCap;
    return hard;
}

OpenFileLimitCalls SystemOpenFileLimitCalls()
{
    return {
        [](rlimit& limits) { return ::getrlimit(RLIMIT_NOFILE, &limits); },
        [](const rlimit& limits) { return ::setrlimit(RLIMIT_NOFILE, &limits); },
    };
}

Result<rlim_t> ApplyOpenFileLimit(const OpenFileLimitCalls& calls)
{
    rlimit limits {};
    if (calls.get(limits) != 0) {
        const int err = errno;
        return Status::error(err, std::string("Cannot read the open-file limit: ") + std::strerror(err));
    }
    limits.rlim_cur = ChooseOpenFileLimit(limits.rlim_max);
    if (calls.set(limits) != 0) {
        const int err = errno;
        return Status::error(
            err, "Cannot set the open-file limit to " + std::to_string(limits.rlim_cur) + ": " + std::strerror(err));
    }
    return limits.rlim_cur;
}

} // namespace corvantis
