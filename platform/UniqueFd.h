#pragma once

#include <utility>

namespace corvantis {

// Owns one file descriptor and closes it exactly once. Move-only.
class UniqueFd final {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : m_fd(fd)
    {
    }
    ~UniqueFd() { reset(); }

    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept
        : m_fd(other.release())
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    // The descriptor, or -1. Still owned by this object.
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without closing; returns the descriptor.
    int release() { return std::exchange(m_fd, -1); }
    // Closes the current descriptor (if any) and takes `fd`.
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// Retries a system call while it fails with EINTR; returns its last result.
template <typename F> auto retryOnEintr(F&& call) -> decltype(call());

} // namespace corvantis

#include <cerrno>

namespace corvantis {
template <typename F> auto retryOnEintr(F&& call) -> decltype(call())
{
    for (;;) {
        auto r = call();
        if (!(r == -1 && errno == EINTR))
            return r;
    }
}
} // namespace corvantis
