#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/LogContext.h"
#include "core/foundation/SafeSocket.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/Proxy.h"
#include "core/proxy/HttpTraffic.h"
#include "core/proxy/PortForwarder.h"
#include "core/proxy/ProxyConnection.h"
#include "platform/UniqueFd.h"
#include "tests/peers/HttpProxyPeers.h"
#include "tests/peers/NtlmTestProxy.h"
#include "tests/peers/ScriptedProxy.h"
#include "tests/proxy/PortForwarderTestSupport.h"
#include "tests/support/HttpOrigin.h"
#include "tests/support/Wait.h"

namespace corvantis {
namespace {

using Step = test::ScriptedProxy::Step;
using test::waitUntil;

constexpr const char* kUnsupported = "Proxy server uses unsupported authentication protocols or authorization failed.";

std::vector<uint8_t> bytesOf(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::shared_ptr<CSafeSocket> connectLoopback(uint16_t port)
{
    std::shared_ptr<CSafeSocket> socket = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(socket->Connect(reinterpret_cast<const sockaddr*>(&address), sizeof address, 10), 0);
    return socket;
}

CProxy httpProxy(uint16_t port, const std::string& user = {}, const std::string& password = {}, uint32_t options = 0)
{
    CProxy proxy("127.0.0.1", port, kProxyHttp, 1);
    proxy.m_AuthEnabled = !user.empty();
    proxy.m_UserName = user;
    proxy.m_Password = password;
    proxy.m_Options = options;
    return proxy;
}

// The engine's part for one connection through an HTTP proxy: it reads what the application sends, passes it
// to CHttpTraffic until the request has gone, sends the bytes after the header on, writes an answer back, and
// then relays both ways with CPortForwarder.
class ForwardingRig final {
public:
    ForwardingRig(const CProxy& proxy, uint16_t originPort)
        : m_proxy(proxy)
    {
        auto [appEnd, localEnd] = test::makeTcpPair();
        app = appEnd;
        m_local = localEnd;
        m_remote = connectLoopback(proxy.m_Port);
        m_record = std::make_unique<CConnRecord>(CLogContext {}, CHost("127.0.0.1", originPort, false));
        m_record->SetClientSocket(m_local);
        m_record->SetRemoteSocket(m_remote);
        m_record->MarkConnected();
    }
    ~ForwardingRig()
    {
        if (m_thread.joinable()) {
            m_local->Shutdown();
            m_remote->Shutdown();
            m_thread.join();
        }
    }

    void start()
    {
        m_thread = std::thread([this] { run(); });
    }
    bool forwarded() const { return m_forwarded; }
    // Waits for the engine's part to end; the forwarding's error text, empty on success.
    std::string finish()
    {
        m_thread.join();
        return m_error;
    }

    std::shared_ptr<CSafeSocket> app;

private:
    void run()
    {
        CHttpTraffic traffic(m_proxy, m_remote.get());
        std::vector<char> buffer(65536);
        while (!traffic.IsForwarded()) {
            int error = 0;
            const ssize_t n = m_local->Recv(buffer.data(), buffer.size(), 0, error);
            if (n <= 0) {
                m_error = "the application left before its request was complete";
                return;
            }
            std::string answer;
            std::string rest;
            if (!traffic.ProcessRequest(buffer.data(), static_cast<size_t>(n), answer, rest)) {
                m_error = traffic.TakeText();
                m_local->Shutdown();
                m_remote->Shutdown();
                return;
            }
            if (!rest.empty())
                m_remote->SendAll(rest.data(), rest.size(), 0);
            if (!answer.empty())
                m_local->SendAll(answer.data(), answer.size(), 0);
        }
        m_forwarded = true;
        CPortForwarder relay(*m_record, std::nullopt);
        relay.RelayLoop();
    }

    CProxy m_proxy;
    std::shared_ptr<CSafeSocket> m_local;
    std::shared_ptr<CSafeSocket> m_remote;
    std::unique_ptr<CConnRecord> m_record;
    std::atomic<bool> m_forwarded { false };
    std::string m_error;
    std::thread m_thread;
};

enum class BodyArrives { None, WithHeader, Later };

struct Exchange {
    std::string error; // of the forwarding
    std::string reply; // everything the application received
};

// The application's side: sends its request (the body with the header or after the request has gone to the
// proxy), half-closes when asked, and reads until the end of the reply.
Exchange runApplication(const CProxy& proxy, uint16_t originPort, const std::string& header, const std::string& body,
    BodyArrives when, bool halfClose = false)
{
    ForwardingRig rig(proxy, originPort);
    std::string first = header;
    if (when == BodyArrives::WithHeader)
        first += body;
    // Written before the engine reads, so header and body come to it as one piece.
    EXPECT_TRUE(rig.app->SendAll(first.data(), first.size(), 0));
    rig.start();
    if (when == BodyArrives::Later) {
        EXPECT_TRUE(waitUntil([&] { return rig.forwarded(); }));
        EXPECT_TRUE(rig.app->SendAll(body.data(), body.size(), 0));
    }
    if (halfClose)
        rig.app->ShutdownSend();
    Exchange exchange;
    exchange.reply = test::readToEnd(*rig.app);
    rig.app->Close();
    exchange.error = rig.finish();
    return exchange;
}

std::string requestHeader(const std::string& method, uint16_t originPort, const std::string& body, bool keepAlive)
{
    std::string header = method + " /upload?id=7 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(originPort)
        + "\r\nUser-Agent: corvantis-test\r\n";
    if (keepAlive)
        header += "Connection: keep-alive\r\n";
    if (!body.empty())
        header += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return header + "\r\n";
}

int statusOf(const std::string& reply)
{
    return reply.size() >= 12 && reply.rfind("HTTP/1.", 0) == 0 ? std::atoi(reply.c_str() + 9) : -1;
}

// The application got the origin's 200 and its whole body, and nothing before it.
void expectOriginReply(const std::string& reply, const test::HttpOrigin& origin)
{
    ASSERT_EQ(statusOf(reply), 200) << reply.substr(0, 300);
    const size_t end = reply.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(reply.size() - end - 4, origin.body().size());
    EXPECT_TRUE(reply.compare(end + 4, std::string::npos, origin.body()) == 0);
}

struct PeerCase {
    const char* name;
    std::function<test::PeerProcessPtr()> start;
    std::string user;
    std::string password;
};

const std::vector<PeerCase>& realProxies()
{
    static const std::vector<PeerCase> peers = {
        { "tinyproxy", [] { return test::startTinyproxy(); }, "", "" },
        { "tinyproxy with Basic", [] { return test::startTinyproxy("carol", "t0p-secret"); }, "carol", "t0p-secret" },
        { "squid with Basic",
            [] {
                test::SquidOptions options;
                options.auth = test::SquidOptions::Auth::Basic;
                options.users = { { "alice", "s3cret:with colon" } };
                return test::startSquid(options);
            },
            "alice", "s3cret:with colon" },
    };
    return peers;
}

TEST(HttpTraffic, RequestsThroughRealProxiesReachTheOriginWithTheirBodyOnce)
{
    test::HttpOrigin origin(test::patternBytes(150000, 3));
    const std::string body = "name=value&" + test::patternBytes(30000, 9);
    struct Case {
        const char* name;
        std::string method;
        BodyArrives when;
        bool keepAlive;
    };
    const Case cases[] = {
        { "GET", "GET", BodyArrives::None, false },
        { "GET asking for keep-alive", "GET", BodyArrives::None, true },
        { "POST with the body in the header's piece", "POST", BodyArrives::WithHeader, false },
        { "POST with the body later", "POST", BodyArrives::Later, true },
    };
    for (const auto& peer : realProxies()) {
        SCOPED_TRACE(peer.name);
        auto proxyProcess = peer.start();
        const CProxy proxy = httpProxy(proxyProcess->port(), peer.user, peer.password);
        size_t seenBefore = origin.seen().size();
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const std::string sentBody = c.when == BodyArrives::None ? "" : body;
            const Exchange exchange = runApplication(
                proxy, origin.port(), requestHeader(c.method, origin.port(), sentBody, c.keepAlive), sentBody, c.when);
            EXPECT_EQ(exchange.error, "");
            expectOriginReply(exchange.reply, origin);
            const auto seen = origin.seen();
            ASSERT_EQ(seen.size(), seenBefore + 1);
            seenBefore = seen.size();
            EXPECT_EQ(seen.back().header.rfind(c.method + " /upload?id=7 ", 0), 0u) << seen.back().header;
            EXPECT_TRUE(seen.back().body == sentBody) << seen.back().body.size() << " bytes arrived";
        }
    }
}

TEST(HttpTraffic, RealProxiesRefuseWhatWasNotRewrittenOrAuthenticated)
{
    test::HttpOrigin origin("unused");
    // The control: tinyproxy refuses the application's request as the application wrote it.
    {
        auto tiny = test::startTinyproxy();
        auto socket = connectLoopback(tiny->port());
        const std::string request = requestHeader("GET", origin.port(), "", false);
        ASSERT_TRUE(socket->SendAll(request.data(), request.size(), 0));
        socket->ShutdownSend();
        const std::string reply = test::readToEnd(*socket);
        EXPECT_EQ(statusOf(reply), 400) << reply.substr(0, 300);
    }
    // A wrong password: the proxy's refusal is the reply to the application's own request and reaches it.
    test::SquidOptions options;
    options.auth = test::SquidOptions::Auth::Basic;
    options.users = { { "alice", "right" } };
    auto squid = test::startSquid(options);
    const Exchange exchange = runApplication(httpProxy(squid->port(), "alice", "wrong"), origin.port(),
        requestHeader("GET", origin.port(), "", false), "", BodyArrives::None);
    EXPECT_EQ(exchange.error, "");
    EXPECT_EQ(statusOf(exchange.reply), 407) << exchange.reply.substr(0, 300);
    EXPECT_TRUE(origin.seen().empty());
}

// Through the NTLM test proxy, which passes a half-close on: tinyproxy and squid (as configured by default) end
// the whole exchange at the application's end of data, whatever the forwarding does.
TEST(HttpTraffic, ApplicationThatHalfClosesAfterItsRequestGetsTheWholeReply)
{
    test::HttpOrigin origin(test::patternBytes(2 * 1024 * 1024, 5));
    test::NtlmTestProxy ntlm("alice", "TESTDOM", "secret");
    const CProxy proxy = httpProxy(ntlm.port(), "alice", "secret", ProxyOptionNtlm);
    const std::string body = test::patternBytes(5000, 1);
    const Exchange exchange = runApplication(
        proxy, origin.port(), requestHeader("PUT", origin.port(), body, false), body, BodyArrives::WithHeader, true);
    EXPECT_EQ(exchange.error, "");
    expectOriginReply(exchange.reply, origin);
    ASSERT_EQ(origin.seen().size(), 1u);
    EXPECT_TRUE(origin.seen()[0].body == body);
    EXPECT_TRUE(ntlm.accepted()) << ntlm.reason();
}

TEST(HttpTraffic, NtlmExchangeThenTheRequestWithItsBodyOnce)
{
    const std::string body = "field=" + test::patternBytes(20000, 4);
    struct Case {
        const char* name;
        std::string method;
        BodyArrives when;
    };
    const Case cases[] = {
        { "GET", "GET", BodyArrives::None },
        { "POST with the body in the header's piece", "POST", BodyArrives::WithHeader },
        { "POST with the body later", "POST", BodyArrives::Later },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::HttpOrigin origin(test::patternBytes(70000, 2));
        test::NtlmTestProxy ntlm("alice", "TESTDOM", "secret");
        const CProxy proxy = httpProxy(ntlm.port(), "alice", "secret", ProxyOptionNtlm);
        const std::string sentBody = c.when == BodyArrives::None ? "" : body;
        const Exchange exchange = runApplication(
            proxy, origin.port(), requestHeader(c.method, origin.port(), sentBody, true), sentBody, c.when);
        EXPECT_EQ(exchange.error, "");
        // The proxy's 407 belonged to the exchange: the application sees only the origin's reply.
        expectOriginReply(exchange.reply, origin);
        EXPECT_TRUE(ntlm.accepted()) << ntlm.reason();
        ASSERT_EQ(origin.seen().size(), 1u);
        EXPECT_TRUE(origin.seen()[0].body == sentBody);

        const auto requests = ntlm.requests();
        ASSERT_EQ(requests.size(), 2u);
        const std::string url = "http://127.0.0.1:" + std::to_string(origin.port()) + "/upload?id=7 HTTP/1.1\r\n";
        EXPECT_EQ(requests[0].rfind("GET " + url, 0), 0u) << requests[0];
        EXPECT_EQ(requests[1].rfind(c.method + " " + url, 0), 0u) << requests[1];
        EXPECT_EQ(requests[0].find("Connection: keep-alive"), std::string::npos);
        EXPECT_NE(requests[1].find("\r\nProxy-Connection: close\r\nConnection: close\r\n\r\n"), std::string::npos)
            << requests[1];
        if (!sentBody.empty()) {
            EXPECT_NE(requests[0].find("\r\nContent-Length: 0\r\n"), std::string::npos) << requests[0];
            EXPECT_NE(
                requests[1].find("\r\nContent-Length: " + std::to_string(sentBody.size()) + "\r\n"), std::string::npos);
        }
    }
}

TEST(HttpTraffic, NtlmThatFails)
{
    test::HttpOrigin origin("unused");
    const std::string get = requestHeader("GET", origin.port(), "", false);
    struct Case {
        const char* name;
        std::string password;
        uint32_t options;
        std::string errorStart; // of the forwarding
        int status; // of the reply the application gets, -1 for none
    };
    const Case cases[] = {
        // The refusal answers the application's own request, so it is the application's to see.
        { "wrong password", "wrong", ProxyOptionNtlm, "", 407 },
        { "no credentials for the challenge", "secret", ProxyOptionNtlm | ProxyOptionNtlmNoCredentials,
            "Local authentication routines failed with error ", -1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::NtlmTestProxy ntlm("alice", "TESTDOM", "secret");
        const Exchange exchange = runApplication(
            httpProxy(ntlm.port(), "alice", c.password, c.options), origin.port(), get, "", BodyArrives::None);
        EXPECT_EQ(exchange.error.rfind(c.errorStart, 0), 0u) << exchange.error;
        EXPECT_EQ(exchange.error.empty(), c.errorStart.empty()) << exchange.error;
        EXPECT_EQ(statusOf(exchange.reply), c.status) << exchange.reply;
        EXPECT_FALSE(ntlm.accepted());
        EXPECT_TRUE(origin.seen().empty());
    }
}

struct TrafficRun {
    std::vector<bool> results; // of each ProcessRequest call
    std::string error;
    std::string answer;
    std::string rest;
    bool forwarded = false;
    std::string sent; // every byte the proxy received
    std::string leftOnSocket; // what the proxy wrote that the forwarding did not read
};

// Feeds `pieces` to CHttpTraffic on a socket to a scripted proxy, stopping at the first failure.
TrafficRun runScripted(CProxy proxy, std::vector<Step> script, const std::vector<std::string>& pieces)
{
    test::ScriptedProxy scripted(std::move(script));
    proxy.m_Port = scripted.port();
    auto socket = connectLoopback(scripted.port());
    // A forwarding that waits for a reply the script never sends fails the test instead of hanging it.
    const timeval limit { 20, 0 };
    socket->SetSockOpt(SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    TrafficRun run;
    {
        CHttpTraffic traffic(proxy, socket.get());
        for (const auto& piece : pieces) {
            std::string answer;
            const bool ok = traffic.ProcessRequest(piece.data(), piece.size(), answer, run.rest);
            run.results.push_back(ok);
            run.answer += answer;
            if (!ok)
                break;
        }
        run.error = traffic.TakeText();
        run.forwarded = traffic.IsForwarded();
    }
    char buffer[4096];
    int error = 0;
    for (ssize_t n; (n = socket->Recv(buffer, sizeof buffer, MSG_DONTWAIT, error)) > 0;)
        run.leftOnSocket.append(buffer, static_cast<size_t>(n));
    socket->Close();
    const auto sent = scripted.finish();
    run.sent.assign(sent.begin(), sent.end());
    return run;
}

TEST(HttpTraffic, WhatGoesToTheProxy)
{
    const std::string host = "Host: example.com:8080\r\n";
    const std::string post = "POST /f HTTP/1.1\r\n" + host + "Connection: keep-alive\r\nContent-Length: 12\r\n\r\n";
    const std::string rewritten = "POST http://example.com:8080/f HTTP/1.1\r\n" + host + "Content-Length: 12\r\n";
    const std::string closing = "Proxy-Connection: close\r\nConnection: close\r\n\r\n";
    const std::string basic = "Proxy-Authorization: Basic Ym9iOnB3\r\n";
    const std::string asProxied = "GET http://example.com/ HTTP/1.1\r\nHost: example.com\r\nproxy-connection: "
                                  "keep-alive\r\n\r\n";
    struct Case {
        const char* name;
        std::string user;
        std::vector<std::string> pieces;
        std::vector<bool> results;
        std::string sent;
        std::string rest;
        bool forwarded;
    };
    const Case cases[] = {
        { "two bytes send nothing", "", { "PO" }, { true }, "", "", false },
        { "body with the header", "", { post + "hello world!" }, { true }, rewritten + closing, "hello world!", true },
        { "header in pieces, body after", "", { "PO", post.substr(2, 20), post.substr(22), "hello ", "world!" },
            { true, true, true, true, true }, rewritten + closing, "hello world!", true },
        { "Basic before the blank line", "bob", { post + "hello world!" }, { true }, rewritten + basic + closing,
            "hello world!", true },
        { "request already written for a proxy", "bob", { asProxied }, { true }, asProxied, "", true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TrafficRun run = runScripted(httpProxy(0, c.user, "pw"), {}, c.pieces);
        EXPECT_EQ(run.results, c.results);
        EXPECT_EQ(run.error, "");
        EXPECT_EQ(run.sent, c.sent);
        EXPECT_EQ(run.rest, c.rest);
        EXPECT_EQ(run.answer, "");
        EXPECT_EQ(run.forwarded, c.forwarded);
    }
}

TEST(HttpTraffic, RefusedRequestsSendNothing)
{
    struct Case {
        const char* name;
        std::string request;
        std::string error;
    };
    const Case cases[] = {
        { "CONNECT", "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n",
            "Client requested HTTPS connection. Please define a separate HTTPS proxy for this." },
        { "absolute URL without Proxy-Connection", "GET http://example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n",
            "Cannot extract URL from the HTTP request. Please make sure that client uses HTTP protocol." },
        { "host field in lower case", "GET / HTTP/1.1\r\nhost: example.com\r\n\r\n",
            "Cannot extract Host name from the HTTP request. Please make sure that client uses HTTP protocol." },
        { "host name with a line break", "GET / HTTP/1.1\r\nHost: a.com\rX-Forged: 1\r\n\r\n",
            "Target host name contains characters that are not allowed." },
        { "not HTTP", "\x16\x03\x01\x02\x00",
            "Client sent incorrect HTTP request. Please make sure that client uses HTTP protocol." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TrafficRun run = runScripted(httpProxy(0), {}, { c.request, "GET / HTTP/1.1\r\n" });
        EXPECT_EQ(run.results, std::vector<bool> { false });
        EXPECT_EQ(run.error, c.error);
        EXPECT_EQ(run.sent, "");
    }
}

TEST(HttpTraffic, NtlmReplies)
{
    const std::string get = "GET /p HTTP/1.1\r\nHost: h.example\r\n\r\n";
    const std::string post = "POST /p HTTP/1.1\r\nHost: h.example\r\nContent-Length: 12\r\n\r\n";
    const std::string challenge407
        = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\nVia: 1.1 p\r\n"
          "Content-Length: 4\r\n\r\nnope";
    struct Case {
        const char* name;
        std::string request;
        std::string reply; // to the first request
        bool ok;
        std::string error;
        std::string answer;
        int requestsSent; // request lines the proxy received
        std::string leftOnSocket;
    };
    const Case cases[] = {
        { "407 without a challenge", get, challenge407, false, kUnsupported, "", 1, "" },
        { "407 with an empty challenge", get,
            "HTTP/1.1 407 X\r\nProxy-Authenticate: NTLM \r\nContent-Length: 0\r\n\r\n", false, kUnsupported, "", 1,
            "" },
        { "407 with a chunked body", get, "HTTP/1.1 407 X\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nnope\r\n0\r\n\r\n",
            false, kUnsupported, "", 1, "" },
        { "407 whose chunk size is too large", get, "HTTP/1.1 407 X\r\nTransfer-Encoding: chunked\r\n\r\n100000\r\n",
            false, "Proxy reply chunk size is too large.", "", 1, "" },
        { "not HTTP", get, "SSH-2.0-x\r\n", false, "Proxy returned incorrect HTTP reply.", "", 1, "" },
        { "status not a number", get, "HTTP/1.1 abc\r\n\r\n", false, "Proxy returned incorrect HTTP reply code.", "", 1,
            "" },
        { "200 to a request without body is the application's reply", get,
            "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 5\r\n\r\nhello", true, "",
            "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nProxy-Connection: close\r\nConnection: close\r\n\r\n", 1,
            "hello" },
        { "200 to the probe of a POST: the POST follows without authentication", post,
            "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'x'), true, "", "", 2, "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TrafficRun run = runScripted(httpProxy(0, "alice", "secret", ProxyOptionNtlm),
            { Step::read(1), Step::write(bytesOf(c.reply)) }, { c.request + "hello world!" });
        EXPECT_EQ(run.results, std::vector<bool> { c.ok });
        EXPECT_EQ(run.error, c.error);
        EXPECT_EQ(run.answer, c.answer);
        if (c.ok) {
            EXPECT_EQ(run.leftOnSocket, c.leftOnSocket);
        }
        int requests = 0;
        for (size_t at = run.sent.find(" HTTP/1.1\r\n"); at != std::string::npos;
             at = run.sent.find(" HTTP/1.1\r\n", at + 1))
            ++requests;
        EXPECT_EQ(requests, c.requestsSent) << run.sent;
        EXPECT_EQ(run.sent.find("hello world!"), std::string::npos);
        EXPECT_EQ(run.rest, "hello world!");
        if (c.requestsSent == 2) {
            const size_t second = run.sent.find("POST http://h.example/p HTTP/1.1\r\n");
            ASSERT_NE(second, std::string::npos) << run.sent;
            EXPECT_EQ(run.sent.rfind("GET http://h.example/p HTTP/1.1\r\n", 0), 0u);
            EXPECT_EQ(run.sent.find("Proxy-Authorization", second), std::string::npos);
            EXPECT_NE(run.sent.find("Content-Length: 12\r\n", second), std::string::npos);
        }
    }
}

// A challenge the NTLM layer takes: the published NTLMv2 example's (target "Domain").
const std::string kChallengeOffer
    = "Proxy-Authenticate: NTLM "
      "TlRMTVNTUAACAAAADAAMADgAAAAzgoriASNFZ4mrze8AAAAAAAAAACQAJABEAAAABgBwFwAAAA9EAG8AbQBhAG"
      "kAbgACAAwARABvAG0AYQBpAG4AAQAMAFMAZQByAHYAZQByAAAAAAA=\r\n";

// The forwarding reads a proxy's reply by rules of its own, wider than the CONNECT handshake's: a header may
// end with LF LF or CR CR as well as CR LF CR LF, and a chunk may be as large as five hexadecimal digits say.
TEST(HttpTraffic, ProxyRepliesReadByTheForwardingsRules)
{
    const std::string get = "GET /p HTTP/1.1\r\nHost: h.example\r\n\r\n";
    const std::string closing = "Proxy-Connection: close\r\nConnection: close\r\n\r\n";
    struct Case {
        const char* name;
        std::string reply; // to the first request
        bool ok;
        std::string error;
        std::string answer;
        int requestsSent; // request lines the proxy received
        std::string leftOnSocket;
    };
    const Case cases[] = {
        { "header ended by LF LF", "HTTP/1.0 200 OK\nContent-Length: 5\n\nhello", true, "",
            "HTTP/1.0 200 OK\nContent-Length: 5\r\n" + closing, 1, "hello" },
        { "header ended by CR CR", "HTTP/1.0 200 OK\rContent-Length: 5\r\rhello", true, "",
            "HTTP/1.0 200 OK\rContent-Length: 5\r\n" + closing, 1, "hello" },
        { "407 whose body has a 60,000-byte chunk",
            "HTTP/1.1 407 Auth\r\n" + kChallengeOffer + "Transfer-Encoding: chunked\r\n\r\nEA60\r\n"
                + std::string(60000, 'c') + "\r\n0\r\n\r\n",
            true, "", "", 2, "" },
        { "407 whose body by length is over the bound",
            "HTTP/1.1 407 Auth\r\n" + kChallengeOffer + "Content-Length: 1048577\r\n\r\n", false,
            "Proxy reply is too large.", "", 1, "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TrafficRun run = runScripted(httpProxy(0, "alice", "secret", ProxyOptionNtlm),
            { Step::read(1), Step::write(bytesOf(c.reply)) }, { get });
        EXPECT_EQ(run.results, std::vector<bool> { c.ok });
        EXPECT_EQ(run.error, c.error);
        EXPECT_EQ(run.answer, c.answer);
        if (c.ok) {
            EXPECT_EQ(run.leftOnSocket, c.leftOnSocket);
        }
        int requests = 0;
        for (size_t at = run.sent.find(" HTTP/1.1\r\n"); at != std::string::npos;
             at = run.sent.find(" HTTP/1.1\r\n", at + 1))
            ++requests;
        EXPECT_EQ(requests, c.requestsSent) << run.sent;
        if (c.requestsSent == 2) {
            // The second request carries the authenticate message.
            EXPECT_NE(run.sent.find("Proxy-Authorization: NTLM TlRMTVNTUAADAAAA"), std::string::npos) << run.sent;
        }
    }
}

// A proxy that answers the first request with a 407 whose chunked body never ends must not hold the
// forwarding for as long as it streams: the body it drains is bounded.
TEST(HttpTraffic, EndlessChunkedBodyOfThe407IsCutOff)
{
    const std::string header = "HTTP/1.1 407 Auth\r\n" + kChallengeOffer + "Transfer-Encoding: chunked\r\n\r\n";
    struct Case {
        const char* name;
        std::string chunk;
    };
    const Case cases[] = {
        { "large chunks", "EA60\r\n" + std::string(60000, 'x') + "\r\n" },
        { "one-byte chunks", "1\r\nx\r\n" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TrafficRun run = runScripted(httpProxy(0, "alice", "secret", ProxyOptionNtlm),
            { Step::read(1), Step::write(bytesOf(header)), Step::writeRepeatedly(bytesOf(c.chunk), 16u << 20),
                Step::closeConnection() },
            { "GET /p HTTP/1.1\r\nHost: h.example\r\n\r\n" });
        EXPECT_EQ(run.results, std::vector<bool> { false });
        EXPECT_EQ(run.error, "Proxy reply is too large.");
    }
}

} // namespace
} // namespace corvantis
