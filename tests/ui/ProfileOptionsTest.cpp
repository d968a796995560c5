#include "tests/ui/EditorFixture.h"

#include "core/profile/HostLists.h"

#include <map>

namespace corvantis::test {
namespace {

using S = NSProfile::Switch;

CProfileData Plain()
{
    CProfileData profile;
    profile.m_Proxies.push_back(MakeProxy("a.example", 1080, kProxySocks5, 100));
    profile.AddDefaultRule();
    return profile;
}

class OptionsEditorTest : public EditorTest {
protected:
    // The names announced while `action` runs, with how often.
    std::map<std::string, int> Announced(const std::function<void()>& action)
    {
        std::map<std::string, int> heard;
        const auto id = editor->properties().observe([&](const std::string& name) { ++heard[name]; });
        action();
        editor->properties().remove(id);
        return heard;
    }
};

TEST_F(OptionsEditorTest, EachSwitchReachesItsFieldAndTheFile)
{
    struct Case {
        S which;
        bool CProfileData::*field;
    };
    const Case cases[] = {
        { S::DnsAutomatic, &CProfileData::m_AutoModeDetection },
        { S::DnsResolveThroughProxy, &CProfileData::m_ViaProxy },
        { S::DnsTryLocalFirst, &CProfileData::m_TryLocalDnsFirst },
        { S::DnsOnlyFromListMode, &CProfileData::m_OnlyFromListMode },
        { S::DnsExclusionLocalhost, &CProfileData::m_ExcludeLocalhost },
        { S::DnsExclusionSimple, &CProfileData::m_ExcludeSimpleHostnames },
        { S::DnsExclusionSelf, &CProfileData::m_ExcludeSelfHostname },
        { S::DnsExclusionLocalDomain, &CProfileData::m_ExcludeLocalDomain },
        { S::HandleDirectConnections, &CProfileData::m_HandleDirectConnections },
        { S::AllowHttpProxy, &CProfileData::m_HttpProxiesSupport },
        { S::SystemConnections, &CProfileData::m_ProcessServices },
        { S::OtherUserConnections, &CProfileData::m_ProcessOtherUsers },
        { S::InfiniteLoopDetection, &CProfileData::m_ConnectionLoopDetection },
        { S::BlockUdp443, &CProfileData::m_BlockUDP443 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(NSProfile::switchName(c.which));
        Install(Plain());
        for (bool value : { true, false, true }) {
            const int updates = profileUpdates;
            const auto heard = Announced([&] { editor->setSwitch(c.which, value); });
            EXPECT_EQ(profileUpdates, updates + 1);
            EXPECT_EQ(Active().*c.field, value);
            // The profile reader keeps the two service switches on whatever the file says.
            if (c.which != S::SystemConnections && c.which != S::OtherUserConnections) {
                EXPECT_EQ(Stored().*c.field, value);
            }
            EXPECT_EQ(editor->switchValue(c.which), value);
            EXPECT_EQ(heard.count(NSProfile::switchName(c.which)), 1u);
        }
        // No value only announces.
        std::map<std::string, int> heard;
        ExpectRefused([&] { heard = Announced([&] { editor->setSwitch(c.which, std::nullopt); }); }, {});
        EXPECT_EQ(heard, (std::map<std::string, int> { { NSProfile::switchName(c.which), 1 } }));
    }
}

TEST_F(OptionsEditorTest, AnUnchangedValueIsStoredAgainExceptForHttpProxies)
{
    Install(Plain());
    editor->setSwitch(S::DnsExclusionSelf, true);
    EXPECT_EQ(profileUpdates, 1);
    editor->setSwitch(S::DnsExclusionSelf, true);
    EXPECT_EQ(profileUpdates, 2);

    editor->setSwitch(S::AllowHttpProxy, false);
    EXPECT_EQ(profileUpdates, 2) << "HTTP proxy support is written only when it changes";
    editor->setSwitch(S::AllowHttpProxy, true);
    EXPECT_EQ(profileUpdates, 3);
}

TEST_F(OptionsEditorTest, BlockingUdp443AsksForARestartEvenWhenUnchanged)
{
    Install(Plain());
    for (int round = 0; round < 2; ++round) {
        ForgetBoxes();
        editor->setSwitch(S::BlockUdp443, true);
        const auto shown = Shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].message, "");
        EXPECT_EQ(shown[0].caption, "Please restart Corvantis for the change to take effect.");
        EXPECT_EQ(shown[0].flags, 0);
    }
    EXPECT_EQ(profileUpdates, 2);
    EXPECT_TRUE(Stored().m_BlockUDP443);
}

TEST_F(OptionsEditorTest, TryLocalDnsFirstReadsWhatTheUserSetAfterLaterWriteBacks)
{
    Install(Plain());
    editor->setSwitch(S::DnsTryLocalFirst, true);
    editor->setSwitch(S::DnsExclusionSimple, false);
    editor->addChain();
    EXPECT_TRUE(editor->switchValue(S::DnsTryLocalFirst));
    EXPECT_TRUE(Stored().m_TryLocalDnsFirst);
}

TEST_F(OptionsEditorTest, TheExclusionList)
{
    CProfileData profile = Plain();
    std::string message;
    ASSERT_TRUE(NormalizeLocalHostList(profile, "intranet.example", message));
    Install(profile);

    editor->initDns();
    EXPECT_EQ(editor->dnsExclusionList(), "intranet.example");
    EXPECT_EQ(editor->dnsOnlyFromListModeDV(), false);

    for (const char* text : { "my_host.example", "printer:631", "caf\xC3\xA9.example" }) {
        SCOPED_TRACE(text);
        editor->setDnsExclusionList(std::string(text));
        ExpectRefused([&] { EXPECT_FALSE(editor->validateDnsAndSave()); },
            { { "Target host list contains incorrect character(s).\n", "DNS Exclusion List", 129 } });
    }
    EXPECT_EQ(
        NSProfile::validateListText("printer:631", ListField::DnsExclusion).refused, std::vector<std::size_t> { 7 });

    std::string refusal;
    CProfileData scratch = Plain();
    ASSERT_FALSE(NormalizeLocalHostList(scratch, "10.example", refusal));
    editor->setDnsExclusionList(std::string("10.example"));
    ExpectRefused([&] { EXPECT_FALSE(editor->validateDnsAndSave()); },
        { { "Error in DNS Exclusion List:\n" + refusal, "DNS Exclusion List", 129 } });

    editor->setDnsExclusionList(std::string("a.example; *.corp.example"));
    editor->setDnsOnlyFromListModeDV(true);
    std::map<std::string, int> heard;
    heard = Announced([&] { EXPECT_TRUE(editor->validateDnsAndSave()); });
    EXPECT_EQ(heard["dnsOnlyFromListMode"], 1);
    const CProfileData stored = Stored();
    EXPECT_TRUE(stored.m_OnlyFromListMode);
    EXPECT_EQ(stored.m_ExclusionList.size(), 2u);
    EXPECT_EQ(editor->excludeHostnamesCount(), 2);

    editor->setDnsExclusionList(std::nullopt);
    EXPECT_TRUE(editor->validateDnsAndSave()) << "no text is an empty list";
    EXPECT_EQ(editor->excludeHostnamesCount(), 0);
}

TEST_F(OptionsEditorTest, TheMasterModeAsksForAPasswordEachTime)
{
    CProfileData profile = Plain();
    profile.m_EncryptionMode = kEncryptionBasic;
    Install(profile);

    typedPassword = std::nullopt;
    ExpectRefused([&] { editor->setEncModeMaster(true); }, {});
    EXPECT_TRUE(editor->encModeBasic()) << "a cancelled prompt keeps the mode";
    EXPECT_FALSE(editor->encModeMaster());

    typedPassword = "first secret";
    editor->setEncModeMaster(true);
    EXPECT_EQ(Stored().m_EncryptionMode, kEncryptionMaster);
    EXPECT_TRUE(editor->encModeMaster());
    EXPECT_EQ(Active().m_MasterPassword, "first secret");

    editor->changeMasterPassword();
    editor->setEncModeBasic(true);
    EXPECT_EQ(Active().m_MasterPassword, "first secret") << "switching to the basic mode keeps the key text";
    typedPassword = "second secret";
    editor->setEncModeMaster(true);
    EXPECT_EQ(passwordPrefills, (std::vector<std::string> { "", "", "first secret", "" }))
        << "choosing the master mode again asks with empty fields";
    EXPECT_EQ(Active().m_MasterPassword, "second secret");
}

TEST_F(OptionsEditorTest, ChangingTheMasterPassword)
{
    CProfileData profile = Plain();
    profile.m_EncryptionMode = kEncryptionMaster;
    profile.m_MasterPassword = "old";
    Install(profile);

    typedPassword = std::nullopt;
    ExpectRefused([&] { editor->changeMasterPassword(); }, {});
    typedPassword = "new";
    editor->changeMasterPassword();
    EXPECT_EQ(Active().m_MasterPassword, "new");
    EXPECT_EQ(Active().m_EncryptionMode, kEncryptionMaster);
    EXPECT_EQ(passwordPrefills, (std::vector<std::string> { "old", "old" }));

    editor->setEncModeDisabled(true);
    passwordPrefills.clear();
    ExpectRefused([&] { editor->changeMasterPassword(); }, {});
    EXPECT_TRUE(passwordPrefills.empty()) << "only the master mode has a password to change";
    EXPECT_EQ(Active().m_MasterPassword, "new");
}

TEST_F(OptionsEditorTest, ThePerUserModeNeedsTheUsersIdentifier)
{
    Install(Plain());
    guid.clear();
    ExpectRefused([&] { editor->setEncModeProfile(true); }, {});
    EXPECT_TRUE(editor->encModeDisabled());

    guid = "11111111-2222-5333-8444-555555555555";
    editor->setEncModeProfile(true);
    EXPECT_EQ(Stored().m_EncryptionMode, kEncryptionAccount);
    EXPECT_EQ(Active().m_MasterPassword, guid);
    EXPECT_TRUE(editor->encModeProfile());
}

TEST_F(OptionsEditorTest, ModeSettersAnnounceAllModesAndFlipThePasswordSwitch)
{
    Install(Plain());
    const std::map<std::string, int> allModes
        = { { "encModeDisabled", 1 }, { "encModeBasic", 1 }, { "encModeProfile", 1 }, { "encModeMaster", 1 } };
    EXPECT_EQ(Announced([&] { editor->setEncModeBasic(false); }), allModes);
    EXPECT_EQ(editor->masterPasswSwitchHide(), std::nullopt);

    auto heard = Announced([&] { editor->setEncModeProfile(false); });
    EXPECT_EQ(heard["masterPasswSwitchHide"], 1);
    EXPECT_EQ(editor->masterPasswSwitchHide(), true);
    editor->setEncModeMaster(false);
    EXPECT_EQ(editor->masterPasswSwitchHide(), false);

    EXPECT_EQ(Announced([&] { editor->setEncModeBasic(std::nullopt); }),
        (std::map<std::string, int> { { "encModeBasic", 1 } }));
    EXPECT_EQ(Announced([&] { editor->encModeDisabled(); }), (std::map<std::string, int> { { "encModeMaster", 1 } }));
    EXPECT_TRUE(NSProfile::allowNegotiationAuthorization());
}

TEST_F(OptionsEditorTest, AnObserverThatReadsEveryGetterDoesNotRecurse)
{
    Install(Plain());
    int calls = 0;
    editor->properties().observe([&](const std::string&) {
        ++calls;
        editor->encModeDisabled();
        editor->encModeBasic();
        editor->encModeProfile();
        editor->encModeMaster();
    });
    editor->setEncModeDisabled(true);
    EXPECT_GT(calls, 0);
    EXPECT_LT(calls, 100);
}

TEST_F(OptionsEditorTest, UpdatingTheWindowAnnouncesEverythingAndRebuildsTheProxies)
{
    Install(Plain());
    const auto heard = Announced([&] { editor->updateProfile(); });
    for (const char* name : { "dnsAutomatic", "blockUdp443", "allowHttpProxy", "encModeDisabled", "encModeMaster",
             "ruleTargetNamesList", "proxyListArray", "excludeHostnamesCount" })
        EXPECT_EQ(heard.count(name), 1u) << name;
    ASSERT_EQ(editor->proxyListArray().size(), 1u);
    EXPECT_EQ(editor->proxyListArray()[0].name, "a.example");
}

} // namespace
} // namespace corvantis::test
