#include "supervisor/ConfigurationFile.h"

#include "platform/PlistXml.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <sys/stat.h>
#include <tuple>

namespace corvantis {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

NEConfiguration proxy(const std::string& id, const std::string& name)
{
    NEConfiguration c;
    c.identifier = id;
    c.kind = NEConfigurationKind::TransparentProxy;
    c.localizedDescription = name;
    c.enabled = true;
    NETunnelProviderProtocol p;
    p.username = "user";
    p.serverAddress = "Corvantis";
    p.providerBundleIdentifier = "com.velmar.corvantis.extension";
    p.providerConfiguration = { { "mode", "all" }, { "empty", "" } };
    p.excludeLocalNetworks = true;
    p.includeAllNetworks = false;
    p.disconnectOnSleep = true;
    c.tunnelProtocol = p;
    return c;
}

NEConfiguration dnsProxy(const std::string& id, bool enabled)
{
    NEConfiguration c;
    c.identifier = id;
    c.kind = NEConfigurationKind::DnsProxy;
    c.localizedDescription = "Corvantis DNS";
    c.enabled = enabled;
    c.dnsProtocol = NEDNSProxyProviderProtocol { "com.velmar.corvantis.extension" };
    return c;
}

NEConfiguration filter(const std::string& id)
{
    NEConfiguration c;
    c.identifier = id;
    c.kind = NEConfigurationKind::ContentFilter;
    c.localizedDescription = "Corvantis Data";
    c.enabled = true;
    c.filterConfiguration = NEFilterProviderConfiguration { true, false };
    return c;
}

// Every field, one by one (the structs' own == cannot be used: the protocols define none).
bool same(const NEConfiguration& a, const NEConfiguration& b)
{
    auto tunnel = [](const NETunnelProviderProtocol& p) {
        return std::tie(p.username, p.serverAddress, p.providerBundleIdentifier, p.providerConfiguration,
            p.excludeLocalNetworks, p.includeAllNetworks, p.disconnectOnSleep);
    };
    if (std::tie(a.identifier, a.kind, a.localizedDescription, a.enabled)
            != std::tie(b.identifier, b.kind, b.localizedDescription, b.enabled)
        || a.tunnelProtocol.has_value() != b.tunnelProtocol.has_value()
        || a.dnsProtocol.has_value() != b.dnsProtocol.has_value()
        || a.filterConfiguration.has_value() != b.filterConfiguration.has_value())
        return false;
    if (a.tunnelProtocol && tunnel(*a.tunnelProtocol) != tunnel(*b.tunnelProtocol))
        return false;
    if (a.dnsProtocol && a.dnsProtocol->providerBundleIdentifier != b.dnsProtocol->providerBundleIdentifier)
        return false;
    if (a.filterConfiguration
        && std::tie(a.filterConfiguration->filterSockets, a.filterConfiguration->filterPackets)
            != std::tie(b.filterConfiguration->filterSockets, b.filterConfiguration->filterPackets))
        return false;
    return true;
}

bool same(const std::vector<NEConfiguration>& a, const std::vector<NEConfiguration>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
        [](const NEConfiguration& x, const NEConfiguration& y) { return same(x, y); });
}

class ConfigurationFileTest : public ::testing::Test {
protected:
    fs::path path() const { return m_dir / ConfigurationFile::kFileName; }
    test::TempDir m_dir;
};

TEST_F(ConfigurationFileTest, MissingFileIsAnEmptyList)
{
    auto list = ConfigurationFile(path()).load();
    ASSERT_TRUE(list.ok()) << list.status().message();
    EXPECT_TRUE(list->empty());
}

TEST_F(ConfigurationFileTest, KeepsEveryFieldAndTheOrder)
{
    // Identifiers in an order that sorting would change: the list order must survive.
    const std::vector<NEConfiguration> saved
        = { proxy("Z-proxy", "Second"), filter("F"), proxy("A-proxy", "First"), dnsProxy("D", false) };
    ConfigurationFile file(path());
    Status st = file.save(saved);
    ASSERT_TRUE(st.ok()) << st.message();
    struct stat info { };
    ASSERT_EQ(::stat(path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    auto loaded = ConfigurationFile(path()).load();
    ASSERT_TRUE(loaded.ok()) << loaded.status().message();
    EXPECT_TRUE(same(loaded.value(), saved));
    // The file is a property list any plist reader can take.
    EXPECT_TRUE(PlistXml::parse(readText(path())).ok());
}

TEST_F(ConfigurationFileTest, DamagedFileIsAnErrorAndIsNeverReplaced)
{
    auto valid = [](const std::string& configurations) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>Version</key><integer>1</integer><key>Configurations</key><array>"
            + configurations + "</array></dict></plist>\n";
    };
    const std::string dns = "<dict><key>Identifier</key><string>D</string><key>Kind</key><integer>1</integer>"
                            "<key>LocalizedDescription</key><string>x</string><key>Enabled</key><true/></dict>";
    struct Case {
        const char* name;
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        { "not XML", "configurations", "" },
        { "empty file", "", "" },
        { "cut short", valid(dns).substr(0, 120), "" },
        { "unknown version",
            "<plist version=\"1.0\"><dict><key>Version</key><integer>2</integer><key>Configurations</key><array/>"
            "</dict></plist>",
            "unknown format version" },
        { "unknown kind",
            valid("<dict><key>Identifier</key><string>X</string><key>Kind</key><integer>7</integer>"
                  "<key>LocalizedDescription</key><string>x</string><key>Enabled</key><true/></dict>"),
            "Kind" },
        { "missing field",
            valid("<dict><key>Identifier</key><string>X</string><key>Kind</key><integer>0</integer>"
                  "<key>LocalizedDescription</key><string>x</string></dict>"),
            "\"Enabled\" is not a boolean" },
        { "two DNS proxies", valid(dns + dns), "" },
        { "provider configuration value not a string",
            valid("<dict><key>Identifier</key><string>X</string><key>Kind</key><integer>0</integer>"
                  "<key>LocalizedDescription</key><string>x</string><key>Enabled</key><true/>"
                  "<key>TunnelProtocol</key><dict><key>Username</key><string/><key>ServerAddress</key><string/>"
                  "<key>ProviderBundleIdentifier</key><string/><key>ProviderConfiguration</key><dict>"
                  "<key>n</key><integer>1</integer></dict><key>ExcludeLocalNetworks</key><false/>"
                  "<key>IncludeAllNetworks</key><false/><key>DisconnectOnSleep</key><false/></dict></dict>"),
            "ProviderConfiguration \"n\" is not a string" },
    };
    ASSERT_TRUE(ConfigurationFile(path()).load().ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(path(), std::ios::binary | std::ios::trunc) << c.text;
        ConfigurationFile file(path());
        auto loaded = file.load();
        ASSERT_FALSE(loaded.ok());
        EXPECT_EQ(loaded.status().message().rfind(path().string() + ": ", 0), 0u) << loaded.status().message();
        EXPECT_NE(loaded.status().message().find(c.reason), std::string::npos) << loaded.status().message();

        Status saved = file.save({ proxy("P", "Proxy") });
        ASSERT_FALSE(saved.ok());
        EXPECT_NE(saved.message().find(path().string()), std::string::npos) << saved.message();
        EXPECT_EQ(readText(path()), c.text);
    }
}

TEST_F(ConfigurationFileTest, SaveRefusesAListThatBreaksTheRules)
{
    struct Case {
        const char* name;
        std::vector<NEConfiguration> list;
        const char* reason;
    };
    NEConfiguration controlText = proxy("C", "bell\a");
    NEConfiguration badKey = proxy("K", "key");
    badKey.tunnelProtocol->providerConfiguration["\x01"] = "v";
    const Case cases[] = {
        { "repeated identifier", { proxy("P", "a"), proxy("P", "b") }, "used twice" },
        { "empty identifier", { proxy("", "a") }, "no identifier" },
        { "two filters", { filter("F1"), filter("F2") }, "more than one content filter" },
        { "two DNS proxies", { dnsProxy("D1", true), dnsProxy("D2", true) }, "more than one DNS proxy" },
        { "control character in a name", { controlText }, "" },
        { "control character in a key", { badKey }, "" },
    };
    ConfigurationFile file(path());
    ASSERT_TRUE(file.save({ proxy("Kept", "kept") }).ok());
    const std::string before = readText(path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Status st = file.save(c.list);
        ASSERT_FALSE(st.ok());
        EXPECT_NE(st.message().find(c.reason), std::string::npos) << st.message();
        EXPECT_EQ(readText(path()), before);
    }
}

TEST(ConfigurationPutTest, NewReplacedAndSingleKinds)
{
    std::vector<NEConfiguration> list;
    const NEConfiguration first = ConfigurationFile::put(list, proxy("", "First"));
    const NEConfiguration second = ConfigurationFile::put(list, proxy("not-stored-yet", "Second"));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_FALSE(first.identifier.empty());
    EXPECT_NE(second.identifier, "not-stored-yet");
    EXPECT_NE(first.identifier, second.identifier);
    EXPECT_TRUE(same(list[0], first));
    EXPECT_TRUE(same(list[1], second));

    // Saving a known proxy replaces it where it stands.
    NEConfiguration changed = first;
    changed.enabled = false;
    EXPECT_TRUE(same(ConfigurationFile::put(list, changed), changed));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(same(list[0], changed));

    // The one DNS proxy: a second new one takes the place and identifier of the first.
    const NEConfiguration dns = ConfigurationFile::put(list, dnsProxy("", true));
    const NEConfiguration dnsAgain = ConfigurationFile::put(list, dnsProxy("", false));
    EXPECT_EQ(dnsAgain.identifier, dns.identifier);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_FALSE(list[2].enabled);

    // An identifier of another kind's entry never makes two entries share it.
    const NEConfiguration clash = ConfigurationFile::put(list, filter(first.identifier));
    EXPECT_NE(clash.identifier, first.identifier);
    EXPECT_TRUE(same(list[0], changed));
    ASSERT_EQ(list.size(), 4u);
    // What put() builds always follows the file's rules.
    test::TempDir dir;
    Status st = ConfigurationFile(dir / ConfigurationFile::kFileName).save(list);
    EXPECT_TRUE(st.ok()) << st.message();
}

TEST(ConfigurationPutTest, IdentifiersAreRandomUuids)
{
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    const std::string a = ConfigurationFile::newIdentifier();
    const std::string b = ConfigurationFile::newIdentifier();
    EXPECT_TRUE(std::regex_match(a, form)) << a;
    EXPECT_TRUE(std::regex_match(b, form)) << b;
    EXPECT_NE(a, b);
}

} // namespace
} // namespace corvantis
