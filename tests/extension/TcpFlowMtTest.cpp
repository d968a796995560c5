#include "tests/extension/FlowTestSupport.h"

#include "core/foundation/SystemUtils.h"

#include "tests/peers/EchoServer.h"
#include "tests/peers/HttpProxyPeers.h"
#include "tests/peers/ProxyPeers.h"
#include "tests/support/FileText.h"
#include "tests/support/HttpOrigin.h"
#include "tests/support/Sha256.h"

#include <fcntl.h>
#include <poll.h>

#include <filesystem>

namespace corvantis::test {
namespace {

// A server on loopback that serves each connection with `serve` on a thread of its own.
class ScriptedServer final {
public:
    explicit ScriptedServer(std::function<void(int fd)> serve, int backlog = 16)
        : m_serve(std::move(serve))
    {
        m_listener = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(m_listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(m_listener.get(), backlog), 0);
        ::getsockname(m_listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        if (m_serve)
            m_thread = std::thread([this] {
                for (;;) {
                    UniqueFd client(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
                    if (!client || m_stop)
                        return;
                    m_workers.emplace_back([this, fd = std::move(client)] { m_serve(fd.get()); });
                }
            });
    }
    ~ScriptedServer()
    {
        m_stop = true;
        ::shutdown(m_listener.get(), SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        for (auto& worker : m_workers)
            worker.join();
    }
    uint16_t port() const { return m_port; }

private:
    std::function<void(int)> m_serve;
    UniqueFd m_listener;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
    std::vector<std::thread> m_workers;
};

INSTANTIATE_TEST_SUITE_P(Pumps, TcpFlowTest, ::testing::Values(false, true), PumpName);

TEST_P(TcpFlowTest, FiveMebibytesEachWayOnEveryRoad)
{
    EchoServer echo;
    auto microsocks = startMicrosocks();
    auto dante = startDante();
    auto squid = startSquid();
    struct Case {
        const char* name;
        std::vector<CProxy> proxies;
        CRule rule;
    };
    const Case cases[] = {
        { "direct", {}, RuleWith("Direct", kActionDirect) },
        { "microsocks", { CProxy("127.0.0.1", microsocks->port(), kProxySocks5, 1) },
            RuleWith("Via microsocks", kActionProxy, 1) },
        { "dante", { CProxy("127.0.0.1", dante->port(), kProxySocks5, 1) }, RuleWith("Via dante", kActionProxy, 1) },
        { "squid CONNECT", { CProxy("127.0.0.1", squid->port(), kProxyHttps, 1) },
            RuleWith("Via squid", kActionProxy, 1) },
    };
    uint32_t seed = 7;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseProfile(c.proxies, { c.rule });
        auto offered = Offer(echo.port());
        ASSERT_TRUE(offered.taken);
        const auto data = Pattern(5 * kOneMiB, seed++);
        const auto back = Exchange(offered.application.get(), data, data.size());
        EXPECT_EQ(back.size(), data.size());
        EXPECT_EQ(Sha256Hex(back), Sha256Hex(data));
        offered.application.reset();
        EXPECT_TRUE(waitUntil([&] { return manager->flowCount() == 0; }));
    }
}

TEST_P(TcpFlowTest, APlainHttpRequestInTwoWritesThroughAnHttpProxy)
{
    HttpOrigin origin("the origin's answer");
    auto tinyproxy = startTinyproxy();
    UseProfile({ CProxy("127.0.0.1", tinyproxy->port(), kProxyHttp, 1) }, { RuleWith("Via HTTP", kActionProxy, 1) });
    auto offered = Offer(origin.port());
    ASSERT_TRUE(offered.taken);
    const std::string header = "GET /page HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(origin.port())
        + "\r\nUser-Agent: corvantis-test\r\nConnection: close\r\n\r\n";
    // The first piece ends inside the header: the engine keeps it, and the next read must still be issued.
    const std::string reply = HttpExchange(offered.application.get(), { header.substr(0, 25), header.substr(25) });
    EXPECT_EQ(reply.rfind("HTTP/1.", 0), 0u) << reply.substr(0, 200);
    EXPECT_NE(reply.find("the origin's answer"), std::string::npos);
    ASSERT_EQ(origin.seen().size(), 1u);
    EXPECT_EQ(origin.seen()[0].header.rfind("GET /page HTTP/1.", 0), 0u);
}

TEST_P(TcpFlowTest, TheCountsHoldEveryByteMoved)
{
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    const uint64_t sentBefore = app.GetStatistics().GetTotalSent();
    const uint64_t receivedBefore = app.GetStatistics().GetTotalReceived();
    auto offered = Offer(echo.port());
    ASSERT_TRUE(offered.taken);
    const auto data = Pattern(3 * kOneMiB + 17, 5);
    EXPECT_EQ(EchoedBack(offered.application.get(), data), data);
    // An open flow with nothing for the engine to prepare is in the splice pump when there is one.
    EXPECT_EQ(Spliced(), GetParam() ? 1u : 0u);
    offered.application.reset();
    EXPECT_TRUE(waitUntil([&] { return manager->flowCount() == 0; }));
    EXPECT_TRUE(waitUntil([&] { return Spliced() == 0; }));
    EXPECT_EQ(app.GetStatistics().GetTotalSent() - sentBefore, data.size());
    EXPECT_EQ(app.GetStatistics().GetTotalReceived() - receivedBefore, data.size());
}

TEST_P(TcpFlowTest, WithTrafficDumpsOnTheBytesGoThroughTheEngine)
{
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    std::filesystem::create_directories(GetTrafficDir());
    CAppSettings settings = app.GetSettings();
    settings.TrafficLogEnabled = true;
    app.SetSettings(settings);
    auto offered = Offer(echo.port());
    ASSERT_TRUE(offered.taken);
    const auto data = Pattern(200000, 8);
    EXPECT_EQ(EchoedBack(offered.application.get(), data), data);
    EXPECT_EQ(Spliced(), 0u);
    offered.application.reset();
    EXPECT_TRUE(waitUntil([&] { return manager->flowCount() == 0; }));
    std::vector<std::string> dumps;
    for (const auto& entry : std::filesystem::directory_iterator(GetTrafficDir())) {
        EXPECT_EQ(ReadFile(entry.path()), std::string(data.begin(), data.end())) << entry.path();
        dumps.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(dumps.size(), 2u) << "one file each way";
}

TEST_F(FlowTest, AStoppedSplicePumpLeavesTheBytesToTheQueues)
{
    auto pump = TcpSplicePump::open();
    ASSERT_TRUE(pump.ok());
    (*pump)->stop();
    queues.splice = *pump;
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto offered = Offer(echo.port());
    ASSERT_TRUE(offered.taken);
    const auto data = Pattern(kOneMiB, 6);
    EXPECT_EQ(Exchange(offered.application.get(), data, data.size()), data);
    EXPECT_EQ((*pump)->count(), 0u);
}

TEST_P(TcpFlowTest, ARemoteThatClosesAtOnceEndsTheFlowGracefully)
{
    ScriptedServer server([](int) {});
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto offered = Offer(server.port());
    ASSERT_TRUE(offered.taken);
    auto [received, err] = ReadAll(offered.application.get());
    EXPECT_EQ(err, 0) << "an orderly end, no reset";
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(waitUntil([&] { return ClosedLines() == 1; }));
    EXPECT_EQ(logs.startingWith("Corvantis close stream gracefully at processDownstream() ").size(), 1u);
    EXPECT_EQ(logs.startingWith("Corvantis flow closed nil").size(), 1u);
}

TEST_P(TcpFlowTest, AServerThatAnswersAfterTheRequestsEndIsHeardInFull)
{
    const auto answer = Pattern(3 * kOneMiB, 3);
    ScriptedServer server([&](int fd) {
        auto [request, err] = ReadAll(fd);
        if (err == 0 && std::string(request.begin(), request.end()) == "whole request")
            sendAll(fd, answer);
        ::shutdown(fd, SHUT_WR);
    });
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto offered = Offer(server.port());
    ASSERT_TRUE(offered.taken);
    ASSERT_TRUE(sendAll(offered.application.get(), "whole request"));
    ::shutdown(offered.application.get(), SHUT_WR);
    auto [received, err] = ReadAll(offered.application.get());
    EXPECT_EQ(err, 0);
    EXPECT_EQ(Checksum(received), Checksum(answer));
    EXPECT_EQ(received.size(), answer.size());
}

TEST_P(TcpFlowTest, AfterTheApplicationsEndASilentRemoteEndsTheFlowAtTheIdleLimit)
{
    constexpr auto kLimit = std::chrono::milliseconds(400);
    manager->closeAllFlows();
    MakeManager(std::chrono::seconds(5), kLimit);
    std::atomic<bool> release { false };
    ScriptedServer server([&](int fd) {
        // Reads the request and its end, then stays silent without closing.
        ReadAll(fd);
        waitUntil([&] { return release.load(); }, deadlineIn(std::chrono::seconds(30)));
    });
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto offered = Offer(server.port());
    ASSERT_TRUE(offered.taken);
    ASSERT_TRUE(sendAll(offered.application.get(), "request"));
    const auto ended = std::chrono::steady_clock::now();
    ::shutdown(offered.application.get(), SHUT_WR);
    auto [received, err] = ReadAll(offered.application.get());
    const auto waited = std::chrono::steady_clock::now() - ended;
    release = true;
    EXPECT_EQ(err, 0);
    EXPECT_GE(waited, kLimit);
    EXPECT_LT(waited, std::chrono::seconds(20));
}

TEST_F(FlowTest, ASplicedFlowOutOfDescriptorsWaitsForAPipeAndLosesNothing)
{
    // The system refuses pipes until the test allows them, as when the process is out of descriptors.
    std::atomic<bool> allowed { false };
    std::atomic<int> refused { 0 };
    auto pump = TcpSplicePump::open([&](int ends[2]) {
        if (allowed)
            return ::pipe2(ends, O_NONBLOCK | O_CLOEXEC);
        ++refused;
        errno = EMFILE;
        return -1;
    });
    ASSERT_TRUE(pump.ok());
    queues.splice = *pump;
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto offered = Offer(echo.port());
    ASSERT_TRUE(offered.taken);
    ASSERT_TRUE(waitUntil([&] { return (*pump)->count() == 1; }));
    const auto data = Pattern(kOneMiB, 21);
    ASSERT_TRUE(sendAll(offered.application.get(), data));
    EXPECT_TRUE(waitUntil([&] { return refused.load() >= 3; })) << "it keeps trying";
    EXPECT_EQ(manager->flowCount(), 1u) << "the flow lives on";
    allowed = true;
    auto [back, err] = ReadAll(offered.application.get(), data.size());
    EXPECT_EQ(err, 0);
    EXPECT_TRUE(back == data) << "every byte, in order, once a pipe could be made";
}

TEST_P(TcpFlowTest, AnOrderlyEndAtTheIdleLimitHandsOverEveryByteTakenFromTheRemote)
{
    constexpr auto kLimit = std::chrono::milliseconds(400);
    manager->closeAllFlows();
    MakeManager(std::chrono::seconds(5), kLimit);
    const auto answer = Pattern(48 * kOneMiB, 12);
    std::atomic<bool> release { false };
    ScriptedServer server([&](int fd) {
        // Answers more than the application takes, then waits: the remote falls silent with bytes on the way.
        (void)sendAll(fd, answer);
        waitUntil([&] { return release.load(); }, deadlineIn(std::chrono::seconds(30)));
    });
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    const uint64_t receivedBefore = app.GetStatistics().GetTotalReceived();
    auto offered = Offer(server.port());
    ASSERT_TRUE(offered.taken);
    const int small = 16384;
    ::setsockopt(offered.application.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(sendAll(offered.application.get(), "request"));
    ::shutdown(offered.application.get(), SHUT_WR);
    // The application reads nothing until the flow has ended at the idle limit.
    EXPECT_TRUE(waitUntil([&] { return manager->flowCount() == 0; }, deadlineIn(std::chrono::seconds(30))));
    auto [received, err] = ReadAll(offered.application.get());
    release = true;
    EXPECT_EQ(err, 0) << "an orderly end";
    ASSERT_LT(received.size(), answer.size()) << "the remote was cut short";
    EXPECT_TRUE(std::equal(received.begin(), received.end(), answer.begin())) << "in order, without a gap";
    EXPECT_EQ(app.GetStatistics().GetTotalReceived() - receivedBefore, received.size())
        << "every byte taken from the remote reached the application";
}

TEST_F(FlowTest, ABlockRuleResetsTheFlowAndRegistersNothing)
{
    EchoServer echo;
    UseProfile({}, { RuleWith("Block", kActionBlock) });
    auto offered = Offer(echo.port());
    EXPECT_TRUE(offered.taken) << "a refused flow is answered by the extension";
    EXPECT_EQ(manager->flowCount(), 0u);
    auto [received, err] = ReadAll(offered.application.get());
    EXPECT_EQ(err, ECONNRESET);
}

TEST_F(FlowTest, AFlowTheEngineDoesNotTakeIsLeftToTheSystem)
{
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) }, false);
    EXPECT_FALSE(Offer(echo.port()).taken);
    EXPECT_EQ(manager->flowCount(), 0u);
}

TEST_F(FlowTest, AnUnreachableProxyOpensThenClosesTheFlowAsAborted)
{
    const uint16_t closedPort = freeLoopbackPort();
    UseProfile({ CProxy("127.0.0.1", closedPort, kProxySocks5, 1) }, { RuleWith("Via nothing", kActionProxy, 1) });
    auto offered = Offer(80);
    ASSERT_TRUE(offered.taken);
    auto [received, err] = ReadAll(offered.application.get());
    EXPECT_EQ(err, ECONNRESET);
    EXPECT_TRUE(waitUntil([&] { return ClosedLines() == 1; }));
    EXPECT_EQ(logs.startingWith("Corvantis flow closing ").size(), 1u) << "opened first";
    const auto closed = logs.startingWith("Corvantis flow closed ");
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_NE(closed[0].find("Code=5"), std::string::npos) << closed[0];
}

TEST_F(FlowTest, AStopDuringTheConnectClosesOnceAndTheLateResultNothing)
{
    constexpr auto kConnectTimeout = std::chrono::milliseconds(500);
    manager->closeAllFlows();
    MakeManager(kConnectTimeout);
    // A listener that never accepts, its queue filled: a connect to it waits for its time-out.
    ScriptedServer full(nullptr, 0);
    std::vector<UniqueFd> fillers;
    for (int i = 0; i < 8; ++i) {
        UniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(full.port());
        ::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(std::move(filler));
    }
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto offered = Offer(full.port());
    ASSERT_TRUE(offered.taken);
    ASSERT_EQ(manager->flowCount(), 1u);
    manager->closeAllFlows();
    EXPECT_TRUE(waitUntil([&] { return ClosedLines() == 1; }));
    EXPECT_EQ(manager->flowCount(), 0u);
    // Past the connect's time-out its failure has been reported, and found nothing to close.
    std::this_thread::sleep_for(kConnectTimeout * 3);
    EXPECT_EQ(ClosedLines(), 1u);
    EXPECT_EQ(logs.startingWith("Corvantis flow closed nil").size(), 1u);
}

// With every connect unit in use the flow is still taken at once (the taking thread never waits for a unit), and
// its connect starts when a unit comes back.
TEST_F(FlowTest, AFlowTakenWhileEveryConnectUnitIsInUseConnectsWhenOneComesBack)
{
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    queues.connectSemaphore = ClientProcessorWrapper::MakeConnectSemaphore(0);
    auto offered = Offer(echo.port());
    ASSERT_TRUE(offered.taken);
    EXPECT_EQ(manager->flowCount(), 1u);
    ASSERT_TRUE(sendAll(offered.application.get(), "ab"));
    pollfd waiting { offered.application.get(), POLLIN, 0 };
    EXPECT_EQ(::poll(&waiting, 1, 300), 0) << "no connect without a unit";

    queues.connectSemaphore->signal();
    std::vector<uint8_t> back(2);
    ASSERT_EQ(::recv(offered.application.get(), back.data(), back.size(), MSG_WAITALL), 2);
    EXPECT_EQ(back, (std::vector<uint8_t> { 'a', 'b' }));
    EXPECT_TRUE(queues.connectSemaphore->waitFor(std::chrono::seconds(30))) << "the connect gave its unit back";
}

TEST_P(TcpFlowTest, BytesWaitingBeforeTheConnectThatFillTheRemoteAllArrive)
{
    // The application fills its way to the relay while the connect waits for a unit; once connected, the flow
    // starts with more than the remote takes at once, since its server reads only later.
    std::atomic<bool> readOn { false };
    std::mutex arrivedMutex;
    std::vector<uint8_t> arrived;
    ScriptedServer server([&](int fd) {
        waitUntil([&] { return readOn.load(); }, deadlineIn(std::chrono::seconds(60)));
        auto [data, err] = ReadAll(fd);
        std::lock_guard lock(arrivedMutex);
        arrived = std::move(data);
    });
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    queues.connectSemaphore = ClientProcessorWrapper::MakeConnectSemaphore(0);
    auto offered = Offer(server.port());
    ASSERT_TRUE(offered.taken);
    const int app = offered.application.get();
    ::fcntl(app, F_SETFL, ::fcntl(app, F_GETFL) | O_NONBLOCK);
    // A send buffer past the system's usual limit (root may set one) holds far more than the remote takes.
    const int large = 32 << 20;
    (void)::setsockopt(app, SOL_SOCKET, SO_SNDBUFFORCE, &large, sizeof large);
    const auto data = Pattern(64 * kOneMiB, 5);
    size_t taken = 0;
    for (;;) {
        const ssize_t n = ::send(app, data.data() + taken, data.size() - taken, MSG_NOSIGNAL);
        if (n > 0) {
            taken += static_cast<size_t>(n);
            continue;
        }
        pollfd room { app, POLLOUT, 0 };
        if (errno != EAGAIN || ::poll(&room, 1, 300) == 0)
            break;
    }
    ASSERT_EQ(errno, EAGAIN);
    ASSERT_GT(taken, 0u);

    queues.connectSemaphore->signal();
    // Time for the flow to start and meet the full remote.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    readOn = true;
    offered.application.reset();
    auto arrivedSize = [&] {
        std::lock_guard lock(arrivedMutex);
        return arrived.size();
    };
    EXPECT_TRUE(waitUntil([&] { return arrivedSize() == taken; }, deadlineIn(std::chrono::seconds(60))));
    std::lock_guard lock(arrivedMutex);
    ASSERT_EQ(arrived.size(), taken);
    EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), data.begin())) << "every byte, in order";
}

TEST_P(TcpFlowTest, TwoFailuresAtOnceCloseTheFlowOnce)
{
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto offered = Offer(echo.port());
    ASSERT_TRUE(offered.taken);
    // Round trip once, so the flow is open; the application does not end its side, so the flow stays.
    ASSERT_EQ(EchoedBack(offered.application.get(), { 'a', 'b' }).size(), 2u);
    ASSERT_EQ(manager->flowCount(), 1u);
    manager->closeAllFlows(); // one close...
    manager->closeAllFlows(); // ...and another, both before either has run
    EXPECT_TRUE(waitUntil([&] { return ClosedLines() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ClosedLines(), 1u);
}

TEST_P(TcpFlowTest, BackPressureFromAServerThatStopsReading)
{
    constexpr size_t kTotal = 64 * kOneMiB;
    std::atomic<bool> readOn { false };
    std::mutex arrivedMutex;
    std::vector<uint8_t> arrived;
    ScriptedServer server([&](int fd) {
        waitUntil([&] { return readOn.load(); }, deadlineIn(std::chrono::seconds(60)));
        auto [data, err] = ReadAll(fd, kTotal);
        std::lock_guard lock(arrivedMutex);
        arrived = std::move(data);
    });
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto offered = Offer(server.port());
    ASSERT_TRUE(offered.taken);
    const int app = offered.application.get();
    ::fcntl(app, F_SETFL, ::fcntl(app, F_GETFL) | O_NONBLOCK);
    const auto data = Pattern(kTotal, 99);
    size_t taken = 0;
    // The application writes until the pipeline is full: the flow reads nothing more while its bytes wait.
    auto deadline = deadlineIn(std::chrono::seconds(30));
    while (taken < kTotal && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = ::send(app, data.data() + taken, kTotal - taken, MSG_NOSIGNAL);
        if (n > 0) {
            taken += static_cast<size_t>(n);
            continue;
        }
        if (errno == EAGAIN) {
            // Give the pumps a moment to move what they can, then see whether room appeared.
            pollfd p { app, POLLOUT, 0 };
            if (::poll(&p, 1, 500) == 0)
                break;
            continue;
        }
        FAIL() << "send failed: " << errno;
    }
    EXPECT_LT(taken, kTotal) << "the application met a full pipeline";
    readOn = true;
    ::fcntl(app, F_SETFL, ::fcntl(app, F_GETFL) & ~O_NONBLOCK);
    ASSERT_TRUE(sendAll(app, data.data() + taken, kTotal - taken));
    auto arrivedSize = [&] {
        std::lock_guard lock(arrivedMutex);
        return arrived.size();
    };
    EXPECT_TRUE(waitUntil([&] { return arrivedSize() == kTotal; }, deadlineIn(std::chrono::seconds(60))));
    offered.application.reset();
    EXPECT_TRUE(waitUntil([&] { return manager->flowCount() == 0; }));
    std::lock_guard lock(arrivedMutex);
    EXPECT_EQ(arrived.size(), kTotal);
    EXPECT_TRUE(arrived == data) << "every byte, in order";
}

TEST_P(TcpFlowTest, BackPressureFromAnApplicationThatStopsReading)
{
    // The remote sends more than every buffer on the way holds while the application reads nothing; once it
    // reads again, the flow must notice the room it makes and go on to the last byte.
    constexpr size_t kTotal = 64 * kOneMiB;
    const auto data = Pattern(kTotal, 42);
    std::atomic<bool> serverDone { false };
    ScriptedServer server([&](int fd) {
        EXPECT_TRUE(sendAll(fd, data.data(), data.size()));
        ::shutdown(fd, SHUT_WR);
        serverDone = true;
    });
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto offered = Offer(server.port());
    ASSERT_TRUE(offered.taken);
    const int app = offered.application.get();
    // Long enough for the server to fill the whole way and stall.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(serverDone.load()) << "the bytes waited for the application";
    auto [arrived, err] = ReadAll(app, kTotal);
    EXPECT_EQ(err, 0);
    ASSERT_EQ(arrived.size(), kTotal);
    EXPECT_TRUE(arrived == data) << "every byte, in order";
    EXPECT_TRUE(waitUntil([&] { return serverDone.load(); }));
    offered.application.reset();
    EXPECT_TRUE(waitUntil([&] { return manager->flowCount() == 0; }));
}

} // namespace
} // namespace corvantis::test

namespace corvantis::test {
namespace {

int ThreadCount()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// A server that accepts every connection and holds it silently, on one thread in all. Its backlog takes a whole
// burst of connects: its accepts (a thread each) may be slower than the relay's connects, and a dropped SYN
// would make a connect wait for the retransmission, past the connect time-out under a slow sanitizer.
class SilentServer final {
public:
    SilentServer()
        : m_server(
            [this](int fd) {
                UniqueFd copy(::dup(fd));
                std::lock_guard lock(m_mutex);
                m_held.push_back(std::move(copy));
            },
            1024)
    {
    }
    uint16_t port() const { return m_server.port(); }

private:
    std::mutex m_mutex;
    std::vector<UniqueFd> m_held;
    ScriptedServer m_server;
};

TEST_F(FlowTest, AThousandIdleFlowsCostNoMoreThreadsThanTen)
{
    SilentServer server;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    std::vector<UniqueFd> applications;
    auto open = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            auto offered = Offer(server.port());
            ASSERT_TRUE(offered.taken);
            applications.push_back(std::move(offered.application));
        }
        ASSERT_TRUE(waitUntil([&] { return manager->flowCount() == applications.size(); }));
        // Every flow is connected and waiting on both sides once its open line is in the process log.
        ASSERT_TRUE(
            waitUntil([&] { return logs.startingWith("Corvantis tcp would block").size() >= applications.size(); },
                deadlineIn(std::chrono::seconds(60))));
    };
    // The thread pool keeps a few free threads for the next burst whatever the load was; a burst first makes
    // sure that the count with ten flows includes them, as it will with a thousand.
    {
        std::vector<DispatchQueuePtr> burst;
        std::atomic<int> done { 0 };
        for (int i = 0; i < 32; ++i) {
            burst.push_back(DispatchQueue::create("burst"));
            burst.back()->async([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                ++done;
            });
        }
        ASSERT_TRUE(waitUntil([&] { return done.load() == 32; }));
    }
    open(10);
    // The pool lets its other threads go after a while without work: wait until the count settles.
    int withTen = ThreadCount();
    for (auto deadline = deadlineIn(std::chrono::seconds(40)); std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const int now = ThreadCount();
        if (now == withTen && now <= 12)
            break;
        withTen = now;
    }
    open(990);
    EXPECT_TRUE(waitUntil([&] { return ThreadCount() <= withTen; }, deadlineIn(std::chrono::seconds(60))))
        << ThreadCount() << " threads with 1000 idle flows, " << withTen << " with 10";
}

} // namespace
} // namespace corvantis::test
