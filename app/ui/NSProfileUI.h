#pragma once

#include "app/ui/NSProfile.h"

#include <QMainWindow>
#include <QSize>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>

class QAction;
class QButtonGroup;
class QLabel;
class QTableView;
class QToolBar;
class QTreeView;

namespace corvantis {

class BoundProperties;
class CCorvantisApp;
class ChainTreeModel;
class DnsExclusionListDialog;
class ProxyDialog;
class ProxyTableModel;
class RuleDialog;
class RulesTableModel;

// The profile editor: one window with four panes (proxies with the chains, rules, DNS, advanced) chosen from the
// toolbar items "Proxies", "Rules", "DNS", "Advanced" or from the segmented control below them (segments 0 to 3),
// three modal dialogs (proxy, rule, DNS exclusion list) and the lists inside the panes. It works only through its
// model, NSProfile, over the core object's active profile: each action asks the model and then refreshes the
// lists, and every refusal is shown by the model (the window only skips its refresh or keeps a dialog open).
//
// The window follows "ProfileUpdated": it reloads its lists after each one through a queued call, so never from
// inside the commit of the cell being edited (a write-back posts that notification at once).
//
// Each dialog is run modally with exec() by the action that opens it, which returns only once the dialog ended
// (done(1) or done(0)). Window sizes: each pane has a designed size, and the window is resized to it plus the
// window's own chrome, measured once by calculateWindowSize; a resize keeps the window's top edge. Without chains,
// the proxies pane hides its chains part and is 300 pixels high until showChainsList() is chosen.
//
// Thread-safety: the GUI thread only. `app` must outlive the window.
class NSProfileUI final : public QMainWindow {
    Q_OBJECT
public:
    enum Pane { kProxiesPane, kRulesPane, kDnsPane, kAdvancedPane, kPaneCount };
    // The proxies pane's height without its chains part.
    static constexpr int kProxiesPaneShortHeight = 300;

    struct Seams {
        // The open panel of addAppToRule(): the files the user chose in a panel starting in `folder` and offering
        // `filters` (";;"-separated); empty when cancelled. Empty function: QFileDialog::getOpenFileNames.
        std::function<QStringList(
            QWidget* parent, const QString& caption, const QString& folder, const QString& filters)>
            openFiles;
    };

    // The model is built over `app` with `modelSeams`, whose proxy dialog seams (the folding box, the end of the
    // dialog's run) and application-view relayout the window fills in itself.
    explicit NSProfileUI(
        CCorvantisApp& app, NSProfileSeams modelSeams = {}, Seams seams = {}, QWidget* parent = nullptr);
    ~NSProfileUI() override;
    NSProfileUI(const NSProfileUI&) = delete;
    NSProfileUI& operator=(const NSProfileUI&) = delete;

    NSProfile& profile() { return *m_profile; }

    // ---- What the window shows ----

    QWidget* pane(Pane which) const { return m_panes[which]; }
    // The pane shown now; null before the first one.
    QWidget* currentPane() const { return m_current; }
    QWidget* voidProfileView() const { return m_voidView; }
    QToolBar* profileToolBar() const { return m_toolBar; }
    QAction* toolBarItem(Pane which) const { return m_toolBarItems[which]; }
    // The checked toolbar item's identifier; empty when none is.
    QString selectedToolBarItem() const;
    QButtonGroup* segmentedControl() const { return m_segments; }
    // The window size for a pane, as calculateWindowSize measured it (empty before).
    QSize paneWindowSize(Pane which) const { return m_windowSizes[which]; }
    // A pane's size as designed.
    static QSize designedPaneSize(Pane which);
    bool chainsListShown() const { return m_showChainsList; }

    QTableView* proxiesList() const { return m_proxiesList; }
    QTreeView* chainsList() const { return m_chainsList; }
    QTableView* rulesList() const { return m_rulesList; }
    ProxyTableModel* proxiesModel() const { return m_proxiesModel; }
    ChainTreeModel* chainsModel() const { return m_chainsModel; }
    RulesTableModel* rulesModel() const { return m_rulesModel; }
    ProxyDialog* proxyWindow() const { return m_proxyWindow; }
    RuleDialog* ruleWindow() const { return m_ruleWindow; }
    DnsExclusionListDialog* dnsExclListWindow() const { return m_dnsWindow; }

    // ---- Sizes and refresh ----

    // Measures the window's chrome (window size less the pane container's), stores each pane's window size and
    // gives the four text views their character rules. Called once, before the first pane is shown.
    void calculateWindowSize();
    // Shows `view` (one of the panes) in the container and resizes the window to `size`, keeping its top edge;
    // brings the window to the front when it is not the active window. Null does nothing.
    void setProfileView(QWidget* view, QSize size);
    // The model announces everything and the lists are read anew (chains expanded).
    void updateProfileUI();

public slots:
    // ---- Panes ----

    // The proxies pane. `fromUser` stands for a sender: without chains, a call from the user hides the chains
    // part, one without sender keeps the choice.
    void proxies(bool fromUser = true);
    void rules();
    void names();
    void advanced();
    // The segmented control: 0 proxies, 1 rules, 2 DNS, 3 advanced; other segments do nothing.
    void preferences(int segment);
    // The window as it was when a pane was chosen before, else the proxies pane.
    void showPreferences();
    void showChainsList();

    // ---- Proxies (on the selected row of the proxies table, through its "Num") ----

    void addProxy();
    void editProxy();
    void delProxy();
    // End the proxy dialog's run with 1 or 0.
    void onOK();
    void onCancel();

    // ---- Rules (on the selected row of the rules table; nothing without one, except addRule) ----

    void addRule();
    void editRule();
    void cloneRule();
    void delRule();
    void ruleUp();
    void ruleDown();
    // The rule dialog's OK: ends its run with 1 once the model's check passes.
    void okRules();
    // The open panel of programs (several files, starting in "/usr/share/applications", desktop entries or any
    // file); each chosen file is added to the rule dialog's applications, in order.
    void addAppToRule();

    // ---- DNS ----

    void editDnsList();
    // The DNS dialog's OK: ends its run with 1 once the list is stored.
    void okDNS();

    // ---- Chains ----

    void addChain();
    // Removes the selected chain, or the selected entry from its chain.
    void delChain();

    // ---- Statistics ----

    void clearStatistcs();
    void clearTraffic();

private:
    QWidget* buildProxiesPane();
    QWidget* buildRulesPane();
    QWidget* buildDnsPane();
    QWidget* buildAdvancedPane();
    void reloadChains();
    void selectRule(int row);
    void selectOutlineRow(int row);
    int selectedRule() const;
    // The "Num" of the proxies table's selected row; -1 without one.
    int64_t selectedProxyNum() const;
    void showPane(Pane which, QSize size);
    void profileUpdated();

    CCorvantisApp& m_app;
    Seams m_seams;
    std::unique_ptr<NSProfile> m_profile;
    BoundProperties* m_properties = nullptr;

    QToolBar* m_toolBar = nullptr;
    std::array<QAction*, kPaneCount> m_toolBarItems {};
    QButtonGroup* m_segments = nullptr;
    QWidget* m_voidView = nullptr;
    std::array<QWidget*, kPaneCount> m_panes {};
    std::array<QSize, kPaneCount> m_windowSizes {};
    QWidget* m_current = nullptr;
    QWidget* m_chainsPart = nullptr;
    QWidget* m_showChainsButton = nullptr;
    bool m_showChainsList = false;

    QTableView* m_proxiesList = nullptr;
    QTreeView* m_chainsList = nullptr;
    QTableView* m_rulesList = nullptr;
    ProxyTableModel* m_proxiesModel = nullptr;
    ChainTreeModel* m_chainsModel = nullptr;
    RulesTableModel* m_rulesModel = nullptr;
    QLabel* m_exclusionCount = nullptr;

    ProxyDialog* m_proxyWindow = nullptr;
    RuleDialog* m_ruleWindow = nullptr;
    DnsExclusionListDialog* m_dnsWindow = nullptr;

    uint64_t m_updatesObserver = 0;
    bool m_reloadPending = false;
};

// The program's profile editor over `app`, made on the first call (measured, on its last pane or the proxies pane)
// and brought to the front on every call (`app` and `modelSeams` are used by the first call only); the window is
// kept until CloseProfileEditor. GUI thread only.
NSProfileUI& ShowProfileEditor(CCorvantisApp& app, NSProfileSeams modelSeams = {});
// Destroys the program's profile editor, if any (before the application object goes).
void CloseProfileEditor();
// The program's editor when it has been opened, else null.
NSProfileUI* OpenedProfileEditor();

} // namespace corvantis
