#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/Log.h"
#include "core/foundation/SafeSocket.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/Chain.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"
#include "extension/engine/AppNameWrapper.h"
#include "extension/engine/ClientProcessor.h"
#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "extension/engine/CorvantisCoreWrapper.h"
#include "extension/engine/DnsCodec.h"
#include "platform/ProgramHome.h"
#include "platform/UniqueFd.h"
#include "tests/driver/EngineDriver.h"
#include "tests/engine/DnsWire.h"
#include "tests/engine/WrapperTestSupport.h"
#include "tests/peers/Dnsmasq.h"
#include "tests/peers/EchoServer.h"
#include "tests/peers/HttpProxyPeers.h"
#include "tests/peers/PeerProcess.h"
#include "tests/peers/ProxyPeers.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace corvantis::test {
namespace {

// A loopback server that reads one connection to its end and then answers with `reply`.
class ReplyServer {
public:
    explicit ReplyServer(std::vector<uint8_t> reply)
        : m_reply(std::move(reply))
    {
        m_thread = std::thread([this] {
            UniqueFd connection = m_listener.accept();
            if (!connection)
                return;
            std::vector<uint8_t> buffer(65536);
            for (;;) {
                const ssize_t n = ::recv(connection.get(), buffer.data(), buffer.size(), 0);
                if (n <= 0)
                    break;
                received.insert(received.end(), buffer.begin(), buffer.begin() + n);
            }
            sendAll(connection.get(), m_reply);
            ::shutdown(connection.get(), SHUT_WR);
        });
    }
    ~ReplyServer()
    {
        m_listener.shutdown();
        m_thread.join();
    }
    uint16_t port() const { return m_listener.port(); }
    std::vector<uint8_t> received; // read after the exchange ended

private:
    std::vector<uint8_t> m_reply;
    LoopbackListener m_listener;
    std::thread m_thread;
};

// A loopback server that greets each connection with `greeting` and then closes it, whatever the client does.
class GreetAndCloseServer {
public:
    explicit GreetAndCloseServer(std::string greeting)
        : m_greeting(std::move(greeting))
    {
        m_listener = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener.get(), 4);
        socklen_t length = sizeof address;
        ::getsockname(m_listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            for (;;) {
                UniqueFd connection(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (!connection)
                    return;
                ::send(connection.get(), m_greeting.data(), m_greeting.size(), MSG_NOSIGNAL);
            }
        });
    }
    ~GreetAndCloseServer()
    {
        ::shutdown(m_listener.get(), SHUT_RDWR);
        m_thread.join();
    }
    uint16_t port() const { return m_port; }

private:
    std::string m_greeting;
    UniqueFd m_listener;
    uint16_t m_port = 0;
    std::thread m_thread;
};

// What the application reads until its connection ends; nothing when it has not ended within a minute.
std::optional<std::string> ReadToEnd(int socket)
{
    std::string received;
    char buffer[65536];
    for (;;) {
        pollfd p { socket, POLLIN, 0 };
        if (::poll(&p, 1, 60000) <= 0)
            return std::nullopt;
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0)
            return received;
        received.append(buffer, static_cast<size_t>(n));
    }
}

std::vector<uint8_t> Bytes(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Every road carries a mebibyte each way to an echo server, unchanged, and the texts show the connection.
TEST_F(WrapperTest, CarriesAMebibyteEachWayOnEveryRoad)
{
    EchoServer echo;
    auto microsocks = startMicrosocks();
    auto dante = startDante();
    auto squid = startSquid();
    const CProxy socks5("127.0.0.1", microsocks->port(), kProxySocks5, 1);
    const CProxy danteSocks5("127.0.0.1", dante->port(), kProxySocks5, 2);
    const CProxy connect("127.0.0.1", squid->port(), kProxyHttps, 3);

    struct Case {
        const char* name;
        std::vector<CProxy> proxies;
        CRule rule;
        std::string openText;
    };
    const Case cases[] = {
        { "direct", {}, RuleWith("Everything direct", kActionDirect), " open directly" },
        { "microsocks", { socks5 }, RuleWith("Via microsocks", kActionProxy, 1), " open through proxy" },
        { "dante", { danteSocks5 }, RuleWith("Via dante", kActionProxy, 2), " open through proxy" },
        { "squid CONNECT", { connect }, RuleWith("Via squid", kActionProxy, 3), " open through proxy" },
        { "chain microsocks then dante", { socks5, danteSocks5 }, RuleWith("Via chain", kActionChain, 50),
            " open through" },
    };
    uint32_t seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UseProfile(c.proxies, { c.rule });
        EngineDriver driver(app);
        auto flow = driver.Open(Curl(), "127.0.0.1", echo.port());
        ASSERT_EQ(flow->Decision(), ClientProcessorWrapper::kTaken);
        EXPECT_TRUE(flow->Started());
        ASSERT_EQ(flow->WaitConnected(), std::optional<bool>(true));

        const uint64_t sentBefore = app.GetStatistics().GetTotalSent();
        const uint64_t receivedBefore = app.GetStatistics().GetTotalReceived();
        const auto data = Pattern(kOneMiB, seed++);
        const auto back = Exchange(flow->AppSocket(), data, data.size());
        EXPECT_EQ(back.size(), data.size());
        EXPECT_EQ(Checksum(back), Checksum(data));
        ASSERT_TRUE(flow->WaitClosed());
        // A closed connection's descriptor number may already be reused: it is not handed out any more.
        EXPECT_EQ(flow->Wrapper()->getNativeHandler(), -1);

        // Sent is what went towards the remote side, received what came back from it.
        const auto record = flow->Record();
        EXPECT_EQ(record->GetBytesSent(), kOneMiB);
        EXPECT_EQ(record->GetBytesReceived(), kOneMiB);
        EXPECT_EQ(app.GetStatistics().GetTotalSent() - sentBefore, kOneMiB);
        EXPECT_EQ(app.GetStatistics().GetTotalReceived() - receivedBefore, kOneMiB);

        const std::string list = CorvantisCoreWrapper::getConnections();
        const std::string id = std::to_string(record->GetId()) + "/";
        size_t row = list.rfind("\n" + id);
        row = list.compare(0, id.size(), id) == 0 ? 0 : (row == std::string::npos ? row : row + 1);
        ASSERT_NE(row, std::string::npos) << list;
        const std::string line = list.substr(row, list.find('\n', row) - row);
        EXPECT_NE(line.find("127.0.0.1:" + std::to_string(echo.port())), std::string::npos) << line;
        EXPECT_NE(line.find(c.rule.m_Name), std::string::npos) << line;
        EXPECT_TRUE(HasLineWith(Lines(), c.openText));
    }
    const std::string stats = CorvantisCoreWrapper::getStatText();
    EXPECT_NE(stats.find("Total\t\t : "), std::string::npos);
    EXPECT_EQ(stats.find("Total\t\t : 0\r\n"), std::string::npos) << stats;
    EXPECT_NE(stats.find("Sent\t\t : "), std::string::npos);
}

// What the rule decides before anything connects.
TEST_F(WrapperTest, RuleDecisionsAndFailedConnects)
{
    const uint16_t closed = freeLoopbackPort();
    struct Case {
        const char* name;
        CRule rule;
        bool handleDirect;
        int decision;
    };
    const Case cases[] = {
        { "Block rule refuses", RuleWith("No way", kActionBlock), true, ClientProcessorWrapper::kRefused },
        { "Direct left to the system", RuleWith("System", kActionDirect), false, ClientProcessorWrapper::kNotTaken },
        { "Proxy rule is taken", RuleWith("Proxy", kActionProxy, 1), false, ClientProcessorWrapper::kTaken },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UseProfile({ CProxy("127.0.0.1", closed, kProxySocks5, 1) }, { c.rule }, c.handleDirect);
        auto wrapper = ClientProcessorWrapper::create(app);
        const AppNameWrapper curl = Curl();
        EXPECT_EQ(wrapper->createNewConnection(&curl, nullptr, "127.0.0.1", "80", false), c.decision);
    }
}

// A proxy nobody listens on: the connect reports failure and the log carries the tunnel's text.
TEST_F(WrapperTest, UnreachableProxyFailsWithTheTunnelsText)
{
    const uint16_t closed = freeLoopbackPort();
    EchoServer echo;
    UseProfile({ CProxy("127.0.0.1", closed, kProxySocks5, 1) }, { RuleWith("Dead proxy", kActionProxy, 1) });
    EngineDriver driver(app);
    const uint64_t failedBefore = app.GetStatistics().GetFailedConnections();
    auto flow = driver.Open(Curl(), "127.0.0.1", echo.port());
    ASSERT_EQ(flow->Decision(), ClientProcessorWrapper::kTaken);
    EXPECT_EQ(flow->WaitConnected(), std::optional<bool>(false));
    EXPECT_TRUE(flow->WaitClosed());
    EXPECT_EQ(app.GetStatistics().GetFailedConnections() - failedBefore, 1u);
    const auto lines = Lines();
    EXPECT_TRUE(HasLineWith(lines, "connection attempt to 127.0.0.1:" + std::to_string(closed) + " failed with error"));
    EXPECT_TRUE(flow->Record()->IsClosed());
}

// A flow pumped over a socket the caller already has carries the data both ways; once it has ended, its end
// leaves alone whatever socket now has the number its remote socket had (the numbers are reused at once).
TEST_F(WrapperTest, FlowOverCallersSocketAndItsEndLeavesReusedNumbersAlone)
{
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    EngineDriver driver(app);
    int ends[2] = { -1, -1 };
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    UniqueFd application(ends[0]);
    auto flow = driver.OpenOn(UniqueFd(ends[1]), Curl(), "127.0.0.1", echo.port());
    ASSERT_EQ(flow->Decision(), ClientProcessorWrapper::kTaken);
    EXPECT_EQ(flow->AppSocket(), -1);
    ASSERT_EQ(flow->WaitConnected(), std::optional<bool>(true));
    const auto data = Pattern(256 * 1024, 11);
    EXPECT_EQ(Exchange(application.get(), data), data);
    ASSERT_TRUE(flow->WaitClosed());

    // Another socket takes the closed remote socket's number before the flow goes away. The facade no longer
    // hands the number out; the socket object still knows it.
    EXPECT_EQ(flow->Wrapper()->getNativeHandler(), -1);
    const int oldNumber = flow->Record()->GetRemoteSocket()->GetSocket();
    ASSERT_GE(oldNumber, 0);
    int other[2] = { -1, -1 };
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other), 0);
    UniqueFd otherPeer(other[1]);
    if (other[0] != oldNumber) { // the lowest free number usually is that one already
        ASSERT_EQ(::dup2(other[0], oldNumber), oldNumber);
        ::close(other[0]);
    }
    UniqueFd reused(oldNumber);
    flow.reset();

    const char byte = 'x';
    EXPECT_EQ(::send(reused.get(), &byte, 1, MSG_NOSIGNAL), 1) << std::strerror(errno);
    char got = 0;
    EXPECT_EQ(::recv(otherPeer.get(), &got, 1, MSG_DONTWAIT), 1);
    EXPECT_EQ(got, byte);
}

// A placeholder address whose name the table resolves connects on the "resolved IP" thread; one whose name
// cannot be resolved fails, and the failure is handled on the connect queue, not on the event loop's thread.
TEST_F(WrapperTest, FirstHopNeedingResolution)
{
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    ASSERT_TRUE(app.GetDnsStorage().AddRealIPv4(htonl(INADDR_LOOPBACK), "echo.test", 60, true));
    const uint32_t known = Placeholder("echo.test");
    const uint32_t unknown = Placeholder("nosuch.invalid");
    ASSERT_NE(known, 0u);
    ASSERT_NE(unknown, 0u);

    {
        EngineDriver driver(app);
        auto flow = driver.Open(Curl(), Text(known), echo.port());
        ASSERT_EQ(flow->Decision(), ClientProcessorWrapper::kTaken);
        ASSERT_EQ(flow->WaitConnected(), std::optional<bool>(true));
        const auto data = Pattern(4096, 7);
        EXPECT_EQ(Exchange(flow->AppSocket(), data), data);
    }

    const uint16_t silentDns = freeLoopbackPort();
    DnsResolverSettings resolver;
    resolver.systemServers = "127.0.0.1:" + std::to_string(silentDns);
    resolver.systemTimeout = 200ms;
    auto events = std::make_shared<SocketEventsManager>();
    ASSERT_TRUE(events->InitInstance());
    std::thread loop([events] { events->EventsProcessingThread(); });
    auto queue = DispatchQueue::create("Corvantis tcp connect queue");
    auto wrapper = ClientProcessorWrapper::create(app, resolver);
    const AppNameWrapper curl = Curl();
    ASSERT_EQ(wrapper->createNewConnection(&curl, nullptr, Text(unknown).c_str(), "80", false),
        ClientProcessorWrapper::kTaken);
    std::promise<std::pair<bool, bool>> reported; // outcome, on the connect queue
    EXPECT_TRUE(wrapper->establishRemoteConnection(events, std::make_shared<const AppNameWrapper>(curl), queue,
        ClientProcessorWrapper::MakeConnectSemaphore(), [&](bool connected) {
            reported.set_value({ connected, queue->isCurrent() });
        }));
    auto future = reported.get_future();
    ASSERT_EQ(future.wait_for(60s), std::future_status::ready);
    const auto [connected, onQueue] = future.get();
    EXPECT_FALSE(connected);
    EXPECT_TRUE(onQueue);
    EXPECT_TRUE(HasLineWith(Lines(), "Could not resolve nosuch.invalid"));
    events->Stop();
    loop.join();
}

// The start of a connect for a caller that must not wait: it starts only an address's connect with a unit free at
// once; anything else is left whole to establishRemoteConnection, which then connects as usual.
TEST_F(WrapperTest, TryStartConnectNowStartsOnlyWhatNeedsNoWait)
{
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    // A name the table does not know goes to a resolver that never answers: the connect must resolve first.
    const uint32_t unknown = Placeholder("nosuch.invalid");
    ASSERT_NE(unknown, 0u);
    DnsResolverSettings resolver;
    resolver.systemServers = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    resolver.systemTimeout = 200ms;

    struct Case {
        const char* name;
        std::string target;
        long freeUnits;
        bool startsNow;
        bool connects;
    };
    const Case cases[] = {
        { "an address with a unit free", "127.0.0.1", 1, true, true },
        { "an address with no unit free", "127.0.0.1", 0, false, true },
        { "a name to resolve first", Text(unknown), 1, false, false },
    };
    auto events = std::make_shared<SocketEventsManager>();
    ASSERT_TRUE(events->InitInstance());
    std::thread loop([events] { events->EventsProcessingThread(); });
    auto queue = DispatchQueue::create("Corvantis tcp connect queue");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto semaphore = ClientProcessorWrapper::MakeConnectSemaphore(c.freeUnits);
        auto wrapper = ClientProcessorWrapper::create(app, resolver);
        const AppNameWrapper curl = Curl();
        ASSERT_EQ(
            wrapper->createNewConnection(&curl, nullptr, c.target.c_str(), std::to_string(echo.port()).c_str(), false),
            ClientProcessorWrapper::kTaken);
        auto reported = std::make_shared<std::promise<bool>>();
        auto future = reported->get_future();
        const ClientProcessorWrapper::ConnectResultProcessor report
            = [reported](bool connected) { reported->set_value(connected); };
        ASSERT_EQ(wrapper->tryStartConnectNow(semaphore, report), c.startsNow);
        if (!c.startsNow) {
            EXPECT_NE(future.wait_for(100ms), std::future_status::ready) << "nothing started";
            if (c.freeUnits > 0) {
                EXPECT_TRUE(semaphore->waitFor(0ns)) << "the unit was given back";
            }
            semaphore->signal();
            EXPECT_TRUE(wrapper->establishRemoteConnection(
                events, std::make_shared<const AppNameWrapper>(curl), queue, semaphore, report));
        }
        ASSERT_EQ(future.wait_for(60s), std::future_status::ready);
        EXPECT_EQ(future.get(), c.connects);
        EXPECT_TRUE(semaphore->waitFor(60s)) << "the unit is free again";
        EXPECT_FALSE(semaphore->waitFor(0ns)) << "and no other came";
        if (c.connects) {
            const auto data = Pattern(1024, 3);
            int64_t sent = 0;
            int32_t err = 0;
            ASSERT_TRUE(wrapper->sendDataToRemote(data, sent, err));
            EXPECT_EQ(sent, static_cast<int64_t>(data.size()));
        }
        wrapper->close();
    }
    EXPECT_TRUE(HasLineWith(Lines(), "Could not resolve nosuch.invalid"));
    events->Stop();
    loop.join();
}

// With every connect unit in use the next connect waits until one is given back.
TEST_F(WrapperTest, ConnectWaitsWhileAllUnitsAreInUse)
{
    // A proxy that accepts and never answers keeps each connect in its handshake.
    auto silent = std::make_unique<LoopbackListener>("127.0.0.1", 8);
    UseProfile({ CProxy("127.0.0.1", silent->port(), kProxySocks5, 1) }, { RuleWith("Silent", kActionProxy, 1) });

    EngineDriver::Options options;
    options.maxConnects = 2;
    EngineDriver driver(app, options);
    std::vector<std::shared_ptr<EngineFlow>> flows;
    std::vector<UniqueFd> accepted;
    for (int i = 0; i < 2; ++i) {
        flows.push_back(driver.Open(Curl(), "127.0.0.1", 9));
        accepted.push_back(silent->accept());
        ASSERT_TRUE(accepted.back());
    }
    std::atomic<bool> returned { false };
    std::shared_ptr<EngineFlow> third;
    std::thread opener([&] {
        third = driver.Open(Curl(), "127.0.0.1", 9);
        returned = true;
    });
    const auto waitStart = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - waitStart < 300ms)
        std::this_thread::yield();
    EXPECT_FALSE(returned.load());

    // The silent proxy goes away: the two connects fail and give their units back.
    silent.reset();
    accepted.clear();
    for (auto& flow : flows)
        EXPECT_EQ(flow->WaitConnected(), std::optional<bool>(false));
    opener.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(third->WaitConnected(), std::optional<bool>(false));
}

// A connect waiting on a proxy that accepts and never answers ends as soon as the connection is closed, by the
// user or by the flow, and gives its connect unit back.
TEST_F(WrapperTest, ClosingEndsAConnectWaitingOnASilentProxy)
{
    const LoopbackListener silent("127.0.0.1", 8);
    UseProfile({ CProxy("127.0.0.1", silent.port(), kProxySocks5, 1) }, { RuleWith("Silent", kActionProxy, 1) });

    struct Case {
        const char* name;
        bool byUser;
    };
    const Case cases[] = { { "the user cancels", true }, { "the flow closes", false } };
    auto events = std::make_shared<SocketEventsManager>();
    auto queue = DispatchQueue::create("Corvantis tcp connect queue");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto semaphore = ClientProcessorWrapper::MakeConnectSemaphore(1);
        auto wrapper = ClientProcessorWrapper::create(app);
        const AppNameWrapper curl = Curl();
        ASSERT_EQ(
            wrapper->createNewConnection(&curl, nullptr, "127.0.0.1", "9", false), ClientProcessorWrapper::kTaken);
        std::promise<bool> reported;
        ASSERT_TRUE(wrapper->establishRemoteConnection(events, std::make_shared<const AppNameWrapper>(curl), queue,
            semaphore, [&](bool connected) { reported.set_value(connected); }));
        // The proxy has the connection: the handshake waits for its answer.
        UniqueFd accepted = silent.accept();
        ASSERT_TRUE(accepted);
        if (c.byUser)
            wrapper->GetConnection()->Close();
        else
            wrapper->close();
        auto future = reported.get_future();
        ASSERT_EQ(future.wait_for(60s), std::future_status::ready);
        EXPECT_FALSE(future.get());
        EXPECT_TRUE(wrapper->GetConnection()->IsClosed());
        EXPECT_EQ(wrapper->GetConnection()->IsCanceled(), c.byUser);
        EXPECT_TRUE(semaphore->waitFor(60s)) << "the connect unit came back";
    }
}

TEST(ConnectSemaphore, DefaultHoldsThreeHundredUnits)
{
    auto semaphore = ClientProcessorWrapper::MakeConnectSemaphore();
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(semaphore->waitFor(0ns)) << i;
    EXPECT_FALSE(semaphore->waitFor(0ns));
}

// With traffic dumps on, each direction's bytes land in their own file.
TEST_F(WrapperTest, TrafficDumpsHoldEachDirection)
{
    const auto reply = Pattern(300000, 99);
    ReplyServer server(reply);
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    std::filesystem::create_directories(GetTrafficDir());
    CAppSettings settings = app.GetSettings();
    settings.TrafficLogEnabled = true;
    app.SetSettings(settings);

    const auto request = Pattern(500000, 42);
    {
        EngineDriver driver(app);
        auto flow = driver.Open(Curl(), "127.0.0.1", server.port());
        ASSERT_EQ(flow->WaitConnected(), std::optional<bool>(true));
        EXPECT_EQ(Exchange(flow->AppSocket(), request), reply);
        ASSERT_TRUE(flow->WaitClosed());
    }
    std::vector<uint8_t> from;
    std::vector<uint8_t> to;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(GetTrafficDir())) {
        const std::string name = entry.path().filename().string();
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ++files;
        if (name.find(" FROM ") != std::string::npos)
            from = content;
        else if (name.find(" TO ") != std::string::npos)
            to = content;
    }
    EXPECT_EQ(files, 2);
    EXPECT_EQ(to, request);
    EXPECT_EQ(from, reply);
}

int StatusOf(const std::string& reply)
{
    return reply.size() >= 12 && reply.rfind("HTTP/1.", 0) == 0 ? std::atoi(reply.c_str() + 9) : -1;
}

// A plain HTTP request through an HTTP proxy (tinyproxy) as the last hop, driven as the flow code drives the
// facade: nothing is read from the proxy before the request has gone, the engine rewrites the request for the
// proxy (with the proxy's credentials where it has them), the origin gets it in its own form with its body once,
// the application gets the origin's whole reply, and the rewritten request counts as sent.
TEST_F(WrapperTest, PlainHttpThroughAnHttpProxyReachesTheOrigin)
{
    const auto replyBytes = Pattern(120000, 11);
    HttpOrigin origin(std::string(replyBytes.begin(), replyBytes.end()));
    auto tinyproxy = startTinyproxy();
    auto guarded = startTinyproxy("carol", "t0p-secret");
    const std::string body = "name=value&" + std::string(40000, 'b');
    auto header = [&](const std::string& method, const std::string& content) {
        std::string text = method + " /hello?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(origin.port())
            + "\r\nUser-Agent: corvantis-test\r\n";
        if (!content.empty())
            text += "Content-Length: " + std::to_string(content.size()) + "\r\n";
        return text + "\r\n";
    };

    CProxy plain("127.0.0.1", tinyproxy->port(), kProxyHttp, 1);
    CProxy withBasic("127.0.0.1", guarded->port(), kProxyHttp, 1);
    withBasic.m_AuthEnabled = true;
    withBasic.m_UserName = "carol";
    withBasic.m_Password = "t0p-secret";
    struct Case {
        const char* name;
        CProxy proxy;
        std::string method;
        std::vector<std::string> pieces;
        std::string body;
    };
    const Case cases[] = {
        { "GET", plain, "GET", { header("GET", "") }, "" },
        { "GET with its header in two pieces", plain, "GET",
            { header("GET", "").substr(0, 20), header("GET", "").substr(20) }, "" },
        { "POST with its body in the header's piece", plain, "POST", { header("POST", body) + body }, body },
        { "POST with its body in a later piece", plain, "POST", { header("POST", body), body }, body },
        { "GET through a proxy asking for Basic", withBasic, "GET", { header("GET", "") }, "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UseProfile({ c.proxy }, { RuleWith("Via HTTP proxy", kActionProxy, 1) });
        EngineDriver driver(app);
        auto flow = driver.Open(Curl(), "127.0.0.1", origin.port());
        ASSERT_EQ(flow->WaitConnected(), std::optional<bool>(true));
        EXPECT_FALSE(flow->Wrapper()->needDownstreamNow());
        EXPECT_FALSE(flow->DownstreamStarted());
        const size_t seenBefore = origin.seen().size();
        const uint64_t sentBefore = app.GetStatistics().GetTotalSent();

        const std::string reply = HttpExchange(flow->AppSocket(), c.pieces);
        ASSERT_EQ(StatusOf(reply), 200) << reply.substr(0, 300);
        const size_t end = reply.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        EXPECT_TRUE(reply.compare(end + 4, std::string::npos, origin.body()) == 0);
        const auto seen = origin.seen();
        ASSERT_EQ(seen.size(), seenBefore + 1);
        EXPECT_EQ(seen.back().header.rfind(c.method + " /hello?x=1 HTTP/1.", 0), 0u) << seen.back().header;
        EXPECT_TRUE(seen.back().body == c.body) << seen.back().body.size() << " bytes arrived";

        ASSERT_TRUE(flow->WaitClosed());
        EXPECT_TRUE(flow->DownstreamStarted());
        EXPECT_TRUE(flow->Wrapper()->needDownstreamNow());
        const auto record = flow->Record();
        // The proxy's form of the request is longer than the application's (an absolute address).
        size_t written = 0;
        for (const auto& piece : c.pieces)
            written += piece.size();
        EXPECT_GT(record->GetBytesSent(), written);
        EXPECT_EQ(app.GetStatistics().GetTotalSent() - sentBefore, record->GetBytesSent());
        EXPECT_EQ(record->GetBytesReceived(), reply.size());
    }
}

// A request the forwarding cannot take (no HTTP at all) ends the connection with the error line; nothing
// reaches the origin.
TEST_F(WrapperTest, RequestTheHttpForwardingCannotTakeEndsTheConnection)
{
    HttpOrigin origin("unused");
    auto tinyproxy = startTinyproxy();
    UseProfile(
        { CProxy("127.0.0.1", tinyproxy->port(), kProxyHttp, 1) }, { RuleWith("Via HTTP proxy", kActionProxy, 1) });
    EngineDriver driver(app);
    auto flow = driver.Open(Curl(), "127.0.0.1", origin.port());
    ASSERT_EQ(flow->WaitConnected(), std::optional<bool>(true));
    Lines();

    const std::string reply = HttpExchange(flow->AppSocket(), { std::string("\x16\x03\x01 not a request\r\n\r\n") });
    EXPECT_EQ(reply, "");
    ASSERT_TRUE(flow->WaitClosed());
    EXPECT_TRUE(flow->Record()->IsClosed());
    EXPECT_FALSE(flow->Record()->HasDataPath());
    // The target's text is the name the table knows for 127.0.0.1, if an earlier test taught it one.
    EXPECT_TRUE(HasLineWith(Lines(), ":" + std::to_string(origin.port()) + " HTTP connection error: "));
    EXPECT_TRUE(origin.seen().empty());
}

// The flow ends as the flow code ends it, also while the application keeps its side open and sends nothing: when
// the remote ends its stream, and when the user cancels the connection (the engine then gives the end of the
// remote's stream), also before the request of a plain HTTP proxy has come. The application sees the end after
// whatever came before it, and the connection is closed.
TEST_F(WrapperTest, RemoteEndAndUserCancelEndTheWholeFlow)
{
    GreetAndCloseServer greeter("bye");
    EchoServer echo;
    auto tinyproxy = startTinyproxy();
    enum End { kRemoteEnds, kUserCancels };
    struct Case {
        const char* name;
        std::vector<CProxy> proxies;
        int action;
        uint16_t port;
        std::string ping; // sent and echoed before the end
        End end;
        std::string read; // what the application reads before the end
    };
    const Case cases[] = {
        { "the remote ends", {}, kActionDirect, greeter.port(), "", kRemoteEnds, "bye" },
        { "the user cancels an idle flow", {}, kActionDirect, echo.port(), "ping", kUserCancels, "" },
        { "the user cancels while the HTTP request is awaited",
            { CProxy("127.0.0.1", tinyproxy->port(), kProxyHttp, 1) }, kActionProxy, echo.port(), "", kUserCancels,
            "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UseProfile(c.proxies, { RuleWith("Rule", c.action, 1) });
        EngineDriver driver(app);
        auto flow = driver.Open(Curl(), "127.0.0.1", c.port);
        ASSERT_EQ(flow->WaitConnected(), std::optional<bool>(true));
        const int socket = flow->AppSocket();
        if (!c.ping.empty()) {
            ASSERT_EQ(::send(socket, c.ping.data(), c.ping.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.ping.size()));
            std::string echoed(c.ping.size(), '\0');
            ASSERT_EQ(::recv(socket, echoed.data(), echoed.size(), MSG_WAITALL), static_cast<ssize_t>(echoed.size()));
            EXPECT_EQ(echoed, c.ping);
        }
        if (c.end == kUserCancels)
            flow->Record()->Close();
        EXPECT_EQ(ReadToEnd(socket), std::optional<std::string>(c.read));
        EXPECT_TRUE(flow->WaitClosed());
        EXPECT_TRUE(flow->Record()->IsClosed());
        EXPECT_EQ(flow->Record()->IsCanceled(), c.end == kUserCancels);
    }
}

// The facade as the flow code calls it for a plain HTTP proxy: while the application's request header is not
// complete the data is taken and nothing goes; once the request is with the proxy an empty answer says the remote
// side is ready, the bytes after the header are what goes on, the pending mark is gone (the flow may read the
// reply) and later data goes unchanged. A request the forwarding refuses closes the connection, and the send of
// the empty replacement fails. Other connections never pass through it.
TEST_F(WrapperTest, PreparingDataFollowsThePendingHttpRequest)
{
    HttpOrigin origin("answered");
    EchoServer echo;
    auto tinyproxy = startTinyproxy();
    const CProxy http("127.0.0.1", tinyproxy->port(), kProxyHttp, 1);
    auto events = std::make_shared<SocketEventsManager>();
    auto queue = DispatchQueue::create("Corvantis tcp connect queue");
    auto connect = [&](uint16_t port) -> std::shared_ptr<ClientProcessorWrapper> {
        auto wrapper = ClientProcessorWrapper::create(app);
        const AppNameWrapper curl = Curl();
        const std::string portText = std::to_string(port);
        if (wrapper->createNewConnection(&curl, nullptr, "127.0.0.1", portText.c_str(), false)
            != ClientProcessorWrapper::kTaken)
            return nullptr;
        auto reported = std::make_shared<std::promise<bool>>();
        auto future = reported->get_future();
        wrapper->establishRemoteConnection(events, std::make_shared<const AppNameWrapper>(curl), queue,
            ClientProcessorWrapper::MakeConnectSemaphore(), [reported](bool ok) { reported->set_value(ok); });
        if (future.wait_for(60s) != std::future_status::ready || !future.get())
            return nullptr;
        return wrapper;
    };
    std::optional<std::vector<uint8_t>> answer;
    std::optional<std::vector<uint8_t>> replaced;
    const std::optional<std::vector<uint8_t>> nothing;
    const std::optional<std::vector<uint8_t>> empty = std::vector<uint8_t>();

    {
        SCOPED_TRACE("through the HTTP proxy");
        UseProfile({ http }, { RuleWith("Via HTTP proxy", kActionProxy, 1) });
        auto wrapper = connect(origin.port());
        ASSERT_TRUE(wrapper);
        EXPECT_FALSE(wrapper->needDownstreamNow());
        const std::string request
            = "GET /pending HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(origin.port()) + "\r\n\r\n";

        EXPECT_TRUE(wrapper->prepateDataForRemote(Bytes(request.substr(0, 12)), answer, replaced));
        EXPECT_EQ(answer, nothing);
        EXPECT_EQ(replaced, empty);
        EXPECT_FALSE(wrapper->needDownstreamNow());

        EXPECT_TRUE(wrapper->prepateDataForRemote(Bytes(request.substr(12) + "tail"), answer, replaced));
        EXPECT_EQ(answer, empty);
        EXPECT_EQ(replaced, std::optional<std::vector<uint8_t>>(Bytes("tail")));
        EXPECT_TRUE(wrapper->needDownstreamNow());
        EXPECT_FALSE(wrapper->GetConnection()->HasDataPath());

        EXPECT_FALSE(wrapper->prepateDataForRemote(Bytes("later"), answer, replaced));
        EXPECT_EQ(answer, nothing);
        EXPECT_EQ(replaced, nothing);

        // The proxy's reply, read as the flow's downstream reads it.
        std::string reply;
        for (;;) {
            pollfd p { wrapper->getNativeHandler(), POLLIN, 0 };
            ASSERT_GT(::poll(&p, 1, 60000), 0) << reply;
            int32_t err = 0;
            const auto data = wrapper->recvDataFromRemoteWithError(err);
            if (!data && err == EAGAIN)
                continue;
            ASSERT_TRUE(data) << err;
            if (data->empty())
                break;
            reply.append(data->begin(), data->end());
        }
        EXPECT_EQ(reply.rfind("HTTP/1.", 0), 0u) << reply;
        EXPECT_NE(reply.find(" 200 "), std::string::npos) << reply;
        EXPECT_EQ(reply.substr(reply.size() - 8), "answered");
        wrapper->close();
    }
    {
        SCOPED_TRACE("a request the forwarding refuses");
        UseProfile({ http }, { RuleWith("Via HTTP proxy", kActionProxy, 1) });
        auto wrapper = connect(origin.port());
        ASSERT_TRUE(wrapper);
        Lines();
        EXPECT_TRUE(wrapper->prepateDataForRemote(Bytes("CONNECT 127.0.0.1:443 HTTP/1.1\r\n\r\n"), answer, replaced));
        EXPECT_EQ(answer, nothing);
        EXPECT_EQ(replaced, empty);
        EXPECT_TRUE(wrapper->GetConnection()->IsClosed());
        EXPECT_TRUE(HasLineWith(Lines(),
            " HTTP connection error: Client requested HTTPS connection. Please define a separate HTTPS proxy for "
            "this."));
        int64_t sent = 0;
        int32_t err = 0;
        EXPECT_FALSE(wrapper->sendDataToRemote(*replaced, sent, err));
        EXPECT_NE(err, 0);
        wrapper->close();
    }
    {
        SCOPED_TRACE("directly");
        UseProfile({}, { RuleWith("Direct", kActionDirect) });
        auto wrapper = connect(echo.port());
        ASSERT_TRUE(wrapper);
        EXPECT_TRUE(wrapper->needDownstreamNow());
        EXPECT_FALSE(wrapper->prepateDataForRemote(Bytes("GET / HTTP/1.1\r\n\r\n"), answer, replaced));
        EXPECT_EQ(answer, nothing);
        EXPECT_EQ(replaced, nothing);
        wrapper->close();
    }
    EXPECT_EQ(origin.seen().size(), 1u);
}

// Name requests: a name the proxy resolves gets a placeholder from the table; others are relayed.
TEST_F(WrapperTest, DnsRequestsGetPlaceholdersFromTheTable)
{
    auto request = [](uint16_t qtype) {
        DnsWire wire;
        wire.header(0x1234, 0x0100, 1, 0, 0, 1).name({ "www", "example", "org" }).u16(qtype).u16(1).opt();
        return wire.bytes;
    };
    auto events = std::make_shared<SocketEventsManager>();
    const AppNameWrapper curl = Curl();
    struct Case {
        const char* name;
        bool viaProxy;
        int action;
        uint16_t qtype;
        bool answered;
    };
    const Case cases[] = {
        { "A through the proxy", true, kActionProxy, kDnsTypeA, true },
        { "AAAA through the proxy", true, kActionProxy, kDnsTypeAAAA, true },
        { "resolving through the proxy off", false, kActionProxy, kDnsTypeA, false },
        { "direct rule", true, kActionDirect, kDnsTypeA, false },
        { "other query type", true, kActionProxy, 16, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData profile;
        profile.m_Proxies = { CProxy("127.0.0.1", 1080, kProxySocks5, 1) };
        profile.m_Rules = { RuleWith("Rule", c.action, 1) };
        profile.m_ViaProxy = c.viaProxy;
        app.SetProfile(profile, false);
        auto wrapper = ClientProcessorWrapper::create(app);
        std::optional<std::vector<uint8_t>> answer;
        std::string answeredName;
        const bool taken = wrapper->processDnsRequest(request(c.qtype), curl, "192.0.2.53", 53, false, events,
            [&](const std::string& name, std::optional<std::vector<uint8_t>> data) {
                answeredName = name;
                answer = std::move(data);
            });
        EXPECT_EQ(taken, c.answered);
        if (!c.answered)
            continue;
        ASSERT_TRUE(answer);
        EXPECT_EQ(answeredName, "www.example.org.");
        DnsMessageInfo info;
        std::vector<DnsAnswerAddress> answers;
        std::string error;
        ASSERT_EQ(ParseDnsMessage(answer->data(), answer->size(), DnsMessageKind::Response, info, answers, error),
            DnsParseResult::Accepted);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].ttl, ClientProcessorWrapper::kAnswerTtl);
        const auto& address = answers[0].address;
        if (c.qtype == kDnsTypeA) {
            const uint32_t v4 = reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr;
            EXPECT_EQ(app.NameForIPv4(v4), "www.example.org");
            EXPECT_EQ(Text(v4).rfind("10.", 0), 0u) << Text(v4);
        } else {
            EXPECT_EQ(app.NameForIPv6(reinterpret_cast<const sockaddr_in6&>(address).sin6_addr), "www.example.org");
        }
    }
    // Applications the rules connect directly are not processed at all.
    CProfileData direct;
    direct.m_Rules = { RuleWith("Direct", kActionDirect) };
    direct.m_ViaProxy = true;
    app.SetProfile(direct, false);
    Lines();
    EXPECT_FALSE(ClientProcessorWrapper::create(app)->processDnsConnection(curl));
    EXPECT_TRUE(HasLineWith(Lines(), "DNS request bypassed (According to Rules)"));
}

// Requests to the engine's own placeholder server for names the rules resolve locally are answered with what the
// resolver finds (here dnsmasq as the system's server): an address of the asked type with a time-to-live of one
// second, nothing for a name that does not exist. The same request to another server is left to the caller.
TEST_F(WrapperTest, PlaceholderServerAnswersFromTheResolver)
{
    Dnsmasq dnsmasq({ "--host-record=both.test,192.0.2.7,2001:db8::7", "--host-record=four.test,192.0.2.4",
        "--host-record=six.test,2001:db8::6" });
    ASSERT_TRUE(dnsmasq.ready());
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    CProfileData profile;
    app.GetProfile(profile, false);
    profile.m_ViaProxy = true;
    app.SetProfile(profile, false);

    EngineDriver::Options options;
    options.resolver.systemServers = "127.0.0.1:" + std::to_string(dnsmasq.port());
    EngineDriver driver(app, options);
    const AppNameWrapper curl = Curl();
    auto request = [](uint16_t id, const std::string& label, uint16_t qtype) {
        DnsWire wire;
        wire.header(id, 0x0120, 1, 0, 0, 1).name({ label, "test" }).u16(qtype).u16(1).opt();
        return wire.bytes;
    };
    struct Case {
        const char* name;
        std::string label;
        uint16_t qtype;
        std::optional<std::string> address; // none: no answer
        bool empty; // an answer without an address
    };
    const Case cases[] = {
        { "A of a name with both", "both", kDnsTypeA, "192.0.2.7", false },
        // The table already holds the first address found (IPv4); the answer takes the IPv6 one learnt with it.
        { "AAAA of a name with both", "both", kDnsTypeAAAA, "2001:db8::7", false },
        { "A of a name with IPv4 only", "four", kDnsTypeA, "192.0.2.4", false },
        { "AAAA of a name with IPv6 only", "six", kDnsTypeAAAA, "2001:db8::6", false },
        { "AAAA of a name with IPv4 only", "four", kDnsTypeAAAA, std::nullopt, true },
        { "A of a name with IPv6 only", "six", kDnsTypeA, std::nullopt, true },
        { "another type", "both", 65, std::nullopt, true },
        { "A of a name that does not exist", "nosuch", kDnsTypeA, std::nullopt, false },
    };
    // The resolution reports its first address while the other family's lookup may still run; it ends soon.
    auto learnt = [&](const char* text, const std::string& name) {
        in6_addr v6 {};
        ::inet_pton(AF_INET6, text, &v6);
        return waitUntil([&] { return app.NameForIPv6(v6) == name; }, deadlineIn(30s));
    };
    uint16_t id = 0x100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.qtype == kDnsTypeAAAA && c.label == "both") {
            ASSERT_TRUE(learnt("2001:db8::7", "both.test"));
        }
        const auto query = request(++id, c.label, c.qtype);
        auto wrapper = ClientProcessorWrapper::create(app, options.resolver);
        EXPECT_FALSE(wrapper->processDnsRequest(query, curl, "192.0.2.53", 53, false, driver.EventManager(),
            [](const std::string&, std::optional<std::vector<uint8_t>>) { ADD_FAILURE() << "answered"; }));

        std::promise<std::pair<std::string, std::optional<std::vector<uint8_t>>>> answered;
        ASSERT_TRUE(wrapper->processDnsRequest(query, curl, "10.0.0.1", 53, true, driver.EventManager(),
            [&](const std::string& name, std::optional<std::vector<uint8_t>> answer) {
                answered.set_value({ name, std::move(answer) });
            }));
        auto future = answered.get_future();
        ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
        const auto [name, answer] = future.get();
        EXPECT_EQ(name, c.label + ".test.");
        if (!c.address && !c.empty) {
            EXPECT_FALSE(answer);
            continue;
        }
        ASSERT_TRUE(answer);
        DnsMessageInfo info;
        std::vector<DnsAnswerAddress> answers;
        std::string error;
        ASSERT_EQ(ParseDnsMessage(answer->data(), answer->size(), DnsMessageKind::Response, info, answers, error),
            DnsParseResult::Accepted)
            << error;
        EXPECT_EQ(info.id, id);
        EXPECT_EQ(info.qtype, c.qtype);
        EXPECT_FALSE(info.authenticData);
        if (c.empty) {
            EXPECT_TRUE(answers.empty());
            continue;
        }
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].ttl, ClientProcessorWrapper::kAnswerTtl);
        EXPECT_EQ(addressText(answers[0].address), *c.address);
    }
    EXPECT_TRUE(HasLineWith(Lines(), " DNS resolved IP: Name = both.test., IP = 192.0.2.7"));
}

// Addresses of answers that pass to the application are learnt by the table. The log lines name the application
// that asked; an answer seen with no application (the content filter's) is logged without one.
TEST_F(WrapperTest, DnsAnswersFeedTheTable)
{
    auto answer = [](const std::string& label, uint8_t last) {
        DnsWire wire;
        wire.header(7, 0x8180, 1, 1, 0, 0).name({ label, "example" }).u16(kDnsTypeA).u16(1);
        wire.pointer(12).u16(kDnsTypeA).u16(1).u32(120).u16(4).raw({ 198, 51, 100, last });
        return wire.bytes;
    };
    const AppNameWrapper curl = Curl();
    struct Case {
        const char* name;
        const AppNameWrapper* fromApp;
        std::string label;
        uint8_t last;
        std::string line;
    };
    const Case cases[] = {
        { "from curl", &curl, "learn", 7,
            "curl - DNS response: AF = 2, Name = learn.example., IP = 198.51.100.7, ttl = 120" },
        { "from no application", nullptr, "filtered", 8,
            "DNS response: AF = 2, Name = filtered.example., IP = 198.51.100.8, ttl = 120" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClientProcessorWrapper::processDnsAnswer(app, answer(c.label, c.last), c.fromApp);
        uint32_t address = 0;
        ::inet_pton(AF_INET, ("198.51.100." + std::to_string(c.last)).c_str(), &address);
        EXPECT_EQ(app.NameForIPv4(address), c.label + ".example");
        const auto lines = Lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << ::testing::PrintToString(lines);
    }

    ClientProcessorWrapper::processDnsAnswer(app, { 1, 2, 3 }, nullptr);
    const auto lines = Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "DNS answer cannot be parsed"), lines.end())
        << ::testing::PrintToString(lines);
}

} // namespace
} // namespace corvantis::test
