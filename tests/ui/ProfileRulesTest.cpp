#include "tests/ui/EditorFixture.h"

#include "core/profile/HostLists.h"

#include <filesystem>
#include <fstream>

namespace corvantis::test {
namespace {

constexpr const char* kEditDefault = "You cannot edit the Default rule.\nCorvantis uses it when all other rules do not "
                                     "match the connection parameters.\nYou can only change the Action for this rule.";
constexpr const char* kCloneDefault
    = "You cannot clone the Default rule.\nCorvantis uses it when all other rules do "
      "not match the connection parameters.\nYou can only change the Action for this rule.";
constexpr const char* kRemoveDefault = "The Default rule cannot be removed.\nCorvantis uses it when all other rules do "
                                       "not match the connection parameters.";
constexpr const char* kMoveDefault = "You cannot move Default rule.\nCorvantis uses it when all other rules do not "
                                     "match the connection parameters so it must be the last in the list.";
constexpr const char* kPassDefault
    = "You cannot move this rule. Rule cannot be located after Default rule.\nCorvantis uses Default rule when all "
      "other rules do not match the connection parameters so it must be the last in the list.";

// Two chains (ids 200, 201), three proxies (100-102), rules "R0".."R3" and the Default rule.
CProfileData RuleProfile()
{
    CProfileData profile;
    profile.m_Proxies = { MakeProxy("a.example", 1080, kProxySocks5, 100),
        MakeProxy("b.example", 3128, kProxyHttps, 101), MakeProxy("c.example", 8080, kProxyHttp, 102) };
    CChain first("First", 200);
    first.m_Entries = { { 100, true } };
    CChain second("Second", 201);
    second.m_Entries = { { 101, true } };
    profile.m_Chains = { first, second };
    for (int i = 0; i < 4; ++i) {
        CRule rule("R" + std::to_string(i));
        std::string message;
        EXPECT_TRUE(ParseHostList(rule, "host" + std::to_string(i) + ".example", message));
        profile.m_Rules.push_back(rule);
    }
    profile.AddDefaultRule();
    return profile;
}

std::vector<std::string> RuleNames(const CProfileData& profile)
{
    std::vector<std::string> names;
    for (const CRule& rule : profile.m_Rules)
        names.push_back(rule.m_Name);
    return names;
}

using RuleEditorTest = EditorTest;

TEST_F(RuleEditorTest, TheActionListRunsChainsProxiesDirectBlockBothWays)
{
    Install(RuleProfile());
    const std::vector<std::string> expected = { "Chain First", "Chain Second", "Proxy SOCKS5 a.example:1080",
        "Proxy HTTPS b.example:3128", "Proxy HTTP c.example:8080", "Direct", "Block" };
    EXPECT_EQ(editor->ruleTargetNamesList(), expected);

    struct Case {
        int index;
        int action;
        int64_t id;
    };
    const Case cases[] = { { 0, kActionChain, 200 }, { 1, kActionChain, 201 }, { 2, kActionProxy, 100 },
        { 4, kActionProxy, 102 }, { 5, kActionDirect, -1 }, { 6, kActionBlock, -1 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        editor->setRuleTargetAction(1, c.index);
        const CRule rule = Stored().m_Rules[1];
        EXPECT_EQ(rule.m_Action, c.action);
        if (c.id != -1) {
            EXPECT_EQ(rule.m_ProxyId, c.id);
        }
        EXPECT_EQ(editor->ruleTarget(1), c.index);
    }
    ExpectRefused([&] { editor->setRuleTargetAction(1, 7); }, {});
    ExpectRefused([&] { editor->setRuleTargetAction(1, -1); }, {});
    ExpectRefused([&] { editor->setRuleTargetAction(9, 0); }, {});
    EXPECT_EQ(editor->ruleTarget(9), std::nullopt);
}

TEST_F(RuleEditorTest, AnActionNamingNoProxyOrChainShowsNoAction)
{
    CProfileData profile = RuleProfile();
    profile.m_Rules[0].m_Action = kActionProxy;
    profile.m_Rules[0].m_ProxyId = 777;
    profile.m_Rules[1].m_Action = kActionChain;
    profile.m_Rules[1].m_ProxyId = 778;
    Install(profile);
    EXPECT_EQ(editor->ruleTarget(0), -1);
    EXPECT_EQ(editor->ruleTarget(1), -1);
}

TEST_F(RuleEditorTest, TargetById)
{
    Install(RuleProfile());
    EXPECT_TRUE(editor->setRuleTargetActionId(0, 201));
    EXPECT_EQ(Stored().m_Rules[0].m_Action, kActionChain);
    EXPECT_TRUE(editor->setRuleTargetActionId(0, 102));
    EXPECT_EQ(Stored().m_Rules[0].m_Action, kActionProxy);
    EXPECT_EQ(Stored().m_Rules[0].m_ProxyId, 102);
    ExpectRefused([&] { EXPECT_FALSE(editor->setRuleTargetActionId(0, 555)); }, {});
    ExpectRefused([&] { EXPECT_FALSE(editor->setRuleTargetActionId(5, 100)); }, {});
}

TEST_F(RuleEditorTest, TheDefaultRuleIsProtected)
{
    struct Case {
        const char* name;
        std::function<bool(NSProfile&)> act;
        const char* text;
    };
    const Case cases[] = {
        { "edit", [](NSProfile& e) { return e.editRule(4); }, kEditDefault },
        { "clone", [](NSProfile& e) { return e.cloneRule(4); }, kCloneDefault },
        { "delete", [](NSProfile& e) { return e.deleteRule(4); }, kRemoveDefault },
        { "up", [](NSProfile& e) { return e.ruleUp(4); }, kMoveDefault },
        { "down", [](NSProfile& e) { return e.ruleDown(4); }, kMoveDefault },
        { "past the end up", [](NSProfile& e) { return e.ruleUp(9); }, kMoveDefault },
        { "down past it", [](NSProfile& e) { return e.ruleDown(3); }, kPassDefault },
    };
    Install(RuleProfile());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRefused([&] { EXPECT_FALSE(c.act(*editor)); }, { { c.text, "Proxying Rules", 5 } });
    }
    ExpectRefused([&] { editor->setRuleAllow(4, false); }, {});
    EXPECT_EQ(editor->ruleAllow(4), 3);
    EXPECT_EQ(editor->ruleAllow(0), 1);
    EXPECT_EQ(editor->ruleAllow(5), std::nullopt);
    ExpectRefused([&] { EXPECT_FALSE(editor->ruleUp(0)); }, {});
    ExpectRefused([&] { EXPECT_FALSE(editor->editRule(5)); }, {});
    ExpectRefused([&] { EXPECT_FALSE(editor->cloneRule(-1)); }, {});
    ExpectRefused([&] { EXPECT_FALSE(editor->deleteRule(7)); }, {});
}

TEST_F(RuleEditorTest, CloneMoveDeleteRename)
{
    Install(RuleProfile());
    ASSERT_TRUE(editor->cloneRule(2));
    EXPECT_EQ(RuleNames(Stored()), (std::vector<std::string> { "R0", "R1", "R2", "Copy of R2", "R3", "Default" }));
    EXPECT_EQ(Stored().m_Rules[3].m_TargetsText, "host2.example");

    ASSERT_TRUE(editor->ruleUp(1));
    ASSERT_TRUE(editor->ruleDown(2));
    EXPECT_EQ(RuleNames(Stored()), (std::vector<std::string> { "R1", "R0", "Copy of R2", "R2", "R3", "Default" }));

    ASSERT_TRUE(editor->deleteRule(0));
    editor->setRuleName(0, std::string("Zero"));
    editor->setRuleAllow(1, false);
    EXPECT_EQ(RuleNames(Stored()), (std::vector<std::string> { "Zero", "Copy of R2", "R2", "R3", "Default" }));
    EXPECT_FALSE(Stored().m_Rules[1].m_Enabled);
    EXPECT_EQ(editor->ruleAllow(1), 0);
    ExpectRefused([&] { editor->setRuleName(0, std::nullopt); }, {});
    EXPECT_EQ(editor->ruleName(0), "Zero");
    EXPECT_EQ(editor->ruleHosts(2), "host2.example");
    EXPECT_EQ(editor->ruleName(9), std::nullopt);
}

TEST_F(RuleEditorTest, TheRuleDialogsChecks)
{
    struct Case {
        const char* name;
        const char* ruleName;
        const char* apps;
        const char* hosts;
        const char* ports;
        std::optional<int> target;
        std::string text;
    };
    std::string portMessage;
    CRule scratch;
    ASSERT_FALSE(ParsePortList(scratch, "70000", portMessage));
    const Case cases[] = {
        { "no name", "", "", "", "", 5, "Please specify the Name of the rule." },
        { "comma in applications", "r", "curl, wget", "", "", 5,
            "Application list contains incorrect character(s).\n" },
        { "underscore in hosts", "r", "", "my_host", "", 5, "Target host list contains incorrect character(s).\n" },
        { "non-ASCII host", "r", "", "caf\xC3\xA9.example", "", 5,
            "Target host list contains incorrect character(s).\n" },
        { "newline in ports", "r", "", "", "80\n443", 5, "Port list contains incorrect character(s).\n" },
        { "no action", "r", "", "", "", std::nullopt, "Please specify the Action for the rule." },
        { "action -1", "r", "", "", "", -1, "Please specify the Action for the rule." },
        { "port out of range", "r", "", "", "70000", 5, "Error in port list:\n" + portMessage },
    };
    Install(RuleProfile());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        editor->createRule();
        editor->setCurRuleName(std::string(c.ruleName));
        editor->setCurRuleApp(std::string(c.apps));
        editor->setCurRuleHosts(std::string(c.hosts));
        editor->setCurRulePorts(std::string(c.ports));
        editor->setCurRuleTarget(c.target);
        ExpectRefused([&] { EXPECT_FALSE(editor->validateRule()); }, { { c.text, "Proxying Rule", 129 } });
    }
    editor->createRule();
    editor->setCurRuleHosts(std::string("*.example; 10.0.0.0-10.0.0.9"));
    editor->setCurRulePorts(std::string("80; 8000-8100"));
    editor->setCurRuleTarget(6);
    ExpectRefused([&] { EXPECT_TRUE(editor->validateRule()); }, {});
}

TEST_F(RuleEditorTest, RefusedCharactersAreMarkedInCodePoints)
{
    Install(RuleProfile());
    editor->createRule();
    EXPECT_EQ(editor->curRuleHostsAttr(), std::nullopt);
    editor->setCurRuleHostsAttr(std::string("caf\xC3\xA9_x"));
    const auto hosts = editor->curRuleHostsAttr();
    ASSERT_TRUE(hosts);
    EXPECT_EQ(hosts->text, "caf\xC3\xA9_x");
    EXPECT_EQ(hosts->refused, (std::vector<std::size_t> { 3, 4 })) << "\"é\" is one marked character";
    EXPECT_EQ(editor->curRuleHosts(), "caf\xC3\xA9_x");

    editor->setCurRulePortsAttr(std::string("80\n"));
    EXPECT_EQ(editor->curRulePortsAttr()->refused, std::vector<std::size_t> { 2 });
    editor->setCurRuleAppAttr(std::string("K\xC3\xB6nig|x"));
    EXPECT_EQ(editor->curRuleAppAttr()->refused, std::vector<std::size_t> { 5 }) << "applications allow non-ASCII";
    EXPECT_TRUE(NSProfile::validateListText("a.example:8080", ListField::Hosts).refused.empty());
}

TEST_F(RuleEditorTest, EditAndSave)
{
    CProfileData profile = RuleProfile();
    std::string message;
    ASSERT_TRUE(ParsePortList(profile.m_Rules[1], "443", message));
    profile.m_Rules[1].m_Action = kActionProxy;
    profile.m_Rules[1].m_ProxyId = 101;
    Install(profile);

    ASSERT_TRUE(editor->editRule(1));
    EXPECT_EQ(editor->curRuleName(), "R1");
    EXPECT_EQ(editor->curRuleHosts(), "host1.example");
    EXPECT_EQ(editor->curRulePorts(), "443");
    EXPECT_EQ(editor->curRuleTarget(), 3);
    EXPECT_EQ(editor->curRuleEnabled(), true);

    editor->setCurRulePorts(std::string("443; 8443"));
    editor->setCurRuleTarget(0);
    ASSERT_EQ(editor->saveRule(), std::nullopt);
    CRule saved = Stored().m_Rules[1];
    EXPECT_EQ(saved.m_PortsText, "443; 8443");
    EXPECT_EQ(saved.m_Action, kActionChain);
    EXPECT_EQ(saved.m_ProxyId, 200);
    EXPECT_EQ(RuleNames(Stored()).size(), 5u);

    // A new rule goes just before the Default rule, whichever row was selected.
    editor->editRule(0);
    editor->createRule();
    editor->setCurRuleName(std::string("Fresh"));
    editor->setCurRuleTarget(5);
    ASSERT_EQ(editor->saveRule(), std::nullopt);
    EXPECT_EQ(RuleNames(Stored()), (std::vector<std::string> { "R0", "R1", "R2", "R3", "Fresh", "Default" }));
    EXPECT_TRUE(Stored().m_Rules[4].m_Enabled);

    // A parser's refusal is shown without caption and returned.
    editor->createRule();
    editor->setCurRuleTarget(5);
    editor->setCurRulePorts(std::string("0"));
    std::string portMessage;
    CRule scratch;
    ASSERT_FALSE(ParsePortList(scratch, "0", portMessage));
    ExpectRefused(
        [&] { EXPECT_EQ(editor->saveRule(), portMessage); }, { { "Error in port list:\n" + portMessage, "", 0 } });
}

TEST_F(RuleEditorTest, ASaveNeverOverwritesTheDefaultRule)
{
    Install(RuleProfile());
    ASSERT_TRUE(editor->editRule(3));
    editor->setCurRuleName(std::string("Edited"));

    // Another writer removes a rule above the edited one: its index now names the Default rule.
    CProfileData fewer = RuleProfile();
    fewer.m_Rules.erase(fewer.m_Rules.begin());
    Install(fewer);
    ExpectRefused([&] { EXPECT_EQ(editor->saveRule(), "Internall error."); }, { { "Internal error.", "", 0 } });
    EXPECT_EQ(Stored().m_Rules.back().m_Name, "Default");

    // Or removes so many that the index is past the end.
    CProfileData few = RuleProfile();
    few.m_Rules.erase(few.m_Rules.begin(), few.m_Rules.begin() + 3);
    Install(few);
    ExpectRefused([&] { EXPECT_EQ(editor->saveRule(), "Internall error."); }, { { "Internal error.", "", 0 } });
}

TEST_F(RuleEditorTest, ARuleAddedAboveKeepsTheDialogOnItsRule)
{
    Install(RuleProfile());
    ASSERT_TRUE(editor->editRule(2));
    editor->ruleAdded(3);
    EXPECT_EQ(editor->curRuleNum(), 2);
    editor->ruleAdded(0);
    EXPECT_EQ(editor->curRuleNum(), 3);
    editor->setCurRuleName(std::string("Edited"));

    CProfileData more = RuleProfile();
    more.m_Rules.insert(more.m_Rules.begin(), MakeRule("Loop"));
    Install(more);
    ASSERT_EQ(editor->saveRule(), std::nullopt);
    EXPECT_EQ(RuleNames(Stored()), (std::vector<std::string> { "Loop", "R0", "R1", "Edited", "R3", "Default" }));

    editor->createRule();
    editor->ruleAdded(0);
    EXPECT_EQ(editor->curRuleNum(), -1);
}

class AddApplicationTest : public EditorTest {
protected:
    std::filesystem::path DesktopFile(const std::string& body)
    {
        const auto path = home / ("entry" + std::to_string(++m_files) + ".desktop");
        std::ofstream(path) << body;
        return path;
    }

private:
    int m_files = 0;
};

TEST_F(AddApplicationTest, ProgramsAndDesktopEntries)
{
    struct Case {
        const char* name;
        std::string desktop; // empty: the path itself is the program
        const char* program;
        const char* entry;
    };
    const Case cases[] = {
        { "executable", "", "/usr/bin/curl", "\"curl\"" },
        { "executable with an extension", "", "/opt/tools/sync.sh", "\"sync.sh\"; \"sync\"" },
        { "env and an assignment", "[Desktop Entry]\nName=Tool\nExec=env A=1 /opt/x/bin/tool %U\n", "", "\"tool\"" },
        { "quoted path", "[Desktop Entry]\nExec=\"/opt/My Apps/viewer\" --open %f\n", "", "\"viewer\"" },
        { "plain name", "[Desktop Entry]\nType=Application\nExec=firefox-esr %u\n", "", "\"firefox-esr\"" },
        { "other groups ignored", "[Desktop Action new]\nExec=wrong\n[Desktop Entry]\nExec=right\n", "", "\"right\"" },
    };
    Install(RuleProfile());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        editor->createRule();
        const std::filesystem::path path
            = c.desktop.empty() ? std::filesystem::path(c.program) : DesktopFile(c.desktop);
        ASSERT_TRUE(editor->addAppToRule(path));
        EXPECT_EQ(editor->curRuleApp(), c.entry);
    }
}

TEST_F(AddApplicationTest, EntriesJoinTheListText)
{
    struct Case {
        std::optional<std::string> before;
        std::string after;
    };
    const Case cases[] = {
        { std::nullopt, "\"curl\"" },
        { "", "\"curl\"" },
        { "wget;", "wget;\"curl\"" },
        { "wget\n", "wget\n\"curl\"" },
        { "wget", "wget; \"curl\"" },
    };
    Install(RuleProfile());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.after);
        editor->setCurRuleApp(c.before);
        ASSERT_TRUE(editor->addAppToRule(std::filesystem::path("/usr/bin/curl")));
        EXPECT_EQ(editor->curRuleApp(), c.after);
    }
    editor->setCurRuleApp(std::string("wget"));
    EXPECT_FALSE(editor->addAppToRule(std::nullopt));
    ExpectRefused([&] { EXPECT_FALSE(editor->addAppToRule(DesktopFile("[Desktop Entry]\nName=Nothing\n"))); },
        { { "\"entry1.desktop\" does not name a program to run.", "Proxying Rule", 0 } });
    EXPECT_EQ(editor->curRuleApp(), "wget");
}

TEST_F(RuleEditorTest, CompanionProgramsOfKnownApplications)
{
    Install(RuleProfile());
    EXPECT_EQ(editor->getFulListNamesForAppName("Tool", std::nullopt, "my tool"), "\"my tool\"");
    EXPECT_EQ(editor->getFulListNamesForAppName("Tool", std::string("org.example.tool"), "tool"), "tool");
    EXPECT_TRUE(Shown().empty());

    const std::string question = "Application Firefox (ID=Org.Mozilla.Firefox) may use additional programs/modules to "
                                 "work over the network.\n\nDo you want them to be added to the rule? (recommended)";
    answers = { true, false };
    EXPECT_EQ(editor->getFulListNamesForAppName("Firefox", std::string("Org.Mozilla.Firefox"), "firefox"),
        "firefox; firefox-bin; plugin-container; XUL");
    EXPECT_EQ(editor->getFulListNamesForAppName("Firefox", std::string("Org.Mozilla.Firefox"), "firefox"), "firefox");
    const auto shown = Shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].message, question);
    EXPECT_EQ(shown[0].caption, "Proxying Rule");
    EXPECT_EQ(shown[0].flags, 8);
}

TEST_F(RuleEditorTest, TheDefaultRulesOfANewProfile)
{
    Install(CProfileData());
    editor->initDefaultRule();
    const CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Rules.size(), 2u);
    EXPECT_EQ(stored.m_Rules.front().m_Name, "Localhost");
    EXPECT_EQ(stored.m_Rules.back().m_Name, "Default");
    EXPECT_EQ(stored.m_EncryptionMode, kEncryptionBasic);
}

} // namespace
} // namespace corvantis::test
