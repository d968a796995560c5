// How the daemon reads its capture options from its command line.

#include "extension/daemon/ExtensionStartup.h"
#include "platform/DefaultsStore.h"

#include <gtest/gtest.h>

namespace corvantis::test {
namespace {

// Sets the command line for one case and leaves none behind.
class CaptureOptionsTest : public ::testing::Test {
protected:
    void TearDown() override { DefaultsStore::standard().setArguments({}); }
    Result<SystemCaptureOptions> Read(const std::vector<std::string>& arguments)
    {
        DefaultsStore::standard().setArguments(arguments);
        return CaptureOptionsFromArguments();
    }
};

TEST_F(CaptureOptionsTest, TheDefaultsAndTheNumbersGiven)
{
    const auto defaults = Read({});
    ASSERT_TRUE(defaults.ok()) << defaults.status().message();
    EXPECT_EQ(defaults.value().capture.ownMark, 0x5a17u);
    EXPECT_EQ(defaults.value().capture.tproxyMark, 0x5a18u);
    EXPECT_EQ(defaults.value().routes.tproxyMark, 0x5a18u);
    EXPECT_EQ(defaults.value().routes.table, 0x5a17u);
    EXPECT_EQ(defaults.value().routes.protocol, 0x5a);
    EXPECT_FALSE(defaults.value().external);
    EXPECT_EQ(defaults.value().listenPort, 0);

    const auto given = Read({ "-SocketMark", "0x77", "-TproxyMark", "120", "-RouteTable", "0x10000", "-RouteProtocol",
        "200", "-FlowCapture", "external", "-FlowListen", "41000", "-AllowedUid", "1000" });
    ASSERT_TRUE(given.ok()) << given.status().message();
    EXPECT_EQ(given.value().capture.ownMark, 0x77u);
    EXPECT_EQ(given.value().capture.tproxyMark, 120u);
    EXPECT_EQ(given.value().routes.tproxyMark, 120u);
    EXPECT_EQ(given.value().routes.table, 0x10000u);
    EXPECT_EQ(given.value().routes.protocol, 200);
    EXPECT_TRUE(given.value().external);
    EXPECT_EQ(given.value().listenPort, 41000);
    EXPECT_EQ(AllowedUidFromArguments(), 1000u);
}

TEST_F(CaptureOptionsTest, AnOptionThatDoesNotFitIsAnErrorNamingIt)
{
    struct Case {
        std::vector<std::string> arguments;
        const char* named;
    };
    const Case cases[] = {
        { { "-SocketMark", "mark" }, "-SocketMark" },
        { { "-SocketMark", "-1" }, "-SocketMark" },
        { { "-SocketMark", "0x1ffffffff" }, "-SocketMark" },
        { { "-SocketMark", "0" }, "-SocketMark" },
        { { "-TproxyMark", "0x5a17" }, "-TproxyMark" },
        { { "-RouteTable", "254" }, "-RouteTable" },
        { { "-RouteTable", "0" }, "-RouteTable" },
        { { "-RouteProtocol", "256" }, "-RouteProtocol" },
        { { "-RouteProtocol", "4" }, "-RouteProtocol" },
        { { "-FlowListen", "65536" }, "-FlowListen" },
        { { "-FlowListen", "80x" }, "-FlowListen" },
        { { "-FlowCapture", "internal" }, "-FlowCapture" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front() + " " + c.arguments.back());
        const auto read = Read(c.arguments);
        ASSERT_FALSE(read.ok());
        EXPECT_NE(read.status().message().find(c.named), std::string::npos) << read.status().message();
    }
}

} // namespace
} // namespace corvantis::test
