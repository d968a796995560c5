#include "ipc/IPCExportedObject.h"
#include "ipc/IPCInterfaces.h"
#include "ipc/IPCRemoteObject.h"
#include "tests/ipc/XpcTestSupport.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

using test::Latch;

// An extension stand-in that answers from fields the test sets.
class FakeExtension final : public IPCExtension {
public:
    void helloWithVersion(const std::string& version, StringReply reply) override
    {
        lastVersion.set(version);
        reply("3.12.2");
    }
    void updateSettingWithSettings(const PlistDict& settings, const std::string& profile, StringReply reply) override
    {
        receivedSettings.set(settings);
        reply("settings " + std::to_string(settings.size()) + " " + profile);
    }
    void retriveTickDataWithReply(TickDataReply reply) override
    {
        reply("stat", "log", "conn", PlistData { 1 }, PlistData { 2, 3 }, loop);
    }
    void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply) override
    {
        receivedEndpoint.set(endpoint);
        reply(true);
    }

    std::optional<std::string> loop;
    Latch<std::string> lastVersion;
    Latch<PlistDict> receivedSettings;
    Latch<XpcEndpoint> receivedEndpoint;
};

// One object for both hellos: the base protocol's and the GSS protocol's have the same selector and signature.
class BothHellos final : public IPCBaseProtcol, public GssIPCProtcol {
public:
    void helloWithVersion(const std::string& version, IPCBaseProtcol::StringReply reply) override
    {
        reply("both:" + version);
    }
    void retriveTokenWithProxyHostname(const std::string& host, TokenReply reply) override
    {
        reply(false, "no token for " + host, {});
    }
};

class IPCProtocolsTest : public ::testing::Test {
protected:
    // A listener exporting `object` with `protocol`'s interface; returns a connected client's connection with
    // `remote` as its remote interface.
    XpcConnectionPtr serve(XpcExportedObjectPtr object, IPCProtocol exported, IPCProtocol remote)
    {
        auto listener = XpcListener::createAnonymous(test::ownUidOnly());
        EXPECT_TRUE(listener.ok());
        (*listener)->setDelegate([object, exported](const XpcConnectionPtr& connection) {
            connection->setExportedInterface(IPCInterfaces::interfaceWithProtocol(exported));
            connection->setExportedObject(object);
            connection->resume();
            return true;
        });
        EXPECT_TRUE((*listener)->resume().ok());
        m_listeners.push_back(*listener);
        auto connection = XpcConnection::createWithEndpoint(*(*listener)->endpoint());
        connection->setRemoteObjectInterface(IPCInterfaces::interfaceWithProtocol(remote));
        connection->resume();
        m_connections.push_back(connection);
        return connection;
    }

    void TearDown() override
    {
        for (auto& listener : m_listeners)
            listener->invalidate();
        for (auto& connection : m_connections)
            connection->invalidate();
    }

    test::XpcLogCapture m_log;
    std::vector<XpcListenerPtr> m_listeners;
    std::vector<XpcConnectionPtr> m_connections;
};

TEST_F(IPCProtocolsTest, ExtensionCallsCrossWithTheirTypes)
{
    auto extension = std::make_shared<FakeExtension>();
    auto connection
        = serve(IPCExportedObject::forIPCExtension(extension), IPCProtocol::IPCExtension, IPCProtocol::IPCExtension);
    auto proxy = IPCRemoteObject::proxyAs<IPCExtension>(connection);
    ASSERT_TRUE(proxy);

    Latch<std::string> hello;
    proxy->helloWithVersion("3.12.2", [&](std::string v) { hello.set(v); });
    EXPECT_EQ(hello.wait(), "3.12.2");
    EXPECT_EQ(extension->lastVersion.wait(), "3.12.2");

    const PlistDict settings {
        { "SettingsLogLevelFile", PlistValue(3) },
        { "Profiles", PlistValue(PlistDict { { "default.ppx", PlistValue(PlistData { 1, 2 }) } }) },
        { "Ratio", PlistValue(0.25) },
        { "List", PlistValue(PlistArray { PlistValue("a"), PlistValue(true) }) },
    };
    Latch<std::string> status;
    proxy->updateSettingWithSettings(settings, "<profile/>", [&](std::string s) { status.set(s); });
    EXPECT_EQ(status.wait(), "settings 4 <profile/>");
    EXPECT_EQ(extension->receivedSettings.wait(), settings);

    XpcEndpoint endpoint { "corvantis-xpc-00", 12345 };
    Latch<bool> stored;
    proxy->setGssServerEndpointWithGssServerEndpoint(endpoint, [&](bool ok) { stored.set(ok); });
    EXPECT_EQ(stored.wait(), true);
    auto received = extension->receivedEndpoint.wait();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->name, endpoint.name);
    EXPECT_EQ(received->owner, ::geteuid()); // the sender, not what the sender claimed
}

TEST_F(IPCProtocolsTest, SixthTickValueKeepsAbsentApartFromEmpty)
{
    struct Case {
        const char* name;
        std::optional<std::string> loop;
    };
    const Case cases[] = { { "absent", std::nullopt }, { "empty", std::string() }, { "name", std::string("app") } };
    auto extension = std::make_shared<FakeExtension>();
    auto connection
        = serve(IPCExportedObject::forIPCExtension(extension), IPCProtocol::IPCExtension, IPCProtocol::IPCExtension);
    auto proxy = IPCRemoteObject::proxyAs<IPCExtension>(connection);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        extension->loop = c.loop;
        using Tick
            = std::tuple<std::string, std::string, std::string, PlistData, PlistData, std::optional<std::string>>;
        Latch<Tick> tick;
        proxy->retriveTickDataWithReply([&](std::string s, std::string l, std::string cn, PlistData up, PlistData down,
                                            std::optional<std::string> loop) {
            tick.set(Tick { s, l, cn, up, down, loop });
        });
        auto got = tick.wait();
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, Tick("stat", "log", "conn", PlistData { 1 }, PlistData { 2, 3 }, c.loop));
    }
}

TEST_F(IPCProtocolsTest, OneObjectServesBothHellos)
{
    auto both = std::make_shared<BothHellos>();
    auto base
        = serve(IPCExportedObject::forIPCBaseProtcol(both), IPCProtocol::IPCBaseProtcol, IPCProtocol::IPCBaseProtcol);
    auto gss = serve(IPCExportedObject::forGssIPCProtcol(both), IPCProtocol::GssIPCProtcol, IPCProtocol::GssIPCProtcol);
    Latch<std::string> fromBase;
    Latch<std::string> fromGss;
    IPCRemoteObject::proxyAs<IPCBaseProtcol>(base)->helloWithVersion("11", [&](std::string v) { fromBase.set(v); });
    IPCRemoteObject::proxyAs<GssIPCProtcol>(gss)->helloWithVersion("12", [&](std::string v) { fromGss.set(v); });
    EXPECT_EQ(fromBase.wait(), "both:11");
    EXPECT_EQ(fromGss.wait(), "both:12");

    using Token = std::tuple<bool, std::string, PlistData>;
    Latch<Token> token;
    IPCRemoteObject::proxyAs<GssIPCProtcol>(gss)->retriveTokenWithProxyHostname(
        "proxy.test", [&](bool ok, std::string text, PlistData data) {
            token.set(Token { ok, text, data });
        });
    EXPECT_EQ(token.wait(), Token(false, "no token for proxy.test", {}));
}

TEST_F(IPCProtocolsTest, TypedViewFollowsTheRemoteInterface)
{
    struct Case {
        IPCProtocol remote;
        bool base, extension, runHelper, gss;
    };
    const Case cases[] = {
        { IPCProtocol::IPCExtension, true, true, false, false },
        { IPCProtocol::IPCRunHelperProtcol, true, false, true, false },
        { IPCProtocol::IPCBaseProtcol, true, false, false, false },
        { IPCProtocol::GssIPCProtcol, false, false, false, true },
    };
    for (const Case& c : cases) {
        auto connection = XpcConnection::createForService("unused");
        connection->setRemoteObjectInterface(IPCInterfaces::interfaceWithProtocol(c.remote));
        EXPECT_EQ(IPCRemoteObject::proxyAs<IPCBaseProtcol>(connection) != nullptr, c.base);
        EXPECT_EQ(IPCRemoteObject::proxyAs<IPCExtension>(connection) != nullptr, c.extension);
        EXPECT_EQ(IPCRemoteObject::proxyAs<IPCRunHelperProtcol>(connection) != nullptr, c.runHelper);
        EXPECT_EQ(IPCRemoteObject::proxyAs<GssIPCProtcol>(connection) != nullptr, c.gss);
    }
    auto bare = XpcConnection::createForService("unused");
    EXPECT_FALSE(IPCRemoteObject::proxyAs<IPCBaseProtcol>(bare));
}

TEST_F(IPCProtocolsTest, SelectorTheObjectDoesNotServeEndsTheLinkInsteadOfHanging)
{
    // Exported with the extension's interface, but the object only knows the hello.
    auto both = std::make_shared<BothHellos>();
    auto connection
        = serve(IPCExportedObject::forIPCBaseProtcol(both), IPCProtocol::IPCExtension, IPCProtocol::IPCExtension);
    auto interrupted = std::make_shared<std::atomic<bool>>(false);
    connection->setInterruptionHandler([interrupted] { *interrupted = true; });
    auto proxy = IPCRemoteObject::proxyAs<IPCExtension>(connection);
    Latch<std::string> hello;
    proxy->helloWithVersion("x", [&](std::string v) { hello.set(v); });
    EXPECT_EQ(hello.wait(), "both:x");
    proxy->retriveTickDataWithReply(nullptr);
    EXPECT_TRUE(test::waitUntil([&] { return interrupted->load(); }));
    EXPECT_TRUE(m_log.contains("no exported object answers \"retriveTickDataWithReply:\"")) << m_log.joined();
}

} // namespace
} // namespace corvantis
