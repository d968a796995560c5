#include "core/proxy/PortForwarder.h"

#include "core/profile/TrafficStatistics.h"
#include "tests/proxy/PortForwarderTestSupport.h"
#include "tests/support/TempDir.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/socket.h>
#include <thread>

namespace corvantis {
namespace {

namespace fs = std::filesystem;
using test::patternBytes;
using test::readToEnd;
using test::RelayRig;
using test::TempDir;

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> namesIn(const fs::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

enum class Dump { none, folder, missingFolder };

// Whichever side ends its data first, the other direction still arrives whole, and the dumps hold exactly the
// bytes of each direction.
TEST(PortForwarderTest, OneSideEndingLeavesTheOtherDirectionWhole)
{
    struct Case {
        const char* name;
        bool clientEndsFirst;
        Dump dump;
        size_t replySize = 50000; // more than one receive buffer
        bool nonBlocking = false; // the engine's sockets are non-blocking
    };
    const Case cases[] = {
        { "client half-closes after its request, dumped", true, Dump::folder },
        { "client half-closes after its request, not dumped", true, Dump::none },
        { "server ends its reply before reading, dumped", false, Dump::folder },
        { "Traffic folder missing", true, Dump::missingFolder },
        { "large reply through non-blocking sockets, dumped", true, Dump::folder, 4 << 20, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir home;
        const fs::path traffic = home / "Traffic";
        fs::create_directory(traffic);
        std::optional<std::string> folder;
        if (c.dump == Dump::folder)
            folder = traffic.string();
        if (c.dump == Dump::missingFolder)
            folder = (home / "absent").string();

        const std::string request = patternBytes(3000, 1);
        const std::string reply = patternBytes(c.replySize, 2);
        RelayRig rig;
        if (c.nonBlocking) {
            ASSERT_TRUE(rig.record->GetClientSocket()->SetNonBlocking());
            ASSERT_TRUE(rig.record->GetRemoteSocket()->SetNonBlocking());
            // Small buffers towards the application, so the relay must wait for it to read.
            const int small = 32768;
            rig.record->GetClientSocket()->SetSockOpt(SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            rig.app->SetSockOpt(SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        CTrafficStatistics statistics;
        CPortForwarder forwarder(*rig.record, folder, &statistics);
        auto relay = std::async(std::launch::async, [&] { return forwarder.RelayLoop(); });

        std::thread server([&] {
            if (c.clientEndsFirst) {
                EXPECT_EQ(readToEnd(*rig.server), request);
                EXPECT_TRUE(rig.server->SendAll(reply.data(), reply.size(), 0));
                rig.server->ShutdownSend();
            } else {
                EXPECT_TRUE(rig.server->SendAll(reply.data(), reply.size(), 0));
                rig.server->ShutdownSend();
                EXPECT_EQ(readToEnd(*rig.server), request);
            }
        });
        std::string received;
        if (c.clientEndsFirst) {
            EXPECT_TRUE(rig.app->SendAll(request.data(), request.size(), 0));
            rig.app->ShutdownSend();
            received = readToEnd(*rig.app);
        } else {
            received = readToEnd(*rig.app);
            EXPECT_TRUE(rig.app->SendAll(request.data(), request.size(), 0));
            rig.app->ShutdownSend();
        }
        const bool ended = relay.wait_for(std::chrono::seconds(90)) == std::future_status::ready;
        EXPECT_TRUE(ended);
        if (!ended)
            rig.record->Close();
        EXPECT_TRUE(relay.get());
        // As the engine does after the relay: closing its sockets frees a peer still blocked in a send.
        rig.record->MarkClosed();
        server.join();
        EXPECT_EQ(forwarder.GetErrorText(), "");
        EXPECT_EQ(received, reply);
        EXPECT_EQ(rig.record->GetBytesSent(), request.size());
        EXPECT_EQ(rig.record->GetBytesReceived(), reply.size());
        EXPECT_EQ(statistics.GetTotalSent(), request.size());
        EXPECT_EQ(statistics.GetTotalReceived(), reply.size());

        if (c.dump == Dump::folder) {
            // The loop flushes the dumps when it ends, so they are complete before the object goes.
            EXPECT_EQ(fileText(forwarder.GetFromPath()), reply);
            EXPECT_EQ(fileText(forwarder.GetToPath()), request);
            const std::string from = fs::path(forwarder.GetFromPath()).filename().string();
            const std::string to = fs::path(forwarder.GetToPath()).filename().string();
            EXPECT_EQ(namesIn(traffic), (std::set<std::string> { from, to }));
            const std::regex shape(
                R"(unknown (FROM|TO) 10\.1\.2\.3_8080 AT (\d{4}_\d\d_\d\d \d\d_\d\d_\d\d_\d{3})\.dmp)");
            std::smatch fromMatch;
            std::smatch toMatch;
            ASSERT_TRUE(std::regex_match(from, fromMatch, shape)) << from;
            ASSERT_TRUE(std::regex_match(to, toMatch, shape)) << to;
            EXPECT_EQ(fromMatch[1], "FROM");
            EXPECT_EQ(toMatch[1], "TO");
            EXPECT_EQ(fromMatch[2], toMatch[2]) << "both directions share one stamp";
        } else {
            EXPECT_EQ(forwarder.GetFromPath(), "");
            EXPECT_EQ(forwarder.GetToPath(), "");
            EXPECT_TRUE(namesIn(traffic).empty());
            EXPECT_EQ(namesIn(home.path()), (std::set<std::string> { "Traffic" }));
        }
    }
}

// Urgent data is part of the stream: its byte is relayed in place and the relay goes on.
TEST(PortForwarderTest, UrgentDataIsRelayedNotTakenForAnEnd)
{
    TempDir home;
    RelayRig rig;
    CPortForwarder forwarder(*rig.record, home.str());
    auto relay = std::async(std::launch::async, [&] { return forwarder.RelayLoop(); });

    ASSERT_TRUE(rig.app->SendAll("abc", 3, 0));
    // Let "abc" reach the peer on its own, so the urgent byte cannot merge into it in one segment.
    char first[3];
    int error = 0;
    size_t got = 0;
    while (got < 3) {
        ssize_t n = rig.server->Recv(first + got, 3 - got, 0, error);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    ASSERT_EQ(rig.app->Send("X", 1, MSG_OOB, error), 1);
    ASSERT_TRUE(rig.app->SendAll("def", 3, 0));
    rig.app->ShutdownSend();
    EXPECT_EQ(std::string(first, 3) + readToEnd(*rig.server), "abcXdef");

    ASSERT_TRUE(rig.server->SendAll("ok", 2, 0));
    rig.server->ShutdownSend();
    EXPECT_EQ(readToEnd(*rig.app), "ok");
    ASSERT_EQ(relay.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(relay.get());
    EXPECT_EQ(fileText(forwarder.GetToPath()), "abcXdef");
    EXPECT_EQ(fileText(forwarder.GetFromPath()), "ok");
}

// Receives exactly `size` bytes (fewer only when the connection ends first).
std::string readExactly(CSafeSocket& socket, size_t size)
{
    std::string data(size, '\0');
    int error = 0;
    const ssize_t n = socket.Recv(data.data(), size, MSG_WAITALL, error);
    data.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return data;
}

// While both directions are open nothing limits how long a connection may stay silent (an ssh session, an IMAP
// IDLE, a pooled database connection): long after the half-closed idle time-out it still carries data both ways.
TEST(PortForwarderTest, IdleConnectionWithBothDirectionsOpenLivesOn)
{
    struct Case {
        const char* name;
        bool exchangeFirst;
    };
    const Case cases[] = { { "silent from the start", false }, { "silent after an exchange", true } };
    const auto idle = std::chrono::milliseconds(200);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RelayRig rig;
        CPortForwarder forwarder(*rig.record, std::nullopt, nullptr, idle);
        auto relay = std::async(std::launch::async, [&] { return forwarder.RelayLoop(); });
        if (c.exchangeFirst) {
            ASSERT_TRUE(rig.app->SendAll("ping", 4, 0));
            EXPECT_EQ(readExactly(*rig.server, 4), "ping");
        }
        // Silent for several idle periods: the relay must still be running.
        ASSERT_EQ(relay.wait_for(idle * 5), std::future_status::timeout);

        ASSERT_TRUE(rig.app->SendAll("request", 7, 0));
        EXPECT_EQ(readExactly(*rig.server, 7), "request");
        ASSERT_TRUE(rig.server->SendAll("reply", 5, 0));
        EXPECT_EQ(readExactly(*rig.app, 5), "reply");

        rig.app->ShutdownSend();
        EXPECT_EQ(readToEnd(*rig.server), "");
        rig.server->ShutdownSend();
        EXPECT_EQ(readToEnd(*rig.app), "");
        ASSERT_EQ(relay.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_TRUE(relay.get());
        EXPECT_EQ(rig.record->GetBytesSent(), c.exchangeFirst ? 11u : 7u);
        EXPECT_EQ(rig.record->GetBytesReceived(), 5u);
    }
}

// Once one side has ended its stream, the other direction ends after the idle time-out without data, counted
// from the half-close or the last byte moved, and both peers then see the end.
TEST(PortForwarderTest, HalfClosedConnectionEndsOnItsIdleBound)
{
    struct Case {
        const char* name;
        bool applicationEnds; // else the server ends its stream first
        bool dataAfterwards; // the open direction carries a piece a while after the half-close
    };
    const Case cases[] = {
        { "application half-closes, server silent", true, false },
        { "server half-closes, application silent", false, false },
        { "application half-closes, server answers later", true, true },
    };
    // Long enough that the late piece surely comes before the bound, even on a loaded machine.
    const auto idle = std::chrono::seconds(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RelayRig rig;
        CPortForwarder forwarder(*rig.record, std::nullopt, nullptr, idle);
        auto relay = std::async(std::launch::async, [&] { return forwarder.RelayLoop(); });
        CSafeSocket& ending = c.applicationEnds ? *rig.app : *rig.server;
        CSafeSocket& other = c.applicationEnds ? *rig.server : *rig.app;

        ending.ShutdownSend();
        auto lastMove = std::chrono::steady_clock::now();
        EXPECT_EQ(readToEnd(other), "") << "the end is passed on at once";
        if (c.dataAfterwards) {
            ASSERT_EQ(relay.wait_for(idle / 10), std::future_status::timeout);
            lastMove = std::chrono::steady_clock::now();
            ASSERT_TRUE(other.SendAll("late", 4, 0));
            EXPECT_EQ(readExactly(ending, 4), "late");
        }
        ASSERT_EQ(relay.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        const auto ended = std::chrono::steady_clock::now();
        EXPECT_TRUE(relay.get());
        EXPECT_GE(ended - lastMove, idle);
        EXPECT_EQ(readToEnd(ending), "");
        EXPECT_EQ(forwarder.GetErrorText(), "");
    }
}

// A peer that resets the connection ends the relay normally, and the application sees the end.
TEST(PortForwarderTest, ResetByThePeerEndsTheRelay)
{
    RelayRig rig;
    CPortForwarder forwarder(*rig.record, std::nullopt);
    auto relay = std::async(std::launch::async, [&] { return forwarder.RelayLoop(); });
    const linger abort { 1, 0 };
    rig.server->SetSockOpt(SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    rig.server->Close();
    ASSERT_EQ(relay.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(relay.get());
    EXPECT_EQ(forwarder.GetErrorText(), "");
    EXPECT_EQ(readToEnd(*rig.app), "");
}

TEST(PortForwarderTest, DumpNamesStayInsideTheTrafficFolder)
{
    struct Case {
        const char* name;
        std::string application;
        std::string target;
        std::string fromName; // empty: only the shape is checked
    };
    const std::string stamp = "2024_05_06 07_08_09_123";
    const Case cases[] = {
        { "IPv4 target", "unknown", "10.1.2.3:8080", "unknown FROM 10.1.2.3_8080 AT " + stamp + ".dmp" },
        { "IPv6 target", "curl", "[::1]:443", "curl FROM [__1]_443 AT " + stamp + ".dmp" },
        { "climbing out with ../", "../../evil", "../../../tmp/x:80",
            ".._.._evil FROM .._.._.._tmp_x_80 AT " + stamp + ".dmp" },
        { "absolute path", "/etc/passwd", "/root:22", "_etc_passwd FROM _root_22 AT " + stamp + ".dmp" },
        { "control bytes and NUL", std::string("a\nb\tc\x7f") + '\0' + "d", "h\r\n:1",
            "a_b_c__d FROM h___1 AT " + stamp + ".dmp" },
        { "overlong names", std::string(300, 'a'), std::string(300, 'h') + ":80", "" },
        { "overlong UTF-8 name", "\xc3\xa9" + std::string(299, 'a') + "\xc3\xa9\xc3\xa9\xc3\xa9",
            std::string(139, 'h') + "\xc3\xa9", "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir home;
        const fs::path traffic = home / "Traffic";
        fs::create_directory(traffic);
        TrafficDumpFiles files = OpenTrafficDumpFiles(traffic.string(), c.application, c.target, stamp);
        ASSERT_TRUE(files.from);
        ASSERT_TRUE(files.to);
        const fs::path fromPath(files.fromPath);
        const fs::path toPath(files.toPath);
        EXPECT_EQ(fromPath.parent_path(), traffic);
        EXPECT_EQ(toPath.parent_path(), traffic);
        const std::string from = fromPath.filename().string();
        const std::string to = toPath.filename().string();
        if (!c.fromName.empty()) {
            EXPECT_EQ(from, c.fromName);
        }
        const size_t fromAt = from.find(" FROM ");
        ASSERT_NE(fromAt, std::string::npos);
        EXPECT_EQ(to, from.substr(0, fromAt) + " TO " + from.substr(fromAt + 6));
        EXPECT_LE(from.size(), 255u);
        EXPECT_EQ(from.find(':'), std::string::npos);
        for (unsigned char byte : from)
            EXPECT_TRUE(byte >= 0x20 && byte != 0x7f) << int(byte);
        // A cut never splits a UTF-8 sequence: the name is still valid text with the whole characters kept.
        for (size_t i = 0; i < from.size(); ++i) {
            if ((static_cast<unsigned char>(from[i]) & 0xe0) == 0xc0) {
                EXPECT_TRUE(i + 1 < from.size() && (static_cast<unsigned char>(from[i + 1]) & 0xc0) == 0x80);
            }
        }
        EXPECT_EQ(namesIn(traffic), (std::set<std::string> { from, to }));
        EXPECT_EQ(namesIn(home.path()), (std::set<std::string> { "Traffic" }));
        EXPECT_EQ(fs::status(fromPath).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    }
}

TEST(PortForwarderTest, ApplicationNameFallsBackToUnknown)
{
    struct Case {
        const char* name;
        CLogContext context;
        const char* expected;
    };
    CLogContext nameless;
    nameless.fullPath = "/usr/bin/x";
    nameless.revDns = "org.example";
    CLogContext process;
    process.bsdName = "wget";
    CLogContext package = process;
    package.packetShortName = "Wget2";
    const Case cases[] = {
        { "no names at all", CLogContext {}, "unknown" },
        { "only path and bundle id", nameless, "unknown" },
        { "process name", process, "wget" },
        { "short package name first", package, "Wget2" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GetTrafficDumpApplication(c.context), c.expected);
    }
}

// Another connection's dump, or anything else already there under the name, is never opened, truncated or
// followed; the new pair takes the next free number, the same for both directions.
TEST(PortForwarderTest, DumpFilesNeverOverwriteExistingFiles)
{
    TempDir home;
    const fs::path traffic = home / "Traffic";
    fs::create_directory(traffic);
    const std::string stamp = "2024_05_06 07_08_09_123";
    const std::string base = "app FROM host_80 AT " + stamp;

    TrafficDumpFiles first = OpenTrafficDumpFiles(traffic.string(), "app", "host:80", stamp);
    ASSERT_TRUE(first.from && first.to);
    std::fputs("first connection", first.from.get());
    first.from.reset();
    EXPECT_EQ(fs::path(first.fromPath).filename(), base + ".dmp");

    TrafficDumpFiles second = OpenTrafficDumpFiles(traffic.string(), "app", "host:80", stamp);
    ASSERT_TRUE(second.from && second.to);
    EXPECT_EQ(fs::path(second.fromPath).filename(), base + " (2).dmp");
    EXPECT_EQ(fs::path(second.toPath).filename(), "app TO host_80 AT " + stamp + " (2).dmp");
    EXPECT_EQ(fileText(first.fromPath), "first connection");

    // Only the TO name of the next number is taken, by a link pointing outside: the pair moves on together.
    const fs::path outside = home / "outside";
    std::ofstream(outside) << "keep";
    fs::create_symlink(outside, traffic / ("app TO host_80 AT " + stamp + " (3).dmp"));
    TrafficDumpFiles third = OpenTrafficDumpFiles(traffic.string(), "app", "host:80", stamp);
    ASSERT_TRUE(third.from && third.to);
    EXPECT_EQ(fs::path(third.fromPath).filename(), base + " (4).dmp");
    EXPECT_EQ(fs::path(third.toPath).filename(), "app TO host_80 AT " + stamp + " (4).dmp");
    EXPECT_FALSE(fs::exists(traffic / (base + " (3).dmp")));
    std::fputs("third", third.to.get());
    third.to.reset();
    EXPECT_EQ(fileText(outside.string()), "keep");
}

TEST(PortForwarderDeathTest, ARecordWithoutBothSocketsIsAProgrammingError)
{
    RelayRig rig;
    CConnRecord noLocal(CLogContext {}, CHost("10.1.2.3", 80, false));
    noLocal.SetRemoteSocket(rig.server);
    CConnRecord noTarget(CLogContext {}, CHost("10.1.2.3", 80, false));
    noTarget.SetClientSocket(rig.app);
    EXPECT_DEATH(
        CPortForwarder(noLocal, std::nullopt), "CPortForwarder: Assertion failed: .*m_Connection.m_pLocalSock");
    EXPECT_DEATH(
        CPortForwarder(noTarget, std::nullopt), "CPortForwarder: Assertion failed: .*m_Connection.m_pTargetSock");
}

} // namespace
} // namespace corvantis
