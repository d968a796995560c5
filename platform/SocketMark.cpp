#include "platform/SocketMark.h"

#include <atomic>
#include <sys/socket.h>

namespace corvantis {

namespace {

// Set once at start-up and read at each socket creation; nothing else is ordered by it.
std::atomic<uint32_t> g_ownMark { 0 };

} // namespace

void SetOwnSocketMark(uint32_t mark)
{
    g_ownMark.store(mark, std::memory_order_relaxed);
}

uint32_t OwnSocketMark()
{
    return g_ownMark.load(std::memory_order_relaxed);
}

bool ApplyOwnSocketMark(int fd)
{
    const uint32_t mark = OwnSocketMark();
    if (mark == 0)
        return true;
    return ::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) == 0;
}

} // namespace corvantis
