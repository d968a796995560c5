#include "tests/ui/EditorFixture.h"

#include "core/profile/ProfileCheck.h"

namespace corvantis::test {
namespace {

std::vector<int32_t> EntryIds(const CChain& chain)
{
    std::vector<int32_t> ids;
    for (const CChainEntry& entry : chain.m_Entries)
        ids.push_back(entry.m_ProxyId);
    return ids;
}

// Proxies 100-102 (SOCKS5) and 103 (HTTP); chain "Out" (id 200) of 100, 101, 102; the Default rule.
CProfileData ChainProfile()
{
    CProfileData profile;
    profile.m_Proxies
        = { MakeProxy("a.example", 1080, kProxySocks5, 100), MakeProxy("b.example", 1080, kProxySocks5, 101),
              MakeProxy("c.example", 1080, kProxySocks5, 102), MakeProxy("web.example", 3128, kProxyHttp, 103) };
    CChain chain("Out", 200);
    chain.m_Entries = { { 100, true }, { 101, true }, { 102, true } };
    profile.m_Chains.push_back(chain);
    profile.AddDefaultRule();
    return profile;
}

using ChainEditorTest = EditorTest;

TEST_F(ChainEditorTest, ANewChainTakesAnIdFromTheSharedCounter)
{
    Install(ChainProfile());
    editor->addChain();
    const CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Chains.size(), 2u);
    EXPECT_EQ(stored.m_Chains[1].m_Name, "New Chain");
    EXPECT_TRUE(stored.m_Chains[1].m_Entries.empty());
    EXPECT_GT(stored.m_Chains[1].m_Id, 200) << "past every proxy and chain id of the profile";
    EXPECT_EQ(editor->chainsCount(), 2);
    EXPECT_EQ(editor->chainName(1), "New Chain");

    editor->setNameForChain("Backup", 1);
    EXPECT_EQ(Stored().m_Chains[1].m_Name, "Backup");
    ExpectRefused([&] { editor->setNameForChain("x", 2); }, {});
    EXPECT_EQ(editor->chainName(2), "");
}

TEST_F(ChainEditorTest, AddingEntries)
{
    Install(ChainProfile());
    editor->addProxyToChain(102, 0, 0);
    EXPECT_EQ(EntryIds(Stored().m_Chains[0]), (std::vector<int32_t> { 102, 100, 101, 102 }))
        << "duplicates are allowed";
    editor->addProxyToChain(100, 0, 99);
    EXPECT_EQ(EntryIds(Stored().m_Chains[0]), (std::vector<int32_t> { 102, 100, 101, 102, 100 }));
    editor->addProxyToChain(101, 0, -1);
    EXPECT_EQ(EntryIds(Stored().m_Chains[0]).back(), 101) << "a negative position is past the end";
    // An HTTP proxy last is fine.
    editor->addProxyToChain(103, 0, 99);
    EXPECT_EQ(EntryIds(Stored().m_Chains[0]).back(), 103);

    ExpectRefused([&] { editor->addProxyToChain(999, 0, 0); }, {});
    ExpectRefused([&] { editor->addProxyToChain(100, 3, 0); }, {});
}

TEST_F(ChainEditorTest, AnHttpProxyBeforeAnotherEntryIsRefusedWithTheChecksText)
{
    Install(ChainProfile());
    CProfileData wouldBe = ChainProfile();
    wouldBe.m_Chains[0].m_Entries.insert(wouldBe.m_Chains[0].m_Entries.begin() + 1, { 103, true });
    std::string message;
    ASSERT_FALSE(CheckProfileConsistency(wouldBe, message));
    ExpectRefused([&] { editor->addProxyToChain(103, 0, 1); }, { { message, "Could not add proxy to chain.", 0 } });
}

TEST_F(ChainEditorTest, MovingEntries)
{
    struct Case {
        const char* name;
        std::vector<int32_t> before;
        int64_t from;
        int64_t to;
        std::vector<int32_t> after;
    };
    const Case cases[] = {
        { "only entry onto itself", { 100 }, 0, 0, { 100 } },
        { "only entry below itself", { 100 }, 0, 1, { 100 } },
        { "first between the others", { 100, 101, 102 }, 0, 2, { 101, 100, 102 } },
        { "first to the end", { 100, 101, 102 }, 0, 3, { 101, 102, 100 } },
        { "last to the top", { 100, 101, 102 }, 2, 0, { 102, 100, 101 } },
        { "far past the end", { 100, 101, 102 }, 1, 50, { 100, 102, 101 } },
        { "negative target", { 100, 101, 102 }, 0, -1, { 101, 102, 100 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData profile = ChainProfile();
        profile.m_Chains[0].m_Entries.clear();
        for (int32_t id : c.before)
            profile.m_Chains[0].m_Entries.push_back({ id, true });
        Install(profile);
        editor->moveProxyInChain(c.from, c.to, 0);
        EXPECT_EQ(EntryIds(Stored().m_Chains[0]), c.after);
    }

    Install(ChainProfile());
    ExpectRefused([&] { editor->moveProxyInChain(3, 0, 0); }, {});
    ExpectRefused([&] { editor->moveProxyInChain(0, 1, 1); }, {});
}

TEST_F(ChainEditorTest, AMoveThatPutsAnHttpProxyBeforeAnotherIsRefused)
{
    CProfileData profile = ChainProfile();
    profile.m_Chains[0].m_Entries.push_back({ 103, true });
    Install(profile);
    CProfileData wouldBe = profile;
    std::swap(wouldBe.m_Chains[0].m_Entries[2], wouldBe.m_Chains[0].m_Entries[3]);
    std::string message;
    ASSERT_FALSE(CheckProfileConsistency(wouldBe, message));
    ExpectRefused([&] { editor->moveProxyInChain(3, 2, 0); }, { { message, "Could not move proxy in chain.", 0 } });
}

TEST_F(ChainEditorTest, EntriesAreReadSwitchedAndRemoved)
{
    Install(ChainProfile());
    EXPECT_EQ(editor->proxysCountInChain(0), 3);
    EXPECT_EQ(editor->proxysCountInChain(1), 0);
    EXPECT_EQ(editor->proxyWithNum(1, 0), (CChainEntry { 101, true }));
    EXPECT_EQ(editor->proxyWithNum(3, 0), (CChainEntry { -1, false }));
    EXPECT_EQ(editor->proxyWithNum(0, 1), (CChainEntry { -1, false }));
    EXPECT_TRUE(editor->chainHaveProxy(0, 102));
    EXPECT_FALSE(editor->chainHaveProxy(0, 103));
    EXPECT_FALSE(editor->chainHaveProxy(4, 100));

    editor->setEnabledForProxyInChain(false, 1, 0);
    EXPECT_FALSE(Stored().m_Chains[0].m_Entries[1].m_Enabled);
    editor->delProxyFromChain(0, 0);
    EXPECT_EQ(EntryIds(Stored().m_Chains[0]), (std::vector<int32_t> { 101, 102 }));
    ExpectRefused([&] { editor->delProxyFromChain(2, 0); }, {});
    ExpectRefused([&] { editor->setEnabledForProxyInChain(true, 5, 0); }, {});
}

TEST_F(ChainEditorTest, AChainThatRulesUseGoesThroughTheRemovalDialog)
{
    CProfileData profile = ChainProfile();
    profile.m_Rules.insert(profile.m_Rules.begin(), MakeRule("Via chain", kActionChain, 200));
    Install(profile);

    removalAnswer = false;
    ExpectRefused([&] { editor->delChain(0); }, {});
    EXPECT_EQ(removalRequests, std::vector<int32_t> { 200 });

    removalAnswer = true;
    removalEdit = [](CProfileData& copy, int32_t) {
        copy.m_Chains.clear();
        copy.m_Rules[0].m_Action = kActionDirect;
        copy.m_Rules[0].m_ProxyId = -1;
    };
    editor->delChain(0);
    EXPECT_TRUE(Stored().m_Chains.empty());
    EXPECT_EQ(Stored().m_Rules[0].m_Action, kActionDirect);

    // A chain no rule uses goes at once.
    Install(ChainProfile());
    removalRequests.clear();
    editor->delChain(0);
    EXPECT_TRUE(Stored().m_Chains.empty());
    EXPECT_TRUE(removalRequests.empty());
}

} // namespace
} // namespace corvantis::test
