#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "platform/UniqueFd.h"
#include "tests/support/Loopback.h"

namespace corvantis::test {

// A TCP echo server inside the test process: listens on `host` (a loopback address) with a port chosen by the
// system, and sends every byte of each connection back until the client ends its side, then ends its own.
// Connections are served at once, each on its own thread. The destructor stops everything and joins.
// Public members are called from the test's thread only.
class EchoServer final {
public:
    explicit EchoServer(const std::string& host = "127.0.0.1");
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    const std::string& host() const { return m_listener.host(); }
    uint16_t port() const { return m_listener.port(); }

private:
    void acceptLoop();
    void serve(int fd);

    LoopbackListener m_listener;
    UniqueFd m_wakeRead;
    UniqueFd m_wakeWrite;
    std::mutex m_mutex;
    std::list<UniqueFd> m_connections; // GUARDED_BY(m_mutex); closed only after their threads are joined
    std::list<std::thread> m_threads; // GUARDED_BY(m_mutex)
    bool m_stopping = false; // GUARDED_BY(m_mutex)
    std::thread m_acceptThread;
};

} // namespace corvantis::test
