#include "ipc/XPCClientForExtension.h"
#include "platform/PlistXml.h"
#include "tests/ipc/GssTestSupport.h"
#include "tests/ipc/XpcTestSupport.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace corvantis {
namespace {

using std::chrono::milliseconds;
using test::Latch;
using test::waitUntil;

constexpr uid_t kNobody = 65534;

// An installation tree in a temporary folder: bin/Corvantis (never run) and the manifest naming `service`.
class FakeTree final {
public:
    explicit FakeTree(const std::string& service)
    {
        std::filesystem::create_directories(m_dir / "bin");
        writeManifest("CorvantisExtension",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
            "<key>CFBundleShortVersionString</key><string>3.12.2</string>\n"
            "<key>NetworkExtension</key><dict><key>NEMachServiceName</key><string>"
                + service + "</string></dict>\n</dict>\n</plist>\n");
    }
    std::filesystem::path program() const { return m_dir / "bin" / "Corvantis"; }
    std::filesystem::path extensions() const { return m_dir / "share" / "corvantis" / "SystemExtensions"; }
    void writeManifest(const std::string& bundle, const std::string& text)
    {
        std::filesystem::create_directories(extensions() / bundle);
        std::ofstream(extensions() / bundle / "Info.plist") << text;
    }

private:
    test::TempDir m_dir;
};

// The extension stand-in in a process of its own (IpcStub.cpp, mode "extension").
class StubExtension final {
public:
    StubExtension(const std::string& service, std::optional<uid_t> extraUid = std::nullopt)
    {
        std::vector<std::string> argv { CORVANTIS_IPC_STUB, "extension", service };
        if (extraUid)
            argv.push_back(std::to_string(*extraUid));
        m_process = std::make_unique<test::LineReadingChild>(argv);
        EXPECT_EQ(next(), "ready");
    }
    // The next line the stub printed, or "" when none came.
    std::string next(milliseconds limit = std::chrono::seconds(20)) { return m_process->readLine(limit).value_or(""); }
    void kill() { m_process->stop(); }

private:
    std::unique_ptr<test::LineReadingChild> m_process;
};

using Tick = std::tuple<std::string, std::string, std::string, PlistData, PlistData, std::optional<std::string>>;

class XPCClientForExtensionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_service = "org.corvantis.test." + std::to_string(::getpid());
        m_tree = std::make_unique<FakeTree>(m_service);
    }

    std::shared_ptr<XPCClientForExtension> makeClient(XPCClientForExtension::Options options = {})
    {
        options.programPath = m_tree->program();
        auto client = XPCClientForExtension::create(std::move(options));
        m_clients.push_back(client);
        return client;
    }
    void TearDown() override
    {
        for (auto& client : m_clients)
            client->closeConnection();
    }

    static std::optional<std::string> hello(XPCClientForExtension& client)
    {
        Latch<std::string> answer;
        client.helloWithVersion("3.12.2", [&](std::string v) { answer.set(v); });
        return answer.wait();
    }
    static std::optional<std::string> settings(
        XPCClientForExtension& client, const PlistDict& values, const std::string& profile)
    {
        auto answer = std::make_shared<Latch<std::string>>();
        client.updateSettingWithSettings(values, profile, [answer](std::string v) { answer->set(v); });
        return answer->wait();
    }

    test::RuntimeDir m_runtime;
    test::XpcLogCapture m_log;
    std::string m_service;
    std::unique_ptr<FakeTree> m_tree;
    std::vector<std::shared_ptr<XPCClientForExtension>> m_clients;
};

TEST_F(XPCClientForExtensionTest, BuildTreeManifestNamesTheServiceAndTheVersion)
{
    const std::filesystem::path build = CORVANTIS_BUILD_DIR;
    auto name = XPCClientForExtension::findMachServiceName(build / "bin" / "Corvantis");
    ASSERT_TRUE(name.ok()) << name.status().message();
    EXPECT_EQ(*name, "com.velmar.corvantis.v3.macos.CorvantisExtension");

    std::ifstream file(build / "share/corvantis/SystemExtensions/CorvantisExtension/Info.plist");
    std::stringstream text;
    text << file.rdbuf();
    auto info = PlistXml::parse(text.str());
    ASSERT_TRUE(info.ok()) << info.status().message();
    ASSERT_TRUE(info->dict());
    EXPECT_EQ(info->dict()->at("CFBundleShortVersionString"), PlistValue("3.12.2"));
}

TEST_F(XPCClientForExtensionTest, CallsCrossToTheExtensionProcess)
{
    StubExtension stub(m_service);
    auto client = makeClient();
    EXPECT_EQ(client->machServiceName(), m_service);
    EXPECT_FALSE(client->isConnected());
    client->connect();
    EXPECT_TRUE(client->isConnected());

    EXPECT_EQ(hello(*client), "3.12.2");
    EXPECT_EQ(stub.next(), "hello 3.12.2");

    // The sixth tick value is absent until a setting names it.
    Latch<Tick> before;
    client->retriveTickDataWithReply(
        [&](std::string s, std::string l, std::string c, PlistData u, PlistData d, std::optional<std::string> loop) {
            before.set(Tick { s, l, c, u, d, loop });
        });
    EXPECT_EQ(before.wait(), Tick("stat", "log", "conn", PlistData { 1 }, PlistData { 2 }, std::nullopt));

    const PlistDict values { { "Loop", PlistValue("some app") }, { "SettingsLogLevelFile", PlistValue(3) } };
    EXPECT_EQ(settings(*client, values, "<profile/>"), "ok 2 <profile/>");
    Latch<Tick> after;
    client->retriveTickDataWithReply(
        [&](std::string s, std::string l, std::string c, PlistData u, PlistData d, std::optional<std::string> loop) {
            after.set(Tick { s, l, c, u, d, loop });
        });
    EXPECT_EQ(std::get<5>(after.wait().value()), "some app");

    // The endpoint crosses, and the extension can reach the listener behind it.
    test::StubGssService gss;
    Latch<bool> stored;
    client->setGssServerEndpointWithGssServerEndpoint(gss.endpoint(), [&](bool ok) { stored.set(ok); });
    EXPECT_EQ(stored.wait(), true);
    std::string line;
    while ((line = stub.next()).rfind("gss-hello", 0) != 0 && !line.empty()) { }
    EXPECT_EQ(line, "gss-hello stub 3.12.2");
}

TEST_F(XPCClientForExtensionTest, SecondRequestWhileOneIsOutstanding)
{
    StubExtension stub(m_service);
    auto client = makeClient();
    client->connect();
    auto held = std::make_shared<Latch<std::string>>();
    client->updateSettingWithSettings({}, "hold", [held](std::string v) { held->set(v); });

    Latch<std::thread::id> where;
    Latch<std::string> second;
    client->updateSettingWithSettings({}, "second", [&](std::string v) {
        where.set(std::this_thread::get_id());
        second.set(v);
    });
    EXPECT_EQ(second.wait(), "Other XPC task is in progress");
    EXPECT_NE(where.wait(), std::this_thread::get_id());

    Latch<std::string> busyHello;
    client->helloWithVersion("x", [&](std::string v) { busyHello.set(v); });
    EXPECT_EQ(busyHello.wait(), "<nil>");

    // Tick data and the endpoint are dropped while busy: never answered, never sent.
    Latch<bool> tick;
    client->retriveTickDataWithReply([&](auto...) { tick.set(true); });
    Latch<bool> endpoint;
    client->setGssServerEndpointWithGssServerEndpoint(XpcEndpoint { "x", {} }, [&](bool) { endpoint.set(true); });
    EXPECT_FALSE(tick.wait(milliseconds(300)));
    EXPECT_FALSE(endpoint.wait(milliseconds(1)));
    EXPECT_EQ(stub.next(), "settings hold");
    EXPECT_EQ(stub.next(milliseconds(100)), "");
    EXPECT_FALSE(held->peek());
}

TEST_F(XPCClientForExtensionTest, KilledExtensionNeverAnswersAndTheClientSaysNil)
{
    auto stub = std::make_unique<StubExtension>(m_service);
    auto client = makeClient();
    client->connect();
    auto held = std::make_shared<Latch<std::string>>();
    client->updateSettingWithSettings({}, "hold", [held](std::string v) { held->set(v); });
    EXPECT_EQ(stub->next(), "settings hold");

    stub->kill();
    ASSERT_TRUE(waitUntil([&] { return !client->isConnected(); }));
    EXPECT_EQ(hello(*client), "<nil>");
    EXPECT_EQ(settings(*client, {}, "p"), "XPC connection lost");
    EXPECT_FALSE(held->wait(milliseconds(100)));

    // connect() after the broken request: the next request is accepted at once, although the first was never
    // answered.
    stub = std::make_unique<StubExtension>(m_service);
    client->connect();
    EXPECT_EQ(hello(*client), "3.12.2");
    EXPECT_FALSE(held->peek());
}

TEST_F(XPCClientForExtensionTest, RequestMadeInsideAReplyIsAccepted)
{
    StubExtension stub(m_service);
    auto client = makeClient();
    client->connect();
    Latch<std::string> inner;
    client->helloWithVersion("3.12.2",
        [&](std::string) { client->updateSettingWithSettings({}, "inner", [&](std::string v) { inner.set(v); }); });
    EXPECT_EQ(inner.wait(), "ok 0 inner");
}

TEST_F(XPCClientForExtensionTest, ProtocolErrorBranch)
{
    StubExtension stub(m_service);
    XPCClientForExtension::Options options;
    options.proxyCast = [](const XpcConnectionPtr&) { return nullptr; };
    auto client = makeClient(std::move(options));
    client->connect();
    EXPECT_EQ(settings(*client, {}, "p"), "XPC protocol error");
    EXPECT_EQ(hello(*client), "<nil>");
    // Nothing reached the extension, and nothing is left in progress.
    EXPECT_EQ(stub.next(milliseconds(200)), "");
}

TEST_F(XPCClientForExtensionTest, LateHandlerOfAnOldConnectionLeavesTheNewOneAlone)
{
    StubExtension stub(m_service);
    auto client = makeClient();
    client->connect();
    // The hello's reply block holds the first connection's queue, where that connection's invalidation handler
    // then waits until the client is connected anew.
    Latch<bool> inReply;
    Latch<bool> release;
    client->helloWithVersion("x", [&](std::string) {
        inReply.set(true);
        release.wait();
    });
    ASSERT_TRUE(inReply.wait());
    client->closeConnection();
    client->connect();
    release.set(true);
    EXPECT_FALSE(waitUntil([&] { return !client->isConnected(); }, milliseconds(300)));
    EXPECT_EQ(hello(*client), "3.12.2");
}

TEST_F(XPCClientForExtensionTest, ClientOfAnotherUidIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client as another user";
    auto helloAs = [](uid_t uid, const std::string& target) {
        test::LineReadingChild client({ CORVANTIS_IPC_STUB, "client", std::to_string(uid), target, "0" });
        return client.readLine(std::chrono::seconds(30)).value_or("");
    };
    {
        StubExtension stub(m_service);
        // The file's mode would stop the other user first; opened up, the peer-credential check must.
        ASSERT_EQ(::chmod((m_runtime.path() + "/" + m_service).c_str(), 0666), 0);
        EXPECT_EQ(helloAs(kNobody, m_service), "no reply");
        EXPECT_EQ(helloAs(0, m_service), "reply 3.12.2");
    }
    {
        StubExtension admitting(m_service, kNobody);
        ASSERT_EQ(::chmod((m_runtime.path() + "/" + m_service).c_str(), 0666), 0);
        EXPECT_EQ(helloAs(kNobody, m_service), "reply 3.12.2");
    }

    // The application's GSS listener admits root and its own user only.
    test::LineReadingChild app({ CORVANTIS_IPC_STUB, "gss-app" });
    const std::string line = app.readLine(std::chrono::seconds(30)).value_or("");
    ASSERT_EQ(line.rfind("endpoint ", 0), 0u) << line;
    const std::string endpoint = "@" + line.substr(9);
    EXPECT_EQ(helloAs(kNobody, endpoint), "no reply");
    EXPECT_EQ(helloAs(0, endpoint), "reply 3.12.2");
}

using XPCClientForExtensionDeathTest = XPCClientForExtensionTest;

TEST_F(XPCClientForExtensionDeathTest, BrokenManifestStopsTheProgramWithItsReason)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto extensions = m_tree->extensions();
    auto create = [this] { makeClient(); };

    std::filesystem::rename(extensions, extensions.parent_path() / "Moved");
    // The death test runs the test again in a new process, with a tree of its own: its folder name differs.
    EXPECT_DEATH(create(),
        "Failed to get the contents of file://[^ ]*/share/corvantis/SystemExtensions/: No such file or directory");

    std::filesystem::create_directories(extensions);
    EXPECT_DEATH(create(), "Failed to find any system extensions");

    std::ofstream(extensions / "A file, not a bundle") << "x";
    EXPECT_DEATH(
        create(), "Failed to create a bundle with URL file://[^ ]*/SystemExtensions/A%20file,%20not%20a%20bundle");
    std::filesystem::remove(extensions / "A file, not a bundle");

    const char* broken[] = {
        "", // no Info.plist at all
        "<plist version=\"1.0\"><dict></dict></plist>",
        "<plist version=\"1.0\"><dict><key>NetworkExtension</key><string>x</string></dict></plist>",
        "<plist version=\"1.0\"><dict><key>NetworkExtension</key><dict><key>NEMachServiceName</key><integer>1</integer>"
        "</dict></dict></plist>",
        "not a property list",
    };
    for (const char* text : broken) {
        SCOPED_TRACE(text);
        std::filesystem::remove_all(extensions / "CorvantisExtension");
        std::filesystem::create_directories(extensions / "CorvantisExtension");
        if (*text)
            m_tree->writeManifest("CorvantisExtension", text);
        EXPECT_DEATH(create(), "Mach service name is missing from the Info.plist");
    }
}

} // namespace
} // namespace corvantis
