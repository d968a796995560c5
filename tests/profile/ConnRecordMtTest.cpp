#include "core/foundation/SafeSocket.h"
#include "core/profile/ConnRecord.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

CLogContext App(const std::string& process)
{
    CLogContext context;
    context.bsdName = process;
    return context;
}

std::shared_ptr<CSafeSocket> SocketWithPeer(int& peer)
{
    int ends[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    peer = ends[1];
    return std::make_shared<CSafeSocket>(ends[0]);
}

// The engine's threads count bytes and change texts while the list's reader writes the record's line: every line
// must parse as one row of this record, and no byte may be lost.
TEST(ConnRecordMtTest, LinesStayWholeWhileTheRecordChanges)
{
    constexpr int kWriters = 4;
    constexpr uint64_t kAdds = 20000;
    CConnRecord record(App("evil/app\nname"), CHost("10.0.0.5", 80, false));
    record.SetAction(2);

    std::atomic<bool> stop { false };
    std::atomic<long> lines { 0 };
    std::atomic<int> broken { 0 };
    std::thread reader([&] {
        uint64_t lastSent = 0;
        while (!stop.load()) {
            const auto rows = ParseConnList(record.GetText());
            if (rows.size() != 1 || rows[0].id != record.GetId() || rows[0].bytesSent < lastSent) {
                broken.fetch_add(1);
            } else {
                lastSent = rows[0].bytesSent;
            }
            lines.fetch_add(1);
        }
    });
    std::thread changer([&] {
        for (int i = 0; !stop.load(); ++i) {
            record.SetRuleName(i % 2 ? "Work/VPN" : "Home\nrule");
            record.SetProxyText(i % 2 ? "a/b" : "c\r\nd");
            record.SetTarget(CHost(i % 2 ? "2001:db8::1" : "x/y.example", 443, false));
            record.SetResolving(i % 3 == 0);
            record.SetFirstHopFamily(i % 2 ? AF_INET6 : AF_INET);
            record.SetForceProcessing(i % 5 == 0);
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&] {
            for (uint64_t i = 0; i < kAdds; ++i) {
                record.AddBytesSent(3);
                record.AddBytesReceived(5);
            }
        });
    }
    for (std::thread& t : writers)
        t.join();
    EXPECT_TRUE(test::waitUntil([&] { return lines.load() >= 200; }));
    stop.store(true);
    reader.join();
    changer.join();

    EXPECT_EQ(broken.load(), 0);
    EXPECT_EQ(record.GetBytesSent(), 3 * kWriters * kAdds);
    EXPECT_EQ(record.GetBytesReceived(), 5 * kWriters * kAdds);
}

// The user's close races the engine's establishment and closing. Whatever the order, the record ends closed with
// a status the states allow, both sockets end closed by the engine, and the line stays one row.
TEST(ConnRecordMtTest, CloseRacesTheEngine)
{
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        int clientPeer = -1;
        int remotePeer = -1;
        auto client = SocketWithPeer(clientPeer);
        auto remote = SocketWithPeer(remotePeer);
        CConnRecord record(App("curl"), CHost("10.0.0.5", 80, false));
        record.SetClientSocket(client);

        std::latch start(3);
        std::thread engine([&] {
            start.arrive_and_wait();
            record.SetRemoteSocket(remote);
            if (round % 2)
                record.MarkConnected();
            record.MarkClosed();
        });
        std::thread user([&] {
            start.arrive_and_wait();
            record.Close();
        });
        std::thread list([&] {
            start.arrive_and_wait();
            for (int i = 0; i < 5; ++i)
                EXPECT_EQ(ParseConnList(record.GetText()).size(), 1u);
        });
        engine.join();
        user.join();
        list.join();

        EXPECT_TRUE(record.IsClosed());
        EXPECT_TRUE(client->IsClosed());
        EXPECT_TRUE(remote->IsClosed());
        const auto rows = ParseConnList(record.GetText());
        ASSERT_EQ(rows.size(), 1u);
        const std::string& status = rows[0].status;
        const bool closedStatus = status == "Canceled" || status == "Failed"
            || (status.size() > 7 && status.compare(status.size() - 7, 7, " Closed") == 0);
        EXPECT_TRUE(closedStatus) << status;
        ::close(clientPeer);
        ::close(remotePeer);
    }
}

// An engine thread blocked in a receive on the client or the remote socket wakes when the user closes the
// connection from another thread; the engine then closes the record itself.
TEST(ConnRecordMtTest, CloseWakesBlockedReceives)
{
    int clientPeer = -1;
    int remotePeer = -1;
    auto client = SocketWithPeer(clientPeer);
    auto remote = SocketWithPeer(remotePeer);
    auto record = std::make_shared<CConnRecord>(App("curl"), CHost("10.0.0.5", 80, false));
    record->SetClientSocket(client);
    record->SetRemoteSocket(remote);
    record->MarkConnected();

    auto blockedRecv = [](std::shared_ptr<CSafeSocket> socket) {
        return std::async(std::launch::async, [socket] {
            char byte = 0;
            int error = 0;
            return socket->Recv(&byte, 1, 0, error);
        });
    };
    auto fromClient = blockedRecv(client);
    auto fromRemote = blockedRecv(remote);

    record->Close();
    const bool clientWoke = fromClient.wait_for(30s) == std::future_status::ready;
    const bool remoteWoke = fromRemote.wait_for(30s) == std::future_status::ready;
    if (!clientWoke || !remoteWoke) {
        // Unblock the threads so the test can end and report.
        ::shutdown(clientPeer, SHUT_RDWR);
        ::shutdown(remotePeer, SHUT_RDWR);
    }
    ASSERT_TRUE(clientWoke);
    ASSERT_TRUE(remoteWoke);
    EXPECT_EQ(fromClient.get(), 0);
    EXPECT_EQ(fromRemote.get(), 0);
    EXPECT_FALSE(record->IsClosed());

    record->MarkClosed();
    EXPECT_TRUE(client->IsClosed());
    EXPECT_TRUE(remote->IsClosed());
    const std::string status = ParseConnList(record->GetText()).at(0).status;
    EXPECT_EQ(status.substr(status.size() - 7), " Closed");
    ::close(clientPeer);
    ::close(remotePeer);
}

} // namespace
} // namespace corvantis
