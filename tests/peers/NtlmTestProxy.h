#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"
#include "tests/support/Loopback.h"

namespace corvantis::test {

// A small HTTPS proxy inside the test process that demands NTLM (NTLMv2) and checks the client's answer
// itself: it takes the CONNECT request with the negotiate message, answers 407 with a challenge (after a bare
// "Proxy-Authenticate: NTLM" line and a Basic offer, and with a 1,000-byte body by Content-Length), and
// verifies the authenticate message of the second request on the same connection against the account it was
// given, with hashing of its own (nettle, iconv). On success it answers 200 and echoes every byte of the
// tunnel; on failure 407 and closes. The second request may also be a plain proxy request for an origin on
// 127.0.0.1 ("GET http://127.0.0.1:PORT/..."): once it is accepted the proxy sends it there as received and
// relays both ways until both directions have ended (an end of one direction is passed on as a half-close).
// A first request that announces a body by Content-Length has it read and dropped. Serves one connection on
// 127.0.0.1 (port chosen by the system). Public members are called from the test's thread.
class NtlmTestProxy final {
public:
    NtlmTestProxy(std::string user, std::string domain, std::string password);
    ~NtlmTestProxy();
    NtlmTestProxy(const NtlmTestProxy&) = delete;
    NtlmTestProxy& operator=(const NtlmTestProxy&) = delete;

    uint16_t port() const { return m_listener.port(); }
    // Waits for the connection to end, then tells whether the client's authenticate message was accepted, and
    // if not why (empty once accepted).
    bool accepted();
    std::string reason();
    // Waits for the connection to end, then returns the header blocks of the requests read, in order.
    std::vector<std::string> requests();

private:
    void run();
    bool serve(int fd);
    void record(const std::string& request);
    void forwardToOrigin(int fd, const std::string& request);
    bool verify(const std::vector<uint8_t>& message, std::string& why) const;

    std::string m_user;
    std::string m_domain;
    std::string m_password;
    LoopbackListener m_listener { "127.0.0.1", 1 };
    std::mutex m_mutex;
    bool m_accepted = false; // GUARDED_BY(m_mutex)
    std::string m_reason = "no connection"; // GUARDED_BY(m_mutex)
    std::vector<std::string> m_requests; // GUARDED_BY(m_mutex)
    std::thread m_thread;
};

} // namespace corvantis::test
