#include "core/proxy/CurlHttps.h"

#include "platform/UniqueFd.h"
#include "tests/support/Loopback.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/SocketMarks.h"

#include <gtest/gtest.h>

#include <curl/curl.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <thread>

namespace corvantis {
namespace {

using test::kTestMark;

// A proxy that takes the caller's own connection without reading it, then answers the CONNECT libcurl sends on a
// connection of its own with a 200. It stands in the namespace of the thread that makes it.
class ConnectResponder final {
public:
    ConnectResponder()
        : m_thread([this] { serve(); })
    {
    }
    ~ConnectResponder()
    {
        m_listener.shutdown();
        m_thread.join();
    }
    ConnectResponder(const ConnectResponder&) = delete;
    ConnectResponder& operator=(const ConnectResponder&) = delete;

    uint16_t port() const { return m_listener.port(); }

private:
    void serve()
    {
        const UniqueFd caller = m_listener.accept();
        const UniqueFd tunnel = m_listener.accept();
        if (!tunnel)
            return;
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
            char buffer[1024];
            const ssize_t n = recv(tunnel.get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            request.append(buffer, static_cast<size_t>(n));
        }
        test::sendAll(tunnel.get(), "HTTP/1.1 200 Connection established\r\n\r\n");
    }

    test::LoopbackListener m_listener;
    std::thread m_thread;
};

// libcurl's connection to the proxy carries the process's mark from its first packet on, and so does the tunnel
// the caller's descriptor ends up on. When the mark cannot be given, libcurl never connects and the call fails
// with its usual error. Counted in a namespace of the test's own; the caller's own connection is never marked.
TEST(CurlHttpsMark, TheConnectionToTheProxyCarriesTheOwnMark)
{
    if (!test::canMarkSockets())
        GTEST_SKIP() << "needs root (CAP_NET_ADMIN) to mark sockets";
    struct Case {
        const char* name;
        uint32_t mark;
        bool privileged; // false: the calling thread may not mark sockets
        bool tunnelled;
        int64_t tunnelMark; // of the caller's descriptor afterwards
        int64_t marked; // connection openings that carried the mark
        int64_t unmarked;
    };
    const Case cases[] = {
        { "no mark set", 0, true, true, 0, 0, 2 },
        { "mark set", kTestMark, true, true, kTestMark, 1, 1 },
        { "mark refused", kTestMark, false, false, 0, 0, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::NetNamespace ns("curlmark");
        if (!ns.valid())
            GTEST_SKIP() << "needs root and iproute2 network namespaces";
        std::optional<test::SentPacketCounter> counter;
        test::OwnMarkScope scope(c.mark);
        ASSERT_TRUE(ns.runInside([&] {
            ConnectResponder proxy;
            counter.emplace(ns, "tcp", proxy.port(), kTestMark);
            ASSERT_TRUE(counter->ok());
            UniqueFd fd = test::connectLoopback(proxy.port());
            ASSERT_TRUE(fd);
            if (!c.privileged) {
                ASSERT_TRUE(test::dropMarkingPrivilegeOfThisThread());
            }
            std::string error;
            const bool ok = DoCurlHttps("http://127.0.0.1:9/", fd.get(), error, "", "", CURLAUTH_BASIC, "127.0.0.1");
            EXPECT_EQ(ok, c.tunnelled) << error;
            if (!c.tunnelled) {
                EXPECT_EQ(error.rfind("Cannot establish a connection (CL), status code ", 0), 0u) << error;
            }
            EXPECT_EQ(test::socketMark(fd.get()), c.tunnelMark);
        }));
        ASSERT_TRUE(counter);
        EXPECT_EQ(counter->marked(), c.marked);
        EXPECT_EQ(counter->unmarked(), c.unmarked);
    }
}

} // namespace
} // namespace corvantis
