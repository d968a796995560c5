// The application delegate without windows of the toolkit: its exclusive view flags, the observers of its launch
// (each notification reaching its handler on the main thread) and a second copy started in the same process.

#include "app/CorvantisAppDelegate.h"
#include "app/LoggedLoadDialog.h"
#include "app/QtMainThreadExecutor.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/Log.h"
#include "core/foundation/MessageBox.h"
#include "platform/NotificationCenter.h"
#include "tests/support/LogLines.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/QtMainThreadScope.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

bool RunEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s)
{
    QTimer tick;
    tick.start(5);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// A main window that counts how often it was brought to the front.
class FakeWindow final : public MainWindowShell {
public:
    explicit FakeWindow(int& fronts)
        : m_fronts(fronts)
    {
    }
    void bringToFront() override
    {
        ++m_fronts;
        m_shown = true;
    }
    bool isShown() const override { return m_shown; }

private:
    int& m_fronts;
    bool m_shown = false;
};

// Seams that touch nothing outside the test: the lock in a folder of its own, the open-file limit faked.
CorvantisAppDelegate::Seams QuietSeams(const test::TempDir& folder)
{
    CorvantisAppDelegate::Seams seams;
    seams.exit = [](int code) { ADD_FAILURE() << "exit " << code; };
    seams.messageBox = [](const std::string& message, const std::string&, int) {
        ADD_FAILURE() << "box " << message;
        return 0L;
    };
    seams.singleInstance = { folder.str(), 5s };
    seams.openFileLimit = OpenFileLimitCalls { [](rlimit& limits) {
                                                  limits = { 256, 4096 };
                                                  return 0;
                                              },
        [](const rlimit&) { return 0; } };
    // The work threads end at once: a core that fails to start has told the user already.
    seams.startCore = [] { return 1; };
    seams.terminate = [] {};
    return seams;
}

TEST(AppDelegateTest, OneViewFlagAtATime)
{
    CorvantisAppDelegate delegate;
    std::vector<std::string> announced;
    const int id = delegate.observeProperties([&](const std::string& property) { announced.push_back(property); });
    EXPECT_FALSE(delegate.graphShown());
    EXPECT_FALSE(delegate.connectionsShown());
    EXPECT_FALSE(delegate.statisticsShown());

    delegate.setGraphShown(true);
    EXPECT_TRUE(delegate.graphShown());
    const std::vector<std::string> all { "graphShown", "connectionsShown", "statisticsShown" };
    EXPECT_EQ(announced, all);

    announced.clear();
    delegate.setStatisticsShown(true);
    EXPECT_FALSE(delegate.graphShown());
    EXPECT_FALSE(delegate.connectionsShown());
    EXPECT_TRUE(delegate.statisticsShown());
    EXPECT_EQ(announced, all);

    announced.clear();
    delegate.setStatisticsShown(false); // does nothing, not even announce
    EXPECT_TRUE(delegate.statisticsShown());
    EXPECT_TRUE(announced.empty());
    delegate.setConnectionsShown(std::nullopt); // announces that one flag only
    EXPECT_EQ(announced, std::vector<std::string> { "connectionsShown" });

    announced.clear();
    delegate.removePropertyObserver(id);
    delegate.setStatisticText("Sent: 5");
    EXPECT_TRUE(announced.empty());
    EXPECT_EQ(delegate.statisticText(), "Sent: 5");
}

TEST(AppDelegateTest, EachNotificationReachesItsHandlerOnTheMainThread)
{
    test::QtMainThreadScope mainThread;
    test::TempDir folder;
    std::vector<std::pair<std::string, std::thread::id>> entered;
    int fronts = 0;
    CorvantisAppDelegate::Seams seams = QuietSeams(folder);
    seams.handlerEntered
        = [&](const std::string& handler) { entered.emplace_back(handler, std::this_thread::get_id()); };
    seams.makeMainWindow = [&](CorvantisAppDelegate&) { return std::make_unique<FakeWindow>(fronts); };
    // The power-off ends the program (with nothing running, at once).
    std::vector<int> exits;
    seams.exit = [&](int code) { exits.push_back(code); };
    auto delegate = std::make_unique<CorvantisAppDelegate>(std::move(seams));
    delegate->eventLaunch();
    ASSERT_TRUE(delegate->isLoaded());
    const int frontsAtLaunch = fronts;

    const std::vector<std::pair<std::string, std::string>> expected {
        { "Log", "LogNotifyReceived" },
        { "LoopDetect", "LoopNotifyReceived" },
        { "ProfileUpdated", "ProfileUpdatedNotify" },
        { "GlobalUpdated", "GlobalUpdatedNotify" },
        { "MessageBox", "MessageBoxNotifyReceived" },
        { "ShowAbout", "AboutNotifyReceived" },
        { "GetPassword", "GetPasswordNotifyRecieved" },
        { "PushToFront", "PushToFrontNotifyRecieved" },
        { kWillPowerOffNotification, "rebootNotifyRecieved" },
        { "NEVPNStatusDidChangeNotification", "vpnProxyStatusChangedNotification" },
    };
    std::thread poster([&] {
        for (const auto& [name, handler] : expected)
            NotificationCenter::defaultCenter().postNotificationOnMainThread({ name, nullptr, {} }, false);
    });
    poster.join();
    ASSERT_TRUE(RunEventsUntil([&] { return entered.size() >= expected.size(); }));
    ASSERT_EQ(entered.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].first);
        EXPECT_EQ(entered[i].first, expected[i].second);
        EXPECT_EQ(entered[i].second, std::this_thread::get_id());
    }
    EXPECT_EQ(fronts, frontsAtLaunch + 1); // "PushToFront"
    EXPECT_EQ(exits, std::vector<int> { 0 }); // the power-off

    // Gone with the delegate: nothing reaches a destroyed object.
    delegate.reset();
    entered.clear();
    NotificationCenter::defaultCenter().post({ "Log", nullptr, {} });
    EXPECT_TRUE(entered.empty());
}

TEST(AppDelegateTest, MessageBoxNotificationShowsTheBoxItCarries)
{
    test::QtMainThreadScope mainThread;
    test::TempDir folder;
    CorvantisAppDelegate delegate(QuietSeams(folder));
    delegate.eventLaunch();
    CoreHooks hooks;
    std::vector<std::string> shown;
    hooks.messageBoxUI = [&](const std::string& message, const std::string& caption, int flags, const char*, bool*,
                             const char* const*, int) {
        shown.push_back(message + "|" + caption + "|" + std::to_string(flags));
        return 32L;
    };
    SetCoreHooks(hooks);
    std::thread asker([] { EXPECT_EQ(MessageBox("Delete it?", "Question.", kMbYesNo), 32); });
    const bool answered = RunEventsUntil([&] { return !shown.empty(); });
    asker.join();
    SetCoreHooks({});
    ASSERT_TRUE(answered);
    EXPECT_EQ(shown, std::vector<std::string> { "Delete it?|Question.|8" });
}

TEST(AppDelegateTest, ASecondCopyHandsItsFilesOverAndEnds)
{
    test::TempDir folder;
    int fronts = 0;
    CorvantisAppDelegate::Seams firstSeams = QuietSeams(folder);
    firstSeams.makeMainWindow = [&](CorvantisAppDelegate&) { return std::make_unique<FakeWindow>(fronts); };
    CorvantisAppDelegate first(std::move(firstSeams));
    first.setLaunchFiles({ "/profiles/own.ppx" });
    first.eventLaunch();
    ASSERT_TRUE(first.window());
    EXPECT_EQ(first.pendingFiles(), std::vector<std::string> { "/profiles/own.ppx" });
    const int frontsAtLaunch = fronts;

    struct Box {
        std::string message;
        std::string caption;
        int flags;
        std::vector<std::string> filesOfFirst; // what the running copy had been given when the box came
    };
    std::vector<Box> boxes;
    std::vector<int> exits;
    int secondWindows = 0;
    CorvantisAppDelegate::Seams secondSeams = QuietSeams(folder);
    secondSeams.messageBox = [&](const std::string& message, const std::string& caption, int flags) {
        boxes.push_back({ message, caption, flags, first.pendingFiles() });
        return 0L;
    };
    secondSeams.exit = [&](int code) { exits.push_back(code); };
    secondSeams.makeMainWindow = [&](CorvantisAppDelegate&) -> std::unique_ptr<MainWindowShell> {
        ++secondWindows;
        return nullptr;
    };
    CorvantisAppDelegate second(std::move(secondSeams));
    second.setLaunchFiles({ "/profiles/office.ppx" });
    second.eventLaunch();

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].message, "Another copy of Corvantis is already running.");
    EXPECT_EQ(boxes[0].caption, "Error.");
    EXPECT_EQ(boxes[0].flags, 2);
    EXPECT_EQ(boxes[0].filesOfFirst, (std::vector<std::string> { "/profiles/own.ppx", "/profiles/office.ppx" }));
    EXPECT_EQ(exits, std::vector<int> { 0 });
    EXPECT_EQ(secondWindows, 0);
    EXPECT_TRUE(second.pendingFiles().empty());
    EXPECT_EQ(fronts, frontsAtLaunch + 1);
}

TEST(AppDelegateTest, AnOlderCopyStopsTheLaunchOnlyForVersionOne)
{
    const struct {
        const char* name;
        std::optional<CorvantisAppDelegate::InstalledCopy> copy;
        bool throws;
        bool stops;
    } cases[] = {
        { "none", std::nullopt, false, false },
        { "version 1", CorvantisAppDelegate::InstalledCopy { "/opt/old", "com.corvantis.macosx.APP", "1.9" }, false,
            true },
        { "version 2", CorvantisAppDelegate::InstalledCopy { "/opt/old", "com.Corvantis.MacOSX.app", "2.0" }, false,
            false },
        { "other identifier", CorvantisAppDelegate::InstalledCopy { "/opt/old", "org.example", "1.0" }, false, false },
        { "no version", CorvantisAppDelegate::InstalledCopy { "/opt/old", "com.Corvantis.MacOSX.app", "" }, false,
            false },
        { "lookup throws", std::nullopt, true, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir folder;
        std::vector<std::string> boxes;
        std::vector<int> exits;
        CorvantisAppDelegate::Seams seams = QuietSeams(folder);
        seams.findOlderVersion = [&]() -> std::optional<CorvantisAppDelegate::InstalledCopy> {
            if (c.throws)
                throw std::runtime_error("no workspace");
            return c.copy;
        };
        seams.messageBox = [&](const std::string& message, const std::string& caption, int flags) {
            boxes.push_back(message + "|" + caption + "|" + std::to_string(flags));
            return 0L;
        };
        seams.exit = [&](int code) { exits.push_back(code); };
        CorvantisAppDelegate delegate(std::move(seams));
        delegate.eventLaunch();
        if (c.stops) {
            EXPECT_EQ(boxes,
                std::vector<std::string> { "You have an older version of Corvantis installed on your Mac at /opt/old."
                                           "\n\nPlease remove it to continue.|Version check.|0" });
            EXPECT_EQ(exits, std::vector<int> { 0 });
        } else {
            EXPECT_TRUE(boxes.empty());
            EXPECT_TRUE(exits.empty());
        }
    }
}

TEST(AppDelegateTest, HelpActionsOpenThePagesUnderTheWebAddress)
{
    std::vector<std::string> opened;
    CorvantisAppDelegate::Seams seams;
    seams.openUrl = [&](const std::string& url) { opened.push_back(url); };
    CorvantisAppDelegate delegate(std::move(seams));
    const std::string base = CorvantisAppDelegate::webAddress();
    ASSERT_FALSE(base.empty());
    EXPECT_NE(base.back(), '/');
    delegate.openSupport();
    delegate.openDocumentation();
    EXPECT_EQ(opened, (std::vector<std::string> { base + "/support/", base + "/docs/" }));
}

TEST(AppDelegateTest, TheLoggedLoadDialogLogsEachStepAndKeepsTheModalFlag)
{
    const int oldLevel = GetLog().GetScreenLevel();
    GetLog().SetScreenLevel(kLogDebug);
    test::TakeScreenLines();
    LoggedLoadDialog dialog;
    EXPECT_FALSE(dialog.getModalInProgress());
    EXPECT_TRUE(dialog.doModal([] {}));
    EXPECT_FALSE(dialog.doModal([] {})); // one run at a time
    EXPECT_TRUE(dialog.getModalInProgress());
    dialog.updateContentToXPCConnection([] {});
    dialog.updateContentToError("Wrong Network Extension version.", [] {});
    dialog.finishModal();
    EXPECT_FALSE(dialog.getModalInProgress());
    EXPECT_TRUE(dialog.doModal([] {})); // a new run after the end of the last
    const std::vector<std::string> lines = test::TakeScreenLines();
    GetLog().SetScreenLevel(oldLevel);

    const auto has = [&](const std::string& text) {
        return std::any_of(
            lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has("connecting to the network extension"));
    EXPECT_TRUE(has("error: Wrong Network Extension version."));
}

TEST(AppDelegateTest, TheDelegateServesTheCoreHookFromItsLaunch)
{
    test::QtMainThreadScope mainThread;
    test::TempDir folder;
    {
        CorvantisAppDelegate delegate(QuietSeams(folder));
        EXPECT_FALSE(CurrentCoreHooks()->writeGlobalSettings);
        delegate.eventLaunch();
        EXPECT_TRUE(CurrentCoreHooks()->writeGlobalSettings);
        // Without a core object it stores and sends nothing, and must not fail.
        CorvantisAppServices::writeGlobalSettings(0);
    }
    // A destroyed delegate serves nothing.
    EXPECT_FALSE(CurrentCoreHooks()->writeGlobalSettings);
}

} // namespace
} // namespace corvantis
