// The main window over the delegate's view flags, and a second copy of the application in the same process
// bringing the real window of the first to the front.

#include "app/ui/MainWindow.h"
#include "app/CorvantisAppDelegate.h"
#include "app/QtMainThreadExecutor.h"
#include "app/ui/MessageBoxUI.h"
#include "core/foundation/CoreHooks.h"
#include "platform/NotificationCenter.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/QtMainThreadScope.h"

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QStackedWidget>
#include <gtest/gtest.h>

#include <chrono>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

TEST(MainWindowTest, ShowsTheViewOfTheFlagThatIsSet)
{
    CorvantisAppDelegate delegate;
    MainWindow window(delegate);
    EXPECT_EQ(window.currentView(), nullptr); // no flag yet
    ASSERT_TRUE(window.findChild<QWidget*>("logView"));

    delegate.setConnectionsShown(true);
    EXPECT_EQ(window.currentView(), window.connectionsView());
    delegate.setGraphShown(true);
    EXPECT_EQ(window.currentView(), window.graphView());

    delegate.setStatisticText("Connections: 3\nSent: 10 KB");
    delegate.setStatisticsShown(true);
    auto* statistics = window.findChild<QPlainTextEdit*>("statisticsView");
    ASSERT_TRUE(statistics);
    EXPECT_EQ(window.currentView(), statistics);
    EXPECT_EQ(statistics->toPlainText(), QStringLiteral("Connections: 3\nSent: 10 KB"));
    EXPECT_TRUE(statistics->isReadOnly());
}

TEST(MainWindowTest, RealViewsReplaceThePlaceholders)
{
    CorvantisAppDelegate delegate;
    MainWindow window(delegate);
    delegate.setGraphShown(true);
    QPointer<QWidget> oldGraph = window.graphView();
    QPointer<QWidget> oldLog = window.logView();
    auto* graph = new QLabel(QStringLiteral("graph"));
    auto* log = new QLabel(QStringLiteral("log"));
    window.setGraphView(graph);
    window.setLogView(log);
    EXPECT_TRUE(oldGraph.isNull());
    EXPECT_TRUE(oldLog.isNull());
    EXPECT_EQ(window.graphView(), graph);
    EXPECT_EQ(window.currentView(), graph); // still the one shown
    EXPECT_EQ(window.logView(), log);
    EXPECT_EQ(graph->objectName(), QStringLiteral("graphView"));

    delegate.setConnectionsShown(true);
    auto* connections = new QLabel(QStringLiteral("connections"));
    window.setConnectionsView(connections);
    EXPECT_EQ(window.currentView(), connections);
    delegate.setGraphShown(true);
    EXPECT_EQ(window.currentView(), graph);
}

// The program's window has its menus; the view items set the delegate's exclusive flags.
TEST(MainWindowTest, TheMenusSwitchTheViews)
{
    CorvantisAppDelegate delegate;
    const std::unique_ptr<MainWindowShell> shell = CreateMainWindow(delegate);
    auto* window = dynamic_cast<MainWindow*>(shell.get());
    ASSERT_TRUE(window);
    QStringList titles;
    QMenu* view = nullptr;
    for (QAction* action : window->menuBar()->actions()) {
        titles << action->text();
        if (action->text() == QStringLiteral("&View"))
            view = action->menu();
    }
    EXPECT_EQ(titles, QStringList({ "&File", "&Profile", "&View", "&Help" }));
    ASSERT_TRUE(view);
    const auto trigger = [&](const char* text) {
        for (QAction* action : view->actions())
            if (action->text() == QString::fromUtf8(text))
                action->trigger();
    };
    trigger("Connections");
    EXPECT_TRUE(delegate.connectionsShown());
    EXPECT_EQ(window->currentView(), window->connectionsView());
    trigger("Traffic Graph");
    EXPECT_TRUE(delegate.graphShown());
    EXPECT_FALSE(delegate.connectionsShown());
    trigger("Statistics");
    EXPECT_TRUE(delegate.statisticsShown());
}

// The Qt thread as the main thread, and the real message boxes as the core's.
class MainThreadScope final : public test::QtMainThreadScope {
public:
    MainThreadScope()
    {
        CoreHooks hooks;
        AddMessageBoxUIHook(hooks);
        SetCoreHooks(hooks);
    }
    ~MainThreadScope() { SetCoreHooks({}); }
    MainThreadScope(const MainThreadScope&) = delete;
    MainThreadScope& operator=(const MainThreadScope&) = delete;
};

CorvantisAppDelegate::Seams Seams(const test::TempDir& folder, std::vector<int>& exits)
{
    CorvantisAppDelegate::Seams seams;
    seams.exit = [&exits](int code) { exits.push_back(code); };
    seams.singleInstance = { folder.str(), 5s };
    seams.openFileLimit = OpenFileLimitCalls { [](rlimit& limits) {
                                                  limits = { 256, 4096 };
                                                  return 0;
                                              },
        [](const rlimit&) { return 0; } };
    seams.makeMainWindow = &CreateMainWindow;
    // No core object and no extension here: the launch's work thread ends at once, and does not end the test's
    // event loop (which the second copy's hand-over waits in).
    seams.startCore = [] { return 1; };
    seams.terminate = [] {};
    return seams;
}

TEST(MainWindowTest, ASecondCopyBringsTheFirstWindowToTheFront)
{
    MainThreadScope mainThread;
    MessageBoxScript boxes;
    test::TempDir folder;
    std::vector<int> firstExits;
    std::vector<int> secondExits;
    CorvantisAppDelegate first(Seams(folder, firstExits));
    first.eventLaunch();
    auto* window = dynamic_cast<MainWindow*>(first.window());
    ASSERT_TRUE(window);
    window->hide();

    CorvantisAppDelegate second(Seams(folder, secondExits));
    second.setLaunchFiles({ (folder / "office.ppx").string() });
    second.eventLaunch();

    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(first.pendingFiles(), std::vector<std::string> { (folder / "office.ppx").string() });
    ASSERT_EQ(boxes.requests().size(), 1u);
    EXPECT_EQ(boxes.requests()[0].caption, "Error.");
    EXPECT_EQ(boxes.requests()[0].message, "Another copy of Corvantis is already running.");
    EXPECT_EQ(boxes.requests()[0].flags, 2);
    EXPECT_EQ(secondExits, std::vector<int> { 0 });
    EXPECT_TRUE(firstExits.empty());
    EXPECT_EQ(second.window(), nullptr);
}

} // namespace
} // namespace corvantis
