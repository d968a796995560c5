#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/peers/PeerProcess.h"
#include "tests/support/Wait.h"

namespace corvantis::test {

// dnsmasq started for a test, answering from its command line only (no upstream servers, no hosts file). It is
// a PeerProcess: it lives in the network namespace of the thread that starts it, is stopped by its process id,
// and uses a free port unless the test asks for a fixed one (inside a namespace of its own, where port 53 is
// free). Not thread-safe: owned by the test that started it.
class Dnsmasq final {
public:
    struct Where {
        std::string address = "127.0.0.1"; // a loopback address
        uint16_t port = 0; // 0: a free port
    };

    // `records` are dnsmasq options such as "--address=/name.test/192.0.2.1". Check ready() before use.
    explicit Dnsmasq(const std::vector<std::string>& records);
    Dnsmasq(const Where& where, const std::vector<std::string>& records);
    Dnsmasq(const Dnsmasq&) = delete;
    Dnsmasq& operator=(const Dnsmasq&) = delete;

    // True when dnsmasq answers; otherwise startError() says why not.
    bool ready() const { return m_peer != nullptr; }
    const std::string& startError() const { return m_startError; }
    uint16_t port() const { return m_peer ? m_peer->port() : 0; }

    // Sends `query` from a socket of its own and returns the answer, or nothing when none comes before the
    // deadline.
    std::optional<std::vector<uint8_t>> ask(const std::vector<uint8_t>& query, Deadline deadline) const;

    // Ends dnsmasq (idempotent).
    void stop() { m_peer.reset(); }

private:
    std::string m_host;
    PeerProcessPtr m_peer;
    std::string m_startError;
};

} // namespace corvantis::test
