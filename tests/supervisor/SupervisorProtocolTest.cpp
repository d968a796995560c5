// Configurations and extension properties as the supervisor's messages carry them.

#include "platform/sysext/SupervisorProtocol.h"
#include "tests/supervisor/SupervisorConfigurationText.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

NEConfiguration FullProxy()
{
    NEConfiguration configuration;
    configuration.identifier = "6F1D0C52-9E0B-4F57-A4C1-3B0E3C1D2A77";
    configuration.kind = NEConfigurationKind::TransparentProxy;
    configuration.localizedDescription = "Corvantis Data";
    configuration.enabled = true;
    NETunnelProviderProtocol protocol;
    protocol.username = "ünïcode user";
    protocol.serverAddress = "localhost";
    protocol.providerBundleIdentifier = "com.velmar.corvantis.v3.macos.CorvantisExtension";
    protocol.providerConfiguration = { { "a", "1" }, { "", "empty key" } };
    protocol.excludeLocalNetworks = true;
    protocol.includeAllNetworks = true;
    protocol.disconnectOnSleep = true;
    configuration.tunnelProtocol = protocol;
    return configuration;
}

TEST(SupervisorProtocolTest, ConfigurationsSurviveTheTrip)
{
    NEConfiguration dns;
    dns.kind = NEConfigurationKind::DnsProxy;
    dns.dnsProtocol = NEDNSProxyProviderProtocol { "com.velmar.corvantis.v3.macos.CorvantisExtension" };
    NEConfiguration filter;
    filter.kind = NEConfigurationKind::ContentFilter;
    filter.enabled = true;
    filter.filterConfiguration = NEFilterProviderConfiguration { true, false };
    NEConfiguration bare;
    const struct {
        const char* name;
        NEConfiguration configuration;
    } cases[] = {
        { "a transparent proxy with every field", FullProxy() },
        { "a new DNS proxy (no identifier yet)", dns },
        { "a content filter", filter },
        { "no protocol at all", bare },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const XpcObject value = ConfigurationToXpc(c.configuration);
        // What goes over the wire must be a pure property list.
        ASSERT_TRUE(value.toPlist().has_value());
        const auto decoded = ConfigurationFromXpc(value);
        ASSERT_TRUE(decoded.ok()) << decoded.status().message();
        EXPECT_EQ(test::ConfigurationText(decoded.value()), test::ConfigurationText(c.configuration));
    }
}

TEST(SupervisorProtocolTest, MalformedConfigurationsAreRefusedWithTheField)
{
    const auto with = [](const std::string& key, XpcObject value) {
        XpcDict dict = *ConfigurationToXpc(FullProxy()).dict();
        dict[key] = std::move(value);
        return XpcObject(std::move(dict));
    };
    const auto withTunnel = [](const std::string& key, XpcObject value) {
        XpcDict dict = *ConfigurationToXpc(FullProxy()).dict();
        (*dict["tunnelProtocol"].dict())[key] = std::move(value);
        return XpcObject(std::move(dict));
    };
    const struct {
        const char* name;
        XpcObject value;
        const char* reason;
    } cases[] = {
        { "not a dictionary", XpcObject("text"), "not a dictionary" },
        { "a kind out of range", with("kind", XpcObject(3)), "kind 3" },
        { "a negative kind", with("kind", XpcObject(-1)), "kind -1" },
        { "enabled as text", with("enabled", XpcObject("yes")), "enabled" },
        { "the identifier as a number", with("identifier", XpcObject(7)), "identifier" },
        { "a protocol that is no dictionary", with("tunnelProtocol", XpcObject(1)), "tunnelProtocol" },
        { "a provider configuration value that is no text",
            withTunnel("providerConfiguration", XpcObject(XpcDict { { "k", XpcObject(1) } })), "entry k" },
        { "a tunnel flag as a number", withTunnel("includeAllNetworks", XpcObject(1)), "includeAllNetworks" },
        { "a filter that is no dictionary", with("filterConfiguration", XpcObject(XpcArray {})),
            "filterConfiguration" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto decoded = ConfigurationFromXpc(c.value);
        ASSERT_FALSE(decoded.ok());
        EXPECT_NE(decoded.status().message().find(c.reason), std::string::npos) << decoded.status().message();
    }
}

TEST(SupervisorProtocolTest, PropertiesSurviveTheTripAndWrongTypesAreRefused)
{
    SystemExtensionProperties properties { "com.velmar.corvantis.v3.macos.CorvantisExtension", "3.12.2", true, false };
    const auto decoded = PropertiesFromXpc(PropertiesToXpc(properties));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value().bundleIdentifier, properties.bundleIdentifier);
    EXPECT_EQ(decoded.value().bundleShortVersion, "3.12.2");
    EXPECT_TRUE(decoded.value().isEnabled);
    EXPECT_FALSE(decoded.value().isAwaitingUserApproval);

    XpcDict wrong = *PropertiesToXpc(properties).dict();
    wrong["isEnabled"] = XpcObject("true");
    EXPECT_FALSE(PropertiesFromXpc(XpcObject(wrong)).ok());
    EXPECT_FALSE(PropertiesFromXpc(XpcObject(1)).ok());
}

} // namespace
} // namespace corvantis
