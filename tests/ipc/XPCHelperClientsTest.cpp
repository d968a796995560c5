#include "ipc/IPCInterfaces.h"
#include "ipc/IPCRemoteObject.h"
#include "ipc/XPCClient.h"
#include "ipc/XPCServer.h"
#include "ipc/XPCServiceClient.h"
#include "tests/ipc/XpcTestSupport.h"
#include "tests/support/Subprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

namespace corvantis {
namespace {

using std::chrono::milliseconds;
using test::Latch;
using test::waitUntil;

// The privileged-helper stand-in in a process of its own (IpcStub.cpp, mode "helper").
class StubHelper final {
public:
    explicit StubHelper(const std::string& service, std::optional<uid_t> runAs = std::nullopt)
    {
        std::vector<std::string> argv { CORVANTIS_IPC_STUB, "helper", service };
        if (runAs)
            argv.push_back(std::to_string(*runAs));
        m_process = std::make_unique<test::LineReadingChild>(argv);
        EXPECT_EQ(next(), "ready");
    }
    std::string next(milliseconds limit = std::chrono::seconds(20)) { return m_process->readLine(limit).value_or(""); }
    // Every line that comes before a quiet spell of `quiet`.
    std::vector<std::string> linesUntilQuiet(milliseconds quiet = milliseconds(300))
    {
        std::vector<std::string> lines;
        for (std::string line = next(quiet); !line.empty(); line = next(quiet))
            lines.push_back(line);
        return lines;
    }
    void kill() { m_process->stop(); }

private:
    std::unique_ptr<test::LineReadingChild> m_process;
};

class XPCHelperClientsTest : public ::testing::Test {
protected:
    test::RuntimeDir m_runtime;
    test::XpcLogCapture m_log;
};

TEST_F(XPCHelperClientsTest, RunHelperSendsOneHelloElevenAndNeverCallsItsBlock)
{
    StubHelper helper(XPCServiceClient::kHelperServiceName);
    XPCServiceClient client;
    auto called = std::make_shared<std::atomic<bool>>(false);
    client.runHelperWithReply([called](std::string) { *called = true; });
    // The helper's answer goes to the system log.
    ASSERT_TRUE(waitUntil([&] { return m_log.contains("helper"); })) << m_log.joined();
    EXPECT_EQ(helper.linesUntilQuiet(), (std::vector<std::string> { "accepted", "hello 11" }));
    EXPECT_FALSE(called->load());

    helper.kill();
    EXPECT_TRUE(waitUntil([&] { return m_log.contains("interruption"); })) << m_log.joined();
}

TEST_F(XPCHelperClientsTest, ServiceClientWithoutAHelperLogsInvalidation)
{
    XPCServiceClient client;
    client.runHelperWithReply(nullptr);
    EXPECT_TRUE(waitUntil([&] { return m_log.contains("invalidation"); })) << m_log.joined();
}

TEST_F(XPCHelperClientsTest, EachRunMakesAConnectionAndSaysHello)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the privileged option needs a server running as root";
    StubHelper helper("org.corvantis.test.helper");
    XPCClient client("org.corvantis.test.helper");
    client.run();
    client.run();
    auto lines = helper.linesUntilQuiet();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string> { "accepted", "accepted", "hello 3.12.2", "hello 3.12.2" }));
    EXPECT_TRUE(waitUntil([&] { return m_log.lines().size() >= 2; }));
    EXPECT_EQ(m_log.lines(), (std::vector<std::string> { "helper", "helper" }));
}

TEST_F(XPCHelperClientsTest, PrivilegedClientRefusesAServerThatIsNotRoot)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start the server as another user";
    // A server that is not root can only listen in a folder its user may write to.
    ASSERT_EQ(::chmod(m_runtime.path().c_str(), 01777), 0);
    StubHelper helper("org.corvantis.test.helper", 65534);
    XPCClient client("org.corvantis.test.helper");
    client.run();
    ASSERT_TRUE(waitUntil([&] { return m_log.contains("invalidation"); })) << m_log.joined();
    EXPECT_TRUE(m_log.contains("the server runs as uid 65534, not as root")) << m_log.joined();
    for (const std::string& line : helper.linesUntilQuiet())
        EXPECT_EQ(line.rfind("hello", 0), std::string::npos) << line;
}

TEST_F(XPCHelperClientsTest, ServerAcceptsOnlyItsFirstClientEver)
{
    auto server = XPCServer::create("org.corvantis.test.server");
    ASSERT_TRUE(server.ok()) << server.status().message();
    auto hello = [](const XpcConnectionPtr& connection) {
        auto answer = std::make_shared<Latch<std::string>>();
        auto ended = std::make_shared<Latch<bool>>();
        connection->setRemoteObjectInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::IPCBaseProtcol));
        connection->setInterruptionHandler([ended] { ended->set(true); });
        connection->setInvalidationHandler([ended] { ended->set(true); });
        connection->resume();
        IPCRemoteObject::proxyAs<IPCBaseProtcol>(connection)->helloWithVersion("ignored", [answer](std::string v) {
            answer->set(v);
        });
        // Either the answer comes or the link ends; a refused link ends without one.
        EXPECT_TRUE(waitUntil([&] { return answer->peek() || ended->peek(); }));
        return answer->peek().value_or("(refused)");
    };
    auto first = XpcConnection::createForService("org.corvantis.test.server");
    EXPECT_EQ(hello(first), "3.12.2");
    auto second = XpcConnection::createForService("org.corvantis.test.server");
    EXPECT_EQ(hello(second), "(refused)");
    first->invalidate();
    auto third = XpcConnection::createForService("org.corvantis.test.server");
    EXPECT_EQ(hello(third), "(refused)");
    second->invalidate();
    third->invalidate();
}

} // namespace
} // namespace corvantis
