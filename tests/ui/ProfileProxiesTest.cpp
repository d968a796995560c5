#include "tests/ui/EditorFixture.h"

#include "core/profile/ProfileCheck.h"

namespace corvantis::test {
namespace {

constexpr const char* kDefaultQuestion = "Do you want Corvantis to use this proxy by default?\nYou can change this "
                                         "later at menu:\n\tProfile->Proxying Rules";

// Three SOCKS5 proxies (ids 100-102), one rule using proxy 101, and the Default rule.
CProfileData ThreeProxies()
{
    CProfileData profile;
    profile.m_Proxies = { MakeProxy("one.example", 1080, kProxySocks5, 100),
        MakeProxy("two.example", 1081, kProxySocks5, 101), MakeProxy("three.example", 1082, kProxySocks5, 102) };
    profile.m_Rules.push_back(MakeRule("Mail", kActionProxy, 101));
    profile.AddDefaultRule();
    return profile;
}

CProfileData OnlyDefaultRule()
{
    CProfileData profile;
    profile.AddDefaultRule();
    return profile;
}

class ProxyEditorTest : public EditorTest {
protected:
    // Fills the dialog for a new proxy.
    void NewProxy(const std::string& address, const std::string& port, int type)
    {
        editor->createProxy();
        editor->setCurProxyAddr(address);
        editor->setCurProxyPort(port);
        editor->setCurProxyType(type);
    }
};

TEST_F(ProxyEditorTest, NewProxyIsStoredTrimmedAndTheFirstOneAsksAboutTheDefaultRule)
{
    Install(OnlyDefaultRule());
    NewProxy("  10.0.0.5  ", "1080", kProxySocks5);
    answers = { false };

    ASSERT_TRUE(editor->curProxySave());

    EXPECT_EQ(editor->curProxyAddr(), "10.0.0.5");
    EXPECT_EQ(endedWith, std::vector<int> { 1 });
    EXPECT_EQ(editor->curProxyNum(), -1);
    const CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Proxies.size(), 1u);
    EXPECT_EQ(stored.m_Proxies[0].GetHostName(), "10.0.0.5");
    EXPECT_EQ(stored.m_Proxies[0].m_Port, 1080);
    EXPECT_GE(stored.m_Proxies[0].m_Id, CCorvantisApp::kFirstAllocatedId);
    EXPECT_EQ(stored.m_Rules.back().m_Action, kActionDirect) << "answered No: the Default rule stays as it was";
    const auto shown = Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].message, kDefaultQuestion);
    EXPECT_EQ(shown[0].caption, "Proxy Servers");
    EXPECT_EQ(shown[0].flags, 72);
}

TEST_F(ProxyEditorTest, YesMakesTheDefaultRuleUseTheFirstProxyAndASecondProxyAsksNothing)
{
    Install(OnlyDefaultRule());
    NewProxy("proxy.example", "3128", kProxyHttps);
    answers = { true };
    ASSERT_TRUE(editor->curProxySave());

    const CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Proxies.size(), 1u);
    EXPECT_EQ(stored.m_Rules.back().m_Action, kActionProxy);
    EXPECT_EQ(stored.m_Rules.back().m_ProxyId, stored.m_Proxies[0].m_Id);
    auto shown = Shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].message, "Proxy proxy.example:3128 has been set as the Action for the Default Proxying Rule");
    EXPECT_EQ(shown[1].caption, "Proxy Servers");
    EXPECT_EQ(shown[1].flags, 5);

    ForgetBoxes();
    NewProxy("second.example", "1080", kProxySocks5);
    ASSERT_TRUE(editor->curProxySave());
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(Stored().m_Proxies.size(), 2u);
    EXPECT_NE(Stored().m_Proxies[1].m_Id, Stored().m_Proxies[0].m_Id);
}

TEST_F(ProxyEditorTest, TheDefaultRuleCannotTakeTheProxyWhenTheProfileHasNoRules)
{
    Install(CProfileData());
    NewProxy("proxy.example", "1080", kProxySocks5);
    answers = { true };
    ASSERT_TRUE(editor->curProxySave());
    const auto shown = Shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].message,
        "Unexpected error. Default Proxying Rule was not changed. You should open menu Profile->Proxying_Rules and "
        "change it manually.");
    EXPECT_EQ(shown[1].caption, "Proxy Servers Error");
    EXPECT_EQ(shown[1].flags, 3);
}

TEST_F(ProxyEditorTest, TheDialogsChecksRefuseAndKeepTheDialogOpen)
{
    struct Case {
        const char* name;
        const char* address;
        const char* port;
        int type;
        ExpectedBox box;
    };
    const Case cases[] = {
        { "empty address", "   ", "1080", kProxySocks5, { "Please specify the proxy server Address.", "", 0 } },
        { "space inside", "proxy example", "1080", kProxySocks5,
            { "Proxy server address cannot contain a space.", "Proxy Server", 0 } },
        { "empty port", "proxy.example", "", kProxySocks5, { "Invalid Port number.", "", 0 } },
        { "port 0", "proxy.example", "0", kProxySocks5, { "Invalid Port number.", "", 0 } },
        // 65537 fits no port; in 16 bits it would pass as port 1.
        { "port past 16 bits", "proxy.example", "65537", kProxySocks5, { "Invalid Port number.", "", 0 } },
        { "negative port", "proxy.example", "-1", kProxySocks5, { "Invalid Port number.", "", 0 } },
        { "port past 64 bits", "proxy.example", "99999999999999999999999", kProxySocks5,
            { "Invalid Port number.", "", 0 } },
        { "no protocol", "proxy.example", "1080", -1, { "Please specify the proxy server Protocol.", "", 0 } },
    };
    Install(ThreeProxies());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewProxy(c.address, c.port, c.type);
        ExpectRefused([&] { EXPECT_FALSE(editor->curProxySave()); }, { c.box });
        EXPECT_TRUE(endedWith.empty());
    }
}

TEST_F(ProxyEditorTest, NegotiateWithAnAddressAsksAndSavesWithoutCredentials)
{
    const std::string ipQuestion
        = "Negotiation authentication may not work as expected when proxy server is specified "
          "as IP address. It is recommended to specify the hostname.\nContinue with IP address?";
    Install(ThreeProxies());
    auto fill = [&](const std::string& address) {
        NewProxy(address, "8443", kProxyHttps);
        editor->setCurProxyAuth(true);
        editor->setCurProxyUser(std::string("alice"));
        editor->setCurProxyPass(std::string("secret"));
        editor->setCurProxySwitch(NSProfile::ProxySwitch::Negotiation, true);
    };

    fill("192.0.2.7");
    answers = { false };
    ExpectRefused([&] { EXPECT_FALSE(editor->curProxySave()); }, { { ipQuestion, "", 72 } });

    fill("192.0.2.7");
    answers = { true };
    ASSERT_TRUE(editor->curProxySave());
    CProxy saved = Stored().m_Proxies.back();
    EXPECT_EQ(saved.GetHostName(), "192.0.2.7");
    EXPECT_TRUE(saved.m_AuthEnabled);
    EXPECT_EQ(saved.m_UserName, "");
    EXPECT_EQ(saved.m_Password, "");
    EXPECT_EQ(saved.m_Options & 0x10u, 0x10u);

    ForgetBoxes();
    fill("proxy.corp.example");
    ASSERT_TRUE(editor->curProxySave());
    EXPECT_TRUE(Shown().empty()) << "a host name asks nothing";
    saved = Stored().m_Proxies.back();
    EXPECT_EQ(saved.m_UserName, "");
    EXPECT_EQ(saved.m_Password, "");
}

TEST_F(ProxyEditorTest, AuthenticationWithoutCredentialsAsks)
{
    const std::string question = "You have checked \"Use authentication\" option, but you have not specified username "
                                 "and password.\nIs this intended?";
    Install(ThreeProxies());
    NewProxy("proxy.example", "1080", kProxySocks5);
    editor->setCurProxyAuth(true);
    editor->setCurProxyUser(std::string("alice"));
    answers = { false };
    ExpectRefused([&] { EXPECT_FALSE(editor->curProxySave()); }, { { question, "", 72 } });

    answers = { true };
    ASSERT_TRUE(editor->curProxySave());
    EXPECT_EQ(Stored().m_Proxies.size(), 4u);
}

TEST_F(ProxyEditorTest, EditingFillsTheFieldsAndSavingReplacesTheProxy)
{
    CProfileData profile = ThreeProxies();
    CProxy& second = profile.m_Proxies[1];
    second.m_Type = kProxyHttps;
    second.m_AuthEnabled = true;
    second.m_UserName = "bob";
    second.m_Password = "pw";
    second.m_Options = 0x01 | 0x08 | 0x100;
    Install(profile);
    advancedVisible = true;

    editor->editProxy(1);
    EXPECT_EQ(editor->curProxyNum(), 1);
    EXPECT_EQ(editor->curProxyId(), 101);
    EXPECT_EQ(editor->curProxyAddr(), "two.example");
    EXPECT_EQ(editor->curProxyPort(), "1081");
    EXPECT_EQ(editor->curProxyType(), kProxyHttps);
    EXPECT_EQ(editor->curProxyUser(), "bob");
    EXPECT_TRUE(editor->curProxyIsHttps());
    EXPECT_FALSE(editor->curProxyShowHttp());
    using S = NSProfile::ProxySwitch;
    EXPECT_EQ(editor->curProxySwitch(S::Ntlm), true);
    EXPECT_EQ(editor->curProxySwitch(S::CurUserLogin), true);
    EXPECT_EQ(editor->curProxySwitch(S::UseHostname), true);
    EXPECT_EQ(editor->curProxySwitch(S::AsIE), false);
    EXPECT_EQ(folds, 1) << "a visible advanced box is folded when the dialog is filled";
    editor->curProxyAdvanced();
    editor->curProxyAdvanced();
    EXPECT_EQ(unfolds, 1) << "only a folded box unfolds";

    editor->setCurProxyPort(std::string("9090"));
    editor->setCurProxySwitch(S::AsIE, true);
    ASSERT_TRUE(editor->curProxySave());
    const CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Proxies.size(), 3u);
    EXPECT_EQ(stored.m_Proxies[1].m_Id, 101);
    EXPECT_EQ(stored.m_Proxies[1].m_Port, 9090);
    EXPECT_EQ(Active().m_Proxies[1].m_Options, 0x01u | 0x02u | 0x08u | 0x100u);
    EXPECT_TRUE(Shown().empty());
}

TEST_F(ProxyEditorTest, TheTypeDecidesTheFlagsNegotiateAndWhetherHttpIsOffered)
{
    CProfileData profile = ThreeProxies();
    Install(profile);
    editor->createProxy();
    editor->setCurProxySwitch(NSProfile::ProxySwitch::Negotiation, true);
    editor->setCurProxyType(kProxySocks4);
    editor->curProxyUpdate();
    EXPECT_TRUE(editor->curProxyIsSocks4());
    EXPECT_EQ(editor->curProxySwitch(NSProfile::ProxySwitch::Negotiation), false);
    EXPECT_FALSE(editor->curProxyShowHttp());

    editor->setCurProxyType(kProxyHttp);
    editor->curProxyUpdate();
    EXPECT_TRUE(editor->curProxyShowHttp()) << "an HTTP proxy keeps its type on offer";

    profile.m_HttpProxiesSupport = true;
    Install(profile);
    editor->setCurProxyType(kProxySocks5);
    editor->curProxyUpdate();
    EXPECT_TRUE(editor->curProxyShowHttp());
    EXPECT_EQ(editor->curProxyPort(), std::nullopt) << "a new proxy's port field is empty";
}

TEST_F(ProxyEditorTest, AnEditOfAProxyThatAnotherWriterRemovedIsNotReportedAsSaved)
{
    Install(ThreeProxies());
    editor->editProxy(2);
    editor->setCurProxyPort(std::string("4000"));

    CProfileData shrunk = ThreeProxies();
    shrunk.m_Proxies.resize(1);
    shrunk.m_Rules.erase(shrunk.m_Rules.begin());
    Install(shrunk);

    ExpectRefused([&] { EXPECT_FALSE(editor->curProxySave()); }, { { "Internal error.", "Could not save proxy", 0 } });
    EXPECT_TRUE(endedWith.empty()) << "the dialog stays open";
    EXPECT_EQ(editor->curProxyPort(), "4000") << "the user's edit is kept";
}

TEST_F(ProxyEditorTest, AProxyTheConsistencyCheckRefusesIsNotSaved)
{
    CProfileData profile = ThreeProxies();
    CChain chain("Out", 200);
    chain.m_Entries = { { 100, true }, { 102, true } };
    profile.m_Chains.push_back(chain);
    Install(profile);

    editor->editProxy(0);
    editor->setCurProxyType(kProxyHttp);
    CProfileData wouldBe = profile;
    wouldBe.m_Proxies[0].m_Type = kProxyHttp;
    std::string message;
    ASSERT_FALSE(CheckProfileConsistency(wouldBe, message));
    ExpectRefused([&] { EXPECT_FALSE(editor->curProxySave()); }, { { message, "Could not save proxy", 0 } });
}

TEST_F(ProxyEditorTest, DeletingAProxy)
{
    CProfileData profile = ThreeProxies();
    CChain chain("Office \"A\"", 200);
    chain.m_Entries = { { 101, true } };
    profile.m_Chains.push_back(chain);
    Install(profile);

    // In a chain: refused with the chain's name, though a rule uses it too.
    ExpectRefused([&] { editor->deleteProxy(1); },
        { { "Proxy server two.example:1081 cannot be removed because it is a member of \"Office \"A\"\" proxy "
            "chain.\nTo remove the proxy, remove it from the chain first.",
            "", 0 } });
    EXPECT_TRUE(removalRequests.empty());

    // Used by a rule: the removal dialog decides; its NO changes nothing.
    profile.m_Chains.clear();
    Install(profile);
    removalAnswer = false;
    ExpectRefused([&] { editor->deleteProxy(1); }, {});
    EXPECT_EQ(removalRequests, std::vector<int32_t> { 101 });

    // Its YES stores the copy as the dialog left it.
    removalAnswer = true;
    removalEdit = [](CProfileData& copy, int32_t id) {
        copy.m_Proxies.erase(copy.m_Proxies.begin() + GetProxyIndexById(copy.m_Proxies, id));
        copy.m_Rules[0].m_Action = kActionBlock;
        copy.m_Rules[0].m_ProxyId = -1;
    };
    editor->deleteProxy(1);
    CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Proxies.size(), 2u);
    EXPECT_EQ(stored.m_Rules[0].m_Action, kActionBlock);

    // Unused: removed at once; out of range: nothing.
    removalRequests.clear();
    editor->deleteProxy(1);
    EXPECT_EQ(Stored().m_Proxies.size(), 1u);
    EXPECT_TRUE(removalRequests.empty());
    ExpectRefused([&] { editor->deleteProxy(5); }, {});
    ExpectRefused([&] { editor->deleteProxy(-1); }, {});
}

TEST_F(ProxyEditorTest, TheProxyListAndItsReaders)
{
    CProfileData profile = ThreeProxies();
    profile.m_Proxies[2].m_Type = kProxyHttp;
    Install(profile);

    EXPECT_EQ(editor->proxyCount(), 3);
    EXPECT_EQ(editor->proxyId(2), 102);
    EXPECT_EQ(editor->proxyName(0), "one.example");
    EXPECT_EQ(editor->proxyPort(1), "1081");
    EXPECT_EQ(editor->proxyType(2), "HTTP");
    EXPECT_EQ(editor->proxyNameForId(101), "two.example:1081");
    EXPECT_EQ(editor->proxyFullNameForId(101), "two.example:1081");
    EXPECT_EQ(editor->proxyNameForId(999), "");
    for (int64_t index : { int64_t { 3 }, int64_t { -1 } }) {
        EXPECT_EQ(editor->proxyId(index), 0);
        EXPECT_EQ(editor->proxyName(index), "");
        EXPECT_EQ(editor->proxyPort(index), "");
        EXPECT_EQ(editor->proxyType(index), "");
    }

    std::vector<std::string> heard;
    editor->properties().observe([&](const std::string& name) { heard.push_back(name); });
    editor->updateProxyList(Active());
    const auto& rows = editor->proxyListArray();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].name, "three.example");
    EXPECT_EQ(rows[2].port, 1082);
    EXPECT_EQ(rows[2].type, "HTTP");
    EXPECT_EQ(rows[2].id, 102);
    EXPECT_EQ(rows[2].num, 2);
    EXPECT_EQ(heard, std::vector<std::string> { "proxyListArray" });
}

} // namespace
} // namespace corvantis::test
