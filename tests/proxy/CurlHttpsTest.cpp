#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "core/proxy/CurlHttps.h"
#include "platform/UniqueFd.h"
#include "tests/peers/EchoServer.h"
#include "tests/peers/HttpProxyPeers.h"
#include "tests/support/Loopback.h"

namespace corvantis {
namespace {

void expectEcho(int fd, const std::string& text)
{
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    std::string back;
    while (back.size() < text.size()) {
        char buffer[1024];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0);
        back.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(back, text);
}

TEST(CurlHttps, TunnelThroughSquidOnTheCallersDescriptor)
{
    test::EchoServer echo;
    test::SquidOptions options;
    options.auth = test::SquidOptions::Auth::Basic;
    options.users = { { "carol", "pw" } };
    auto squid = test::startSquid(options);
    const std::string url = "http://127.0.0.1:" + std::to_string(echo.port()) + "/";

    struct Case {
        const char* name;
        std::string password;
        bool ok;
        std::string errorStart;
    };
    const Case cases[] = {
        { "accepted", "pw", true, "" },
        { "refused", "wrong", false, "Cannot establish a connection (CL), status code " },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueFd fd = test::connectLoopback(squid->port());
        ASSERT_TRUE(fd);
        std::string error;
        const bool ok = DoCurlHttps(url, fd.get(), error, "carol", c.password, CURLAUTH_BASIC, "127.0.0.1");
        ASSERT_EQ(ok, c.ok) << error;
        EXPECT_EQ(error.rfind(c.errorStart, 0), 0u) << error;
        // The descriptor stays open and blocking either way.
        EXPECT_EQ(fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
        if (c.ok) {
            expectEcho(fd.get(), "through libcurl's tunnel");
        } else {
            EXPECT_NE(error.find(" - "), std::string::npos) << error;
        }
    }
}

TEST(CurlHttps, InvalidDescriptorReportsTheIoctl)
{
    std::string error;
    EXPECT_FALSE(DoCurlHttpsNtlm("http://127.0.0.1:1/", 1000000, error, "u", "p"));
    EXPECT_EQ(error.rfind("Cannot establish a connection (CL), ioctl failed with error: ", 0), 0u) << error;
}

TEST(CurlHttps, ThreadBodyStoresTheResultAndClosesTheDescriptor)
{
    auto job = std::make_shared<CurlHttpsJob>();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    close(fds[1]);
    job->sock = fds[0];
    job->url = "http://127.0.0.1:1/";
    std::thread thread(CurlHttpsThread, job);
    thread.join();
    EXPECT_TRUE(job->done.load());
    EXPECT_FALSE(job->result);
    EXPECT_FALSE(job->errorText.empty());
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1); // closed
}

} // namespace
} // namespace corvantis
