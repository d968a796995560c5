#pragma once

#include "core/foundation/CoreHooks.h"
#include "core/foundation/Log.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileStorage.h"
#include "platform/NotificationCenter.h"
#include "tests/support/FakeMainThread.h"
#include "tests/support/LogLines.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvantis::test {

// One question or message as the application's window code received it.
struct AskedBox {
    std::string text; // the main text
    int flags = 0;
};

// A core object whose password query plays the user from a script: `cached` is what the cache holds, `typed`
// the passwords the user types at each prompt, in order (an empty text once they run out). Saves of the
// active profile go to the profile files.
class ScriptedPasswordApp final : public CCorvantisApp {
public:
    ~ScriptedPasswordApp() override { StopBackgroundThreads(); }

    std::string GetProfilePassword(const std::string& name, bool fromCache, const std::string& key) override
    {
        std::lock_guard lock(m_mutex);
        queries.push_back({ name, fromCache, key });
        if (fromCache)
            return cached;
        if (typed.empty())
            return {};
        std::string next = typed.front();
        typed.pop_front();
        return next;
    }

    struct Query {
        std::string name;
        bool fromCache = false;
        std::string key;
    };
    std::string cached;
    std::deque<std::string> typed;
    std::vector<Query> queries;

    int Prompts() const
    {
        int count = 0;
        for (const Query& q : queries)
            count += q.fromCache ? 0 : 1;
        return count;
    }

protected:
    bool SaveActiveProfile() override { return corvantis::SaveActiveProfile(*this, false); }

private:
    std::mutex m_mutex;
};

// The surroundings of a profile load: the application's home in a temporary folder, with `theApp` pointing at
// `app` and the process log's screen lines from level 3 (a ProgramHomeScope), and a main thread whose message
// boxes answer from `answers` (Yes/No questions: true means Yes; once they run out, No) and are recorded. Extra hooks
// (password prompt and cache) can be given to Install before the test runs.
template <typename App> class StorageFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_scope.emplace(Program::Application, home.path(), &app, kLogVerbose);
        m_main = std::make_shared<FakeMainThread>();
        NotificationCenter::defaultCenter().setMainThreadExecutor(m_main);
        m_observer = NotificationCenter::defaultCenter().addObserver(
            kMessageBoxNotification, [](const Notification& n) { MessageBoxNotifyHandler(true, n); });
        Install({});
    }

    void TearDown() override
    {
        NotificationCenter::defaultCenter().removeObserver(m_observer);
        SetCoreHooks({});
        NotificationCenter::defaultCenter().setMainThreadExecutor(nullptr);
        m_main.reset();
        m_scope.reset();
    }

    // Registers `hooks` with the fixture's message-box window added.
    void Install(CoreHooks hooks)
    {
        hooks.messageBoxUI = [this](const std::string& message, const std::string& caption, int flags, const char*,
                                 bool*, const char* const*, int) -> long {
            std::lock_guard lock(m_mutex);
            boxes.push_back({ caption + message, flags });
            if (!(flags & kMbYesNo))
                return 0;
            const bool yes = !answers.empty() && answers.front();
            if (!answers.empty())
                answers.pop_front();
            return yes ? kMbAnswerYes : 0;
        };
        SetCoreHooks(std::move(hooks));
    }

    std::vector<AskedBox> Boxes()
    {
        std::lock_guard lock(m_mutex);
        return boxes;
    }

    std::vector<std::string> BoxTexts()
    {
        std::vector<std::string> texts;
        for (const AskedBox& box : Boxes())
            texts.push_back(box.text);
        return texts;
    }

    static std::vector<std::string> TakeLogLines() { return test::TakeScreenLines(); }

    std::string ProfilesDir() const { return home.str() + "/Profiles"; }

    TempDir home;
    App app;
    std::deque<bool> answers;
    std::vector<AskedBox> boxes;

private:
    std::mutex m_mutex;
    std::optional<ProgramHomeScope> m_scope;
    std::shared_ptr<FakeMainThread> m_main;
    NotificationCenter::ObserverId m_observer = 0;
};

inline CProxy AuthProxy(const std::string& host, uint16_t port, int32_t id, const std::string& password)
{
    CProxy proxy(host, port, kProxySocks5, id);
    proxy.m_AuthEnabled = true;
    proxy.m_UserName = "user" + std::to_string(id);
    proxy.m_Password = password;
    return proxy;
}

// A profile with three authenticating proxies (passwords "alpha", "beta" and none) and the default rule, in the
// given encryption mode keyed by `key`.
inline CProfileData SampleProfile(int encryptionMode = kEncryptionBasic, const std::string& key = {})
{
    CProfileData profile;
    profile.m_Proxies.push_back(AuthProxy("one.example", 1080, 100, "alpha"));
    profile.m_Proxies.push_back(AuthProxy("two.example", 1081, 101, "beta"));
    profile.m_Proxies.push_back(AuthProxy("three.example", 1082, 102, ""));
    profile.AddDefaultRule();
    profile.m_EncryptionMode = encryptionMode;
    profile.m_MasterPassword = key;
    return profile;
}

inline std::vector<std::string> Passwords(const CProfileData& profile)
{
    std::vector<std::string> passwords;
    for (const CProxy& proxy : profile.m_Proxies)
        passwords.push_back(proxy.m_Password);
    return passwords;
}

inline std::vector<std::string> Passwords(const CCorvantisApp& app)
{
    CProfileData profile;
    app.GetProfile(profile, false);
    return Passwords(profile);
}

} // namespace corvantis::test
