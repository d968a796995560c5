#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/Mutex.h"
#include "platform/ThreadAnnotations.h"
#include "tests/support/Loopback.h"

namespace corvantis::test {

// A small web server on 127.0.0.1, standing for the origin an application talks to through an HTTP proxy. For
// each connection it reads one request (its header, then a body of Content-Length bytes), keeps what it saw,
// answers 200 with `body` and closes. Connections are served one after the other on the server's own thread,
// which the destructor stops and joins. seen() may be called from any thread.
class HttpOrigin final {
public:
    struct Seen {
        std::string header; // up to and including the blank line
        std::string body;
    };

    // Throws std::runtime_error when it cannot listen.
    explicit HttpOrigin(std::string body);
    ~HttpOrigin();
    HttpOrigin(const HttpOrigin&) = delete;
    HttpOrigin& operator=(const HttpOrigin&) = delete;

    uint16_t port() const { return m_listener.port(); }
    // What every reply carries after its header.
    const std::string& body() const { return m_body; }
    // The requests read to their end so far, in order.
    std::vector<Seen> seen() const;

private:
    void serve(int fd);

    const std::string m_body;
    LoopbackListener m_listener;
    mutable Mutex m_mutex;
    std::vector<Seen> m_seen GUARDED_BY(m_mutex);
    std::thread m_thread;
};

} // namespace corvantis::test
