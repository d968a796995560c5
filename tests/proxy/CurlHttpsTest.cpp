#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/CoreHooks.h"
#include "core/foundation/Log.h"
#include "core/proxy/CurlHttps.h"
#include "platform/UniqueFd.h"
#include "tests/peers/EchoServer.h"
#include "tests/peers/HttpProxyPeers.h"
#include "tests/support/LogLines.h"
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

// With the "ntlm" timing item on, libcurl's own trace of the exchange (the headers it sends and receives) goes
// to the log at the verbose level, one line of at most 100 characters each; with the "connect" item on, each
// callback and each libcurl call marks itself; with both off, nothing is written. libcurl's verbose text never
// reaches the standard error: it carries the credentials.
TEST(CurlHttps, TraceLinesWithTheTimingItems)
{
    test::EchoServer echo;
    auto squid = test::startSquid();
    const std::string target = "127.0.0.1:" + std::to_string(echo.port());
    CLog& log = GetLog();
    const int screenLevel = log.GetScreenLevel();
    log.SetScreenLevel(kLogVerbose);
    test::TakeScreenLines(log);

    struct Case {
        const char* name;
        bool ntlm;
        bool connect;
    };
    const Case cases[] = {
        { "ntlm item", true, false },
        { "connect item", false, true },
        { "both off", false, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetTimingOn(TimingItem::Ntlm, c.ntlm);
        SetTimingOn(TimingItem::Connect, c.connect);
        UniqueFd fd = test::connectLoopback(squid->port());
        std::string error;
        ::testing::internal::CaptureStderr();
        // This squid asks for no authentication and lets the header pass unread.
        const bool ok
            = DoCurlHttps("http://" + target + "/", fd.get(), error, "carol", "pw", CURLAUTH_BASIC, "127.0.0.1");
        const std::string standardError = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(standardError.find("Proxy-Authorization"), std::string::npos) << standardError;
        SetTimingOn(TimingItem::Ntlm, false);
        SetTimingOn(TimingItem::Connect, false);
        const auto lines = test::TakeScreenLines(log);
        ASSERT_TRUE(ok) << error;
        expectEcho(fd.get(), "traced");

        const std::regex debugShape(R"(^debug_callback:\d+ T=\d+ S=\d+ Len=(\d+)( .*)$)");
        const std::regex markShape(R"(^(\w+):\d+ T=\d+ S=\d+( time=\d+)?$)");
        std::vector<std::string> texts;
        std::vector<std::string> marks;
        for (const auto& line : lines) {
            std::smatch match;
            if (std::regex_search(line, match, debugShape)) {
                texts.push_back(match[2]);
                EXPECT_LE(match[2].length(), 100u) << line;
                EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
            } else if (std::regex_search(line, match, markShape)) {
                marks.push_back(std::string(match[1]) + (match[2].matched ? " time" : ""));
            }
        }
        if (c.ntlm) {
            const std::string sent = " => Send header CONNECT " + target + " HTTP/1.1  Host: " + target + " ";
            const auto isSent = [&](const std::string& t) { return t.rfind(sent, 0) == 0; };
            const auto isReceived
                = [](const std::string& t) { return t.rfind(" <= Recv header HTTP/1.1 200", 0) == 0; };
            EXPECT_EQ(std::count_if(texts.begin(), texts.end(), isSent), 1) << ::testing::PrintToString(lines);
            EXPECT_EQ(std::count_if(texts.begin(), texts.end(), isReceived), 1) << ::testing::PrintToString(lines);
        } else {
            EXPECT_TRUE(texts.empty()) << ::testing::PrintToString(lines);
        }
        if (c.connect) {
            for (const char* mark : { "opensocket", "sockopt_callback", "closesocket_callback", "DoCurlHttps time" })
                EXPECT_NE(std::find(marks.begin(), marks.end(), mark), marks.end())
                    << mark << " in " << ::testing::PrintToString(lines);
        } else {
            EXPECT_TRUE(marks.empty()) << ::testing::PrintToString(lines);
        }
    }
    log.SetScreenLevel(screenLevel);
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
