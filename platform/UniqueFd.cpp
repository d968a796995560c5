#include "platform/UniqueFd.h"

#include <unistd.h>

namespace corvantis {

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd); // close is never retried on Linux: the descriptor is gone even on EINTR
    m_fd = fd;
}

} // namespace corvantis
