#include "core/profile/HostLists.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Rule.h"

#include "tests/profile/ProfileTestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvantis {
namespace {

using test::IPv4;
using test::IPv6;

const char* const kSymbols = "Incorrect symbol(s) found.";
const char* const kConstants
    = "Unexpected symbol (%) found. %ComputerName% and %SimpleHostnames% are the only available constants.";

TEST(ParseHostList, RefusesWithTheMessageOfEachFault)
{
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        { "a.lan b.lan",
            "Unexpected blank space found.\nPlease make sure that you use semicolon (;) to separate hosts." },
        { "my_host", kSymbols }, { "host/x", kSymbols }, { "-host", "Unexpected hyphen found." },
        { "host-", "Unexpected hyphen found." },
        { "10.0.0.9-10.0.0.1", "The second IP in the range cannot be less than the first one." },
        { "2001:db8::9-2001:db8::1", "The second IP in the range cannot be less than the first one." },
        { "%Foo%", kConstants }, { "a%b", kConstants }, { "::ffff:1.2.3.4", "Incorrect target host format." },
        { "1.2.3.4:80-x", "Incorrect target host format." }, { "fe80::zz", "Incorrect IP address or hostname found." },
        { "10.0.0.1-host", "Incorrect IPv4 range." }, { "::1-host", "Incorrect IPv6 range." },
        { "a:b-c", "Incorrect target host range." },
        { "good.lan;-bad", "Unexpected hyphen found." }, // the first bad entry decides
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CRule rule = test::MakeRule("r", "", "keep.lan", "");
        std::string message;
        EXPECT_FALSE(ParseHostList(rule, c.text, message));
        EXPECT_EQ(message, c.message);
        ASSERT_EQ(rule.m_Targets.size(), 1u); // the rule keeps what it had
        EXPECT_EQ(rule.m_TargetsText, "keep.lan");
    }
}

TEST(ParseHostList, ClassifiesEntriesInOrder)
{
    CRule rule("r");
    std::string message;
    const std::string text = "*.Corp.lan ; 10.0.0.1 - 10.0.0.9\n192.168.1.*;\t%COMPUTERNAME%;fe80::*;"
                             "2001:db8::1-2001:db8::ff;::1;10.1;my-host.corp\r\n;;";
    ASSERT_TRUE(ParseHostList(rule, text, message)) << message;
    EXPECT_EQ(rule.m_TargetsText, text);

    struct Expected {
        int kind;
        const char* text;
    };
    const std::vector<Expected> expected = {
        { kTargetHostPattern, "*.corp.lan" },
        { kTargetIPv4Range, "" },
        { kTargetIPv4Pattern, "192.168.1.*" },
        { kTargetMacro, "%computername%" },
        { kTargetIPv6Pattern, "fe80::*" },
        { kTargetIPv6Range, "" },
        { kTargetIPv6Range, "" },
        { kTargetIPv4Range, "" },
        { kTargetHostPattern, "my-host.corp" },
    };
    ASSERT_EQ(rule.m_Targets.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rule.m_Targets[i].m_Kind, expected[i].kind);
        EXPECT_EQ(rule.m_Targets[i].m_TextLower, expected[i].text);
    }
    EXPECT_EQ(rule.m_Targets[0].m_Text, "*.Corp.lan");
    EXPECT_EQ(rule.m_Targets[1].FirstIPv4(), IPv4("10.0.0.1"));
    EXPECT_EQ(rule.m_Targets[1].LastIPv4(), IPv4("10.0.0.9"));
    EXPECT_EQ(rule.m_Targets[5].m_Last, IPv6("2001:db8::ff"));
    EXPECT_EQ(rule.m_Targets[7].FirstIPv4(), IPv4("10.0.0.1"));
    EXPECT_EQ(HostListToText(rule),
        "*.Corp.lan; 10.0.0.1-10.0.0.9; 192.168.1.*; %COMPUTERNAME%; fe80::*; 2001:db8::1-2001:db8::ff; ::1; "
        "10.0.0.1; my-host.corp");
}

TEST(ParseHostList, EmptyTextClearsTheList)
{
    CRule rule = test::MakeRule("r", "", "a.lan;b.lan", "");
    std::string message;
    ASSERT_TRUE(ParseHostList(rule, " \n ", message));
    EXPECT_TRUE(rule.m_Targets.empty());
}

TEST(ParsePortList, RefusesWithTheMessageOfEachFault)
{
    const char* const zero
        = "Port number cannot be zero. A correct port number is an unsigned integer ranging from 1 to 65535.";
    const char* const tooBig = "Port number cannot be greater than 65535. A correct port number is an unsigned "
                               "integer ranging from 1 to 65535.";
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        { "80,443", kSymbols },
        { "http", kSymbols },
        { "80 443",
            "Unexpected blank space found.\nPlease make sure that you use semicolon (;) to separate the ports or port "
            "ranges." },
        { "80--90", "Unexpected hyphen found.\nPlease make sure that you use the correct format for the port ranges." },
        { "0", zero },
        { "00", "Unexpected port format. Please make sure that you use the correct format for the ports." },
        { "70000", tooBig },
        { "65536", tooBig },
        // Too big for 32 bits: refused, not wrapped round to port 80.
        { "4294967376", tooBig },
        { "99999999999999999999999", tooBig },
        { "1-4294967376", tooBig },
        { "-80",
            "The first port in the range is not properly specified. Please make sure that you use the correct format "
            "for the port ranges." },
        { "80-",
            "The second port in the range is not properly specified. Please make sure that you use the correct format "
            "for the port ranges." },
        { "1-2-3",
            "Unexpected port range format. Please make sure that you use the correct format for the port ranges." },
        { "00-80",
            "Unexpected port format within the port range. Please make sure that you use the correct format for the "
            "port range." },
        { "0-80", zero },
        { "80-0", zero },
        { "80-70000", tooBig },
        { "90-80", "The first port number in the range cannot be greater than the last port number." },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CRule rule = test::MakeRule("r", "", "", "22");
        std::string message;
        EXPECT_FALSE(ParsePortList(rule, c.text, message));
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(rule.m_Ports, (std::vector<PortRange> { { 22, 22 } }));
        EXPECT_EQ(rule.m_PortsText, "22");
    }
}

TEST(ParsePortList, ReadsPortsAndRanges)
{
    CRule rule("r");
    std::string message;
    ASSERT_TRUE(ParsePortList(rule, " 80;443 ;\n8000 - 8100;65535", message)) << message;
    EXPECT_EQ(rule.m_Ports, (std::vector<PortRange> { { 80, 80 }, { 443, 443 }, { 8000, 8100 }, { 65535, 65535 } }));
    EXPECT_EQ(rule.m_PortsText, " 80;443 ;\n8000 - 8100;65535");
    EXPECT_EQ(PortListToText(rule), "80; 443; 8000-8100; 65535");
    ASSERT_TRUE(ParsePortList(rule, "", message));
    EXPECT_TRUE(rule.m_Ports.empty());
}

TEST(ParseAppList, RefusesWithTheMessageOfEachFault)
{
    const char* const blank = "Unexpected blank space found.\nPlease use semicolon (;) to separate filenames and "
                              "double quotes (\") to mark beginning and end of filenames containing spaces.";
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        { "a|b", kSymbols },
        { "a\\b", kSymbols },
        { "a:b", kSymbols },
        { "a<b", kSymbols },
        { "a,b", kSymbols },
        { "\"\";x",
            "Unexpected double quotes found.\nPlease make sure that you use the correct format for file names "
            "containing spaces." },
        { "\" \"",
            "Unexpected double quotes found.\nPlease make sure that you use the correct format for file names "
            "containing spaces." },
        { "my app", blank },
        // A missing separator after a quoted name is reported, not joined into one name "my appx".
        { "\"my app\" x", blank },

        { "\"my app", "Not closed quotation mark (\") found." },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CRule rule = test::MakeRule("r", "keep", "", "");
        std::string message;
        EXPECT_FALSE(ParseAppList(rule, c.text, message));
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(rule.m_Apps, std::vector<std::string> { "keep" });
    }
}

TEST(ParseAppList, KeepsNamesAsTypedAndInLowerCase)
{
    struct Case {
        const char* text;
        std::vector<std::string> apps;
        std::vector<std::string> lower;
        const char* asText;
    };
    const Case cases[] = {
        { "\"My App\";Other", { "My App", "Other" }, { "my app", "other" }, "\"My App\"; Other" },
        { "\" My App \" ; other\n", { "My App", "other" }, { "my app", "other" }, "\"My App\"; other" },
        // Typographic quotes, as some keyboards type them, count as plain ones.
        { "\xE2\x80\x9CMy App\xE2\x80\x9D;Browser", { "My App", "Browser" }, { "my app", "browser" },
            "\"My App\"; Browser" },
        { "curl;/usr/bin/*", { "curl", "/usr/bin/*" }, { "curl", "/usr/bin/*" }, "curl; /usr/bin/*" },
        { "", {}, {}, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CRule rule("r");
        std::string message;
        ASSERT_TRUE(ParseAppList(rule, c.text, message)) << message;
        EXPECT_EQ(rule.m_Apps, c.apps);
        EXPECT_EQ(rule.m_AppsLower, c.lower);
        EXPECT_EQ(rule.m_AppsText, c.text);
        EXPECT_EQ(AppListToText(rule), c.asText);
    }
}

TEST(CollapseBlanksAround, RemovesBlanksNextToTheSeparatorOnly)
{
    EXPECT_EQ(CollapseBlanksAround("a  ;  b ; c d", ';'), "a;b;c d");
    EXPECT_EQ(CollapseBlanksAround(" - ", '-'), "-");
    EXPECT_EQ(CollapseBlanksAround("", ';'), "");
}

CProfileData PresetsOff()
{
    CProfileData profile;
    profile.m_ExcludeLocalhost = false;
    profile.m_ExcludeSimpleHostnames = false;
    profile.m_ExcludeSelfHostname = false;
    profile.m_ExcludeLocalDomain = false;
    return profile;
}

struct Presets {
    bool localhost;
    bool simple;
    bool self;
    bool local;
};

Presets PresetsOf(const CProfileData& profile)
{
    return { profile.m_ExcludeLocalhost, profile.m_ExcludeSimpleHostnames, profile.m_ExcludeSelfHostname,
        profile.m_ExcludeLocalDomain };
}

TEST(NormalizeLocalHostList, TurnsPresetsIntoSwitches)
{
    struct Case {
        const char* text;
        const char* stored;
        std::vector<std::string> entries;
        Presets presets;
    };
    const Case cases[] = {
        { "localhost;%SimpleHostnames%;intranet", "intranet", { "intranet" }, { true, true, false, false } },
        { "Intra.Corp; *.LOCAL ; %computername%", "Intra.Corp;  ", { "intra.corp" }, { false, false, true, true } },
        // Presets are whole entries: names that merely contain one stay as typed and switch nothing on.
        { "mylocalhost.corp", "mylocalhost.corp", { "mylocalhost.corp" }, { false, false, false, false } },
        { "localhost.corp;printer.local.corp", "localhost.corp;printer.local.corp",
            { "localhost.corp", "printer.local.corp" }, { false, false, false, false } },
        // A second occurrence is kept as an entry; it still counts as the preset.
        { "localhost;a.b;localhost", "a.b;localhost", { "a.b", "localhost" }, { true, false, false, false } },
        { "", "", {}, { false, false, false, false } },
        { "*.local", "", {}, { false, false, false, true } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CProfileData profile = PresetsOff();
        std::string message;
        ASSERT_TRUE(NormalizeLocalHostList(profile, c.text, message)) << message;
        EXPECT_EQ(profile.m_ExclusionText, c.stored);
        EXPECT_EQ(profile.m_ExclusionList, c.entries);
        const Presets presets = PresetsOf(profile);
        EXPECT_EQ(presets.localhost, c.presets.localhost);
        EXPECT_EQ(presets.simple, c.presets.simple);
        EXPECT_EQ(presets.self, c.presets.self);
        EXPECT_EQ(presets.local, c.presets.local);
    }
}

TEST(NormalizeLocalHostList, RefusesWithTheMessageOfEachFault)
{
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        { "1host", "Incorrect hostname or mask. The first character cannot be a number." },
        { "a b",
            "Unexpected blank space found. Please make sure that you use semicolon (;) to separate the hostnames." },
        { "a_b", kSymbols },
        { "fe80::1", kSymbols },
        { "%foo%", kConstants },
        // The preset cut before the fault must not stick.
        { "localhost;1host", "Incorrect hostname or mask. The first character cannot be a number." },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CProfileData profile = PresetsOff();
        profile.m_ExclusionText = "keep";
        profile.m_ExclusionList = { "keep" };
        std::string message;
        EXPECT_FALSE(NormalizeLocalHostList(profile, c.text, message));
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(profile.m_ExclusionText, "keep");
        EXPECT_EQ(profile.m_ExclusionList, std::vector<std::string> { "keep" });
        EXPECT_FALSE(profile.m_ExcludeLocalhost);
    }
}

TEST(NormalizeLocalHostList, ReadsBackWhatTheEditorShows)
{
    CProfileData profile;
    profile.InitNewProfileOptions();
    std::string message;
    ASSERT_TRUE(NormalizeLocalHostList(profile, "Intra.Corp;*.example", message));
    const std::string shown = ExclusionListToText(profile);
    EXPECT_EQ(shown, "localhost;%SimpleHostnames%;%ComputerName%;*.local;\nIntra.Corp;*.example");

    CProfileData again;
    again.InitNewProfileOptions();
    ASSERT_TRUE(NormalizeLocalHostList(again, shown, message)) << message;
    EXPECT_EQ(again.m_ExclusionText, "Intra.Corp;*.example");
    EXPECT_EQ(again.m_ExclusionList, (std::vector<std::string> { "intra.corp", "*.example" }));

    again.m_OnlyFromListMode = true;
    EXPECT_EQ(ExclusionListToText(again), "Intra.Corp;*.example");
}

TEST(IsHostExcludedFromDns, PresetsThenEntries)
{
    test::TestApp app;
    app.SetOwnIdentity({ "MyBox" }, {}, {});
    CProfileData profile;
    profile.InitNewProfileOptions();
    std::string message;
    ASSERT_TRUE(NormalizeLocalHostList(profile, "*.corp.lan;exact.example.", message));

    struct Case {
        const char* name;
        bool excluded;
    };
    const Case cases[] = {
        { "LocalHost", true },
        { "localhost.", true },
        { "intranet", true }, // no dot
        { "mybox.", true }, // own name
        { "printer.local", true },
        { "printer.local.", true },
        { "mail.corp.lan", true },
        { "corp.lan", true }, // "." + name matches "*.corp.lan"
        { "mail.corp.lan.", true },
        { "exact.example.", true }, // an entry ending in "." keeps the name's trailing dot
        { "exact.example", false },
        { "www.example.com", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsHostExcludedFromDns(profile, c.name, &app), c.excluded);
    }

    // With the list alone deciding, the presets do not apply.
    profile.m_OnlyFromListMode = true;
    EXPECT_FALSE(IsHostExcludedFromDns(profile, "localhost", &app));
    EXPECT_FALSE(IsHostExcludedFromDns(profile, "intranet", &app));
    EXPECT_TRUE(IsHostExcludedFromDns(profile, "mail.corp.lan", &app));
}

} // namespace
} // namespace corvantis
