// The profile encryption windows on the offscreen platform: the password window's derived flags, typing into
// its real fields, the save check box, the encryption-mode window, and a password asked from another thread
// through the application's prompt while the event loop runs.

#include "app/ui/ProfileEncryption.h"

#include "app/ProfileDocuments.h"
#include "core/foundation/CoreHooks.h"
#include "core/profile/ProfileData.h"
#include "tests/support/Wait.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace corvantis {
namespace {

// Runs `script` once, from the event loop, as soon as `window` shows (also inside a modal run). A script that
// leaves the window open fails the test and cancels the window, so that its modal run ends.
void WhenShown(QDialog* window, std::function<void()> script)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, window, script = std::move(script)] {
        if (!window->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        script();
        if (window->isVisible()) {
            ADD_FAILURE() << "the script left " << window->windowTitle().toStdString() << " open";
            window->reject();
        }
    });
    timer->start();
}

TEST(PasswordWindowFlagsTest, FollowWhatIsAskedAndTyped)
{
    const struct {
        bool wantNew;
        std::string password;
        std::string confirm;
        PasswordWindowFlags flags; // OK enabled, empty message hidden, mismatch message hidden
    } cases[] = {
        { false, "", "", { true, true, true } },
        { false, "abc", "xyz", { true, true, true } },
        { true, "", "", { false, false, true } },
        { true, "", "abc", { false, false, true } },
        { true, "abc", "", { false, true, false } },
        { true, "abc", "abd", { false, true, false } },
        { true, "abc", "abc", { true, true, true } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.wantNew << " '" << c.password << "' '" << c.confirm << "'");
        EXPECT_EQ(DerivePasswordWindowFlags(c.wantNew, c.password, c.confirm), c.flags);
    }
}

TEST(PasswordWindowTest, ANewPasswordEnablesOkOnlyWhenItsConfirmationMatches)
{
    ProfileEncryptionDialogs dialogs;
    std::vector<bool> okStates;
    std::vector<bool> diffShown;
    WhenShown(dialogs.passwordWindow(), [&] {
        EXPECT_TRUE(dialogs.confirmField()->isVisible());
        EXPECT_FALSE(dialogs.savePasswordBox()->isVisible());
        EXPECT_TRUE(dialogs.emptyPassLabel()->isVisible());
        okStates.push_back(dialogs.okButton()->isEnabled());
        QTest::keyClicks(dialogs.passwordField(), "s3cret");
        EXPECT_FALSE(dialogs.emptyPassLabel()->isVisible());
        okStates.push_back(dialogs.okButton()->isEnabled());
        diffShown.push_back(dialogs.diffPassLabel()->isVisible());
        QTest::keyClicks(dialogs.confirmField(), "s3cre");
        okStates.push_back(dialogs.okButton()->isEnabled());
        diffShown.push_back(dialogs.diffPassLabel()->isVisible());
        QTest::keyClicks(dialogs.confirmField(), "t");
        okStates.push_back(dialogs.okButton()->isEnabled());
        diffShown.push_back(dialogs.diffPassLabel()->isVisible());
        dialogs.okButton()->click();
    });
    EXPECT_EQ(dialogs.getPassword(true), "s3cret");
    EXPECT_EQ(okStates, (std::vector<bool> { false, false, false, true }));
    EXPECT_EQ(diffShown, (std::vector<bool> { true, true, false }));
    EXPECT_FALSE(dialogs.passwordWindow()->isVisible());
    // The next prompt starts from cleared fields.
    EXPECT_TRUE(dialogs.passwordField()->text().isEmpty());
}

TEST(PasswordWindowTest, AnExistingPasswordIsAcceptedAtOnceAndCancelGivesNothing)
{
    ProfileEncryptionDialogs dialogs;
    bool okAtOnce = false;
    WhenShown(dialogs.passwordWindow(), [&] {
        EXPECT_FALSE(dialogs.confirmField()->isVisible());
        EXPECT_FALSE(dialogs.emptyPassLabel()->isVisible());
        okAtOnce = dialogs.okButton()->isEnabled();
        dialogs.okButton()->click();
    });
    EXPECT_EQ(dialogs.getPassword(false), "");
    EXPECT_TRUE(okAtOnce);

    WhenShown(dialogs.passwordWindow(), [&] {
        QTest::keyClicks(dialogs.passwordField(), "typed");
        dialogs.cancelButton()->click();
    });
    EXPECT_EQ(dialogs.getPassword(false), std::nullopt);
}

TEST(PasswordWindowTest, TheSaveBoxShowsUntickedAndItsStateComesBack)
{
    ProfileEncryptionDialogs dialogs;
    for (const bool tick : { true, false }) {
        SCOPED_TRACE(tick);
        bool shownTicked = true;
        WhenShown(dialogs.passwordWindow(), [&] {
            EXPECT_TRUE(dialogs.savePasswordBox()->isVisible());
            shownTicked = dialogs.savePasswordBox()->isChecked();
            if (tick)
                dialogs.savePasswordBox()->click();
            QTest::keyClicks(dialogs.passwordField(), "pw");
            dialogs.okButton()->click();
        });
        bool wantToSave = true;
        EXPECT_EQ(dialogs.getPassword(false, wantToSave), "pw");
        EXPECT_FALSE(shownTicked);
        EXPECT_EQ(wantToSave, tick);
    }
    // Without the box asked for it stays hidden and hands back false.
    WhenShown(dialogs.passwordWindow(), [&] {
        EXPECT_FALSE(dialogs.savePasswordBox()->isVisible());
        dialogs.okButton()->click();
    });
    bool wantToSave = false;
    EXPECT_EQ(dialogs.getPassword(false, wantToSave), "");
    EXPECT_FALSE(wantToSave);
}

TEST(PasswordWindowTest, TheEditorPromptStartsWithItsPrefill)
{
    ProfileEncryptionDialogs dialogs;
    WhenShown(dialogs.passwordWindow(), [&] {
        EXPECT_EQ(dialogs.confirmField()->text(), QStringLiteral("old"));
        EXPECT_TRUE(dialogs.okButton()->isEnabled());
        // The field shown with the focus has its text selected; typing at its end extends it.
        dialogs.passwordField()->end(false);
        QTest::keyClicks(dialogs.passwordField(), "er");
        EXPECT_FALSE(dialogs.okButton()->isEnabled());
        dialogs.okButton()->click(); // disabled: does nothing
        dialogs.confirmField()->end(false);
        QTest::keyClicks(dialogs.confirmField(), "er");
        dialogs.okButton()->click();
    });
    EXPECT_EQ(dialogs.askPassword("old", true), "older");
}

class ModeWindowTest : public testing::Test {
protected:
    ProfileEncryptionDialogs dialogs { { [this] { return guid; } } };
    std::string guid;
    ProfileEncryption record { kEncryptionBasic, "", "hash" };
};

TEST_F(ModeWindowTest, CancelLeavesTheRecordAlsoAfterAChange)
{
    WhenShown(dialogs.modeWindow(), [&] {
        EXPECT_TRUE(dialogs.modeButton(kEncryptionBasic)->isChecked());
        dialogs.modeButton(kEncryptionDisabled)->click();
        EXPECT_EQ(dialogs.profileEncForSave().mode, kEncryptionDisabled);
        dialogs.modeCancelButton()->click();
    });
    EXPECT_FALSE(dialogs.getEncForSavedProfile(record));
    EXPECT_EQ(record.mode, kEncryptionBasic);
    EXPECT_EQ(record.hash, "hash");

    WhenShown(dialogs.modeWindow(), [&] {
        dialogs.modeButton(kEncryptionDisabled)->click();
        dialogs.modeOkButton()->click();
    });
    EXPECT_TRUE(dialogs.getEncForSavedProfile(record));
    EXPECT_EQ(record.mode, kEncryptionDisabled);
    EXPECT_EQ(record.hash, "hash");
}

TEST_F(ModeWindowTest, MasterModeNeedsANewPasswordAndACancelledPromptKeepsTheMode)
{
    bool basicStillShown = false;
    WhenShown(dialogs.modeWindow(), [&] {
        WhenShown(dialogs.passwordWindow(), [&] { dialogs.cancelButton()->click(); });
        dialogs.modeButton(kEncryptionMaster)->click();
        basicStillShown = dialogs.modeButton(kEncryptionBasic)->isChecked();
        WhenShown(dialogs.passwordWindow(), [&] {
            QTest::keyClicks(dialogs.passwordField(), "master");
            QTest::keyClicks(dialogs.confirmField(), "master");
            dialogs.okButton()->click();
        });
        dialogs.modeButton(kEncryptionMaster)->click();
        dialogs.modeOkButton()->click();
    });
    EXPECT_TRUE(dialogs.getEncForSavedProfile(record));
    EXPECT_TRUE(basicStillShown);
    EXPECT_EQ(record.mode, kEncryptionMaster);
    EXPECT_EQ(record.masterPassword, "master");
    // Two master choices: the switch flipped twice from unset.
    EXPECT_EQ(dialogs.masterPasswSwitchHide(), false);
}

TEST_F(ModeWindowTest, TheAccountModeNeedsTheUsersIdentifier)
{
    dialogs.setEncSaveModeProfile(true);
    EXPECT_EQ(dialogs.profileEncForSave().mode, kEncryptionDisabled) << "no identifier: the mode stays";
    EXPECT_EQ(dialogs.masterPasswSwitchHide(), true);

    guid = "0A1B2C3D-0000-5000-8000-000000000001";
    WhenShown(dialogs.modeWindow(), [&] {
        dialogs.modeButton(kEncryptionAccount)->click();
        dialogs.modeOkButton()->click();
    });
    EXPECT_TRUE(dialogs.getEncForSavedProfile(record));
    EXPECT_EQ(record.mode, kEncryptionAccount);
    EXPECT_EQ(record.masterPassword, guid);

    // A missing value changes nothing, not even the switch.
    dialogs.setEncSaveModeMaster(std::nullopt);
    dialogs.setEncSaveModeBasic(std::nullopt);
    EXPECT_EQ(dialogs.profileEncForSave().mode, kEncryptionAccount);
    EXPECT_EQ(dialogs.masterPasswSwitchHide(), false);
}

TEST_F(ModeWindowTest, ChangeMasterPasswordSelectsTheMasterModeWithTheNewPassword)
{
    WhenShown(dialogs.modeWindow(), [&] {
        WhenShown(dialogs.passwordWindow(), [&] {
            QTest::keyClicks(dialogs.passwordField(), "fresh");
            QTest::keyClicks(dialogs.confirmField(), "fresh");
            dialogs.okButton()->click();
        });
        dialogs.changeMasterButton()->click();
        EXPECT_TRUE(dialogs.modeButton(kEncryptionMaster)->isChecked());
        dialogs.modeOkButton()->click();
    });
    EXPECT_TRUE(dialogs.getEncForSavedProfile(record));
    EXPECT_EQ(record.mode, kEncryptionMaster);
    EXPECT_EQ(record.masterPassword, "fresh");
}

TEST(PasswordPromptTest, APasswordAskedFromAThreadReturnsWhatWasTypedIntoTheWindow)
{
    const std::shared_ptr<const CoreHooks> savedHooks = CurrentCoreHooks();
    ProfileEncryptionDialogs dialogs;
    ProfileDocuments::Seams seams;
    seams.passwordWindow
        = [&dialogs](bool wantNew, bool& wantToSave) { return dialogs.getPassword(wantNew, wantToSave); };
    ProfileDocuments documents(std::move(seams));
    documents.installCoreHooks();

    const auto askFromThread = [](const std::function<std::optional<std::string>(bool&)>& ask) {
        std::optional<std::string> answer;
        bool wantToSave = true;
        std::atomic<bool> done = false;
        std::thread asker([&] {
            answer = ask(wantToSave);
            done = true;
        });
        const bool finished = test::waitUntil([&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            return done.load();
        });
        asker.join();
        EXPECT_TRUE(finished);
        return std::make_pair(answer, wantToSave);
    };

    // Through the core's hook, as a profile load on a work thread asks.
    WhenShown(dialogs.passwordWindow(), [&] {
        QTest::keyClicks(dialogs.passwordField(), "from the window");
        dialogs.savePasswordBox()->click();
        dialogs.okButton()->click();
    });
    const auto viaHook
        = askFromThread([](bool& wantToSave) { return CorvantisAppServices::getPassword(false, &wantToSave); });
    EXPECT_EQ(viaHook.first, "from the window");
    EXPECT_TRUE(viaHook.second);

    // The window's own entry, called off the main thread, and cancelled.
    WhenShown(dialogs.passwordWindow(), [&] { dialogs.cancelButton()->click(); });
    const auto direct = askFromThread([&](bool& wantToSave) { return dialogs.getPassword(true, wantToSave); });
    EXPECT_EQ(direct.first, std::nullopt);
    EXPECT_FALSE(direct.second);

    SetCoreHooks(*savedHooks);
}

} // namespace
} // namespace corvantis
