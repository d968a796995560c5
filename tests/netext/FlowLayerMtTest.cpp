#include "platform/netext/FlowInjector.h"
#include "platform/netext/NEAppProxyTCPFlow.h"
#include "platform/netext/NEAppProxyUDPFlow.h"
#include "tests/support/Loopback.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::deadlineIn;
using test::waitUntil;

struct ReadResult {
    std::optional<std::vector<uint8_t>> data;
    std::optional<FlowError> error;
};

ReadResult Read(const NEAppProxyTCPFlowPtr& flow)
{
    std::promise<ReadResult> done;
    flow->readDataWithCompletionHandler([&](std::optional<std::vector<uint8_t>> data, std::optional<FlowError> error) {
        done.set_value({ std::move(data), std::move(error) });
    });
    auto future = done.get_future();
    EXPECT_EQ(future.wait_for(20s), std::future_status::ready);
    return future.get();
}

std::optional<FlowError> Write(const NEAppProxyTCPFlowPtr& flow, std::vector<uint8_t> data)
{
    std::promise<std::optional<FlowError>> done;
    flow->writeData(std::move(data), [&](std::optional<FlowError> error) { done.set_value(std::move(error)); });
    auto future = done.get_future();
    EXPECT_EQ(future.wait_for(20s), std::future_status::ready);
    return future.get();
}

// Reads from the application's socket until its end of stream or a failure; the errno of a failure.
std::pair<std::vector<uint8_t>, int> ReadToEnd(int fd)
{
    std::vector<uint8_t> received;
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, 20000) <= 0)
            return { received, ETIMEDOUT };
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n == 0)
            return { received, 0 };
        if (n < 0)
            return { received, errno };
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
}

struct Pair {
    UniqueFd application;
    NEAppProxyTCPFlowPtr flow;
};

Pair MakeFlow()
{
    auto sockets = LoopbackTcpPair();
    EXPECT_TRUE(sockets);
    Pair pair;
    pair.application = std::move(sockets->first);
    pair.flow = NEAppProxyTCPFlow::create(std::move(sockets->second), NWEndpoint::Host("example.org", "443"),
        std::string("example.org"), { "curl", std::nullopt });
    return pair;
}

TEST(TcpFlowTest, ReadsWhatTheApplicationSendsThenItsEnd)
{
    Pair p = MakeFlow();
    std::promise<std::optional<FlowError>> opened;
    p.flow->openWithLocalEndpoint([&](std::optional<FlowError> error) { opened.set_value(error); });
    EXPECT_FALSE(opened.get_future().get());

    // A read waits for data.
    std::promise<ReadResult> pending;
    p.flow->readDataWithCompletionHandler(
        [&](std::optional<std::vector<uint8_t>> data, std::optional<FlowError> error) {
            pending.set_value({ std::move(data), std::move(error) });
        });
    auto future = pending.get_future();
    EXPECT_EQ(future.wait_for(100ms), std::future_status::timeout);
    // A second read while one is pending fails at once.
    const ReadResult second = Read(p.flow);
    ASSERT_TRUE(second.error);
    EXPECT_EQ(second.error->code, EBUSY);

    ASSERT_TRUE(test::sendAll(p.application.get(), "hello"));
    const ReadResult first = future.get();
    ASSERT_TRUE(first.data);
    EXPECT_EQ(std::string(first.data->begin(), first.data->end()), "hello");

    ::shutdown(p.application.get(), SHUT_WR);
    const ReadResult end = Read(p.flow);
    ASSERT_TRUE(end.data);
    EXPECT_TRUE(end.data->empty());
    EXPECT_FALSE(end.error);
}

TEST(TcpFlowTest, AnOrderlyCloseEndsTheApplicationsStreamAfterEveryByte)
{
    Pair p = MakeFlow();
    std::vector<uint8_t> data(3 * 1024 * 1024, 0x5A);
    std::thread reader([&] {
        auto [received, err] = ReadToEnd(p.application.get());
        EXPECT_EQ(err, 0);
        EXPECT_EQ(received.size(), data.size());
    });
    EXPECT_FALSE(Write(p.flow, data));
    p.flow->closeWriteWithError(std::nullopt);
    reader.join();
}

TEST(TcpFlowTest, AWriteCompletesOnlyOnceTheApplicationTookTheBytes)
{
    Pair p = MakeFlow();
    const std::vector<uint8_t> data(64 * 1024 * 1024, 0x11);
    std::atomic<bool> written { false };
    p.flow->writeData(data, [&](std::optional<FlowError> error) {
        EXPECT_FALSE(error);
        written = true;
    });
    // The application reads nothing: the socket buffers cannot hold 64 MiB.
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(written);
    auto [received, err] = std::pair<std::vector<uint8_t>, int> {};
    std::thread reader([&, fd = p.application.get()] {
        std::vector<uint8_t> buffer(65536);
        while (received.size() < data.size()) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            received.insert(received.end(), buffer.begin(), buffer.begin() + n);
        }
    });
    EXPECT_TRUE(waitUntil([&] { return written.load(); }));
    reader.join();
    EXPECT_EQ(received, data);
}

TEST(TcpFlowTest, ACloseWithAnErrorOrADroppedFlowResetsTheApplication)
{
    for (bool dropped : { false, true }) {
        SCOPED_TRACE(dropped ? "dropped" : "closed with an error");
        Pair p = MakeFlow();
        if (dropped)
            p.flow.reset();
        else
            p.flow->closeWriteWithError(NEAppProxyFlowError(kNEAppProxyFlowErrorPeerReset));
        auto [received, err] = ReadToEnd(p.application.get());
        EXPECT_EQ(err, ECONNRESET);
    }
}

TEST(TcpFlowTest, ClosingTheReadSideEndsAPendingRead)
{
    Pair p = MakeFlow();
    std::promise<ReadResult> pending;
    p.flow->readDataWithCompletionHandler(
        [&](std::optional<std::vector<uint8_t>> data, std::optional<FlowError> error) {
            pending.set_value({ std::move(data), std::move(error) });
        });
    p.flow->closeReadWithError(std::nullopt);
    const ReadResult result = pending.get_future().get();
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, kNEAppProxyFlowErrorAborted);
    EXPECT_TRUE(Write(p.flow, { 'x' }) == std::nullopt) << "the other direction still works";
}

TEST(TcpFlowTest, FlowsHaveUniqueHashesAndKeepTheirIdentity)
{
    Pair a = MakeFlow();
    Pair b = MakeFlow();
    EXPECT_NE(a.flow->hash(), b.flow->hash());
    EXPECT_EQ(a.flow->remoteEndpoint(), NWEndpoint::Host("example.org", "443"));
    EXPECT_EQ(a.flow->remoteHostname(), "example.org");
    EXPECT_EQ(a.flow->metaData().sourceAppSigningIdentifier, "curl");
}

TEST(UdpFlowTest, DatagramsInBatchesRepliesToTheSinkAndTheEnd)
{
    std::mutex mutex;
    std::vector<FlowDatagram> replies;
    auto flow = NEAppProxyUDPFlow::create(std::nullopt, { "dig", std::nullopt }, [&](const FlowDatagram& reply) {
        std::lock_guard lock(mutex);
        replies.push_back(reply);
    });
    flow->deliver({ { 1, 2 }, NWEndpoint::Host("10.0.0.1", "53") });
    flow->deliver({ { 3 }, NWEndpoint::Host("10.0.0.2", "53") });

    std::promise<std::optional<std::vector<FlowDatagram>>> batch;
    flow->readDatagramsWithCompletionHandler([&](std::optional<std::vector<FlowDatagram>> datagrams,
                                                 std::optional<FlowError>) { batch.set_value(datagrams); });
    const auto first = batch.get_future().get();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 2u);
    EXPECT_EQ((*first)[1].endpoint.hostname, "10.0.0.2");

    std::promise<std::optional<FlowError>> written;
    flow->writeDatagrams({ { { 9 }, NWEndpoint::Host("10.0.0.1", "53") } },
        [&](std::optional<FlowError> error) { written.set_value(error); });
    EXPECT_FALSE(written.get_future().get());
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].endpoint.hostname, "10.0.0.1");
    }

    flow->deliverEnd();
    std::promise<std::optional<std::vector<FlowDatagram>>> end;
    flow->readDatagramsWithCompletionHandler([&](std::optional<std::vector<FlowDatagram>> datagrams,
                                                 std::optional<FlowError>) { end.set_value(datagrams); });
    const auto last = end.get_future().get();
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->empty());

    flow->closeWriteWithError(NEAppProxyFlowError(kNEAppProxyFlowErrorHostUnreachable));
    flow->closeReadWithError(std::nullopt);
    const auto state = flow->closeState();
    EXPECT_TRUE(state.readClosed && state.writeClosed);
    ASSERT_TRUE(state.error);
    EXPECT_EQ(state.error->code, kNEAppProxyFlowErrorHostUnreachable);
}

TEST(FlowInjectorTest, OffersFlowsOnlyWhileStarted)
{
    FlowInjector injector;
    EXPECT_FALSE(injector.offerTcpOverLoopback(NWEndpoint::Other(), std::nullopt, {}).taken);

    NEAppProxyTCPFlowPtr seen;
    NWEndpoint udpEndpoint;
    injector.start({ [&](const NEAppProxyTCPFlowPtr& flow) {
                        seen = flow;
                        return flow->remoteEndpoint().port == "80";
                    },
        [&](const NEAppProxyUDPFlowPtr&, const NWEndpoint& endpoint) {
            udpEndpoint = endpoint;
            return true;
        } });
    auto offered = injector.offerTcpOverLoopback(
        NWEndpoint::Host("192.0.2.1", "80"), std::string("web.example"), { "wget", std::vector<uint8_t>(32, 0) });
    EXPECT_TRUE(offered.taken);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->remoteHostname(), "web.example");
    EXPECT_EQ(seen->metaData().sourceAppAuditToken->size(), 32u);
    // The two ends are connected.
    ASSERT_TRUE(test::sendAll(offered.application.get(), "ping"));
    const ReadResult read = Read(seen);
    ASSERT_TRUE(read.data);
    EXPECT_EQ(std::string(read.data->begin(), read.data->end()), "ping");

    EXPECT_FALSE(injector.offerTcpOverLoopback(NWEndpoint::Host("192.0.2.1", "81"), std::nullopt, {}).taken);
    EXPECT_TRUE(injector.offerUdp(NWEndpoint::Host("192.0.2.53", "53"), std::nullopt, {}, nullptr).taken);
    EXPECT_EQ(udpEndpoint.port, "53");

    injector.stop();
    EXPECT_FALSE(injector.offerTcpOverLoopback(NWEndpoint::Host("192.0.2.1", "80"), std::nullopt, {}).taken);
}

} // namespace
} // namespace corvantis
