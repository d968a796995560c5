#include "core/foundation/CoreHooks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace corvantis {

class CCorvantisAppUI { }; // stands in for the application's core object

namespace {

class CoreHooksTest : public ::testing::Test {
protected:
    void TearDown() override { SetCoreHooks({}); }
};

TEST_F(CoreHooksTest, WithoutRegistrationEveryCallIsInert)
{
    SetCoreHooks({});
    EXPECT_EQ(GetAppUI(), nullptr);
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

TEST_F(CoreHooksTest, RegisteredHooksGetTheCallsAndTheirArguments)
{
    static CCorvantisAppUI app;
    std::vector<std::string> calls;
    CoreHooks hooks;
    hooks.getAppUI = [] { return &app; };
    hooks.startUpdateCheckThread = [&](int mode) { calls.push_back("update " + std::to_string(mode)); };
    hooks.writeGlobalSettings = [&](int arg) { calls.push_back("write " + std::to_string(arg)); };
    hooks.getPassword = [&](bool wantNew, bool& wantToSave) -> std::optional<std::string> {
        calls.push_back(std::string("ask ") + (wantNew ? "new" : "old") + (wantToSave ? " save" : ""));
        wantToSave = false;
        return "typed";
    };
    hooks.passwordFromCasheForProfile = [&](const std::string& p) -> std::optional<std::string> { return "c-" + p; };
    hooks.setPasswordToCasheForProfile
        = [&](const std::string& t, const std::string& p) { calls.push_back("cache " + t + " for " + p); };
    hooks.gssGetTokenForProxyHost
        = [&](const char* host, size_t* errorLength, char*, size_t* tokenLength, unsigned char* tokenBuffer) {
              calls.push_back(std::string("gss ") + host + " " + std::to_string(*errorLength));
              std::memcpy(tokenBuffer, "TKN", 3);
              *tokenLength = 3;
              return true;
          };
    SetCoreHooks(hooks);

    EXPECT_EQ(GetAppUI(), &app);
    StartUpdateCheckThread(0);
    CorvantisAppServices::writeGlobalSettings(0);
    bool wantToSave = true;
    EXPECT_EQ(CorvantisAppServices::getPassword(false, &wantToSave), "typed");
    EXPECT_FALSE(wantToSave);
    EXPECT_EQ(CorvantisAppServices::passwordFromCasheForProfile("Default"), "c-Default");
    CorvantisAppServices::setPassword("enc", "Work");
    std::vector<char> error(kGssBufferCapacity);
    std::vector<unsigned char> token(kGssBufferCapacity);
    size_t errorLength = error.size(), tokenLength = token.size();
    EXPECT_TRUE(GssGetTokenForProxyHost("proxy", &errorLength, error.data(), &tokenLength, token.data()));
    EXPECT_EQ(std::string(token.begin(), token.begin() + static_cast<long>(tokenLength)), "TKN");
    EXPECT_EQ(calls,
        (std::vector<std::string> { "update 0", "write 0", "ask old save", "cache enc for Work", "gss proxy 20480" }));

    // Members left empty keep their defaults.
    CoreHooks onlyApp;
    onlyApp.getAppUI = hooks.getAppUI;
    SetCoreHooks(onlyApp);
    EXPECT_EQ(GetAppUI(), &app);
    EXPECT_FALSE(CorvantisAppServices::passwordFromCasheForProfile("Default"));
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
