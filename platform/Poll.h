#pragma once

namespace corvantis {

// Waits until `fd` reports one of `events` (POLLIN, POLLOUT, ...) or `timeoutMs` milliseconds pass on the
// monotonic clock; a negative time-out waits without limit. Unlike a bare poll, a signal does not shorten or
// lengthen the wait: the call resumes with the time that is left. Works for every descriptor number (no fd_set).
// Returns 1 with `revents` set, 0 on time-out (revents 0), or -1 with errno.
[[nodiscard]] int pollFd(int fd, short events, int timeoutMs, short& revents);

} // namespace corvantis
