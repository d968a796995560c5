#include "core/profile/ConnRecord.h"
#include "core/foundation/SafeSocket.h"

#include "tests/support/FakeSteadyClock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::FakeSteadyClock;

CLogContext App(const std::string& process, const std::string& bundle = "")
{
    CLogContext context;
    context.bsdName = process;
    context.revDns = bundle;
    context.pid = 4242;
    return context;
}

// The line's fields, split at "/" (the line feed removed).
std::vector<std::string> Fields(std::string line)
{
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    line.pop_back();
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t slash = line.find('/', start);
        fields.push_back(line.substr(start, slash - start));
        if (slash == std::string::npos)
            return fields;
        start = slash + 1;
    }
}

// Two ends of a connected stream, each in a wrapper the record can hold, and the raw ends that play the peers.
struct SocketPairs {
    std::shared_ptr<CSafeSocket> client;
    std::shared_ptr<CSafeSocket> remote;
    int clientPeer = -1;
    int remotePeer = -1;

    SocketPairs()
    {
        int a[2];
        int b[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, a), 0);
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, b), 0);
        client = std::make_shared<CSafeSocket>(a[0]);
        clientPeer = a[1];
        remote = std::make_shared<CSafeSocket>(b[0]);
        remotePeer = b[1];
    }
    ~SocketPairs()
    {
        ::close(clientPeer);
        ::close(remotePeer);
    }
};

bool PeerSeesEnd(int peer)
{
    char byte = 0;
    return ::recv(peer, &byte, 1, MSG_DONTWAIT) == 0;
}

bool DescriptorOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(ConnRecord, ExampleLineOfAnOpenProxiedConnection)
{
    FakeSteadyClock clock;
    CConnRecord record(App("Mail"), CHost("10.0.0.5", 993, false), clock.AsFunction());
    record.SetRuleName("Default");
    record.SetProxyText("192.168.1.2:1080");
    record.SetAction(2);
    clock.Advance(3s);
    record.MarkConnected();
    clock.Advance(12s);
    record.AddBytesSent(5339);
    record.AddBytesReceived(1069547);

    EXPECT_EQ(record.GetText(),
        std::to_string(record.GetId())
            + "/Mail/10.0.0.5:993/Default : 192.168.1.2:1080/00:12/1/0/5.21 KB/5339/1.01 MB/"
              "1069547\n");
}

TEST(ConnRecord, StatusFollowsTheState)
{
    struct Case {
        const char* name;
        std::function<void(CConnRecord&, FakeSteadyClock&)> run;
        const char* status;
        const char* opened;
        const char* closed;
    };
    const Case cases[] = {
        { "connecting", [](CConnRecord&, FakeSteadyClock& c) { c.Advance(5s); }, "00:05 Connecting", "0", "0" },
        { "resolving",
            [](CConnRecord& r, FakeSteadyClock& c) {
                r.SetResolving(true);
                c.Advance(65s);
            },
            "01:05 Resolving", "0", "0" },
        { "resolution ended, connecting again",
            [](CConnRecord& r, FakeSteadyClock& c) {
                r.SetResolving(true);
                c.Advance(2s);
                r.SetResolving(false);
            },
            "00:02 Connecting", "0", "0" },
        { "open, counted from the establishment",
            [](CConnRecord& r, FakeSteadyClock& c) {
                c.Advance(40s);
                r.MarkConnected();
                c.Advance(3725s);
            },
            "01:02:05", "1", "0" },
        { "open for less than a second",
            [](CConnRecord& r, FakeSteadyClock& c) {
                r.MarkConnected();
                c.Advance(999ms);
            },
            "<1 sec", "1", "0" },
        { "closed less than a second after establishment",
            [](CConnRecord& r, FakeSteadyClock& c) {
                c.Advance(1500ms);
                r.MarkConnected();
                c.Advance(900ms);
                r.MarkClosed();
                c.Advance(100s); // the lifetime is fixed at closing
            },
            "<1 sec Closed", "1", "1" },
        { "closed after a day",
            [](CConnRecord& r, FakeSteadyClock& c) {
                r.MarkConnected();
                c.Advance(std::chrono::seconds(86400 + 3600 + 61));
                r.MarkClosed();
            },
            "01.01:01:01 Closed", "1", "1" },
        { "failed", [](CConnRecord& r, FakeSteadyClock&) { r.MarkClosed(); }, "Failed", "0", "1" },
        { "canceled before establishment", [](CConnRecord& r, FakeSteadyClock&) { r.Close(); }, "Canceled", "0", "1" },
        { "canceled while open: open until the engine closes it",
            [](CConnRecord& r, FakeSteadyClock& c) {
                r.MarkConnected();
                c.Advance(7s);
                r.Close();
            },
            "00:07", "1", "0" },
        { "canceled while open, then closed by the engine",
            [](CConnRecord& r, FakeSteadyClock& c) {
                r.MarkConnected();
                c.Advance(7s);
                r.Close();
                r.MarkClosed();
            },
            "00:07 Closed", "1", "1" },
        { "a connect that completes after the cancel does not reopen",
            [](CConnRecord& r, FakeSteadyClock& c) {
                r.Close();
                c.Advance(1s);
                r.MarkConnected();
            },
            "Canceled", "0", "1" },
        { "a clock behind the time stamp gives no negative lifetime",
            [](CConnRecord& r, FakeSteadyClock& c) {
                r.MarkConnected();
                c.Advance(-50s);
                r.MarkClosed();
            },
            "<1 sec Closed", "1", "1" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSteadyClock clock;
        CConnRecord record(App("curl"), CHost("10.0.0.5", 80, false), clock.AsFunction());
        c.run(record, clock);
        const auto fields = Fields(record.GetText());
        ASSERT_EQ(fields.size(), 11u);
        EXPECT_EQ(fields[4], c.status);
        EXPECT_EQ(fields[5], c.opened);
        EXPECT_EQ(fields[6], c.closed);
    }
}

TEST(ConnRecord, LifetimeAndTimeStampOfClosing)
{
    FakeSteadyClock clock;
    CConnRecord record(App("curl"), CHost("10.0.0.5", 80, false), clock.AsFunction());
    EXPECT_EQ(record.GetTimeStamp(), clock.Now());
    clock.Advance(2s);
    record.MarkConnected();
    EXPECT_EQ(record.GetTimeStamp(), clock.Now());
    clock.Advance(75500ms);
    record.MarkClosed();
    EXPECT_EQ(record.GetLifetime(), 75u);
    EXPECT_EQ(record.GetTimeStamp(), clock.Now());
    EXPECT_TRUE(record.IsClosed());
    EXPECT_FALSE(record.IsCanceled());
}

TEST(ConnRecord, ProxyColumnAndIPv6Marks)
{
    struct Case {
        const char* name;
        const char* target;
        uint32_t action;
        bool forceProcessing;
        int firstHop;
        const char* targetField;
        const char* proxyField;
    };
    const Case cases[] = {
        { "blocked", "10.0.0.5", 0, false, AF_INET, "10.0.0.5:443", "R : P" },
        { "direct", "10.0.0.5", 1, false, AF_INET, "10.0.0.5:443", "R : direct connection" },
        { "direct, forced processing", "10.0.0.5", 1, true, AF_INET, "10.0.0.5:443", "R : direct connection (fp)" },
        { "direct to an IPv6 target", "2001:db8::1", 1, false, AF_INET6, "[2001:db8::1]:443 *IPv6",
            "R : direct connection" },
        { "proxy", "10.0.0.5", 2, false, AF_INET, "10.0.0.5:443", "R : P" },
        { "proxy reached over IPv6", "10.0.0.5", 2, false, AF_INET6, "10.0.0.5:443", "R : P (IPv6)" },
        { "chain", "10.0.0.5", 3, false, AF_INET, "10.0.0.5:443", "R : P proxy chain" },
        { "chain reached over IPv6", "2001:db8::1", 3, false, AF_INET6, "[2001:db8::1]:443 *IPv6",
            "R : P proxy chain (IPv6)" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CConnRecord record(App("curl"), CHost(c.target, 443, false));
        record.SetRuleName("R");
        record.SetProxyText("P");
        record.SetAction(c.action);
        record.SetForceProcessing(c.forceProcessing);
        record.SetFirstHopFamily(c.firstHop);
        const auto fields = Fields(record.GetText());
        ASSERT_EQ(fields.size(), 11u);
        EXPECT_EQ(fields[2], c.targetField);
        EXPECT_EQ(fields[3], c.proxyField);
    }
}

TEST(ConnRecord, ByteCountTexts)
{
    struct Case {
        uint64_t bytes;
        const char* text;
    };
    const Case cases[] = { { 0, "0" }, { 512, "512" }, { 1023, "1023" }, { 1024, "1.00 KB" }, { 10239, "9.99 KB" },
        { 5ull << 30, "5.00 GB" } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        CConnRecord record(App("curl"), CHost("10.0.0.5", 80, false));
        record.AddBytesSent(c.bytes);
        record.AddBytesReceived(c.bytes);
        const auto fields = Fields(record.GetText());
        ASSERT_EQ(fields.size(), 11u);
        EXPECT_EQ(fields[7], c.text);
        EXPECT_EQ(fields[8], std::to_string(c.bytes));
        EXPECT_EQ(fields[9], c.text);
        EXPECT_EQ(fields[10], std::to_string(c.bytes));
    }
}

TEST(ConnRecord, SentAndReceivedKeepTheirDirections)
{
    CConnRecord record(App("curl"), CHost("10.0.0.5", 80, false));
    record.AddBytesSent(100);
    record.AddBytesSent(28);
    record.AddBytesReceived(7);
    const auto rows = ParseConnList(record.GetText());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].bytesSent, 128u);
    EXPECT_EQ(rows[0].bytesReceived, 7u);
}

TEST(ConnRecord, DisplayName)
{
    struct Case {
        const char* name;
        CLogContext context;
        const char* text;
    };
    auto context = [](const char* shortName, const char* package, const char* process, const char* bundle) {
        CLogContext c;
        c.packetShortName = shortName;
        c.packetName = package;
        c.bsdName = process;
        c.revDns = bundle;
        return c;
    };
    const Case cases[] = {
        { "short name first", context("Mail", "Mail.app", "mail", ""), "Mail" },
        { "package name next", context("", "Mail.app", "mail", ""), "Mail.app" },
        { "process name last", context("", "", "mail", ""), "mail" },
        { "bundle appended without a blank", context("Mail", "", "", "org.example.mail"), "Mail(org.example.mail)" },
        { "bundle equal to the name", context("", "", "browser", "browser"), "browser" },
        { "only a bundle", context("", "", "", "org.example"), "(org.example)" },
        { "nothing known", context("", "", "", ""), "<unknown>" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GetDisplayName(c.context), c.text);
        CConnRecord record(c.context, CHost("10.0.0.5", 80, false));
        EXPECT_EQ(Fields(record.GetText())[1], c.text);
    }
}

TEST(ConnRecord, LowerCaseContextForMatching)
{
    CLogContext context;
    context.displayName = "Mail";
    context.revDns = "Org.Example.MAIL";
    context.bsdName = "MAIL";
    context.packetName = "Mail.App";
    context.packetShortName = "Mäil"; // bytes above ASCII stay as they are
    context.fullPath = "/Opt/Mail";
    context.pid = 77;
    CConnRecord record(context, CHost("10.0.0.5", 80, false));

    const CLogContext& lower = record.GetLogEvent();
    EXPECT_EQ(lower.displayName, "mail");
    EXPECT_EQ(lower.revDns, "org.example.mail");
    EXPECT_EQ(lower.bsdName, "mail");
    EXPECT_EQ(lower.packetName, "mail.app");
    EXPECT_EQ(lower.packetShortName, "mäil");
    EXPECT_EQ(lower.fullPath, "/opt/mail");
    EXPECT_EQ(lower.pid, 77);
    EXPECT_EQ(record.GetContext(), context);

    // A context in lower case already is its own lower-case copy: the record keeps it once.
    const CLogContext& mail = record.GetLogEvent();
    CConnRecord again(mail, CHost("10.0.0.5", 80, false));
    EXPECT_EQ(again.GetLogEvent(), mail);
    EXPECT_EQ(&again.GetLogEvent(), &again.GetContext());
}

TEST(ConnRecord, IdentifiersAreUniqueAndNotReused)
{
    uint64_t previous = 0;
    for (int i = 0; i < 3; ++i) {
        auto record = std::make_unique<CConnRecord>(App("curl"), CHost("10.0.0.5", 80, false));
        EXPECT_GT(record->GetId(), previous);
        previous = record->GetId();
    }
}

TEST(ConnRecord, EndpointTextForLogLines)
{
    CHost named(std::string("mail.example.com"), "10.0.0.5", 993, false);
    CConnRecord record(App("curl"), named);
    EXPECT_EQ(FormatConnEndpoint(record, false), "mail.example.com:993");
    EXPECT_EQ(FormatConnEndpoint(record, true), "mail.example.com(10.0.0.5):993");

    CConnRecord v6(App("curl"), CHost("2001:db8::1", 443, false));
    EXPECT_EQ(FormatConnEndpoint(v6, false), "[2001:db8::1]:443 (IPv6)");

    record.SetTarget(CHost("2001:db8::2", 22, false));
    EXPECT_EQ(FormatConnEndpoint(record, false), "[2001:db8::2]:22 (IPv6)");
}

TEST(ConnRecord, DataPathIsOwnedByTheRecord)
{
    CConnRecord record(App("curl"), CHost("10.0.0.5", 80, false));
    EXPECT_FALSE(record.HasDataPath());
    EXPECT_EQ(record.GetDataPath(), nullptr);
    record.SetDataPath(std::make_unique<CProxy>("192.168.1.2", 3128, kProxyHttp, 101));
    ASSERT_TRUE(record.HasDataPath());
    EXPECT_EQ(record.GetDataPath()->m_Type, kProxyHttp);
    EXPECT_EQ(record.GetDataPath()->m_Id, 101);
    record.SetDataPath(nullptr);
    EXPECT_FALSE(record.HasDataPath());
}

// The user's close comes from another thread than the one that owns the sockets: it shuts them down, which ends
// the connection for both peers, but leaves the descriptors to the owner, so their numbers cannot be reused
// while the engine still holds them.
TEST(ConnRecordClose, OpenConnectionIsShutDownNotClosed)
{
    SocketPairs sockets;
    CConnRecord record(App("curl"), CHost("10.0.0.5", 80, false));
    record.SetClientSocket(sockets.client);
    record.SetRemoteSocket(sockets.remote);
    record.MarkConnected();

    record.Close();
    EXPECT_TRUE(record.IsCanceled());
    EXPECT_FALSE(record.IsClosed());
    EXPECT_TRUE(PeerSeesEnd(sockets.clientPeer));
    EXPECT_TRUE(PeerSeesEnd(sockets.remotePeer));
    EXPECT_FALSE(sockets.client->IsClosed());
    EXPECT_FALSE(sockets.remote->IsClosed());
    EXPECT_TRUE(DescriptorOpen(sockets.client->GetSocket()));
    EXPECT_TRUE(DescriptorOpen(sockets.remote->GetSocket()));
    // The engine's next read sees the end, as after any close by a peer.
    char byte = 0;
    int error = 0;
    EXPECT_EQ(sockets.remote->Recv(&byte, 1, 0, error), 0);

    record.MarkClosed();
    EXPECT_TRUE(sockets.client->IsClosed());
    EXPECT_TRUE(sockets.remote->IsClosed());
    EXPECT_TRUE(record.IsClosed());
}

TEST(ConnRecordClose, UnopenedConnectionIsClosedAtOnceAndSocketsLeftToTheOwner)
{
    SocketPairs sockets;
    CConnRecord record(App("curl"), CHost("10.0.0.5", 80, false));
    record.SetClientSocket(sockets.client);
    record.SetRemoteSocket(sockets.remote);

    record.Close();
    EXPECT_TRUE(record.IsClosed());
    EXPECT_TRUE(record.IsCanceled());
    EXPECT_TRUE(PeerSeesEnd(sockets.remotePeer));
    EXPECT_FALSE(sockets.remote->IsClosed());

    record.MarkClosed(); // the engine, on the owning thread
    EXPECT_TRUE(sockets.client->IsClosed());
    EXPECT_TRUE(sockets.remote->IsClosed());
    EXPECT_EQ(Fields(record.GetText())[4], "Canceled");
}

TEST(ConnRecordClose, ClosedRecordIsLeftAlone)
{
    SocketPairs sockets;
    FakeSteadyClock clock;
    CConnRecord record(App("curl"), CHost("10.0.0.5", 80, false), clock.AsFunction());
    record.MarkClosed();
    const auto stamp = record.GetTimeStamp();
    record.SetClientSocket(sockets.client); // a socket a closed record still holds is not touched

    clock.Advance(10s);
    record.Close();
    EXPECT_FALSE(record.IsCanceled());
    EXPECT_EQ(record.GetTimeStamp(), stamp);
    EXPECT_EQ(Fields(record.GetText())[4], "Failed");
    EXPECT_FALSE(PeerSeesEnd(sockets.clientPeer));
}

TEST(ConnRecordClose, SocketStoredAfterTheCancelIsShutDown)
{
    SocketPairs sockets;
    CConnRecord record(App("curl"), CHost("10.0.0.5", 80, false));
    record.Close(); // while the engine still prepares the connect
    record.SetRemoteSocket(sockets.remote);
    EXPECT_TRUE(PeerSeesEnd(sockets.remotePeer));
    EXPECT_FALSE(sockets.remote->IsClosed());
}

TEST(ConnRecordClose, EmptySocketHoldersAreSkipped)
{
    CConnRecord opened(App("curl"), CHost("10.0.0.5", 80, false));
    opened.MarkConnected();
    opened.Close();
    opened.MarkClosed();
    EXPECT_TRUE(opened.IsClosed());

    CConnRecord unopened(App("curl"), CHost("10.0.0.5", 80, false));
    unopened.Close();
    EXPECT_TRUE(unopened.IsClosed());
}

} // namespace
} // namespace corvantis
