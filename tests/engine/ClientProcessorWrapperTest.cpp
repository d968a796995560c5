#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

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

#include "AppNameWrapper.h"
#include "Chain.h"
#include "ClientProcessor.h"
#include "ClientProcessorWrapper.h"
#include "ConnRecord.h"
#include "CorvantisAppProxy.h"
#include "CorvantisCoreWrapper.h"
#include "DnsCodec.h"
#include "DnsWire.h"
#include "Log.h"
#include "ProfileData.h"
#include "ProgramHome.h"
#include "Proxy.h"
#include "Rule.h"
#include "SystemUtils.h"
#include "UniqueFd.h"
#include "peers/EchoServer.h"
#include "peers/HttpProxyPeers.h"
#include "peers/PeerProcess.h"
#include "peers/ProxyPeers.h"
#include "support/EngineDriver.h"
#include "support/TempDir.h"

namespace corvantis::test {
namespace {

constexpr size_t kOneMiB = 1024 * 1024;
using namespace std::chrono_literals;

AppNameWrapper Curl()
{
    return AppNameWrapper("", "curl", "", "", "/usr/bin/curl", 4242);
}

CRule RuleWith(const std::string& name, int action, int64_t id = -1)
{
    CRule rule(name);
    rule.m_Action = action;
    rule.m_ProxyId = id;
    return rule;
}

std::vector<std::string> Lines()
{
    std::vector<std::string> lines;
    bool isError = false;
    uint64_t time = 0;
    std::string line;
    while (GetLog().PopLogRecord(false, isError, time, line))
        lines.push_back(line);
    return lines;
}

bool HasLineWith(const std::vector<std::string>& lines, const std::string& part)
{
    for (const auto& line : lines)
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed)
{
    std::vector<uint8_t> data(size);
    uint32_t x = seed;
    for (auto& byte : data) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return data;
}

uint64_t Checksum(const std::vector<uint8_t>& data)
{
    uint64_t hash = 1469598103934665603ull;
    for (uint8_t byte : data)
        hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

// Writes `data` into the application's socket and reads until the engine ends the other side. With
// `expected`, reads that many bytes before ending its own side (proxies need not pass a half-close on); without,
// ends its side once everything is written.
std::vector<uint8_t> Exchange(int socket, const std::vector<uint8_t>& data, std::optional<size_t> expected = {})
{
    std::thread writer([&] {
        size_t offset = 0;
        while (offset < data.size()) {
            const ssize_t n = ::send(socket, data.data() + offset, data.size() - offset, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            offset += static_cast<size_t>(n);
        }
        if (!expected)
            ::shutdown(socket, SHUT_WR);
    });
    std::vector<uint8_t> received;
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        pollfd p { socket, POLLIN, 0 };
        if (::poll(&p, 1, 60000) <= 0)
            break;
        const ssize_t n = ::recv(socket, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
        if (expected && received.size() >= *expected)
            break;
    }
    writer.join();
    if (expected)
        ::shutdown(socket, SHUT_WR);
    return received;
}

// A loopback server that reads one connection to its end and then answers with `reply`.
class ReplyServer {
public:
    explicit ReplyServer(std::vector<uint8_t> reply)
        : m_reply(std::move(reply))
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
            UniqueFd connection(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!connection)
                return;
            std::vector<uint8_t> buffer(65536);
            for (;;) {
                const ssize_t n = ::recv(connection.get(), buffer.data(), buffer.size(), 0);
                if (n <= 0)
                    break;
                received.insert(received.end(), buffer.begin(), buffer.begin() + n);
            }
            ::send(connection.get(), m_reply.data(), m_reply.size(), MSG_NOSIGNAL);
            ::shutdown(connection.get(), SHUT_WR);
        });
    }
    ~ReplyServer()
    {
        ::shutdown(m_listener.get(), SHUT_RDWR);
        m_thread.join();
    }
    uint16_t port() const { return m_port; }
    std::vector<uint8_t> received; // read after the exchange ended

private:
    std::vector<uint8_t> m_reply;
    UniqueFd m_listener;
    uint16_t m_port = 0;
    std::thread m_thread;
};

// The extension's one object with a temporary home, as `theApp`, logging to the screen queue.
class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("CORVANTIS_EXTENSION_HOME");
        m_oldHome = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("CORVANTIS_EXTENSION_HOME", home.str().c_str(), 1);
        setCurrentProgram(Program::Extension);
        theApp = &app;
        GetLog().SetScreenLevel(kLogDebug);
        Lines();
        CorvantisCoreWrapper::applyAddressRange(10);
    }
    void TearDown() override
    {
        CAppSettings settings = app.GetSettings();
        settings.TrafficLogEnabled = false;
        app.SetSettings(settings);
        GetLog().SetScreenLevel(kLogError);
        Lines();
        if (m_oldHome)
            ::setenv("CORVANTIS_EXTENSION_HOME", m_oldHome->c_str(), 1);
        else
            ::unsetenv("CORVANTIS_EXTENSION_HOME");
    }
    // `rules` over the proxies, with a chain (id 50) of all of them.
    void UseProfile(std::vector<CProxy> proxies, std::vector<CRule> rules, bool handleDirect = true)
    {
        CProfileData profile;
        profile.m_Proxies = proxies;
        CChain chain("Test chain", 50);
        for (const auto& proxy : proxies)
            chain.m_Entries.push_back({ proxy.m_Id, true });
        profile.m_Chains = { chain };
        profile.m_Rules = std::move(rules);
        profile.m_HandleDirectConnections = handleDirect;
        app.SetProfile(profile, false);
    }
    uint32_t Placeholder(const std::string& name)
    {
        uint64_t ttl = 0;
        return app.GetDnsStorage().AddressForNameIPv4(name, true, nullptr, 0, nullptr, ttl);
    }
    static std::string Text(uint32_t address)
    {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &address, text, sizeof text);
        return text;
    }

    TempDir home;
    CCorvantisAppProxy& app = GetAppProxy();

private:
    std::optional<std::string> m_oldHome;
};

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

    // Another socket takes the closed remote socket's number before the flow goes away.
    const int oldNumber = flow->Wrapper()->getNativeHandler();
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

// With every connect unit in use the next connect waits until one is given back.
TEST_F(WrapperTest, ConnectWaitsWhileAllUnitsAreInUse)
{
    // A proxy that accepts and never answers keeps each connect in its handshake.
    UniqueFd silent(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent.get(), 8), 0);
    socklen_t length = sizeof address;
    ::getsockname(silent.get(), reinterpret_cast<sockaddr*>(&address), &length);
    UseProfile(
        { CProxy("127.0.0.1", ntohs(address.sin_port), kProxySocks5, 1) }, { RuleWith("Silent", kActionProxy, 1) });

    EngineDriver::Options options;
    options.maxConnects = 2;
    EngineDriver driver(app, options);
    std::vector<std::shared_ptr<EngineFlow>> flows;
    std::vector<UniqueFd> accepted;
    for (int i = 0; i < 2; ++i) {
        flows.push_back(driver.Open(Curl(), "127.0.0.1", 9));
        accepted.emplace_back(::accept4(silent.get(), nullptr, nullptr, SOCK_CLOEXEC));
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

// Addresses of answers that pass to the application are learnt by the table.
TEST_F(WrapperTest, DnsAnswersFeedTheTable)
{
    DnsWire wire;
    wire.header(7, 0x8180, 1, 1, 0, 0).name({ "learn", "example" }).u16(kDnsTypeA).u16(1);
    wire.pointer(12).u16(kDnsTypeA).u16(1).u32(120).u16(4).raw({ 198, 51, 100, 7 });
    ClientProcessorWrapper::processDnsAnswer(app, wire.bytes, Curl());
    uint32_t address = 0;
    ::inet_pton(AF_INET, "198.51.100.7", &address);
    EXPECT_EQ(app.NameForIPv4(address), "learn.example");

    ClientProcessorWrapper::processDnsAnswer(app, { 1, 2, 3 }, Curl());
    EXPECT_TRUE(HasLineWith(Lines(), "DNS answer cannot be parsed"));
}

} // namespace
} // namespace corvantis::test
