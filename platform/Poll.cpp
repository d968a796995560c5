#include "platform/Poll.h"

#include <cerrno>
#include <chrono>
#include <poll.h>

namespace corvantis {

int pollFd(int fd, short events, int timeoutMs, short& revents)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int wait = timeoutMs;
    revents = 0;
    for (;;) {
        pollfd p { fd, events, 0 };
        int r = ::poll(&p, 1, wait);
        if (r >= 0) {
            revents = r > 0 ? p.revents : 0;
            return r;
        }
        if (errno != EINTR)
            return -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

} // namespace corvantis
