// The profile editor window driven as a user would, over the application's core object in a temporary home: its
// modal dialogs are filled in and ended while they run, message boxes are answered through the scripted seam, and
// every change is checked both in the window and in the profile's file.

#include "app/ui/NSProfileUI.h"

#include "app/QtMainThreadExecutor.h"
#include "app/ui/MessageBoxUI.h"
#include "app/ui/ProfileDialogs.h"
#include "app/ui/ProfileListModels.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisAppUI.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileStorage.h"
#include "platform/NotificationCenter.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace corvantis {
namespace {

constexpr const char* kPassDefault
    = "You cannot move this rule. Rule cannot be located after Default rule.\nCorvantis uses Default rule when all "
      "other rules do not match the connection parameters so it must be the last in the list.";

// Where the screenshots go: the build folder's artifacts/ (the first folder above the test program that holds a
// CMakeCache.txt), else the working directory's.
std::filesystem::path ArtifactsFolder()
{
    std::error_code error;
    std::filesystem::path folder = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    for (; !error && folder.has_relative_path(); folder = folder.parent_path()) {
        if (std::filesystem::exists(folder / "CMakeCache.txt"))
            return folder / "artifacts";
    }
    return std::filesystem::current_path() / "artifacts";
}

// Lets events run until `done` holds (true) or five seconds passed (false).
bool WaitFor(const std::function<bool()>& done)
{
    return QTest::qWaitFor(done, 5000);
}

void SaveArtifact(QWidget* widget, const std::string& name)
{
    const std::filesystem::path folder = ArtifactsFolder();
    std::filesystem::create_directories(folder);
    const QString path = QString::fromStdString((folder / ("profile-editor-" + name + ".png")).string());
    EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
}

CProxy Proxy(const std::string& host, uint16_t port, int32_t id)
{
    return CProxy(host, port, kProxySocks5, id);
}

CRule Rule(const std::string& name, const std::string& hosts)
{
    CRule rule(name);
    std::string message;
    EXPECT_TRUE(ParseHostList(rule, hosts, message)) << message;
    return rule;
}

std::vector<std::string> RuleNames(const CProfileData& profile)
{
    std::vector<std::string> names;
    for (const CRule& rule : profile.m_Rules)
        names.push_back(rule.m_Name);
    return names;
}

// Runs `script` once `dialog` is up in its modal run (the action that opens it is called after this). A dialog the
// script leaves open is cancelled after a while, so a failing test ends instead of hanging. The returned timer
// watches for the dialog until then; deleting it cancels the script.
QTimer* WhenShown(QDialog* dialog, std::function<void()> script)
{
    auto* timer = new QTimer(dialog);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, dialog, [dialog, timer, script = std::move(script)] {
        if (!dialog->isVisible() || QApplication::activeModalWidget() != dialog)
            return;
        timer->stop();
        timer->deleteLater();
        // The window system would activate the dialog; the offscreen platform has to be asked.
        dialog->activateWindow();
        EXPECT_TRUE(QTest::qWaitFor([dialog] { return QApplication::activeWindow() == dialog; }, 5000));
        script();
        if (dialog->isVisible()) {
            QTimer::singleShot(5000, dialog, [dialog] {
                if (dialog->isVisible()) {
                    ADD_FAILURE() << dialog->objectName().toStdString() << " was left open";
                    dialog->done(0);
                }
            });
        }
    });
    timer->start();
    return timer;
}

// The editor window over a core object whose active profile "Editor" lives in a temporary home. Message boxes go
// to a MessageBoxScript through the application's real box path; the open panel of programs is a seam that records
// what it was asked and answers `chosenFiles`.
class ProfileEditorTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_scope.emplace(Program::Application, home.path(), &app);
        m_oldExecutor = NotificationCenter::defaultCenter().mainThreadExecutor();
        NotificationCenter::defaultCenter().setMainThreadExecutor(std::make_shared<QtMainThreadExecutor>());
        m_savedHooks = CurrentCoreHooks();
        CoreHooks hooks = *m_savedHooks;
        AddMessageBoxUIHook(hooks);
        SetCoreHooks(hooks);
        m_boxObserver = ObserveMessageBoxNotification(NotificationCenter::defaultCenter());
        boxes.emplace();

        CAppSettings settings = app.GetSettings();
        settings.ActiveProfile = "Editor";
        app.SetSettings(settings);
        Install(StartProfile());

        NSProfileUI::Seams seams;
        seams.openFiles = [this](QWidget*, const QString&, const QString& folder, const QString& filters) {
            panelFolders.push_back(folder);
            panelFilters.push_back(filters);
            return chosenFiles;
        };
        window = std::make_unique<NSProfileUI>(app, NSProfileSeams {}, seams);
        window->calculateWindowSize();
        window->showPreferences();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        window->activateWindow();
        ASSERT_TRUE(WaitFor([this] { return QApplication::activeWindow() == window.get(); }));
    }

    void TearDown() override
    {
        window.reset();
        boxes.reset();
        NotificationCenter::defaultCenter().removeObserver(m_boxObserver);
        SetCoreHooks(*m_savedHooks);
        NotificationCenter::defaultCenter().setMainThreadExecutor(m_oldExecutor);
        m_scope.reset();
    }

    // Two rules and the Default rule; no proxies, no chains.
    static CProfileData StartProfile()
    {
        CProfileData profile;
        profile.m_Rules = { Rule("Mail", "mail.example"), Rule("Web", "www.example") };
        profile.AddDefaultRule();
        return profile;
    }

    // Installs `profile` as another writer would (saved to the file) and lets the window catch up.
    void Install(CProfileData profile)
    {
        app.SetProfile(std::move(profile), true);
        QCoreApplication::processEvents();
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

    int SelectedRule() const
    {
        const QModelIndexList rows = window->rulesList()->selectionModel()->selectedRows();
        return rows.size() == 1 ? rows.front().row() : -1;
    }

    int SelectedOutlineRow() const
    {
        const QModelIndexList rows = window->chainsList()->selectionModel()->selectedRows();
        return rows.size() == 1 ? window->chainsModel()->outlineRow(rows.front()) : -1;
    }

    QString ChainCell(int outlineRow, int column = 0) const
    {
        return window->chainsModel()->indexAtOutlineRow(outlineRow, column).data().toString();
    }

    test::TempDir home;
    CCorvantisAppUI app;
    std::optional<MessageBoxScript> boxes;
    std::unique_ptr<NSProfileUI> window;
    QStringList chosenFiles;
    QStringList panelFolders;
    QStringList panelFilters;

private:
    std::optional<test::ProgramHomeScope> m_scope;
    std::shared_ptr<MainThreadExecutor> m_oldExecutor;
    std::shared_ptr<const CoreHooks> m_savedHooks;
    NotificationCenter::ObserverId m_boxObserver = 0;
};

// ---- Proxies ----

TEST_F(ProfileEditorTest, AddingAProxyShowsItAndMakesItTheDefaultAction)
{
    boxes->push(kMbAnswerYes); // use this proxy by default?
    ProxyDialog* dialog = window->proxyWindow();
    WhenShown(dialog, [dialog] {
        QTest::keyClicks(dialog->addressEdit(), QStringLiteral("proxy.example"));
        QTest::keyClicks(dialog->portEdit(), QStringLiteral("1080"));
        dialog->typeGroup()->button(kProxySocks5)->click();
        dialog->okButton()->click();
    });
    window->addProxy();

    EXPECT_FALSE(dialog->isVisible());
    ProxyTableModel& model = *window->proxiesModel();
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.index(0, ProxyTableModel::kAddress).data().toString(), QStringLiteral("proxy.example"));
    EXPECT_EQ(model.index(0, ProxyTableModel::kPort).data().toString(), QStringLiteral("1080"));
    EXPECT_EQ(model.index(0, ProxyTableModel::kType).data().toString(), QStringLiteral("SOCKS5"));

    const CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Proxies.size(), 1u);
    EXPECT_EQ(stored.m_Proxies[0].GetHostName(), "proxy.example");
    EXPECT_EQ(stored.m_Proxies[0].m_Port, 1080);
    EXPECT_EQ(stored.m_Proxies[0].m_Type, kProxySocks5);
    EXPECT_EQ(stored.m_Rules.back().m_Action, kActionProxy);
    EXPECT_EQ(stored.m_Rules.back().m_ProxyId, stored.m_Proxies[0].m_Id);

    ASSERT_EQ(boxes->requests().size(), 2u);
    EXPECT_EQ(boxes->requests()[0].caption, "Proxy Servers");
    EXPECT_EQ(boxes->requests()[0].message.rfind("Do you want Corvantis to use this proxy by default?", 0), 0u);
    EXPECT_EQ(boxes->requests()[1].message,
        "Proxy " + stored.m_Proxies[0].ToString(false) + " has been set as the Action for the Default Proxying Rule");
}

TEST_F(ProfileEditorTest, TheProxyDialogStaysOpenOnARefusalAndACancelStoresNothing)
{
    const std::string before = FileBytes();
    ProxyDialog* dialog = window->proxyWindow();
    bool openAfterOk = false;
    WhenShown(dialog, [&] {
        QTest::keyClicks(dialog->addressEdit(), QStringLiteral("proxy.example"));
        dialog->okButton()->click(); // no port yet
        openAfterOk = dialog->isVisible();
        dialog->cancelButton()->click();
    });
    window->addProxy();

    EXPECT_TRUE(openAfterOk);
    ASSERT_EQ(boxes->requests().size(), 1u);
    EXPECT_EQ(boxes->requests()[0].message, "Invalid Port number.");
    EXPECT_EQ(window->proxiesModel()->rowCount(), 0);
    EXPECT_EQ(FileBytes(), before);
}

TEST_F(ProfileEditorTest, TheAdvancedBoxUnfoldsAndAChangeOfTypeFoldsIt)
{
    ProxyDialog* dialog = window->proxyWindow();
    auto* box = dialog->findChild<QWidget*>(QStringLiteral("advancedBox"));
    auto* unfold = dialog->findChild<QPushButton*>(QStringLiteral("advancedButton"));
    ASSERT_TRUE(box && unfold);
    std::vector<bool> shown;
    WhenShown(dialog, [&] {
        shown.push_back(box->isVisible());
        const int foldedHeight = dialog->height();
        unfold->click();
        shown.push_back(box->isVisible());
        shown.push_back(!unfold->isVisible());
        dialog->typeGroup()->button(kProxySocks4)->click();
        shown.push_back(!box->isVisible());
        shown.push_back(unfold->isVisible());
        QCoreApplication::processEvents();
        shown.push_back(dialog->height() == foldedHeight);
        dialog->cancelButton()->click();
    });
    window->addProxy();
    EXPECT_EQ(shown, (std::vector<bool> { false, true, true, true, true, true }));
}

// ---- Chains ----

TEST_F(ProfileEditorTest, ANewChainIsSelectedAndRenamedByEditingItsRow)
{
    window->showChainsList();
    window->addChain();
    QCoreApplication::processEvents(); // the reload that follows the write-back, as between two keystrokes
    ASSERT_EQ(window->chainsModel()->rowCount(), 1);
    EXPECT_EQ(ChainCell(0), QStringLiteral("New Chain"));
    EXPECT_EQ(SelectedOutlineRow(), 0);

    QTreeView* tree = window->chainsList();
    tree->setFocus();
    tree->setCurrentIndex(window->chainsModel()->indexAtOutlineRow(0));
    QTest::keyClick(tree, Qt::Key_F2);
    auto* editor = tree->viewport()->findChild<QLineEdit*>();
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->text(), QStringLiteral("New Chain"));
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("Office"));
    QTest::keyClick(editor, Qt::Key_Return);

    // The write-back's reload comes queued, after the commit has returned.
    EXPECT_TRUE(WaitFor([&] { return ChainCell(0) == QStringLiteral("Office"); }));
    EXPECT_EQ(ChainCell(0), QStringLiteral("Office"));
    ASSERT_EQ(Stored().m_Chains.size(), 1u);
    EXPECT_EQ(Stored().m_Chains[0].m_Name, "Office");
}

TEST_F(ProfileEditorTest, AProxyDroppedIntoAChainIsSelected)
{
    CProfileData profile = StartProfile();
    profile.m_Proxies = { Proxy("a.example", 1080, 100), Proxy("b.example", 1080, 101) };
    CChain chain("Office", 200);
    chain.m_Entries = { { 100, true } };
    profile.m_Chains = { chain };
    Install(profile);
    window->proxies(true);

    ProxyTableModel& proxies = *window->proxiesModel();
    ChainTreeModel& chains = *window->chainsModel();
    std::unique_ptr<QMimeData> data(proxies.mimeData({ proxies.index(1, ProxyTableModel::kAddress) }));
    ASSERT_TRUE(data);
    const QModelIndex office = chains.indexAtOutlineRow(0);
    ASSERT_TRUE(chains.canDropMimeData(data.get(), Qt::CopyAction, 0, 0, office));
    ASSERT_TRUE(chains.dropMimeData(data.get(), Qt::CopyAction, 0, 0, office));

    EXPECT_EQ(SelectedOutlineRow(), 1);
    EXPECT_EQ(ChainCell(1, ChainTreeModel::kName), QStringLiteral("b.example:1080"));
    const CProfileData stored = Stored();
    ASSERT_EQ(stored.m_Chains.size(), 1u);
    EXPECT_EQ(stored.m_Chains[0].m_Entries, (std::vector<CChainEntry> { { 101, true }, { 100, true } }));
}

TEST_F(ProfileEditorTest, RemovingFromTheChainsTreeSelectsTheRowAbove)
{
    CProfileData profile = StartProfile();
    profile.m_Proxies = { Proxy("a.example", 1080, 100), Proxy("b.example", 1080, 101), Proxy("c.example", 1080, 102) };
    CChain first("First", 200);
    first.m_Entries = { { 100, true }, { 101, true }, { 102, true } };
    CChain second("Second", 201);
    second.m_Entries = { { 100, true } };
    profile.m_Chains = { first, second };
    Install(profile);
    window->proxies(true);

    // Rows: 0 First, 1-3 its entries, 4 Second, 5 its entry.
    ASSERT_EQ(ChainCell(4), QStringLiteral("Second"));
    window->chainsList()->selectionModel()->setCurrentIndex(
        window->chainsModel()->indexAtOutlineRow(3), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    window->delChain();
    EXPECT_EQ(SelectedOutlineRow(), 2);
    EXPECT_EQ(Stored().m_Chains[0].m_Entries, (std::vector<CChainEntry> { { 100, true }, { 101, true } }));

    // A chain row removes the chain and selects the first row.
    window->chainsList()->selectionModel()->setCurrentIndex(
        window->chainsModel()->indexAtOutlineRow(3), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    window->delChain();
    EXPECT_EQ(SelectedOutlineRow(), 0);
    ASSERT_EQ(Stored().m_Chains.size(), 1u);
    EXPECT_EQ(Stored().m_Chains[0].m_Name, "First");
}

// ---- Panes ----

TEST_F(ProfileEditorTest, WithoutChainsTheProxiesPaneIs300High)
{
    const QSize designed = NSProfileUI::designedPaneSize(NSProfileUI::kProxiesPane);
    const QSize full = window->paneWindowSize(NSProfileUI::kProxiesPane);
    ASSERT_TRUE(full.isValid());
    QWidget* pane = window->pane(NSProfileUI::kProxiesPane);
    auto* chainsPart = pane->findChild<QWidget*>(QStringLiteral("chainsPart"));
    ASSERT_TRUE(chainsPart);
    const int top = window->geometry().top();

    window->toolBarItem(NSProfileUI::kProxiesPane)->trigger();
    EXPECT_EQ(window->currentPane(), pane);
    EXPECT_EQ(window->selectedToolBarItem(), QStringLiteral("Proxies"));
    EXPECT_FALSE(window->chainsListShown());
    EXPECT_FALSE(chainsPart->isVisible());
    const int shortHeight = full.height() - (designed.height() - NSProfileUI::kProxiesPaneShortHeight);
    EXPECT_TRUE(WaitFor([&] { return window->height() == shortHeight; }));
    EXPECT_EQ(window->height(), shortHeight);
    EXPECT_TRUE(WaitFor([&] { return pane->height() == NSProfileUI::kProxiesPaneShortHeight; }));
    EXPECT_EQ(pane->height(), NSProfileUI::kProxiesPaneShortHeight);
    EXPECT_EQ(window->geometry().top(), top);
    SaveArtifact(window.get(), "proxies-without-chains");

    window->showChainsList();
    EXPECT_TRUE(chainsPart->isVisible());
    EXPECT_TRUE(WaitFor([&] { return window->size() == full; }));
    EXPECT_EQ(window->size(), full);
    EXPECT_TRUE(WaitFor([&] { return pane->height() == designed.height(); }));
    EXPECT_EQ(pane->height(), designed.height());
    EXPECT_EQ(window->geometry().top(), top);
    SaveArtifact(window.get(), "proxies");

    // Chains in the profile show the chains part however the pane is reached.
    CProfileData profile = StartProfile();
    profile.m_Chains = { CChain("Office", 200) };
    Install(profile);
    window->rules();
    window->toolBarItem(NSProfileUI::kProxiesPane)->trigger();
    EXPECT_TRUE(window->chainsListShown());
    EXPECT_TRUE(WaitFor([&] { return window->size() == full; }));
    EXPECT_EQ(window->size(), full);
}

TEST_F(ProfileEditorTest, ToolBarAndSegmentsShowEachPaneAtItsSize)
{
    struct Case {
        NSProfileUI::Pane pane;
        const char* item;
        const char* artifact;
    };
    const Case cases[] = {
        { NSProfileUI::kRulesPane, "Rules", "rules" },
        { NSProfileUI::kDnsPane, "DNS", "dns" },
        { NSProfileUI::kAdvancedPane, "Advanced", "advanced" },
    };
    const int top = window->geometry().top();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        window->toolBarItem(c.pane)->trigger();
        EXPECT_EQ(window->currentPane(), window->pane(c.pane));
        EXPECT_EQ(window->selectedToolBarItem(), QString::fromLatin1(c.item));
        EXPECT_TRUE(window->segmentedControl()->button(c.pane)->isChecked());
        EXPECT_TRUE(WaitFor([&] { return window->size() == window->paneWindowSize(c.pane); }));
        EXPECT_EQ(window->size(), window->paneWindowSize(c.pane));
        // The chrome was measured right: the pane gets exactly its designed size.
        const QSize designed = NSProfileUI::designedPaneSize(c.pane);
        EXPECT_TRUE(WaitFor([&] { return window->currentPane()->size() == designed; }));
        EXPECT_EQ(window->currentPane()->size(), designed);
        EXPECT_EQ(window->geometry().top(), top);
        EXPECT_FALSE(window->pane(NSProfileUI::kProxiesPane)->isVisible());
        SaveArtifact(window.get(), c.artifact);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        window->segmentedControl()->button(NSProfileUI::kProxiesPane)->click();
        ASSERT_EQ(window->currentPane(), window->pane(NSProfileUI::kProxiesPane));
        window->segmentedControl()->button(c.pane)->click();
        EXPECT_EQ(window->currentPane(), window->pane(c.pane));
        EXPECT_EQ(window->selectedToolBarItem(), QString::fromLatin1(c.item));
    }
}

TEST_F(ProfileEditorTest, AClickOnASwitchIsWrittenToTheFileAtOnce)
{
    struct Case {
        NSProfileUI::Pane pane;
        const char* name;
        bool CProfileData::*field;
    };
    const Case cases[] = {
        { NSProfileUI::kAdvancedPane, "infiniteLoopDetection", &CProfileData::m_ConnectionLoopDetection },
        { NSProfileUI::kAdvancedPane, "handleDirectConnections", &CProfileData::m_HandleDirectConnections },
        { NSProfileUI::kDnsPane, "dnsExclusionLocalhost", &CProfileData::m_ExcludeLocalhost },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window->preferences(c.pane);
        auto* box = window->pane(c.pane)->findChild<QCheckBox*>(QString::fromLatin1(c.name));
        ASSERT_TRUE(box);
        const bool before = Stored().*c.field;
        EXPECT_EQ(box->isChecked(), before);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
        EXPECT_EQ(box->isChecked(), !before);
        EXPECT_EQ(Stored().*c.field, !before);
    }
}

// ---- Rules ----

TEST_F(ProfileEditorTest, AnAddedRuleIsStoredBeforeTheDefaultRule)
{
    window->rules();
    RuleDialog* dialog = window->ruleWindow();
    QString nameShown;
    WhenShown(dialog, [&] {
        nameShown = dialog->nameEdit()->selectedText(); // the name is selected for typing over
        QTest::keyClicks(dialog->nameEdit(), QStringLiteral("Files"));
        QTest::keyClicks(dialog->hostsView(), QStringLiteral("files.example"));
        QTest::keyClicks(dialog->portsView(), QStringLiteral("445; 139"));
        QComboBox* action = dialog->actionCombo();
        const int block = action->findText(QStringLiteral("Block"));
        action->setCurrentIndex(block);
        emit action->activated(block);
        SaveArtifact(dialog, "rule-dialog");
        dialog->okButton()->click();
    });
    window->addRule();

    EXPECT_EQ(nameShown, QStringLiteral("New"));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(boxes->requests().empty());
    const CProfileData stored = Stored();
    EXPECT_EQ(RuleNames(stored), (std::vector<std::string> { "Mail", "Web", "Files", "Default" }));
    const CRule& rule = stored.m_Rules[2];
    EXPECT_EQ(rule.m_TargetsText, "files.example");
    EXPECT_EQ(rule.m_PortsText, "445; 139");
    EXPECT_EQ(rule.m_Action, kActionBlock);
    EXPECT_TRUE(rule.m_Enabled);
    ASSERT_EQ(window->rulesModel()->rowCount(), 4);
    EXPECT_EQ(window->rulesModel()->index(2, RulesTableModel::kName).data().toString(), QStringLiteral("Files"));
}

TEST_F(ProfileEditorTest, ARefusedHostKeepsTheDialogAndACancelStoresNothing)
{
    window->rules();
    const std::string before = FileBytes();
    RuleDialog* dialog = window->ruleWindow();
    std::vector<int> marks;
    bool openAfterOk = false;
    WhenShown(dialog, [&] {
        QTest::keyClicks(dialog->hostsView(), QStringLiteral("a_b"));
        marks = dialog->hostsView()->markedPositions();
        QComboBox* action = dialog->actionCombo();
        action->setCurrentIndex(0);
        emit action->activated(0);
        dialog->okButton()->click();
        openAfterOk = dialog->isVisible();
        dialog->cancelButton()->click();
    });
    window->addRule();

    EXPECT_EQ(marks, std::vector<int> { 1 });
    EXPECT_TRUE(openAfterOk);
    ASSERT_EQ(boxes->requests().size(), 1u);
    EXPECT_EQ(boxes->requests()[0].message, "Target host list contains incorrect character(s).\n");
    EXPECT_EQ(boxes->requests()[0].caption, "Proxying Rule");
    EXPECT_EQ(FileBytes(), before);
    EXPECT_EQ(window->rulesModel()->rowCount(), 3);
}

TEST_F(ProfileEditorTest, ReturnAndTabInTheListViews)
{
    window->rules();
    RuleDialog* dialog = window->ruleWindow();
    QString portsText;
    QString hostsText;
    QWidget* afterTab = nullptr;
    QWidget* afterBacktab = nullptr;
    WhenShown(dialog, [&] {
        QTest::keyClicks(dialog->portsView(), QStringLiteral("80"));
        QTest::keyClick(dialog->portsView(), Qt::Key_Return);
        QTest::keyClick(dialog->portsView(), Qt::Key_Enter);
        portsText = dialog->portsView()->toPlainText();
        QTest::keyClicks(dialog->hostsView(), QStringLiteral("a.example"));
        QTest::keyClick(dialog->hostsView(), Qt::Key_Return);
        hostsText = dialog->hostsView()->toPlainText();

        dialog->hostsView()->setFocus();
        QTest::keyClick(dialog->hostsView(), Qt::Key_Tab);
        afterTab = QApplication::focusWidget();
        QTest::keyClick(afterTab, Qt::Key_Backtab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        afterBacktab = QApplication::focusWidget();
        dialog->cancelButton()->click();
    });
    window->addRule();

    EXPECT_EQ(portsText, QStringLiteral("80"));
    EXPECT_EQ(hostsText, QStringLiteral("a.example\n"));
    EXPECT_EQ(afterTab, dialog->portsView());
    EXPECT_EQ(afterBacktab, dialog->addAppButton());
    EXPECT_FALSE(dialog->hostsView()->toPlainText().contains(QLatin1Char('\t')));
}

TEST_F(ProfileEditorTest, RefusedCharactersAreMarkedRedButAnyNever)
{
    struct Case {
        const char* name;
        ListField field;
        bool noEnter;
        QString text;
        std::vector<int> marks; // UTF-16 positions
    };
    const Case cases[] = {
        { "an underscore in hosts", ListField::Hosts, false, QStringLiteral("a_b"), { 1 } },
        { "Any in ports", ListField::Ports, true, QStringLiteral("Any"), {} },
        { "Any in hosts", ListField::Hosts, false, QStringLiteral("Any"), {} },
        { "other letters in ports", ListField::Ports, true, QStringLiteral("Anyway"), { 0, 1, 2, 3, 4, 5 } },
        { "a line feed in ports", ListField::Ports, true, QStringLiteral("80\n443"), { 2 } },
        { "non-ASCII in hosts", ListField::Hosts, false, QString::fromUtf8("\xC3\xA9_x"), { 0, 1 } },
        { "past a surrogate pair", ListField::Hosts, false, QString::fromUtf8("\xF0\x9F\x98\x80_x"), { 0, 2 } },
        { "a colon in the DNS list", ListField::DnsExclusion, false, QStringLiteral("a:b"), { 1 } },
    };
    NSMultilineTextFieldWithLight view;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        view.setAllowed(c.field, c.noEnter);
        view.setPlainText(c.text);
        EXPECT_EQ(view.markedPositions(), c.marks);
        ASSERT_EQ(view.extraSelections().size(), static_cast<qsizetype>(c.marks.size()));
        for (std::size_t i = 0; i < c.marks.size(); ++i) {
            EXPECT_EQ(view.extraSelections()[static_cast<qsizetype>(i)].cursor.selectionStart(), c.marks[i]);
            EXPECT_EQ(
                view.extraSelections()[static_cast<qsizetype>(i)].format.background().color(), QColor(255, 0, 0, 128));
        }
    }
}

TEST_F(ProfileEditorTest, TheMarkIsPaintedBehindTheRefusedCharacter)
{
    NSMultilineTextFieldWithLight view;
    view.setAllowed(ListField::Hosts, false);
    view.resize(200, 60);
    view.setPlainText(QStringLiteral("a_b"));
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QTextCursor cursor(view.document());
    cursor.setPosition(1);
    const QRect before = view.cursorRect(cursor);
    cursor.setPosition(2);
    const QRect after = view.cursorRect(cursor);
    const QImage image = view.viewport()->grab().toImage();
    // The top of the underscore's cell holds no ink: only the mark's red (blended) or the base colour.
    const QColor marked = image.pixelColor((before.left() + after.left()) / 2, before.top() + 2);
    const QColor plain = image.pixelColor(before.left() - 3, before.top() + 2);
    EXPECT_GT(marked.red(), marked.green() + 60);
    EXPECT_LT(std::abs(plain.red() - plain.green()), 30);
}

TEST_F(ProfileEditorTest, RulesMoveInTheFileWithTheSelection)
{
    struct Case {
        const char* name;
        int row;
        bool up;
        std::vector<std::string> rules;
        int selected;
        const char* message; // nullptr: no box
    };
    const Case cases[] = {
        { "down", 0, false, { "Web", "Mail", "Default" }, 1, nullptr },
        { "up", 1, true, { "Web", "Mail", "Default" }, 0, nullptr },
        { "the first rule up", 0, true, { "Mail", "Web", "Default" }, 0, nullptr },
        { "below the Default rule", 1, false, { "Mail", "Web", "Default" }, 1, kPassDefault },
    };
    window->rules();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Install(StartProfile());
        boxes.emplace();
        const std::string before = FileBytes();
        window->rulesList()->selectRow(c.row);
        if (c.up)
            window->ruleUp();
        else
            window->ruleDown();
        EXPECT_EQ(RuleNames(Stored()), c.rules);
        EXPECT_EQ(SelectedRule(), c.selected);
        EXPECT_EQ(window->rulesModel()->index(c.selected, RulesTableModel::kName).data().toString(),
            QString::fromStdString(c.rules[static_cast<std::size_t>(c.selected)]));
        if (c.message) {
            ASSERT_EQ(boxes->requests().size(), 1u);
            EXPECT_EQ(boxes->requests()[0].message, c.message);
            EXPECT_EQ(boxes->requests()[0].caption, "Proxying Rules");
            EXPECT_EQ(FileBytes(), before);
        } else {
            EXPECT_TRUE(boxes->requests().empty());
        }
        // The queued reload after the write-back keeps the selection.
        QCoreApplication::processEvents();
        EXPECT_EQ(SelectedRule(), c.selected);
    }
}

TEST_F(ProfileEditorTest, EditingARuleReplacesItInPlace)
{
    window->rules();
    window->rulesList()->selectRow(1);
    RuleDialog* dialog = window->ruleWindow();
    QString hostsShown;
    WhenShown(dialog, [&] {
        hostsShown = dialog->hostsView()->toPlainText();
        QTest::keyClick(dialog->hostsView(), Qt::Key_End, Qt::ControlModifier);
        QTest::keyClicks(dialog->hostsView(), QStringLiteral("; *.example"));
        dialog->okButton()->click();
    });
    window->editRule();

    EXPECT_EQ(hostsShown, QStringLiteral("www.example"));
    const CProfileData stored = Stored();
    EXPECT_EQ(RuleNames(stored), (std::vector<std::string> { "Mail", "Web", "Default" }));
    EXPECT_EQ(stored.m_Rules[1].m_TargetsText, "www.example; *.example");
    EXPECT_EQ(SelectedRule(), 1);
}

TEST_F(ProfileEditorTest, TheOpenPanelAddsDesktopEntriesToTheRule)
{
    const std::filesystem::path folder = home.path() / "applications";
    std::filesystem::create_directories(folder);
    const std::pair<const char*, const char*> entries[] = {
        { "fetch.desktop", "[Desktop Entry]\nType=Application\nName=Fetch\nExec=env LANG=C /usr/bin/curl %u\n" },
        { "get.desktop", "[Desktop Entry]\nType=Application\nName=Get\nExec=wget %U\n" },
    };
    for (const auto& [name, text] : entries) {
        std::ofstream(folder / name) << text;
        chosenFiles.append(QString::fromStdString((folder / name).string()));
    }
    window->rules();
    RuleDialog* dialog = window->ruleWindow();
    QString apps;
    WhenShown(dialog, [&] {
        dialog->addAppButton()->click();
        apps = dialog->appView()->toPlainText();
        dialog->cancelButton()->click();
    });
    window->addRule();

    EXPECT_EQ(panelFolders, QStringList { QStringLiteral("/usr/share/applications") });
    ASSERT_EQ(panelFilters.size(), 1);
    EXPECT_TRUE(panelFilters[0].contains(QStringLiteral("(*.desktop)")));
    EXPECT_TRUE(panelFilters[0].contains(QStringLiteral("(*)")));
    EXPECT_EQ(apps, QStringLiteral("\"curl\"; \"wget\""));
}

// ---- DNS exclusion list ----

TEST_F(ProfileEditorTest, TheDnsListIsStoredOrRefused)
{
    struct Case {
        const char* name;
        QString typed;
        bool stored;
        std::vector<int> marks;
    };
    const Case cases[] = {
        { "a list", QStringLiteral("intranet.example; files.example"), true, {} },
        { "an underscore", QStringLiteral("a_b.example"), false, { 1 } },
    };
    window->names();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Install(StartProfile());
        boxes.emplace();
        const std::string before = FileBytes();
        DnsExclusionListDialog* dialog = window->dnsExclListWindow();
        std::vector<int> marks;
        bool openAfterOk = false;
        WhenShown(dialog, [&] {
            QTest::keyClicks(dialog->listView(), c.typed);
            marks = dialog->listView()->markedPositions();
            dialog->okButton()->click();
            openAfterOk = dialog->isVisible();
            if (openAfterOk)
                dialog->cancelButton()->click();
        });
        window->editDnsList();

        EXPECT_EQ(marks, c.marks);
        EXPECT_EQ(openAfterOk, !c.stored);
        if (c.stored) {
            EXPECT_TRUE(boxes->requests().empty());
            EXPECT_EQ(Stored().m_ExclusionList, (std::vector<std::string> { "intranet.example", "files.example" }));
        } else {
            ASSERT_EQ(boxes->requests().size(), 1u);
            EXPECT_EQ(boxes->requests()[0].message, "Target host list contains incorrect character(s).\n");
            EXPECT_EQ(boxes->requests()[0].caption, "DNS Exclusion List");
            EXPECT_EQ(FileBytes(), before);
        }
    }
}

TEST_F(ProfileEditorTest, ADoubleClickOnARowOpensItsEditor)
{
    CProfileData profile = StartProfile();
    profile.m_Proxies = { Proxy("a.example", 1080, 100), Proxy("b.example", 3128, 101) };
    profile.m_Chains = { CChain("Office", 200) }; // the chains part shown: the proxies table keeps empty space
    Install(profile);
    struct Case {
        const char* name;
        NSProfileUI::Pane pane;
        int row; // -1: below the last row
        int column;
        QString shown; // what the dialog shows of the row; empty: no dialog
    };
    const Case cases[] = {
        { "a proxy", NSProfileUI::kProxiesPane, 1, ProxyTableModel::kAddress, QStringLiteral("b.example") },
        { "below the proxies", NSProfileUI::kProxiesPane, -1, ProxyTableModel::kAddress, QString() },
        { "the hosts of a rule", NSProfileUI::kRulesPane, 1, RulesTableModel::kHosts, QStringLiteral("www.example") },
        { "below the rules", NSProfileUI::kRulesPane, -1, RulesTableModel::kHosts, QString() },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window->preferences(c.pane);
        QCoreApplication::processEvents();
        QTableView* table = c.pane == NSProfileUI::kProxiesPane ? window->proxiesList() : window->rulesList();
        QDialog* dialog = c.pane == NSProfileUI::kProxiesPane ? static_cast<QDialog*>(window->proxyWindow())
                                                              : static_cast<QDialog*>(window->ruleWindow());
        const int rows = table->model()->rowCount();
        ASSERT_GT(rows, 0);
        QPoint point = table->visualRect(table->model()->index(c.row < 0 ? rows - 1 : c.row, c.column)).center();
        if (c.row < 0)
            point.ry() += table->rowHeight(rows - 1);
        ASSERT_TRUE(table->viewport()->rect().contains(point));
        QString shown;
        QPointer<QTimer> watch = WhenShown(dialog, [&] {
            shown = c.pane == NSProfileUI::kProxiesPane ? window->proxyWindow()->addressEdit()->text()
                                                        : window->ruleWindow()->hostsView()->toPlainText();
            dialog->done(0);
        });
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, point);
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, point);
        QCoreApplication::processEvents();
        delete watch.data();
        EXPECT_EQ(shown, c.shown);
        EXPECT_FALSE(dialog->isVisible());
    }
}

// ---- Following other writers ----

TEST_F(ProfileEditorTest, AnotherWritersProfileIsShownAfterTheCurrentEventNotInsideIt)
{
    window->rules();
    window->rulesList()->selectRow(1);
    CProfileData profile = StartProfile();
    profile.m_Proxies = { Proxy("a.example", 1080, 100) };
    profile.m_Chains = { CChain("Office", 200) };
    profile.m_Rules.insert(profile.m_Rules.begin() + 2, Rule("Files", "files.example"));
    app.SetProfile(profile, true); // posts "ProfileUpdated" at once

    // Nothing is reset under the code that stored the profile (a cell's commit, say)...
    EXPECT_EQ(window->proxiesModel()->rowCount(), 0);
    EXPECT_EQ(window->chainsModel()->rowCount(), 0);
    EXPECT_EQ(window->rulesModel()->rowCount(), 3);
    // ...the lists follow once it has returned, keeping the selected row.
    QCoreApplication::processEvents();
    EXPECT_EQ(window->proxiesModel()->rowCount(), 1);
    EXPECT_EQ(ChainCell(0), QStringLiteral("Office"));
    EXPECT_EQ(window->rulesModel()->rowCount(), 4);
    EXPECT_EQ(SelectedRule(), 1);
}

// ---- Statistics and the program's window ----

TEST_F(ProfileEditorTest, StatisticsAndTrafficAreClearedApart)
{
    app.GetStatistics().AddSent(100);
    window->clearTraffic();
    EXPECT_EQ(app.GetStatistics().GetTotalSent(), 100u);
    window->clearStatistcs();
    EXPECT_EQ(app.GetStatistics().GetTotalSent(), 0u);
}

TEST_F(ProfileEditorTest, TheProgramKeepsOneEditorUntilClosed)
{
    NSProfileUI& first = ShowProfileEditor(app);
    EXPECT_TRUE(first.isVisible());
    EXPECT_EQ(first.currentPane(), first.pane(NSProfileUI::kProxiesPane));
    first.rules();
    first.hide();
    NSProfileUI& second = ShowProfileEditor(app);
    EXPECT_EQ(&second, &first);
    EXPECT_TRUE(second.isVisible());
    EXPECT_EQ(second.currentPane(), second.pane(NSProfileUI::kRulesPane)); // the pane chosen last
    CloseProfileEditor();
}

} // namespace
} // namespace corvantis
