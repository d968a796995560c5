#pragma once

#include "app/ui/NSProfile.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisAppUI.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileStorage.h"
#include "platform/NotificationCenter.h"
#include "tests/support/FakeMessageBoxes.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace corvantis::test {

// A box the editor is expected to show: informative text, main text (caption) and flags.
struct ExpectedBox {
    std::string message;
    std::string caption;
    int flags = 0;
};

inline CProxy MakeProxy(const std::string& host, uint16_t port, int type, int32_t id)
{
    return CProxy(host, port, type, id);
}

inline CRule MakeRule(const std::string& name, int action = kActionDirect, int64_t id = -1)
{
    CRule rule(name);
    rule.m_Action = action;
    rule.m_ProxyId = id;
    return rule;
}

// The editor over the application's real core object in a temporary home: every write-back lands in the
// active profile's file ("Editor"), message boxes go through the core's message-box path to a scripted window
// that answers Yes/No questions from `answers` (No once they run out), and the seams record what they are
// asked and answer from the fixture's fields.
class EditorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_scope.emplace(Program::Application, home.path(), &app);
        CAppSettings settings = app.GetSettings();
        settings.ActiveProfile = "Editor";
        app.SetSettings(settings);
        ForgetBoxes();
        m_updates = NotificationCenter::defaultCenter().addObserver(
            kProfileUpdatedNotification, [this](const Notification&) { ++profileUpdates; });
        NSProfileSeams seams;
        seams.requestNewAction = [this](CProfileData& profile, int32_t id) {
            removalRequests.push_back(id);
            if (!removalAnswer)
                return false;
            if (removalEdit)
                removalEdit(profile, id);
            return true;
        };
        seams.getPassword = [this](const std::string& prefill, bool confirm) {
            passwordPrefills.push_back(prefill);
            EXPECT_TRUE(confirm);
            return typedPassword;
        };
        seams.advancedBoxVisible = [this] { return advancedVisible; };
        seams.foldAdvancedBox = [this] {
            advancedVisible = false;
            ++folds;
        };
        seams.unfoldAdvancedBox = [this] {
            advancedVisible = true;
            ++unfolds;
        };
        seams.endProxyDialog = [this](int code) { endedWith.push_back(code); };
        seams.userGuid = [this] { return guid; };
        editor.emplace(app, std::move(seams));
    }

    void TearDown() override
    {
        editor.reset();
        NotificationCenter::defaultCenter().removeObserver(m_updates);
        boxes.reset();
        m_scope.reset();
    }

    // Installs `profile` as another writer would (saved to the file); forgets the boxes and updates so far.
    void Install(CProfileData profile)
    {
        app.SetProfile(std::move(profile), true);
        ForgetBoxes();
        profileUpdates = 0;
    }

    void ForgetBoxes()
    {
        boxes.reset();
        boxes.emplace([this](const ShownBox& box) -> long {
            if (!(box.flags & kMbYesNo))
                return 0;
            const bool yes = !answers.empty() && answers.front();
            if (!answers.empty())
                answers.pop_front();
            return yes ? kMbAnswerYes : 0;
        });
        boxes->observeAs(true);
    }

    CProfileData Active() const
    {
        CProfileData profile;
        app.GetProfile(profile, false);
        return profile;
    }

    // The profile as its file holds it, read anew.
    CProfileData Stored() const
    {
        CProfileData profile;
        EXPECT_TRUE(ReadProfileFile(profile, GetProfileFilePath("Editor")).ok());
        return profile;
    }

    std::string FileBytes() const
    {
        std::ifstream in(GetProfileFilePath("Editor"), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    std::vector<ShownBox> Shown() { return boxes->shown(); }

    // Runs `action`, which must refuse: exactly the boxes `expected` are shown, in order, and the profile file
    // is byte for byte what it was.
    void ExpectRefused(const std::function<void()>& action, const std::vector<ExpectedBox>& expected)
    {
        ForgetBoxes();
        const std::string before = FileBytes();
        ASSERT_FALSE(before.empty());
        const int updatesBefore = profileUpdates;
        action();
        const std::vector<ShownBox> shown = Shown();
        ASSERT_EQ(shown.size(), expected.size());
        for (std::size_t i = 0; i < shown.size(); ++i) {
            EXPECT_EQ(shown[i].message, expected[i].message) << "box " << i;
            EXPECT_EQ(shown[i].caption, expected[i].caption) << "box " << i;
            EXPECT_EQ(shown[i].flags, expected[i].flags) << "box " << i;
        }
        EXPECT_EQ(FileBytes(), before);
        EXPECT_EQ(profileUpdates, updatesBefore);
    }

    TempDir home;
    CCorvantisAppUI app;
    std::optional<FakeMessageBoxes> boxes;
    std::deque<bool> answers;
    int profileUpdates = 0;

    // The removal dialog's answer, what it does to the profile on YES, and the ids it was asked about.
    bool removalAnswer = false;
    std::function<void(CProfileData&, int32_t)> removalEdit;
    std::vector<int32_t> removalRequests;
    // The password prompt's answer and the prefills it was shown.
    std::optional<std::string> typedPassword;
    std::vector<std::string> passwordPrefills;
    // The proxy dialog.
    bool advancedVisible = false;
    int folds = 0;
    int unfolds = 0;
    std::vector<int> endedWith;
    std::string guid = "0F2E1D3C-4B5A-5968-8776-A5B4C3D2E1F0";

    std::optional<NSProfile> editor;

private:
    std::optional<ProgramHomeScope> m_scope;
    NotificationCenter::ObserverId m_updates = 0;
};

} // namespace corvantis::test
