#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <functional>
#include <string>

#include "tests/peers/ProxyPeers.h"

namespace corvantis::test {
namespace {

// Each real server starts on its own free loopback port, listens, and is gone (with its whole process group)
// once stopped.
TEST(PeerHarness, StartsListensAndStopsEachServer)
{
    struct Case {
        const char* name;
        std::function<PeerProcessPtr()> start;
    };
    const Case cases[] = {
        { "microsocks", [] { return startMicrosocks(); } },
        { "microsocks with password", [] { return startMicrosocks("alice", "secret"); } },
        { "danted", [] { return startDante(); } },
        { "socks4a script", [] { return startSocks4aServer(); } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto peer = c.start();
        ASSERT_TRUE(peer);
        EXPECT_NE(peer->port(), 0);
        EXPECT_TRUE(canConnect("127.0.0.1", peer->port()));
        const pid_t pid = peer->pid();
        peer->stop();
        const int rc = kill(-pid, 0);
        const int err = errno;
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(err, ESRCH);
    }
}

TEST(PeerHarness, FailedStartReportsTheServersOutput)
{
    const auto builder = [](uint16_t, const std::filesystem::path&) {
        PeerCommand command;
        command.name = "broken";
        command.argv = { "/bin/sh", "-c", "echo cannot-start-here; exit 3" };
        return command;
    };
    try {
        PeerProcess::start(builder, { .attempts = 2 });
        FAIL() << "a server that exits at once must not count as started";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot-start-here"), std::string::npos) << e.what();
    }
}

} // namespace
} // namespace corvantis::test
