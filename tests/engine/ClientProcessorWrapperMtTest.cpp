#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/profile/ConnRecord.h"
#include "core/profile/ProfileFile.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"
#include "extension/engine/AppNameWrapper.h"
#include "extension/engine/ClientProcessor.h"
#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "extension/engine/CorvantisCoreWrapper.h"
#include "extension/engine/DnsCodec.h"
#include "platform/PlistValue.h"
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

namespace corvantis::test {
namespace {

// An application that the profile below sends through microsocks; every other one goes directly.
AppNameWrapper Proxied(int pid)
{
    return AppNameWrapper("", "proxied", "", "", "/usr/bin/proxied", pid);
}

AppNameWrapper Plain(int pid)
{
    return AppNameWrapper("", "plain", "", "", "/usr/bin/plain", pid);
}

// Reads the engine's polled texts, the list snapshot and the traffic samples over and over, as the application's
// polling and the connections window do, until told to stop.
class Poller {
public:
    explicit Poller(CCorvantisAppProxy& app)
        : m_thread([this, &app] {
            while (!m_stop.load()) {
                const std::string list = CorvantisCoreWrapper::getConnections();
                const std::string stats = CorvantisCoreWrapper::getStatText();
                std::vector<uint8_t> up;
                std::vector<uint8_t> down;
                CorvantisCoreWrapper::getTrafficDataUp(up, down);
                for (const auto& record : app.GetConnectionsSnapshot())
                    (void)record->GetText();
                if (!list.empty() && stats.find("Total") != std::string::npos)
                    ++rounds;
            }
        })
    {
    }
    ~Poller() { Stop(); }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    std::atomic<uint64_t> rounds { 0 };

private:
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

// A loopback server that, for each connection, sends `size` bytes at once and then closes its side completely,
// whatever the client is still sending.
class SendAndCloseServer {
public:
    explicit SendAndCloseServer(size_t size)
        : m_data(Pattern(size, 5))
    {
        m_thread = std::thread([this] {
            for (;;) {
                UniqueFd connection = m_listener.accept();
                if (!connection)
                    return;
                sendAll(connection.get(), m_data);
            }
        });
    }
    ~SendAndCloseServer()
    {
        m_listener.shutdown();
        m_thread.join();
    }
    uint16_t port() const { return m_listener.port(); }

private:
    std::vector<uint8_t> m_data;
    LoopbackListener m_listener { "127.0.0.1", 128 };
    std::thread m_thread;
};

class WrapperMtTest : public WrapperTest {
protected:
    void SetUp() override
    {
        WrapperTest::SetUp();
        // Per-connection lines would flood the screen queue; the test reads none of them.
        GetLog().SetScreenLevel(kLogError);
    }
    void TearDown() override
    {
        CClientProcessor::SetConnectionLimit(CClientProcessor::kDefaultConnectionLimit);
        WrapperTest::TearDown();
    }
    // Direct for everything but the application "proxied", which goes through `proxy`.
    void UseSplitProfile(const CProxy& proxy)
    {
        CRule viaProxy = RuleWith("Proxied application", kActionProxy, proxy.m_Id);
        viaProxy.m_Apps = { "proxied" };
        viaProxy.m_AppsLower = { "proxied" };
        viaProxy.m_AppsText = "proxied";
        UseProfile({ proxy }, { viaProxy, RuleWith("Default", kActionDirect) });
    }
};

// Many flows at once on three roads (directly, through microsocks, and to a placeholder address whose name the
// resolver answers before the connect), each carrying its own data both ways, while the engine's texts are
// polled, name requests are answered and the profile is applied again. Every flow gets back exactly its bytes.
TEST_F(WrapperMtTest, ManyFlowsAtOnceCarryTheirOwnBytes)
{
    EchoServer echo;
    auto microsocks = startMicrosocks();
    const CProxy socks5("127.0.0.1", microsocks->port(), kProxySocks5, 1);
    UseSplitProfile(socks5);
    ASSERT_TRUE(app.GetDnsStorage().AddRealIPv4(htonl(INADDR_LOOPBACK), "echo.test", 600, true));
    const std::string placeholder = Text(Placeholder("echo.test"));

    enum Road { kDirect, kProxy, kResolved };
    constexpr int kFlowsPerRoad = 20;
    constexpr size_t kSize = 96 * 1024;
    EngineDriver driver(app);
    Poller poller(app);

    std::atomic<bool> stopSide { false };
    std::atomic<int> answered { 0 };
    std::thread sideWork([&] {
        // Name requests from another application's queue, and the application sending its profile again.
        // A new name each time: repeating one would rightly be taken for a DNS loop.
        const AppNameWrapper asking = Proxied(4242);
        CProfileData profile;
        app.GetProfile(profile, false);
        std::string profileText;
        EXPECT_TRUE(ProfileToXmlString(profile, profileText));
        // The application's settings keep the placeholder subnet the flows use.
        PlistDict settings;
        settings["InternalSubnetNumber"] = PlistValue(int64_t { 10 });
        settings["MaxConnCount"] = PlistValue(int64_t { 3000 });
        for (int n = 0; !stopSide.load(); ++n) {
            if (n % 4 == 0) {
                const std::string error = CorvantisCoreWrapper::settingsUpdateNotification(
                    n == 0 ? std::optional<PlistDict>(settings) : std::nullopt, profileText);
                EXPECT_EQ(error, "");
                CorvantisCoreWrapper::putLog(false, false, "side work " + std::to_string(n));
                (void)CorvantisCoreWrapper::getLogMessages();
            }
            DnsWire wire;
            wire.header(0x4242, 0x0100, 1, 0, 0, 0).name({ "side" + std::to_string(n), "example", "org" });
            wire.u16(kDnsTypeA).u16(1);
            auto wrapper = ClientProcessorWrapper::create(app);
            answered += wrapper->processDnsRequest(wire.bytes, asking, "192.0.2.53", 53, false, driver.EventManager(),
                [](const std::string&, std::optional<std::vector<uint8_t>>) {});
            app.SetProfile(profile, false);
        }
    });

    struct Outcome {
        int decision = -1;
        std::optional<bool> connected;
        size_t received = 0;
        bool same = false;
        bool closed = false;
        std::string ruleName;
    };
    std::vector<Outcome> outcomes(3 * kFlowsPerRoad);
    std::vector<std::thread> flows;
    for (int i = 0; i < 3 * kFlowsPerRoad; ++i) {
        flows.emplace_back([&, i] {
            const Road road = static_cast<Road>(i % 3);
            const AppNameWrapper who = road == kProxy ? Proxied(1000 + i) : Plain(1000 + i);
            auto flow = driver.Open(who, road == kResolved ? placeholder : "127.0.0.1", echo.port());
            Outcome& outcome = outcomes[static_cast<size_t>(i)];
            outcome.decision = flow->Decision();
            outcome.connected = flow->WaitConnected();
            if (outcome.connected != std::optional<bool>(true))
                return;
            const auto data = Pattern(kSize, static_cast<uint32_t>(i + 1));
            const auto back = Exchange(flow->AppSocket(), data, data.size());
            outcome.received = back.size();
            outcome.same = back == data;
            outcome.closed = flow->WaitClosed();
            outcome.ruleName = flow->Wrapper()->GetConnection()->GetRuleName();
        });
    }
    for (auto& thread : flows)
        thread.join();
    stopSide = true;
    sideWork.join();
    poller.Stop();

    for (size_t i = 0; i < outcomes.size(); ++i) {
        SCOPED_TRACE("flow " + std::to_string(i));
        const Outcome& outcome = outcomes[i];
        EXPECT_EQ(outcome.decision, ClientProcessorWrapper::kTaken);
        ASSERT_EQ(outcome.connected, std::optional<bool>(true));
        EXPECT_EQ(outcome.received, kSize);
        EXPECT_TRUE(outcome.same);
        EXPECT_TRUE(outcome.closed);
        EXPECT_EQ(outcome.ruleName, i % 3 == kProxy ? "Proxied application" : "Default");
    }
    EXPECT_GT(poller.rounds.load(), 0u);
    EXPECT_GT(answered.load(), 0);
    EXPECT_FALSE(HasLineWith(Lines(), "Infinite loop"));
}

// Ends racing each other: the application closes its socket right after writing while the remote sends and
// closes; the remote closes while the application still writes; the user cancels the connection while data
// flows both ways. Every flow ends, its record is closed, and nothing is left waiting.
TEST_F(WrapperMtTest, ClosesFromBothSidesRaceWithoutLosingAFlow)
{
    EchoServer echo;
    SendAndCloseServer closing(64 * 1024);
    auto microsocks = startMicrosocks();
    UseSplitProfile(CProxy("127.0.0.1", microsocks->port(), kProxySocks5, 1));

    enum Race { kAppClosesWhileRemoteCloses, kRemoteClosesWhileAppWrites, kUserCancels };
    constexpr int kFlows = 48;
    EngineDriver driver(app);
    Poller poller(app);

    struct Ends {
        std::optional<bool> connected;
        bool closed = false;
        bool recordClosed = false;
    };
    std::vector<Ends> ends(kFlows); // one element per thread
    std::vector<std::thread> threads;
    for (int i = 0; i < kFlows; ++i) {
        threads.emplace_back([&, i] {
            const Race race = static_cast<Race>(i % 3);
            const AppNameWrapper who = (i / 3) % 2 ? Proxied(2000 + i) : Plain(2000 + i);
            const uint16_t port = race == kUserCancels ? echo.port() : closing.port();
            auto flow = driver.Open(who, "127.0.0.1", port);
            ends[static_cast<size_t>(i)].connected = flow->WaitConnected();
            if (ends[static_cast<size_t>(i)].connected != std::optional<bool>(true))
                return;
            const auto data = Pattern(256 * 1024, static_cast<uint32_t>(i));
            const int socket = flow->AppSocket();
            std::thread writer([&] { sendAll(socket, data); });
            switch (race) {
            case kAppClosesWhileRemoteCloses:
                writer.join();
                flow->CloseApp();
                break;
            case kRemoteClosesWhileAppWrites: {
                std::vector<uint8_t> buffer(65536);
                for (;;) {
                    pollfd p { socket, POLLIN, 0 };
                    if (::poll(&p, 1, 60000) <= 0 || ::recv(socket, buffer.data(), buffer.size(), 0) <= 0)
                        break;
                }
                ::shutdown(socket, SHUT_RDWR);
                writer.join();
                break;
            }
            case kUserCancels:
                // The engine alone must end the flow; the application's socket is only shut afterwards so a
                // failing test does not hang in the writer.
                flow->Record()->Close();
                ends[static_cast<size_t>(i)].closed = flow->WaitClosed();
                ::shutdown(socket, SHUT_RDWR);
                writer.join();
                break;
            }
            if (race != kUserCancels)
                ends[static_cast<size_t>(i)].closed = flow->WaitClosed();
            ends[static_cast<size_t>(i)].recordClosed = flow->Record()->IsClosed();
        });
    }
    for (auto& thread : threads)
        thread.join();
    poller.Stop();

    for (int i = 0; i < kFlows; ++i) {
        SCOPED_TRACE("flow " + std::to_string(i));
        ASSERT_EQ(ends[static_cast<size_t>(i)].connected, std::optional<bool>(true));
        EXPECT_TRUE(ends[static_cast<size_t>(i)].closed);
        EXPECT_TRUE(ends[static_cast<size_t>(i)].recordClosed);
    }
}

// Everything else a connection can go through, at once: plain HTTP through tinyproxy, placeholders whose names
// do not resolve (failed on the connect queue), a proxy nobody listens on, the user canceling connects under way,
// and the placeholder server answering name requests from dnsmasq. Each flow reports exactly one outcome.
TEST_F(WrapperMtTest, HttpFailuresCancelsAndResolvedAnswersAtOnce)
{
    Dnsmasq dnsmasq({ "--host-record=web.test,192.0.2.80" });
    ASSERT_TRUE(dnsmasq.ready());
    HttpOrigin origin("hello from the origin");
    EchoServer echo;
    auto tinyproxy = startTinyproxy();
    auto microsocks = startMicrosocks();
    const uint16_t dead = freeLoopbackPort();

    CProxy http("127.0.0.1", tinyproxy->port(), kProxyHttp, 1);
    CProxy socks("127.0.0.1", microsocks->port(), kProxySocks5, 2);
    CProxy nobody("127.0.0.1", dead, kProxySocks5, 3);
    auto ruleFor = [](const char* app, int action, int64_t id) {
        CRule rule = RuleWith(std::string("For ") + app, action, id);
        rule.m_Apps = { app };
        rule.m_AppsLower = { app };
        rule.m_AppsText = app;
        return rule;
    };
    UseProfile({ http, socks, nobody },
        { ruleFor("web", kActionProxy, 1), ruleFor("socks", kActionProxy, 2), ruleFor("dead", kActionProxy, 3),
            RuleWith("Default", kActionDirect) });
    const std::string unresolvable = Text(Placeholder("nosuch.test"));

    EngineDriver::Options options;
    options.resolver.systemServers = "127.0.0.1:" + std::to_string(dnsmasq.port());
    EngineDriver driver(app, options);
    Poller poller(app);

    enum Kind { kHttp, kUnresolvable, kDeadProxy, kCanceled, kKinds };
    constexpr int kFlows = 48;
    struct Outcome {
        std::optional<bool> connected;
        bool closed = false;
        std::string reply;
    };
    std::vector<Outcome> outcomes(kFlows);
    std::vector<std::thread> threads;
    for (int i = 0; i < kFlows; ++i) {
        threads.emplace_back([&, i] {
            Outcome& outcome = outcomes[static_cast<size_t>(i)];
            const auto kind = static_cast<Kind>(i % kKinds);
            const char* name
                = kind == kHttp ? "web" : (kind == kDeadProxy ? "dead" : (kind == kCanceled ? "socks" : "plain"));
            const AppNameWrapper who("", name, "", "", std::string("/usr/bin/") + name, 3000 + i);
            std::shared_ptr<EngineFlow> flow;
            switch (kind) {
            case kHttp:
                flow = driver.Open(who, "127.0.0.1", origin.port());
                break;
            case kUnresolvable:
                flow = driver.Open(who, unresolvable, 80);
                break;
            case kDeadProxy:
            case kCanceled:
                flow = driver.Open(who, "127.0.0.1", echo.port());
                break;
            default:
                break;
            }
            if (kind == kCanceled)
                flow->Record()->Close();
            outcome.connected = flow->WaitConnected();
            if (kind == kHttp && outcome.connected == std::optional<bool>(true))
                outcome.reply = HttpExchange(flow->AppSocket(),
                    { "GET /x HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(origin.port()) + "\r\n\r\n" });
            if (kind == kCanceled && outcome.connected == std::optional<bool>(true))
                (void)Exchange(flow->AppSocket(), Pattern(1000, 1)); // ends at once: the remote is shut down
            outcome.closed = flow->WaitClosed();
        });
    }

    // Meanwhile, name requests to the placeholder server.
    std::atomic<int> answers { 0 };
    std::atomic<int> failures { 0 };
    std::vector<std::thread> askers;
    for (int t = 0; t < 4; ++t) {
        askers.emplace_back([&, t] {
            const AppNameWrapper asking("", "plain", "", "", "/usr/bin/plain", 5000 + t);
            for (int n = 0; n < 25; ++n) {
                DnsWire wire;
                wire.header(static_cast<uint16_t>(n), 0x0100, 1, 0, 0, 0);
                wire.name({ n % 5 == 0 ? "nosuch" : "web", "test" }).u16(kDnsTypeA).u16(1);
                std::promise<bool> done;
                auto wrapper = ClientProcessorWrapper::create(app, options.resolver);
                if (!wrapper->processDnsRequest(wire.bytes, asking, "10.0.0.1", 53, true, driver.EventManager(),
                        [&](const std::string&, std::optional<std::vector<uint8_t>> answer) {
                            done.set_value(answer.has_value());
                        })) {
                    ++failures;
                    continue;
                }
                auto future = done.get_future();
                if (future.wait_for(30s) != std::future_status::ready)
                    ++failures;
                else if (future.get())
                    ++answers;
            }
        });
    }
    for (auto& thread : askers)
        thread.join();
    for (auto& thread : threads)
        thread.join();
    poller.Stop();

    for (int i = 0; i < kFlows; ++i) {
        SCOPED_TRACE("flow " + std::to_string(i));
        const Outcome& outcome = outcomes[static_cast<size_t>(i)];
        ASSERT_TRUE(outcome.connected.has_value());
        EXPECT_TRUE(outcome.closed);
        switch (static_cast<Kind>(i % kKinds)) {
        case kHttp:
            EXPECT_EQ(outcome.connected, std::optional<bool>(true));
            EXPECT_NE(outcome.reply.find("\r\n\r\nhello from the origin"), std::string::npos) << outcome.reply;
            break;
        case kUnresolvable:
        case kDeadProxy:
            EXPECT_EQ(outcome.connected, std::optional<bool>(false));
            break;
        default:
            break; // a cancel may come before or after the connect
        }
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(answers.load(), 4 * 20);
}

// Many fresh flows of one application offered at once, beyond the connection limit, with loop detection on: the
// loop handling fires on them and the limit turns the rest away, yet nothing is held. Every taken flow carries
// its bytes and ends, every other one has ended at once, and no record stays open.
TEST_F(WrapperMtTest, FlowsOfOneApplicationBeyondTheLimitAllEnd)
{
    // The loop check looks on every 50th listing, so twice that many taken flows meet one with 50 of them open.
    constexpr uint64_t kLimit = 2 * CCorvantisAppProxy::kConnLoopCount + 10;
    constexpr int kFlows = static_cast<int>(kLimit) + 20;
    EchoServer echo;
    UseProfile({}, { RuleWith("Default", kActionDirect) });
    ASSERT_TRUE(app.GetProfileLoopOption());
    CClientProcessor::SetConnectionLimit(kLimit);
    EngineDriver driver(app);

    struct Outcome {
        int decision = -1;
        std::optional<bool> connected;
        bool same = false;
        bool ended = false;
    };
    std::vector<Outcome> outcomes(kFlows);
    // All flows are listed and still open when the loop check looks, as with an application opening them at once.
    std::latch opened(kFlows);
    std::vector<std::thread> threads;
    for (int i = 0; i < kFlows; ++i) {
        threads.emplace_back([&, i] {
            Outcome& outcome = outcomes[static_cast<size_t>(i)];
            auto flow = driver.Open(Plain(6000 + i), "127.0.0.1", echo.port());
            outcome.decision = flow->Decision();
            opened.arrive_and_wait();
            if (flow->Started()) {
                outcome.connected = flow->WaitConnected();
                if (outcome.connected == std::optional<bool>(true)) {
                    const auto data = Pattern(4096, static_cast<uint32_t>(i));
                    outcome.same = Exchange(flow->AppSocket(), data) == data;
                }
            }
            outcome.ended = flow->WaitClosed();
        });
    }
    for (auto& thread : threads)
        thread.join();

    int taken = 0;
    for (int i = 0; i < kFlows; ++i) {
        SCOPED_TRACE("flow " + std::to_string(i));
        const Outcome& outcome = outcomes[static_cast<size_t>(i)];
        EXPECT_TRUE(outcome.ended);
        if (outcome.decision != ClientProcessorWrapper::kTaken)
            continue;
        ++taken;
        EXPECT_EQ(outcome.connected, std::optional<bool>(true));
        EXPECT_TRUE(outcome.same);
    }
    // The limit counts open connections: the one that finds it reached is the last taken (a few may pass it
    // together when they ask at the same moment).
    EXPECT_GT(taken, static_cast<int>(2 * CCorvantisAppProxy::kConnLoopCount));
    EXPECT_LT(taken, kFlows);
    const auto lines = Lines();
    EXPECT_TRUE(HasLineWith(lines, "Infinite loop connection detected"));
    EXPECT_TRUE(HasLineWith(lines, " connections total. Block new connection."));
    EXPECT_EQ(app.CountLiveConnections(), 0u);
}

} // namespace
} // namespace corvantis::test
