#include "platform/netext/TcpRedirectSource.h"

#include "platform/UniqueFd.h"
#include "platform/netext/AuditToken.h"
#include "platform/netext/SocketAddress.h"
#include "tests/support/Loopback.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <future>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::NetNamespace;
using test::waitUntil;

constexpr uint32_t kOwnMark = 0x5a19;
constexpr uint16_t kEchoPort = 7777; // the peer's server
constexpr uint16_t kClosedPort = 7778; // nobody listens
constexpr uint16_t kTakenPort = 80; // only the flow code answers

sockaddr_storage localOf(int fd)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

// `size` bytes no two runs of which line up with a shifted copy, so that a lost or repeated chunk shows.
std::vector<uint8_t> pattern(std::size_t size, uint32_t seed)
{
    std::vector<uint8_t> data(size);
    uint32_t state = seed;
    for (uint8_t& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return data;
}

// Everything `fd` (blocking) receives until its peer's orderly end; nothing on a reset, an error or when the end
// does not come in time.
std::optional<std::vector<uint8_t>> readToEnd(int fd)
{
    std::vector<uint8_t> data;
    const auto deadline = test::deadlineIn(test::kPatience);
    for (;;) {
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, test::millisLeft(deadline)) != 1)
            return std::nullopt;
        uint8_t buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0)
            return data;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        data.insert(data.end(), buffer, buffer + n);
    }
}

// Exactly `size` bytes from blocking `fd`; fewer when the connection ends first or they do not come in time.
std::string readExactly(int fd, std::size_t size)
{
    std::string data;
    const auto deadline = test::deadlineIn(test::kPatience);
    while (data.size() < size) {
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, test::millisLeft(deadline)) != 1)
            break;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, size - data.size()), 0);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

// Makes the send buffer of `fd` hold a whole exchange, so that a send of it completes with nobody reading.
bool bufferAll(int fd)
{
    const int size = 32 << 20;
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) == 0;
}

// How a connection the test holds ended: "end" (orderly), "reset", or "open" when it had not ended in time.
std::string endOf(int fd, std::chrono::milliseconds patience = test::kPatience)
{
    const auto deadline = test::deadlineIn(patience);
    for (;;) {
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, test::millisLeft(deadline)) != 1)
            return "open";
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0)
            return "end";
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return "reset";
    }
}

// One read of the flow: its data (empty at the application's end), or nothing on an error or when it takes too
// long.
std::optional<std::vector<uint8_t>> ReadFlow(const NEAppProxyTCPFlowPtr& flow)
{
    auto done = std::make_shared<std::promise<std::optional<std::vector<uint8_t>>>>();
    flow->readDataWithCompletionHandler(
        [done](std::optional<std::vector<uint8_t>> data, std::optional<FlowError> error) {
            done->set_value(error ? std::nullopt : std::move(data));
        });
    auto future = done->get_future();
    if (future.wait_for(test::kPatience) != std::future_status::ready)
        return std::nullopt;
    return future.get();
}

// Runs `start` with a completion and waits for it; true when it completed without an error.
bool Complete(const std::function<void(NEAppProxyFlow::Completion)>& start)
{
    auto done = std::make_shared<std::promise<bool>>();
    start([done](std::optional<FlowError> error) { done->set_value(!error); });
    auto future = done->get_future();
    return future.wait_for(test::kPatience) == std::future_status::ready && future.get();
}

// What the source asked and offered, in order.
class Calls {
public:
    struct Identified {
        sockaddr_storage client;
        sockaddr_storage destination;
    };

    // The identify callback: records the question and answers `metaData`.
    TcpRedirectSource::Identify identify(FlowMetaData metaData = {})
    {
        return [this, metaData](const sockaddr_storage& client, const sockaddr_storage& destination) {
            std::lock_guard lock(m_mutex);
            m_identified.push_back({ client, destination });
            return metaData;
        };
    }
    // The offer callback: records the flow and answers `take`.
    TcpRedirectSource::Offer offer(bool take)
    {
        return [this, take](const NEAppProxyTCPFlowPtr& flow) {
            std::lock_guard lock(m_mutex);
            m_offers.push_back(flow);
            return take;
        };
    }
    std::size_t offers()
    {
        std::lock_guard lock(m_mutex);
        return m_offers.size();
    }
    std::vector<Identified> identified()
    {
        std::lock_guard lock(m_mutex);
        return m_identified;
    }
    // The `index`th offered flow once it came; nothing when it does not come.
    NEAppProxyTCPFlowPtr flow(std::size_t index)
    {
        if (!waitUntil([&] { return offers() > index; }))
            return nullptr;
        std::lock_guard lock(m_mutex);
        return m_offers[index];
    }

private:
    std::mutex m_mutex;
    std::vector<Identified> m_identified;
    std::vector<NEAppProxyTCPFlowPtr> m_offers;
};

// A TCP server of the peer namespace on [address]:kEchoPort that runs `serve` on a thread of each connection's
// own.
class PeerServer {
public:
    using Serve = std::function<void(UniqueFd connection)>;

    PeerServer(UniqueFd listener, Serve serve)
        : m_listener(std::move(listener))
        , m_serve(std::move(serve))
    {
        m_thread = std::thread([this] { run(); });
    }
    ~PeerServer()
    {
        m_running = false;
        m_thread.join();
        for (std::thread& thread : m_connections)
            thread.join();
    }
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;

private:
    void run()
    {
        while (m_running) {
            pollfd p { m_listener.get(), POLLIN, 0 };
            if (::poll(&p, 1, 20) != 1)
                continue;
            UniqueFd connection(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (connection)
                m_connections.emplace_back(
                    [this, connection = std::move(connection)]() mutable { m_serve(std::move(connection)); });
        }
    }

    const UniqueFd m_listener;
    const Serve m_serve;
    std::atomic<bool> m_running { true };
    std::thread m_thread;
    std::vector<std::thread> m_connections;
};

// Echoes until the client's end, then ends too.
void Echo(UniqueFd connection)
{
    char buffer[65536];
    for (;;) {
        pollfd p { connection.get(), POLLIN, 0 };
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(test::kPatience).count())) != 1)
            return;
        const ssize_t n = ::recv(connection.get(), buffer, sizeof buffer, 0);
        if (n <= 0 || !test::sendAll(connection.get(), buffer, static_cast<std::size_t>(n)))
            return;
    }
}

// Two namespaces joined by a veth pair: the machine under test (10.0.0.1, fd00::1), where the source runs behind
// the redirect rules the daemon installs, and a peer (10.0.0.2, fd00::2) whose server listens on kEchoPort.
// Connections to the peer's kEchoPort and kClosedPort and to 10.9.9.9 / fd00::9 port 80 (which exist nowhere)
// are redirected to the source, except those carrying kOwnMark.
class TcpRedirectSourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!m_host.valid() || !m_peer.valid())
            GTEST_SKIP() << "needs root";
        ASSERT_TRUE(m_host.linkTo(m_peer));
    }

    // Opens the source in the host namespace and installs the rules that redirect connections to its port.
    std::unique_ptr<TcpRedirectSource> open(TcpRedirectSource::Identify identify, TcpRedirectSource::Offer offer)
    {
        TcpRedirectOptions options;
        options.ownMark = kOwnMark;
        options.makeSocket = [this](int domain, int type) { return m_host.socket(domain, type); };
        Result<std::unique_ptr<TcpRedirectSource>> opened = Status::error(EINVAL, "not run");
        EXPECT_TRUE(m_host.runInside(
            [&] { opened = TcpRedirectSource::open(options, std::move(identify), std::move(offer)); }));
        if (!opened.ok()) {
            ADD_FAILURE() << opened.status().message();
            return nullptr;
        }
        const std::string port = std::to_string(opened.value()->port());
        std::ostringstream ruleset;
        // Replaces the rules of a source opened before in the same test.
        ruleset << "table inet capture\n"
                << "delete table inet capture\n"
                << "table inet capture {\n"
                << "    chain tcp_capture {\n"
                << "        type nat hook output priority -100; policy accept;\n"
                << "        meta mark " << kOwnMark << " return\n"
                << "        meta l4proto tcp ip daddr 10.9.9.9 tcp dport " << kTakenPort << " redirect to :" << port
                << "\n"
                << "        meta l4proto tcp ip6 daddr fd00::9 tcp dport " << kTakenPort << " redirect to :" << port
                << "\n"
                << "        meta l4proto tcp ip daddr 10.0.0.2 tcp dport { " << kEchoPort << ", " << kClosedPort
                << " } redirect to :" << port << "\n"
                << "        meta l4proto tcp ip6 daddr fd00::2 tcp dport { " << kEchoPort << ", " << kClosedPort
                << " } redirect to :" << port << "\n"
                << "    }\n"
                << "}\n";
        EXPECT_TRUE(m_host.run("nft -f - <<'EOF'\n" + ruleset.str() + "EOF\n"));
        return std::move(opened.value());
    }

    // A blocking connection of the host namespace to host:port; an empty descriptor when it fails.
    UniqueFd connectTo(const std::string& host, uint16_t port)
    {
        const auto address = test::socketAddress(host, port);
        if (!address)
            return {};
        UniqueFd fd(m_host.socket(address->ss_family, SOCK_STREAM | SOCK_CLOEXEC));
        if (!fd
            || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), test::addressLength(*address)) != 0)
            return {};
        return fd;
    }

    // Serves [address]:kEchoPort of the peer namespace with `serve` until the test ends.
    void serve(const std::string& address, PeerServer::Serve serve)
    {
        const auto local = test::socketAddress(address, kEchoPort);
        ASSERT_TRUE(local);
        UniqueFd fd(m_peer.socket(local->ss_family, SOCK_STREAM | SOCK_CLOEXEC));
        ASSERT_TRUE(fd);
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ASSERT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*local), test::addressLength(*local)), 0);
        ASSERT_EQ(::listen(fd.get(), 16), 0);
        m_servers.push_back(std::make_unique<PeerServer>(std::move(fd), std::move(serve)));
    }

    // The host namespace's established connections to the peer's kEchoPort, one line each (`ss -tenH`).
    std::vector<std::string> connectionsToPeer()
    {
        std::istringstream lines(
            m_host.output("ss -tenH state established '( dport = :" + std::to_string(kEchoPort) + " )'"));
        std::vector<std::string> found;
        for (std::string line; std::getline(lines, line);)
            if (!line.empty())
                found.push_back(line);
        return found;
    }

    NetNamespace m_host { "tredir" };
    NetNamespace m_peer { "trpeer" };
    // Destroyed first: their connection threads end before the namespaces go.
    std::vector<std::unique_ptr<PeerServer>> m_servers;
};

struct Family {
    const char* name;
    int family;
    const char* target; // answered by nobody but the flow code
    const char* peer; // the peer's address
    const char* loopback; // the listener's own address
};

const Family kFamilies[] = {
    { "IPv4", AF_INET, "10.9.9.9", "10.0.0.2", "127.0.0.1" },
    { "IPv6", AF_INET6, "fd00::9", "fd00::2", "::1" },
};

TEST_F(TcpRedirectSourceTest, TakenConnectionBecomesAFlowToItsOriginalDestination)
{
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        Calls calls;
        auto source = open(calls.identify({ "probe", std::nullopt }), calls.offer(true));
        ASSERT_TRUE(source);
        UniqueFd app = connectTo(f.target, kTakenPort);
        ASSERT_TRUE(app);
        ASSERT_TRUE(test::sendAll(app.get(), "hello from the application"));

        const NEAppProxyTCPFlowPtr flow = calls.flow(0);
        ASSERT_TRUE(flow);
        EXPECT_EQ(flow->remoteEndpoint(), NWEndpoint::Host(f.target, std::to_string(kTakenPort)));
        EXPECT_EQ(flow->metaData().sourceAppSigningIdentifier, "probe");
        const auto identified = calls.identified();
        ASSERT_EQ(identified.size(), 1u);
        const sockaddr_storage own = localOf(app.get());
        EXPECT_EQ(SocketAddressText(identified[0].client), SocketAddressText(own));
        EXPECT_EQ(SocketPort(identified[0].client), SocketPort(own));
        EXPECT_EQ(SocketAddressText(identified[0].destination), f.target);
        EXPECT_EQ(SocketPort(identified[0].destination), kTakenPort);

        ASSERT_TRUE(Complete([&](auto done) { flow->openWithLocalEndpoint(std::move(done)); }));
        std::string received;
        while (received.size() < std::string("hello from the application").size()) {
            const auto data = ReadFlow(flow);
            ASSERT_TRUE(data && !data->empty());
            received.append(data->begin(), data->end());
        }
        EXPECT_EQ(received, "hello from the application");
        const std::string answer = "answer from the flow code";
        ASSERT_TRUE(Complete(
            [&](auto done) { flow->writeData(std::vector<uint8_t>(answer.begin(), answer.end()), std::move(done)); }));
        EXPECT_EQ(readExactly(app.get(), answer.size()), answer);
        EXPECT_EQ(source->relayedCount(), 0u);

        // The ends pass both ways too.
        ASSERT_EQ(::shutdown(app.get(), SHUT_WR), 0);
        const auto end = ReadFlow(flow);
        ASSERT_TRUE(end);
        EXPECT_TRUE(end->empty());
        flow->closeReadWithError(std::nullopt);
        flow->closeWriteWithError(std::nullopt);
        EXPECT_EQ(endOf(app.get()), "end");
        EXPECT_EQ(calls.offers(), 1u);
    }
}

// Who ends its sending side first in a relayed exchange of a few megabytes each way.
struct Exchange {
    const char* name;
    bool clientEndsFirst; // the client uploads and ends, then the server answers; else the reverse
};

const Exchange kExchanges[] = {
    { "client ends first", true },
    { "server ends first", false },
};

TEST_F(TcpRedirectSourceTest, DeclinedConnectionIsRelayedIntactWithItsHalfCloses)
{
    constexpr std::size_t kSize = 4 << 20;
    const std::vector<uint8_t> upload = pattern(kSize, 1);
    const std::vector<uint8_t> download = pattern(kSize + 12345, 2);
    for (const Family& f : kFamilies) {
        for (const Exchange& e : kExchanges) {
            SCOPED_TRACE(std::string(f.name) + ", " + e.name);
            m_servers.clear();
            // The server's side. Whoever ends first sends everything into a buffer large enough for all of it
            // and ends before the other side reads a byte: the relay then meets that end with the rest of the
            // data still waiting in it, and must not cut the rest off.
            auto uploadedPromise = std::make_shared<std::promise<std::optional<std::vector<uint8_t>>>>();
            auto serverDone = std::make_shared<std::promise<void>>();
            auto clientSent = std::make_shared<std::promise<void>>();
            std::shared_future<void> clientSentFuture = clientSent->get_future().share();
            // The server's end would take the relay's connection out of the established state that the mark
            // check looks for, so the server starts only after that check.
            auto marksChecked = std::make_shared<std::promise<void>>();
            std::shared_future<void> marksCheckedFuture = marksChecked->get_future().share();
            serve(f.peer, [&, uploadedPromise, serverDone, clientSentFuture, marksCheckedFuture](UniqueFd connection) {
                std::optional<std::vector<uint8_t>> received;
                if (e.clientEndsFirst) {
                    received = readToEnd(connection.get());
                    if (received && (!bufferAll(connection.get()) || !test::sendAll(connection.get(), download)))
                        received.reset();
                } else {
                    marksCheckedFuture.wait_for(test::kPatience);
                    const bool sent = test::sendAll(connection.get(), download);
                    ::shutdown(connection.get(), SHUT_WR);
                    if (sent && clientSentFuture.wait_for(test::kPatience) == std::future_status::ready)
                        received = readToEnd(connection.get());
                }
                connection.reset();
                uploadedPromise->set_value(std::move(received));
                serverDone->set_value();
            });
            Calls calls;
            auto source = open(calls.identify(), calls.offer(false));
            ASSERT_TRUE(source);
            UniqueFd app = connectTo(f.peer, kEchoPort);
            ASSERT_TRUE(app);
            ASSERT_TRUE(calls.flow(0));
            ASSERT_TRUE(waitUntil([&] { return source->relayedCount() == 1; }));

            // The relay's own connection to the peer carries the mark; the application's does not.
            std::vector<std::string> lines;
            waitUntil([&] {
                lines = connectionsToPeer();
                return lines.size() >= 2;
            });
            const std::string mark = "fwmark:" + [] {
                char text[16];
                std::snprintf(text, sizeof text, "%#x", kOwnMark);
                return std::string(text);
            }();
            const std::string appPort = ":" + std::to_string(SocketPort(localOf(app.get()))) + " ";
            ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
            for (const std::string& line : lines) {
                const bool isApp = line.find(appPort) != std::string::npos;
                EXPECT_EQ(line.find(mark) != std::string::npos, !isApp) << line;
            }
            marksChecked->set_value();

            std::optional<std::vector<uint8_t>> downloaded;
            if (e.clientEndsFirst) {
                ASSERT_TRUE(test::sendAll(app.get(), upload));
                ASSERT_EQ(::shutdown(app.get(), SHUT_WR), 0);
                ASSERT_EQ(serverDone->get_future().wait_for(test::kPatience), std::future_status::ready);
                downloaded = readToEnd(app.get());
            } else {
                downloaded = readToEnd(app.get());
                ASSERT_TRUE(bufferAll(app.get()));
                ASSERT_TRUE(test::sendAll(app.get(), upload));
                ASSERT_EQ(::shutdown(app.get(), SHUT_WR), 0);
                clientSent->set_value();
                ASSERT_EQ(serverDone->get_future().wait_for(test::kPatience), std::future_status::ready);
            }
            auto uploaded = uploadedPromise->get_future().get();
            ASSERT_TRUE(uploaded);
            EXPECT_TRUE(*uploaded == upload) << uploaded->size() << " bytes of " << upload.size();
            ASSERT_TRUE(downloaded);
            EXPECT_TRUE(*downloaded == download) << downloaded->size() << " bytes of " << download.size();
            EXPECT_TRUE(waitUntil([&] { return source->relayedCount() == 0; }));
            EXPECT_EQ(calls.offers(), 1u);
        }
    }
}

TEST_F(TcpRedirectSourceTest, DeclinedConnectionToAClosedPortIsResetPromptly)
{
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        Calls calls;
        auto source = open(calls.identify(), calls.offer(false));
        ASSERT_TRUE(source);
        const auto start = std::chrono::steady_clock::now();
        UniqueFd app = connectTo(f.peer, kClosedPort);
        ASSERT_TRUE(app) << "the listener accepts before the destination is tried";
        EXPECT_EQ(endOf(app.get()), "reset");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        EXPECT_EQ(calls.offers(), 1u);
        EXPECT_TRUE(waitUntil([&] { return source->relayedCount() == 0; }));
    }
}

TEST_F(TcpRedirectSourceTest, DaemonsOwnConnectionIsRelayedWithoutAnOffer)
{
    const auto token = AuditToken::ForProcess(::getpid(), 0);
    ASSERT_TRUE(token);
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        m_servers.clear();
        serve(f.peer, Echo);
        Calls calls;
        auto source = open(calls.identify({ "daemon", token->Bytes() }), calls.offer(true));
        ASSERT_TRUE(source);
        UniqueFd app = connectTo(f.peer, kEchoPort);
        ASSERT_TRUE(app);
        ASSERT_TRUE(test::sendAll(app.get(), "ping"));
        EXPECT_EQ(readExactly(app.get(), 4), "ping");
        EXPECT_EQ(source->relayedCount(), 1u);
        EXPECT_EQ(calls.identified().size(), 1u);
        EXPECT_EQ(calls.offers(), 0u);
        app.reset();
        EXPECT_TRUE(waitUntil([&] { return source->relayedCount() == 0; }));
    }
}

TEST_F(TcpRedirectSourceTest, ConnectionStraightToTheListenerIsDropped)
{
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        Calls calls;
        auto source = open(calls.identify(), calls.offer(true));
        ASSERT_TRUE(source);
        UniqueFd app = connectTo(f.loopback, source->port());
        ASSERT_TRUE(app);
        // Closed by the source without a look at who made it.
        EXPECT_NE(endOf(app.get()), "open");
        EXPECT_EQ(calls.identified().size(), 0u);
        EXPECT_EQ(calls.offers(), 0u);
        EXPECT_EQ(source->relayedCount(), 0u);

        // The source goes on serving redirected connections.
        UniqueFd redirected = connectTo(f.target, kTakenPort);
        ASSERT_TRUE(redirected);
        const NEAppProxyTCPFlowPtr flow = calls.flow(0);
        ASSERT_TRUE(flow);
        EXPECT_EQ(flow->remoteEndpoint(), NWEndpoint::Host(f.target, std::to_string(kTakenPort)));
    }
}

TEST_F(TcpRedirectSourceTest, StopEndsTheRelayedConnectionsPromptly)
{
    serve("10.0.0.2", Echo);
    serve("fd00::2", Echo);
    Calls calls;
    auto source = open(calls.identify(), calls.offer(false));
    ASSERT_TRUE(source);
    std::vector<UniqueFd> apps;
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        apps.push_back(connectTo(f.peer, kEchoPort));
        ASSERT_TRUE(apps.back());
        ASSERT_TRUE(test::sendAll(apps.back().get(), "ping"));
        EXPECT_EQ(readExactly(apps.back().get(), 4), "ping");
    }
    EXPECT_EQ(source->relayedCount(), apps.size());

    const auto start = std::chrono::steady_clock::now();
    source->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(source->relayedCount(), 0u);
    for (const UniqueFd& app : apps)
        EXPECT_EQ(endOf(app.get(), 10s), "reset");
}

} // namespace
} // namespace corvantis
