#include "core/foundation/CoreHooks.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace corvantis {

namespace {

class CoreHooksTest : public ::testing::Test {
protected:
    void TearDown() override { SetCoreHooks({}); }
};

TEST_F(CoreHooksTest, WithoutRegistrationEveryCallIsInert)
{
    SetCoreHooks({});
    StartUpdateCheckThread(0);
    CorvantisAppServices::writeGlobalSettings(0);
    bool wantToSave = true;
    EXPECT_FALSE(CorvantisAppServices::getPassword(false, &wantToSave));
    EXPECT_TRUE(wantToSave);
    EXPECT_FALSE(CorvantisAppServices::passwordFromCasheForProfile("Default"));
    CorvantisAppServices::setPassword("x", "Default");

    char error[8] = "keep";
    unsigned char token[8] = { 9 };
    size_t errorLength = sizeof error, tokenLength = sizeof token;
    EXPECT_FALSE(GssGetTokenForProxyHost("proxy.example", &errorLength, error, &tokenLength, token));
    // The caller takes the lengths as the bytes written: no source, nothing written.
    EXPECT_EQ(errorLength, 0u);
    EXPECT_EQ(tokenLength, 0u);
    EXPECT_STREQ(error, "keep");
    EXPECT_EQ(token[0], 9);
}

// A registration sets only the members it fills; the others keep their inert defaults.
TEST_F(CoreHooksTest, MembersLeftEmptyKeepTheirDefaults)
{
    int updateChecks = 0;
    CoreHooks onlyUpdates;
    onlyUpdates.startUpdateCheckThread = [&](int) { ++updateChecks; };
    SetCoreHooks(onlyUpdates);
    StartUpdateCheckThread(1);
    EXPECT_EQ(updateChecks, 1);
    EXPECT_FALSE(CorvantisAppServices::passwordFromCasheForProfile("Default"));
    bool wantToSave = true;
    EXPECT_FALSE(CorvantisAppServices::getPassword(false, &wantToSave));
    EXPECT_TRUE(wantToSave);
}

TEST(AssignCStringTest, CopiesTextAndEmptiesOnNull)
{
    struct Case {
        const char* text;
        std::string expected;
    } cases[] = { { "abc", "abc" }, { "", "" }, { nullptr, "" }, { "ü", "ü" } };
    for (const auto& c : cases) {
        std::string target = "previous";
        std::string& result = AssignCString(target, c.text);
        EXPECT_EQ(&result, &target);
        EXPECT_EQ(target, c.expected);
    }
}

TEST(TimingFlagsTest, KeywordsNameTheItemsAndFlagsStartOff)
{
    struct Case {
        const char* keyword;
        std::optional<TimingItem> item;
    } cases[] = {
        { "connect", TimingItem::Connect },
        { "ntlm", TimingItem::Ntlm },
        { "kipc", TimingItem::Kipc },
        { "autod", TimingItem::Autod },
        { "sysev", TimingItem::Sysev },
        { "uiupd", TimingItem::Uiupd },
        { "Connect", std::nullopt },
        { "", std::nullopt },
        { "connect ", std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keyword);
        EXPECT_EQ(TimingItemFromKeyword(c.keyword), c.item);
        if (c.item) {
            EXPECT_FALSE(IsTimingOn(*c.item));
        }
    }
    SetTimingOn(TimingItem::Ntlm, true);
    EXPECT_TRUE(IsTimingOn(TimingItem::Ntlm));
    EXPECT_FALSE(IsTimingOn(TimingItem::Connect));
    SetTimingOn(TimingItem::Ntlm, false);
    EXPECT_FALSE(IsTimingOn(TimingItem::Ntlm));
}

} // namespace
} // namespace corvantis
