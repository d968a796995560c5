// The small dialogs over a real core object in a temporary home: the removal dialog behind the editor's
// removals, the loop dialog, the extension-loading window driven from other threads, the About window and the
// profile update dialog. Modal runs are driven by timers that act once the dialog is up; message boxes are
// answered through the "next answer" seam.

#include "app/ui/AboutWindow.h"
#include "app/ui/ActionRemoval.h"
#include "app/ui/LoopDetectController.h"
#include "app/ui/MessageBoxUI.h"
#include "app/ui/NSProfile.h"
#include "app/ui/NetworkLoadWindow.h"
#include "app/ui/ProfileAutoUpdateWindow.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisAppUI.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileStorage.h"
#include "platform/NotificationCenter.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

constexpr const char* kProfileName = "Dialogs";

// Once `dialog`'s modal run has begun, runs `act` in it. A dialog that `act` leaves open is closed with 0 after a
// generous wait, so that a fault fails the test instead of hanging the suite. The timers die with the dialog.
void WhenUp(QDialog& dialog, std::function<void()> act)
{
    QTimer::singleShot(0, &dialog, [&dialog, act = std::move(act)] {
        EXPECT_TRUE(dialog.isVisible());
        act();
    });
    QTimer::singleShot(10000, &dialog, [&dialog] {
        if (dialog.isVisible()) {
            ADD_FAILURE() << "the dialog was left open";
            dialog.done(0);
        }
    });
}

int IndexOf(const std::vector<std::string>& names, const std::string& name)
{
    const auto found = std::find(names.begin(), names.end(), name);
    return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

CRule Rule(const std::string& name, int action, int64_t id = -1)
{
    CRule rule(name);
    rule.m_Action = action;
    rule.m_ProxyId = id;
    return rule;
}

// A core object in a temporary home whose active profile "Dialogs" is written to its file on every store, and
// message boxes through the application's real box path to the scripted seam.
class SmallDialogsTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_scope.emplace(Program::Application, home.path(), &app);
        CAppSettings settings = app.GetSettings();
        settings.ActiveProfile = kProfileName;
        app.SetSettings(settings);
        m_savedHooks = CurrentCoreHooks();
        CoreHooks hooks = *m_savedHooks;
        AddMessageBoxUIHook(hooks);
        SetCoreHooks(hooks);
        m_observer = ObserveMessageBoxNotification(NotificationCenter::defaultCenter());
        boxes.emplace();
    }

    void TearDown() override
    {
        boxes.reset();
        NotificationCenter::defaultCenter().removeObserver(m_observer);
        SetCoreHooks(*m_savedHooks);
        m_scope.reset();
    }

    void Install(CProfileData profile) { ASSERT_TRUE(app.SetProfile(std::move(profile), true)); }

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
        EXPECT_TRUE(ReadProfileFile(profile, GetProfileFilePath(kProfileName)).ok());
        return profile;
    }

    std::string FileBytes() const
    {
        std::ifstream in(GetProfileFilePath(kProfileName), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    std::vector<std::string> RuleNames(const CProfileData& profile) const
    {
        std::vector<std::string> names;
        for (const CRule& rule : profile.m_Rules)
            names.push_back(rule.m_Name);
        return names;
    }

    test::TempDir home;
    CCorvantisAppUI app;
    std::optional<MessageBoxScript> boxes;

private:
    std::optional<test::ProgramHomeScope> m_scope;
    std::shared_ptr<const CoreHooks> m_savedHooks;
    NotificationCenter::ObserverId m_observer = 0;
};

// ---- Removal ----

class RemovalTest : public SmallDialogsTest {
protected:
    void SetUp() override
    {
        SmallDialogsTest::SetUp();
        NSProfileSeams seams;
        seams.requestNewAction = removal.seam();
        editor.emplace(app, std::move(seams));
    }
    void TearDown() override
    {
        editor.reset();
        SmallDialogsTest::TearDown();
    }

    ActionRemoval removal;
    std::optional<NSProfile> editor;
};

TEST_F(RemovalTest, DirectForTheDefaultRuleOfARemovedProxyIsWrittenAndTheProfileKeepsItsId)
{
    CProfileData profile;
    profile.m_Proxies
        = { CProxy("proxy.example", 1080, kProxySocks5, 101), CProxy("other.example", 3128, kProxyHttps, 102) };
    profile.m_Rules = { Rule("Browsers", kActionProxy, 102), Rule("Default", kActionProxy, 101) };
    Install(profile);
    const int64_t stamp = Active().m_ChangeStamp;

    bool sawVariant = false;
    WhenUp(removal, [&] {
        sawVariant = true;
        // Only the Default rule uses the proxy: the Default-rule variant.
        EXPECT_EQ(removal.windowText(), "Proxy Removal");
        EXPECT_EQ(removal.windowTitle(), QStringLiteral("Proxy Removal"));
        EXPECT_EQ(removal.rulesList(), "Default (cannot be removed)");
        EXPECT_TRUE(removal.hideRuleList());
        EXPECT_FALSE(removal.hideDefRuleText());
        EXPECT_FALSE(removal.enableRuleDeletion());
        EXPECT_EQ(removal.choise(), 0);
        EXPECT_EQ(removal.rulePrompt(), "You should select a new Action for the Default Rule:");
        EXPECT_EQ(
            removal.proxyPrompt(), "Proxy proxy.example:1080 is assigned as the Action for the Default Proxying Rule.");
        EXPECT_EQ(removal.actionId(), -1);
        // The action list no longer offers the removed proxy.
        const std::vector<std::string> names = removal.ruleTargetNamesList();
        EXPECT_EQ(names, (std::vector<std::string> { "Proxy HTTPS other.example", "Direct", "Block" }));
        removal.actionCombo()->setCurrentIndex(IndexOf(names, "Direct"));
        removal.okButton()->click();
    });
    editor->deleteProxy(0);
    EXPECT_TRUE(sawVariant);
    EXPECT_TRUE(boxes->requests().empty());

    const CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Proxies.size(), 1u);
    EXPECT_EQ(stored.m_Proxies[0].m_Id, 102);
    ASSERT_EQ(stored.m_Rules.size(), 2u);
    EXPECT_EQ(stored.m_Rules[0].m_Action, kActionProxy);
    EXPECT_EQ(stored.m_Rules[0].m_ProxyId, 102);
    EXPECT_EQ(stored.m_Rules[1].m_Name, "Default");
    EXPECT_EQ(stored.m_Rules[1].m_Action, kActionDirect);
    EXPECT_EQ(Active().m_ChangeStamp, stamp);
}

TEST_F(RemovalTest, RemovingTheRulesOfAChainStillAsksForTheDefaultRulesAction)
{
    CProfileData profile;
    profile.m_Proxies = { CProxy("p.example", 1080, kProxySocks5, 101) };
    profile.m_Chains = { CChain("Office", 201), CChain("Home", 202) };
    profile.m_Chains[0].m_Entries = { { 101, true } };
    profile.m_Chains[1].m_Entries = { { 101, true } };
    profile.m_Rules = { Rule("Mail", kActionChain, 201), Rule("Kept", kActionChain, 202),
        Rule("Web", kActionChain, 201), Rule("Default", kActionChain, 201) };
    Install(profile);

    WhenUp(removal, [&] {
        EXPECT_EQ(removal.windowText(), "Chain Removal");
        EXPECT_EQ(removal.rulesList(), "Mail\nWeb\nDefault (cannot be removed)");
        EXPECT_FALSE(removal.hideRuleList());
        EXPECT_TRUE(removal.hideDefRuleText());
        EXPECT_TRUE(removal.enableRuleDeletion());
        EXPECT_EQ(removal.choise(), 1);
        EXPECT_EQ(removal.rulePrompt(), "To proceed with the chain removal you can:");
        EXPECT_EQ(removal.proxyPrompt(), "Chain Office is assigned as the Action for the following Proxying Rule(s):");

        removal.removeRulesButton()->click();
        removal.okButton()->click();
        // The two rules are gone from the working copy; the Default rule still needs an action.
        ASSERT_TRUE(removal.isVisible());
        EXPECT_EQ(RuleNames(removal.workingCopy()), (std::vector<std::string> { "Kept", "Default" }));
        EXPECT_TRUE(removal.hideRuleList());
        EXPECT_FALSE(removal.enableRuleDeletion());
        EXPECT_EQ(removal.choise(), 0);
        EXPECT_EQ(removal.rulePrompt(), "You should select a new Action for the Default Rule:");
        EXPECT_EQ(removal.proxyPrompt(), "Chain Office is assigned as the Action for the Default Proxying Rule.");

        removal.actionCombo()->setCurrentIndex(IndexOf(removal.ruleTargetNamesList(), "Chain Home"));
        removal.okButton()->click();
    });
    editor->delChain(0);

    const CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Chains.size(), 1u);
    EXPECT_EQ(stored.m_Chains[0].m_Id, 202);
    EXPECT_EQ(RuleNames(stored), (std::vector<std::string> { "Kept", "Default" }));
    EXPECT_EQ(stored.m_Rules[1].m_Action, kActionChain);
    EXPECT_EQ(stored.m_Rules[1].m_ProxyId, 202);
}

TEST_F(RemovalTest, NewActionGoesToEveryMatchingRuleAndTheListKeepsItsLineFeeds)
{
    CProfileData profile;
    profile.m_Proxies = { CProxy("a.example", 1080, kProxySocks5, 101), CProxy("b.example", 8080, kProxyHttp, 102) };
    profile.m_Rules
        = { Rule("One", kActionProxy, 101), Rule("Two", kActionProxy, 101), Rule("Default", kActionDirect) };
    Install(profile);

    WhenUp(removal, [&] {
        // The Default rule is not affected: the list variant, each listed rule followed by a line feed.
        EXPECT_EQ(removal.rulesList(), "One\nTwo\n");
        EXPECT_FALSE(removal.hideRuleList());
        EXPECT_EQ(removal.choise(), 1);
        removal.newActionButton()->click();
        removal.actionCombo()->setCurrentIndex(IndexOf(removal.ruleTargetNamesList(), "Block"));
        removal.okButton()->click();
    });
    editor->deleteProxy(0);

    const CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Rules.size(), 3u);
    EXPECT_EQ(stored.m_Rules[0].m_Action, kActionBlock);
    EXPECT_EQ(stored.m_Rules[1].m_Action, kActionBlock);
    EXPECT_EQ(stored.m_Rules[2].m_Action, kActionDirect);
    ASSERT_EQ(stored.m_Proxies.size(), 1u);
    EXPECT_EQ(stored.m_Proxies[0].m_Id, 102);
}

TEST_F(RemovalTest, OkWithoutAnActionKeepsTheDialogOpenAndCancelChangesNothing)
{
    CProfileData profile;
    profile.m_Proxies = { CProxy("a.example", 1080, kProxySocks5, 101) };
    profile.m_Rules = { Rule("One", kActionProxy, 101), Rule("Default", kActionProxy, 101) };
    Install(profile);
    const std::string before = FileBytes();

    bool stayedOpen = false;
    WhenUp(removal, [&] {
        removal.newActionButton()->click();
        removal.okButton()->click();
        stayedOpen = removal.isVisible();
        removal.cancelButton()->click();
    });
    editor->deleteProxy(0);

    EXPECT_TRUE(stayedOpen);
    ASSERT_EQ(boxes->requests().size(), 1u);
    EXPECT_EQ(
        boxes->requests()[0].message, "Action field is empty.\nPlease select a new Action or \"Remove the Rule(s)\".");
    EXPECT_EQ(boxes->requests()[0].flags, 129);
    EXPECT_EQ(FileBytes(), before);
    EXPECT_EQ(Active().m_Proxies.size(), 1u);
}

TEST_F(RemovalTest, AnIdThatNamesNothingMatchesNoRule)
{
    CProfileData profile;
    profile.m_Rules = { Rule("Default", kActionDirect) };
    CProfileData copy = profile;
    WhenUp(removal, [&] {
        EXPECT_EQ(removal.rulesList(), "");
        EXPECT_EQ(removal.choise(), 1);
        removal.okButton()->click();
    });
    EXPECT_TRUE(removal.requestNewAction(copy, 999));
    EXPECT_EQ(RuleNames(copy), RuleNames(profile));
    EXPECT_EQ(copy.m_Rules[0].m_Action, kActionDirect);
}

// ---- Loop ----

class LoopTest : public SmallDialogsTest {
protected:
    void SetUp() override
    {
        SmallDialogsTest::SetUp();
        CProfileData profile;
        profile.m_HandleDirectConnections = true;
        profile.m_Rules = { Rule("First", kActionDirect), Rule("Second", kActionBlock), Rule("Third", kActionDirect),
            Rule("Default", kActionDirect) };
        Install(profile);
    }

    // Shows the dialog for `name` and presses OK with `option` chosen (Cancel when none).
    LoopRuleChange Loop(const std::string& name, std::optional<int> option)
    {
        LoopDetectController dialog(app);
        WhenUp(dialog, [&dialog, option] {
            if (!option) {
                dialog.cancelButton()->click();
                return;
            }
            dialog.setSelectedOptions(*option);
            dialog.okButton()->click();
        });
        app.SetLoopDetectFlag(true);
        const LoopRuleChange change = dialog.showLoopDetection(name);
        prompt = dialog.prompt();
        actions = dialog.actions();
        return change;
    }

    std::string prompt;
    std::string actions;
};

TEST_F(LoopTest, ANameWithABlankIsQuotedAndItsRuleIsInsertedThenReplaced)
{
    EXPECT_EQ(Loop("My App", 0), LoopRuleChange::Inserted);
    EXPECT_EQ(
        prompt, "Corvantis detected that the application My App is likely to get into an infinite connection loop.");
    EXPECT_EQ(actions, "1. Create a rule to connect \"My App\" directly\n2. Disable processing of direct connections");
    EXPECT_FALSE(app.GetLoopDetectFlag());
    EXPECT_TRUE(boxes->requests().empty());

    const CProfileData stored = Stored();
    EXPECT_EQ(RuleNames(stored),
        (std::vector<std::string> { "My App [auto-created]", "First", "Second", "Third", "Default" }));
    const CRule& rule = stored.m_Rules[0];
    EXPECT_EQ(rule.m_Action, kActionDirect);
    EXPECT_EQ(rule.m_Apps, (std::vector<std::string> { "My App" }));
    EXPECT_FALSE(stored.m_HandleDirectConnections);

    // Direct connections are no longer processed: only the rule is offered, and it replaces the first one.
    EXPECT_EQ(Loop("My App", 0), LoopRuleChange::Replaced);
    EXPECT_EQ(actions, "Create a rule to connect \"My App\" directly");
    EXPECT_EQ(RuleNames(Stored()),
        (std::vector<std::string> { "My App [auto-created]", "First", "Second", "Third", "Default" }));
    EXPECT_FALSE(app.GetLoopDetectFlag());
}

TEST_F(LoopTest, AnOpenRuleDialogKeepsItsRuleAfterAnInsertAndAReplace)
{
    NSProfile editor(app);
    ASSERT_TRUE(editor.editRule(2));
    editor.setCurRuleName(std::string("Third edited"));

    // The delegate's wiring: only an insertion shifts the rule dialog.
    const auto loopAs = [&](const std::string& name) {
        if (Loop(name, 0) == LoopRuleChange::Inserted)
            editor.ruleAdded(0);
    };
    loopAs("curl");
    ASSERT_FALSE(editor.saveRule().has_value());
    EXPECT_EQ(RuleNames(Stored()),
        (std::vector<std::string> { "curl [auto-created]", "First", "Second", "Third edited", "Default" }));

    ASSERT_TRUE(editor.editRule(3));
    editor.setCurRuleName(std::string("Third again"));
    loopAs("curl");
    ASSERT_FALSE(editor.saveRule().has_value());
    EXPECT_EQ(RuleNames(Stored()),
        (std::vector<std::string> { "curl [auto-created]", "First", "Second", "Third again", "Default" }));
}

TEST_F(LoopTest, TheLoopFlagIsClearedOnEveryPath)
{
    struct Case {
        const char* name;
        std::string application;
        std::optional<int> option; // nothing: Cancel
        bool handlesDirectAfter;
        bool boxShown;
    };
    const Case cases[] = {
        { "no name", "", std::nullopt, true, false },
        { "cancelled", "curl", std::nullopt, true, false },
        { "name that does not parse", "bad:name", 0, true, true },
        { "direct connections switched off", "curl", 1, false, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData profile = Active();
        profile.m_HandleDirectConnections = true;
        Install(profile);
        const std::vector<std::string> rulesBefore = RuleNames(Stored());
        boxes.emplace();

        LoopDetectController dialog(app);
        if (!c.application.empty()) {
            WhenUp(dialog, [&dialog, &c] {
                if (!c.option) {
                    dialog.cancelButton()->click();
                    return;
                }
                dialog.setSelectedOptions(*c.option);
                dialog.okButton()->click();
            });
        }
        app.SetLoopDetectFlag(true);
        EXPECT_EQ(dialog.showLoopDetection(c.application), LoopRuleChange::None);
        EXPECT_FALSE(app.GetLoopDetectFlag());
        EXPECT_EQ(RuleNames(Stored()), rulesBefore);
        EXPECT_EQ(Stored().m_HandleDirectConnections, c.handlesDirectAfter);
        ASSERT_EQ(boxes->requests().size(), c.boxShown ? 1u : 0u);
        if (c.boxShown) {
            const std::string text = boxes->requests()[0].message;
            const std::string prefix = "Cannot create a rule.\nError: ";
            EXPECT_EQ(text.substr(0, prefix.size()), prefix);
            EXPECT_GT(text.size(), prefix.size());
        }
    }
}

// ---- Loading window ----

std::string RealUserName()
{
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_name ? entry->pw_name : std::to_string(getuid());
}

// Waits until the window shows `message`.
bool Shows(const NetworkLoadWindow& window, const QString& message)
{
    return QTest::qWaitFor([&] { return window.currentMessage() == message; }, 5000);
}

TEST(NetworkLoadWindowTest, ASecondRunIsRefusedAndLeavesTheFirst)
{
    NetworkLoadWindow window;
    int firstCancels = 0;
    int secondCancels = 0;
    ASSERT_TRUE(window.doModal([&] { ++firstCancels; }));
    EXPECT_TRUE(window.getModalInProgress());
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.isVisible(); }, 5000));
    EXPECT_EQ(window.windowModality(), Qt::ApplicationModal);

    EXPECT_FALSE(window.doModal([&] { ++secondCancels; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.getModalInProgress());

    window.cancelButton()->click();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.getModalInProgress());
    EXPECT_EQ(firstCancels, 1);
    EXPECT_EQ(secondCancels, 0);

    // A finished run may be followed by a new one, which finishModal ends without calling the handler.
    ASSERT_TRUE(window.doModal([&] { ++firstCancels; }));
    window.finishModal();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.getModalInProgress(); }, 5000));
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(firstCancels, 1);
}

TEST(NetworkLoadWindowTest, UpdatesFromAnotherThreadShowOnTheMainThread)
{
    using Action = NetworkLoadDialog::Action;
    struct Case {
        const char* name;
        std::function<void(NetworkLoadWindow&, Action)> update;
        std::string message;
        const char* caption;
    };
    const Case cases[] = {
        { "load", [](NetworkLoadWindow& w, Action a) { w.updateContentToSysExtLoad(a); },
            "System Extension initialization is in progress...", "Retry" },
        { "fail", [](NetworkLoadWindow& w, Action a) { w.updateContentToSysExtFail(a); },
            "System Extension initialization is failed", "Retry" },
        { "managed", [](NetworkLoadWindow& w, Action a) { w.updateContentToSysExtFailOnManagedDevice(a); },
            "System Extension initialization failed.\n\nYou appear to be on a Managed Device. Please ask your "
            "administrator to allow Corvantis System Extension.",
            "Retry" },
        { "approval", [](NetworkLoadWindow& w, Action a) { w.updateContentToSysExtAllow(a); },
            "Please ask your administrator to allow Corvantis for this user (corvantis-supervisor allow "
                + RealUserName() + ").",
            "Retry" },
        { "connection", [](NetworkLoadWindow& w, Action a) { w.updateContentToXPCConnection(a); },
            "Establishing the XPC connection...", "Retry" },
        { "filter", [](NetworkLoadWindow& w, Action a) { w.updateContentToVpnCreation(a); },
            "Please allow Corvantis to filter network content.", "Retry" },
        { "dns", [](NetworkLoadWindow& w, Action a) { w.updateContentToDnsProxyCreation(a); }, "DNSProxy starting...",
            "Retry" },
        { "proxy", [](NetworkLoadWindow& w, Action a) { w.updateContentToVpnStart(a); }, "AppProxy starting...",
            "Retry" },
        { "wake", [](NetworkLoadWindow& w, Action a) { w.updateContentToSendWakeSignal(a); },
            "Establishing the AppProxy IPC connection...", "Retry" },
        { "wake failed", [](NetworkLoadWindow& w, Action a) { w.updateContentToWakeSignalFailed(a); },
            "The system failed to load Corvantis System Extension.\n\nWould you like to re-initialize it again?",
            "Re-initialize" },
    };

    NetworkLoadWindow window;
    ASSERT_TRUE(window.doModal({}));
    const std::thread::id mainThread = std::this_thread::get_id();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> pressed { 0 };
        std::thread::id pressedOn;
        std::thread sender([&] {
            c.update(window, [&] {
                pressedOn = std::this_thread::get_id();
                ++pressed;
            });
        });
        sender.join();
        ASSERT_TRUE(Shows(window, QString::fromStdString(c.message)));
        EXPECT_EQ(window.actionButtonCaption(), QString::fromLatin1(c.caption));
        window.actionButton()->click();
        EXPECT_EQ(pressed.load(), 1);
        EXPECT_EQ(pressedOn, mainThread);
    }
    EXPECT_TRUE(window.getModalInProgress());

    // Removal failed: its button only ends the run, and the window keeps its content.
    const QString removeFailed
        = QStringLiteral("Cannot remove Corvantis System Extension.\n\nPlease reinstall Corvantis and try again.");
    std::thread([&] { window.updateContentToSysExtRemoveFailed(); }).join();
    ASSERT_TRUE(Shows(window, removeFailed));
    EXPECT_EQ(window.actionButtonCaption(), QStringLiteral("Keep log window"));
    window.actionButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.getModalInProgress(); }, 5000));
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.currentMessage(), removeFailed);
}

TEST(NetworkLoadWindowTest, TheApprovalTextNamesTheGivenUser)
{
    NetworkLoadWindow window("alice");
    window.updateContentToSysExtAllow({});
    EXPECT_TRUE(Shows(window,
        QStringLiteral("Please ask your administrator to allow Corvantis for this user (corvantis-supervisor allow "
                       "alice).")));
}

TEST(NetworkLoadWindowTest, AnErrorTextIsShownAsItIs)
{
    const char* errors[] = { "100%@s", "%s%n%d %@ %%", "" };
    NetworkLoadWindow window;
    for (const char* error : errors) {
        SCOPED_TRACE(error);
        int retries = 0;
        std::thread([&] { window.updateContentToError(error, [&] { ++retries; }); }).join();
        const QString head = QStringLiteral("Corvantis System Extension failed to initialize.\n\n")
            + QString::fromUtf8(error) + QStringLiteral("\n\nPlease try again or contact ");
        ASSERT_TRUE(QTest::qWaitFor([&] { return window.currentMessage().startsWith(head); }, 5000));
        // Followed by the support address, a build setting.
        const QString address = window.currentMessage().mid(head.size());
        EXPECT_TRUE(address.contains('@')) << address.toStdString();
        EXPECT_FALSE(address.contains('\n'));
        EXPECT_EQ(window.actionButtonCaption(), QStringLiteral("Retry"));
        window.actionButton()->click();
        EXPECT_EQ(retries, 1);
    }
}

TEST(NetworkLoadWindowTest, TheHeightFollowsTheTextAndTheTopEdgeStays)
{
    NetworkLoadWindow window;
    ASSERT_TRUE(window.doModal({}));
    window.updateContentToVpnStart({});
    ASSERT_TRUE(Shows(window, QStringLiteral("AppProxy starting...")));
    const QRect shortGeometry = window.geometry();

    const QString longText = QStringLiteral("Corvantis System Extension failed to initialize.\n\n")
        + QString(40, QChar('x')).append(' ').repeated(12) + QStringLiteral("\n\nPlease try again");
    window.updateContentToError(longText.toStdString(), {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.currentMessage().contains(QString(40, QChar('x'))); }, 5000));
    const int grown
        = window.textHeight(window.currentMessage()) - window.textHeight(QStringLiteral("AppProxy starting..."));
    ASSERT_GT(grown, 0);
    EXPECT_EQ(window.height(), shortGeometry.height() + grown);
    EXPECT_EQ(window.geometry().top(), shortGeometry.top());
    EXPECT_EQ(window.messageField()->height(), window.textHeight(window.currentMessage()));

    // And back: the window shrinks by as much.
    window.updateContentToVpnStart({});
    ASSERT_TRUE(Shows(window, QStringLiteral("AppProxy starting...")));
    EXPECT_EQ(window.height(), shortGeometry.height());
    window.finishModal();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.getModalInProgress(); }, 5000));
}

TEST(NetworkLoadWindowTest, CallsQueuedWhenTheWindowIsDestroyedAreDropped)
{
    int pressed = 0;
    {
        NetworkLoadWindow window;
        window.doModal([&] { ++pressed; });
        window.updateContentToVpnStart([&] { ++pressed; });
        window.finishModal();
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(pressed, 0);
}

// ---- About ----

TEST_F(SmallDialogsTest, AboutShowsTheVersionsAndLinksAndOkEndsWithYes)
{
    AboutWindow about(app);
    about.updateContent();
    EXPECT_EQ(
        about.fullProductName().toStdString(), "Corvantis for Mac v" + app.GetVersion() + " " + app.GetVersionSuffix());
    EXPECT_FALSE(about.copyright().isEmpty());
    EXPECT_EQ(about.fontSize(), 15);
    EXPECT_TRUE(about.updatesLink().startsWith(QStringLiteral("<a href=\"https://")));
    EXPECT_TRUE(about.contactLink().endsWith(QStringLiteral(">Support</a>")));
    EXPECT_TRUE(about.policyLink().endsWith(QStringLiteral(">Privacy Policy</a>")));
    EXPECT_TRUE(about.findChild<QLabel*>("policyLink")->openExternalLinks());

    WhenUp(about, [&] {
        EXPECT_TRUE(about.modalInProgress());
        about.okButton()->click();
    });
    EXPECT_TRUE(about.doModal());
    EXPECT_FALSE(about.modalInProgress());

    WhenUp(about, [&] { about.reject(); });
    EXPECT_FALSE(about.doModal());
    // Outside a run Cancel does nothing.
    about.onCancel();
    EXPECT_FALSE(about.isVisible());
}

// ---- Auto-update dialog ----

TEST_F(SmallDialogsTest, AutoUpdateChecksTheUrlOnOk)
{
    const std::string folderQuestion
        = "URL doesn't look like the one that points to a folder. Ending '/' is expected.\nContinue anyway?";
    const std::string fileQuestion = "Unexpected URL. The target file doesn't have '.ppx' extension.\nContinue anyway?";
    const std::string badScheme = "Incorrect URL. Please make sure that it starts with \"http://\" or \"https://\"";
    struct Case {
        const char* name;
        bool enabled;
        std::string url;
        bool folder;
        std::optional<bool> answer; // the answer to the question, when one is asked
        bool accepted;
        std::string box; // the box shown, if any
        int flags;
    };
    const Case cases[] = {
        { "off: no checks", false, "", false, std::nullopt, true, "", 0 },
        { "empty", true, "", false, std::nullopt, false, "Update URL canot be empty.", 129 },
        { "ftp", true, "ftp://x", false, std::nullopt, false, badScheme, 129 },
        { "no scheme", true, "example.com/p.ppx", false, std::nullopt, false, badScheme, 129 },
        { "folder with slash", true, "http://h/profiles/", true, std::nullopt, true, "", 0 },
        { "folder without slash, Yes", true, "https://h/profiles", true, true, true, folderQuestion, kMbYesNo },
        { "folder without slash, No", true, "https://h/profiles", true, false, false, folderQuestion, kMbYesNo },
        { "file in capitals", true, "https://h/P.PPX", false, std::nullopt, true, "", 0 },
        { "scheme in capitals", true, "HTTPS://h/p.ppx", false, std::nullopt, true, "", 0 },
        { "other file, Yes", true, "https://h/p.txt", false, true, true, fileQuestion, kMbYesNo },
        { "other file, No", true, "https://h/p.txt", false, false, false, fileQuestion, kMbYesNo },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.emplace();
        if (c.answer)
            boxes->push(*c.answer ? kMbAnswerYes : 0);
        ProfileAutoUpdateWindow dialog;
        dialog.setUpdateEnabled(c.enabled);
        dialog.setUpdateUrl(c.url);
        dialog.setUrlIsFolder(c.folder);
        dialog.setKeepCred(true);
        bool openAfterOk = false;
        WhenUp(dialog, [&] {
            dialog.okButton()->click();
            openAfterOk = dialog.isVisible();
            if (openAfterOk)
                dialog.cancelButton()->click();
        });
        EXPECT_EQ(dialog.doModal(), c.accepted);
        EXPECT_EQ(openAfterOk, !c.accepted);
        // The values come back as the user left them.
        EXPECT_EQ(dialog.updateUrl(), c.url);
        EXPECT_EQ(dialog.updateEnabled(), c.enabled);
        EXPECT_EQ(dialog.urlIsFolder(), c.folder);
        EXPECT_TRUE(dialog.keepCred());
        ASSERT_EQ(boxes->requests().size(), c.box.empty() ? 0u : 1u);
        if (!c.box.empty()) {
            EXPECT_EQ(boxes->requests()[0].message, c.box);
            EXPECT_EQ(boxes->requests()[0].caption, "Profile Update");
            EXPECT_EQ(boxes->requests()[0].flags, c.flags);
        }
    }
}

} // namespace
} // namespace corvantis
