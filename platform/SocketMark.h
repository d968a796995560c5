#pragma once

#include <cstdint>

namespace corvantis {

// The daemon's packet filter lets packets carrying this process's mark (SO_MARK) pass untouched; every other
// outgoing packet is captured. So each INET socket the daemon opens must carry the mark, or its own connections
// to proxies would loop back into it. Other programs never set a mark, and then nothing changes.
//
// All three functions are thread-safe: the mark is one atomic value.

// Makes `mark` the mark this process gives its sockets from now on; 0 (the default) means none. Sockets opened
// before keep what they have.
void SetOwnSocketMark(uint32_t mark);

// The mark set by SetOwnSocketMark; 0 when none is.
uint32_t OwnSocketMark();

// Gives the socket `fd` (borrowed for the call) the process's mark when one is set. True when there is no mark
// or the socket now carries it; false with errno set when the system refused (EPERM without CAP_NET_ADMIN or
// CAP_NET_RAW). Callers close the socket and fail on false: a socket without the mark would loop.
[[nodiscard]] bool ApplyOwnSocketMark(int fd);

} // namespace corvantis
