#include "app/ui/NSProfileUI.h"

#include "app/ui/BoundProperty.h"
#include "app/ui/ProfileDialogs.h"
#include "app/ui/ProfileListModels.h"
#include "app/ui/SmallControls.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisApp.h"
#include "platform/NotificationCenter.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTableView>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

namespace corvantis {

namespace {

constexpr const char* kToolBarItems[] = { "Proxies", "Rules", "DNS", "Advanced" };
constexpr const char* kApplicationsFolder = "/usr/share/applications";

QPushButton* button(QWidget* parent, const QString& title, const char* name)
{
    auto* result = new QPushButton(title, parent);
    result->setObjectName(QString::fromLatin1(name));
    result->setAutoDefault(false);
    return result;
}

// A check box of the pane bound to one of the model's switches.
QCheckBox* switchBox(
    QWidget* parent, BoundProperties& properties, NSProfile& profile, NSProfile::Switch which, const QString& title)
{
    auto* box = new QCheckBox(title, parent);
    box->setObjectName(QString::fromLatin1(NSProfile::switchName(which)));
    bindCheckBox(
        box, properties, box->objectName(), [&profile, which] { return profile.switchValue(which); },
        [&profile, which](bool on) { profile.setSwitch(which, on); });
    return box;
}

} // namespace

NSProfileUI::NSProfileUI(CCorvantisApp& app, NSProfileSeams modelSeams, Seams seams, QWidget* parent)
    : QMainWindow(parent)
    , m_app(app)
    , m_seams(std::move(seams))
{
    setObjectName(QStringLiteral("profileWindow"));
    setWindowTitle(tr("Profile"));
    // The dialogs exist only after the model, whose seams call them: the seams look the dialogs up when called.
    modelSeams.advancedBoxVisible = [this] { return m_proxyWindow && m_proxyWindow->advancedBoxVisible(); };
    modelSeams.foldAdvancedBox = [this] {
        if (m_proxyWindow)
            m_proxyWindow->foldAdvancedBox();
    };
    modelSeams.unfoldAdvancedBox = [this] {
        if (m_proxyWindow)
            m_proxyWindow->unfoldAdvancedBox();
    };
    modelSeams.endProxyDialog = [this](int code) {
        if (m_proxyWindow)
            m_proxyWindow->done(code);
    };
    modelSeams.relayoutApplicationView = [this] {
        if (m_ruleWindow)
            m_ruleWindow->appView()->viewport()->update();
    };
    m_profile = std::make_unique<NSProfile>(app, std::move(modelSeams));
    m_properties = new BoundProperties(m_profile->properties(), this);

    m_toolBar = new QToolBar(tr("Profile"), this);
    m_toolBar->setObjectName(QStringLiteral("profileToolBar"));
    m_toolBar->setMovable(false);
    m_toolBar->setFloatable(false);
    m_toolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_toolBar->toggleViewAction()->setEnabled(false); // the panes are reached from it
    auto* items = new QActionGroup(this);
    items->setExclusive(true);
    const QString titles[] = { tr("Proxies"), tr("Rules"), tr("Name Resolution"), tr("Advanced") };
    for (int pane = 0; pane < kPaneCount; ++pane) {
        QAction* item = m_toolBar->addAction(titles[pane]);
        item->setObjectName(QString::fromLatin1(kToolBarItems[pane]));
        item->setCheckable(true);
        items->addAction(item);
        m_toolBarItems[pane] = item;
    }
    addToolBar(Qt::TopToolBarArea, m_toolBar);
    connect(m_toolBarItems[kProxiesPane], &QAction::triggered, this, [this] { proxies(true); });
    connect(m_toolBarItems[kRulesPane], &QAction::triggered, this, &NSProfileUI::rules);
    connect(m_toolBarItems[kDnsPane], &QAction::triggered, this, &NSProfileUI::names);
    connect(m_toolBarItems[kAdvancedPane], &QAction::triggered, this, &NSProfileUI::advanced);

    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);
    m_voidView = new QWidget(central);
    m_voidView->setObjectName(QStringLiteral("voidProfileView"));
    auto* voidLayout = new QVBoxLayout(m_voidView);
    voidLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->addWidget(m_voidView, 1);

    auto* segmentsRow = new QWidget(central);
    segmentsRow->setObjectName(QStringLiteral("preferencesControl"));
    auto* segmentsLayout = new QHBoxLayout(segmentsRow);
    segmentsLayout->setContentsMargins(8, 4, 8, 6);
    segmentsLayout->setSpacing(0);
    segmentsLayout->addStretch(1);
    m_segments = new QButtonGroup(this);
    m_segments->setExclusive(true);
    for (int pane = 0; pane < kPaneCount; ++pane) {
        auto* segment = new QPushButton(titles[pane], segmentsRow);
        segment->setObjectName(QStringLiteral("segment") + QString::number(pane));
        segment->setCheckable(true);
        segment->setAutoDefault(false);
        m_segments->addButton(segment, pane);
        segmentsLayout->addWidget(segment);
    }
    segmentsLayout->addStretch(1);
    centralLayout->addWidget(segmentsRow);
    connect(m_segments, &QButtonGroup::idClicked, this, &NSProfileUI::preferences);
    setCentralWidget(central);

    m_panes[kProxiesPane] = buildProxiesPane();
    m_panes[kRulesPane] = buildRulesPane();
    m_panes[kDnsPane] = buildDnsPane();
    m_panes[kAdvancedPane] = buildAdvancedPane();
    for (QWidget* pane : m_panes) {
        pane->setParent(m_voidView);
        pane->hide();
    }

    m_proxyWindow = new ProxyDialog(*m_profile, *m_properties, this);
    m_ruleWindow = new RuleDialog(*m_profile, *m_properties, this);
    m_dnsWindow = new DnsExclusionListDialog(*m_profile, *m_properties, this);
    connect(m_ruleWindow->okButton(), &QPushButton::clicked, this, &NSProfileUI::okRules);
    connect(m_ruleWindow->cancelButton(), &QPushButton::clicked, m_ruleWindow, [this] { m_ruleWindow->done(0); });
    connect(m_ruleWindow->addAppButton(), &QPushButton::clicked, this, &NSProfileUI::addAppToRule);
    connect(m_dnsWindow->okButton(), &QPushButton::clicked, this, &NSProfileUI::okDNS);
    connect(m_dnsWindow->cancelButton(), &QPushButton::clicked, m_dnsWindow, [this] { m_dnsWindow->done(0); });

    resize(designedPaneSize(kProxiesPane));
    m_updatesObserver = NotificationCenter::defaultCenter().addObserver(
        kProfileUpdatedNotification, [this](const Notification&) { profileUpdated(); });
}

NSProfileUI::~NSProfileUI()
{
    NotificationCenter::defaultCenter().removeObserver(m_updatesObserver);
    // Everything that reads the model or observes its properties goes before the model does (a member, it would
    // otherwise go before the window's children).
    delete m_proxyWindow;
    delete m_ruleWindow;
    delete m_dnsWindow;
    delete takeCentralWidget();
    delete m_properties;
}

QSize NSProfileUI::designedPaneSize(Pane which)
{
    switch (which) {
    case kProxiesPane:
        return { 640, 520 };
    case kRulesPane:
        return { 760, 440 };
    case kDnsPane:
        return { 560, 340 };
    case kAdvancedPane:
        return { 560, 400 };
    case kPaneCount:
        break;
    }
    return {};
}

QString NSProfileUI::selectedToolBarItem() const
{
    for (QAction* item : m_toolBarItems) {
        if (item->isChecked())
            return item->objectName();
    }
    return {};
}

// ---- Panes ----

QWidget* NSProfileUI::buildProxiesPane()
{
    auto* pane = new QWidget;
    pane->setObjectName(QStringLiteral("proxiesProfileView"));
    auto* layout = new QVBoxLayout(pane);
    layout->addWidget(new QLabel(tr("Proxy Servers:"), pane));
    m_proxiesModel = new ProxyTableModel(*m_profile, this);
    m_proxiesList = new QTableView(pane);
    m_proxiesList->setObjectName(QStringLiteral("proxiesList"));
    m_proxiesList->setModel(m_proxiesModel);
    m_proxiesList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_proxiesList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_proxiesList->setDragEnabled(true);
    m_proxiesList->setDragDropMode(QAbstractItemView::DragOnly);
    m_proxiesList->verticalHeader()->hide();
    m_proxiesList->horizontalHeader()->setStretchLastSection(true);
    m_proxiesList->setColumnWidth(ProxyTableModel::kAddress, 320);
    layout->addWidget(m_proxiesList, 1);
    auto* proxyButtons = new QHBoxLayout;
    auto* add = button(pane, tr("Add..."), "addProxy");
    auto* edit = button(pane, tr("Edit..."), "editProxy");
    auto* remove = button(pane, tr("Remove"), "delProxy");
    auto* showChains = button(pane, tr("Proxy Chains >>"), "showChainsList");
    m_showChainsButton = showChains;
    for (QPushButton* b : { add, edit, remove })
        proxyButtons->addWidget(b);
    proxyButtons->addStretch(1);
    proxyButtons->addWidget(showChains);
    layout->addLayout(proxyButtons);
    connect(add, &QPushButton::clicked, this, &NSProfileUI::addProxy);
    connect(edit, &QPushButton::clicked, this, &NSProfileUI::editProxy);
    connect(remove, &QPushButton::clicked, this, &NSProfileUI::delProxy);
    connect(showChains, &QPushButton::clicked, this, &NSProfileUI::showChainsList);
    connect(m_proxiesList, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        // Only a click on the row that is selected opens the editor.
        if (m_proxiesList->selectionModel()->isRowSelected(index.row(), QModelIndex()))
            editProxy();
    });

    m_chainsPart = new QWidget(pane);
    m_chainsPart->setObjectName(QStringLiteral("chainsPart"));
    auto* chainsLayout = new QVBoxLayout(m_chainsPart);
    chainsLayout->setContentsMargins(0, 0, 0, 0);
    chainsLayout->addWidget(new QLabel(tr("Proxy Chains:"), m_chainsPart));
    m_chainsModel = new ChainTreeModel(*m_profile, this);
    m_chainsList = new QTreeView(m_chainsPart);
    m_chainsList->setObjectName(QStringLiteral("chainsList"));
    m_chainsList->setModel(m_chainsModel);
    m_chainsList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_chainsList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_chainsList->setDragEnabled(true);
    m_chainsList->setAcceptDrops(true);
    m_chainsList->setDropIndicatorShown(true);
    m_chainsList->setDragDropMode(QAbstractItemView::DragDrop);
    m_chainsList->setDefaultDropAction(Qt::CopyAction);
    m_chainsList->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    m_chainsList->header()->setStretchLastSection(true);
    m_chainsList->setColumnWidth(ChainTreeModel::kEnabled, 90);
    ChainTreeModel::keepExpanded(*m_chainsList);
    chainsLayout->addWidget(m_chainsList, 1);
    auto* chainButtons = new QHBoxLayout;
    auto* addChainButton = button(m_chainsPart, tr("Create New Chain"), "addChain");
    auto* delChainButton = button(m_chainsPart, tr("Remove"), "delChain");
    chainButtons->addWidget(addChainButton);
    chainButtons->addWidget(delChainButton);
    chainButtons->addStretch(1);
    chainsLayout->addLayout(chainButtons);
    layout->addWidget(m_chainsPart, 1);
    connect(addChainButton, &QPushButton::clicked, this, &NSProfileUI::addChain);
    connect(delChainButton, &QPushButton::clicked, this, &NSProfileUI::delChain);
    connect(m_chainsModel, &ChainTreeModel::entryDropped, this, [this](const QModelIndex&, int row) {
        m_chainsList->expandAll();
        selectOutlineRow(row);
    });
    // A chain row shows its name across the row, where it is edited.
    auto spanChains = [this] {
        for (int row = 0; row < m_chainsModel->rowCount(); ++row)
            m_chainsList->setFirstColumnSpanned(row, QModelIndex(), true);
    };
    connect(m_chainsModel, &QAbstractItemModel::modelReset, this, spanChains);
    connect(m_chainsModel, &QAbstractItemModel::rowsInserted, this, spanChains);
    return pane;
}

QWidget* NSProfileUI::buildRulesPane()
{
    auto* pane = new QWidget;
    pane->setObjectName(QStringLiteral("rulesProfileView"));
    auto* layout = new QVBoxLayout(pane);
    layout->addWidget(new QLabel(tr("Proxying Rules:"), pane));
    m_rulesModel = new RulesTableModel(*m_profile, this);
    m_rulesList = new QTableView(pane);
    m_rulesList->setObjectName(QStringLiteral("rulesList"));
    m_rulesList->setModel(m_rulesModel);
    m_rulesList->setItemDelegate(new TopAlignedDelegate(m_rulesList));
    m_rulesList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_rulesList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_rulesList->setWordWrap(true);
    m_rulesList->setEditTriggers(
        QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    m_rulesList->verticalHeader()->hide();
    m_rulesList->horizontalHeader()->setStretchLastSection(true);
    const int widths[RulesTableModel::kColumnCount] = { 28, 130, 150, 170, 90, 150 };
    for (int column = 0; column < RulesTableModel::kColumnCount; ++column)
        m_rulesList->setColumnWidth(column, widths[column]);
    layout->addWidget(m_rulesList, 1);
    auto* buttons = new QHBoxLayout;
    struct ButtonRow {
        QString title;
        const char* name;
        void (NSProfileUI::*action)();
    };
    const ButtonRow rows[] = {
        { tr("Add..."), "addRule", &NSProfileUI::addRule },
        { tr("Clone"), "cloneRule", &NSProfileUI::cloneRule },
        { tr("Edit..."), "editRule", &NSProfileUI::editRule },
        { tr("Remove"), "delRule", &NSProfileUI::delRule },
        { tr("Up"), "ruleUp", &NSProfileUI::ruleUp },
        { tr("Down"), "ruleDown", &NSProfileUI::ruleDown },
    };
    for (const ButtonRow& row : rows) {
        auto* b = button(pane, row.title, row.name);
        buttons->addWidget(b);
        connect(b, &QPushButton::clicked, this, row.action);
        if (QLatin1String(row.name) == QLatin1String("delRule"))
            buttons->addStretch(1);
    }
    layout->addLayout(buttons);

    // Rows grow to fit their wrapped lists: the model measures them for the columns' widths.
    auto applyHeights = [this] {
        std::array<int, 4> columnWidths {};
        for (std::size_t i = 0; i < columnWidths.size(); ++i)
            columnWidths[i] = m_rulesList->columnWidth(RulesTableModel::kMeasuredColumns[i]);
        if (columnWidths != m_rulesModel->columnWidths())
            m_rulesModel->setColumnWidths(columnWidths);
        const int rowHeight = m_rulesList->verticalHeader()->defaultSectionSize();
        for (int row = 0; row < m_rulesModel->rowCount(); ++row)
            m_rulesList->setRowHeight(row, m_rulesModel->heightOfRow(row, rowHeight, m_rulesList->font()));
    };
    connect(m_rulesModel, &QAbstractItemModel::modelReset, this, applyHeights);
    connect(m_rulesModel, &QAbstractItemModel::dataChanged, this, applyHeights);
    connect(m_rulesList->horizontalHeader(), &QHeaderView::sectionResized, this, applyHeights);
    connect(m_rulesList, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        // Only the text columns open the editor: the enabled and action cells are edited in place.
        if (index.column() == RulesTableModel::kEnabled || index.column() == RulesTableModel::kName
            || index.column() == RulesTableModel::kAction)
            return;
        if (m_rulesList->selectionModel()->isRowSelected(index.row(), QModelIndex()))
            editRule();
    });
    return pane;
}

QWidget* NSProfileUI::buildDnsPane()
{
    using S = NSProfile::Switch;
    auto* pane = new QWidget;
    pane->setObjectName(QStringLiteral("nameProfileView"));
    auto* layout = new QVBoxLayout(pane);
    layout->addWidget(
        switchBox(pane, *m_properties, *m_profile, S::DnsAutomatic, tr("Detect DNS settings automatically")));
    layout->addWidget(
        switchBox(pane, *m_properties, *m_profile, S::DnsResolveThroughProxy, tr("Resolve host names through proxy")));
    layout->addWidget(switchBox(pane, *m_properties, *m_profile, S::DnsTryLocalFirst, tr("Try local DNS first")));
    auto* exclusions = new QGroupBox(tr("Resolve locally"), pane);
    auto* exclusionsLayout = new QVBoxLayout(exclusions);
    exclusionsLayout->addWidget(
        switchBox(exclusions, *m_properties, *m_profile, S::DnsExclusionLocalhost, tr("localhost")));
    exclusionsLayout->addWidget(switchBox(
        exclusions, *m_properties, *m_profile, S::DnsExclusionSimple, tr("Simple host names (without a dot)")));
    exclusionsLayout->addWidget(
        switchBox(exclusions, *m_properties, *m_profile, S::DnsExclusionSelf, tr("This computer's own name")));
    exclusionsLayout->addWidget(
        switchBox(exclusions, *m_properties, *m_profile, S::DnsExclusionLocalDomain, tr("The .local domain")));
    exclusionsLayout->addWidget(switchBox(exclusions, *m_properties, *m_profile, S::DnsOnlyFromListMode,
        tr("Resolve through the proxy only the host names of the exclusion list")));
    auto* listRow = new QHBoxLayout;
    auto* edit = button(exclusions, tr("Exclusion List..."), "editDnsList");
    m_exclusionCount = new QLabel(exclusions);
    m_exclusionCount->setObjectName(QStringLiteral("excludeHostnamesCount"));
    listRow->addWidget(edit);
    listRow->addWidget(m_exclusionCount, 1);
    exclusionsLayout->addLayout(listRow);
    layout->addWidget(exclusions);
    layout->addStretch(1);
    connect(edit, &QPushButton::clicked, this, &NSProfileUI::editDnsList);
    auto showCount = [this] {
        m_exclusionCount->setText(
            tr("%n host name(s) in the list", nullptr, static_cast<int>(m_profile->excludeHostnamesCount())));
    };
    showCount();
    connect(m_properties, &BoundProperties::changed, m_exclusionCount, [showCount](const QString& property) {
        if (property == QLatin1String("excludeHostnamesCount"))
            showCount();
    });
    return pane;
}

QWidget* NSProfileUI::buildAdvancedPane()
{
    using S = NSProfile::Switch;
    auto* pane = new QWidget;
    pane->setObjectName(QStringLiteral("advancedProfileView"));
    auto* layout = new QVBoxLayout(pane);
    auto* encryption = new QGroupBox(tr("Password encryption"), pane);
    auto* encryptionLayout = new QVBoxLayout(encryption);
    struct Mode {
        const char* name;
        QString title;
        std::function<bool()> get;
        std::function<void(bool)> set;
    };
    NSProfile& profile = *m_profile;
    const Mode modes[] = {
        { "encModeDisabled", tr("Do not encrypt passwords"), [&profile] { return profile.encModeDisabled(); },
            [&profile](bool on) { profile.setEncModeDisabled(on); } },
        { "encModeBasic", tr("Basic encryption"), [&profile] { return profile.encModeBasic(); },
            [&profile](bool on) { profile.setEncModeBasic(on); } },
        { "encModeProfile", tr("Encrypt with this user's key"), [&profile] { return profile.encModeProfile(); },
            [&profile](bool on) { profile.setEncModeProfile(on); } },
        { "encModeMaster", tr("Encrypt with a master password"), [&profile] { return profile.encModeMaster(); },
            [&profile](bool on) { profile.setEncModeMaster(on); } },
    };
    auto* changePassword = button(encryption, tr("Change Master Password..."), "changeMasterPassword");
    for (const Mode& mode : modes) {
        auto* radio = new QRadioButton(mode.title, encryption);
        radio->setObjectName(QString::fromLatin1(mode.name));
        // The model decides which mode is chosen: a refused choice reads back the stored one.
        radio->setAutoExclusive(false);
        encryptionLayout->addWidget(radio);
        const QString property = radio->objectName();
        auto reread = [radio, get = mode.get] {
            const bool on = get();
            QSignalBlocker blocker(radio);
            radio->setChecked(on);
        };
        reread();
        connect(m_properties, &BoundProperties::changed, radio, [reread, property](const QString& changed) {
            if (changed == property)
                reread();
        });
        connect(radio, &QRadioButton::clicked, radio, [set = mode.set, reread](bool) {
            set(true);
            reread(); // a click never unchecks the chosen mode
        });
    }
    encryptionLayout->addWidget(changePassword, 0, Qt::AlignLeft);
    auto showChange = [this, changePassword] { changePassword->setEnabled(m_profile->encModeMaster()); };
    showChange();
    connect(m_properties, &BoundProperties::changed, changePassword, [showChange](const QString& property) {
        if (property == QLatin1String("encModeMaster"))
            showChange();
    });
    connect(changePassword, &QPushButton::clicked, this, [this] { m_profile->changeMasterPassword(); });
    layout->addWidget(encryption);

    layout->addWidget(switchBox(pane, *m_properties, profile, S::InfiniteLoopDetection, tr("Detect connection loops")));
    layout->addWidget(
        switchBox(pane, *m_properties, profile, S::OtherUserConnections, tr("Handle connections of other users")));
    layout->addWidget(
        switchBox(pane, *m_properties, profile, S::SystemConnections, tr("Handle connections of system services")));
    layout->addWidget(
        switchBox(pane, *m_properties, profile, S::HandleDirectConnections, tr("Handle direct connections")));
    layout->addWidget(switchBox(pane, *m_properties, profile, S::AllowHttpProxy, tr("Allow HTTP proxy servers")));
    layout->addWidget(switchBox(pane, *m_properties, profile, S::BlockUdp443, tr("Block UDP port 443 (QUIC)")));
    layout->addStretch(1);
    return pane;
}

// ---- Sizes and refresh ----

void NSProfileUI::calculateWindowSize()
{
    // Lay the window out now, also while it is hidden (its layouts would wait for the first show).
    if (QLayout* outer = layout()) {
        outer->activate();
        outer->setGeometry(rect());
    }
    if (QLayout* inner = centralWidget()->layout()) {
        inner->activate();
        inner->setGeometry(centralWidget()->rect());
    }
    const QSize chrome = size() - m_voidView->size();
    for (int pane = 0; pane < kPaneCount; ++pane)
        m_windowSizes[pane] = designedPaneSize(static_cast<Pane>(pane)) + chrome;
    m_ruleWindow->appView()->setAllowed(ListField::Applications, false);
    m_ruleWindow->hostsView()->setAllowed(ListField::Hosts, false);
    m_ruleWindow->portsView()->setAllowed(ListField::Ports, true);
    // The marks follow what the list's check refuses, which for this list includes the colon.
    m_dnsWindow->listView()->setAllowed(ListField::DnsExclusion, false);
}

void NSProfileUI::setProfileView(QWidget* view, QSize size)
{
    if (!view)
        return;
    for (QWidget* pane : m_panes) {
        if (pane != view && m_voidView->layout()->indexOf(pane) >= 0) {
            m_voidView->layout()->removeWidget(pane);
            pane->hide();
        }
    }
    if (m_voidView->layout()->indexOf(view) < 0)
        m_voidView->layout()->addWidget(view);
    view->show();
    m_current = view;
    // A top-level widget's resize keeps its top edge.
    if (size.isValid())
        resize(size);
    if (!isActiveWindow()) {
        show();
        raise();
        activateWindow();
    }
}

void NSProfileUI::updateProfileUI()
{
    m_profile->updateProfile();
    m_proxiesModel->reload();
    reloadChains();
    m_rulesModel->reload();
}

void NSProfileUI::reloadChains()
{
    m_chainsModel->reload();
    m_chainsList->expandAll();
}

void NSProfileUI::profileUpdated()
{
    // The write-back that posted this may be the commit of a cell being edited: resetting the models now would
    // pull the rows from under it. Several posts in a row give one reload.
    if (m_reloadPending)
        return;
    m_reloadPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_reloadPending = false;
            // A reload resets the lists; the user's selections stay on the same rows.
            const int rule = selectedRule();
            const QModelIndexList proxyRows = m_proxiesList->selectionModel()->selectedRows();
            const int proxy = proxyRows.isEmpty() ? -1 : proxyRows.front().row();
            const QModelIndexList chainRows = m_chainsList->selectionModel()->selectedRows();
            const int chainRow = chainRows.isEmpty() ? -1 : m_chainsModel->outlineRow(chainRows.front());
            updateProfileUI();
            selectRule(rule);
            if (proxy >= 0 && proxy < m_proxiesModel->rowCount())
                m_proxiesList->selectRow(proxy);
            if (chainRow >= 0)
                selectOutlineRow(chainRow);
        },
        Qt::QueuedConnection);
}

void NSProfileUI::showPane(Pane which, QSize size)
{
    setProfileView(m_panes[which], size);
    m_toolBarItems[which]->setChecked(true);
    if (QAbstractButton* segment = m_segments->button(which))
        segment->setChecked(true);
}

void NSProfileUI::proxies(bool fromUser)
{
    updateProfileUI();
    m_profile->setSwitch(NSProfile::Switch::AllowHttpProxy, std::nullopt);
    if (m_profile->chainsCount() > 0)
        m_showChainsList = true;
    else if (fromUser)
        m_showChainsList = false;
    QSize size = m_windowSizes[kProxiesPane];
    const QSize designed = designedPaneSize(kProxiesPane);
    m_chainsPart->setVisible(m_showChainsList);
    m_showChainsButton->setVisible(!m_showChainsList);
    if (!m_showChainsList) {
        size.setHeight(size.height() - (designed.height() - kProxiesPaneShortHeight));
        m_panes[kProxiesPane]->resize(designed.width(), kProxiesPaneShortHeight);
    } else {
        m_panes[kProxiesPane]->resize(designed);
    }
    reloadChains();
    showPane(kProxiesPane, size);
}

void NSProfileUI::rules()
{
    m_profile->setRuleTargetNamesList();
    showPane(kRulesPane, m_windowSizes[kRulesPane]);
}

void NSProfileUI::names()
{
    using S = NSProfile::Switch;
    for (S which : { S::DnsAutomatic, S::DnsResolveThroughProxy, S::DnsTryLocalFirst, S::DnsOnlyFromListMode,
             S::DnsExclusionLocalhost, S::DnsExclusionSimple, S::DnsExclusionSelf, S::DnsExclusionLocalDomain })
        m_profile->setSwitch(which, std::nullopt);
    m_profile->setDnsExclusionList(std::nullopt);
    showPane(kDnsPane, m_windowSizes[kDnsPane]);
}

void NSProfileUI::advanced()
{
    using S = NSProfile::Switch;
    m_profile->setEncModeDisabled(std::nullopt);
    m_profile->setEncModeBasic(std::nullopt);
    m_profile->setEncModeProfile(std::nullopt);
    m_profile->setEncModeMaster(std::nullopt);
    for (S which : { S::InfiniteLoopDetection, S::OtherUserConnections, S::SystemConnections,
             S::HandleDirectConnections, S::AllowHttpProxy, S::BlockUdp443 })
        m_profile->setSwitch(which, std::nullopt);
    showPane(kAdvancedPane, m_windowSizes[kAdvancedPane]);
}

void NSProfileUI::preferences(int segment)
{
    switch (segment) {
    case kProxiesPane:
        proxies(true);
        break;
    case kRulesPane:
        rules();
        break;
    case kDnsPane:
        names();
        break;
    case kAdvancedPane:
        advanced();
        break;
    default:
        break;
    }
}

void NSProfileUI::showPreferences()
{
    if (!selectedToolBarItem().isEmpty()) {
        updateProfileUI();
        show();
        raise();
        activateWindow();
    } else {
        proxies(false);
    }
}

void NSProfileUI::showChainsList()
{
    m_showChainsList = true;
    proxies(false);
}

// ---- Proxies ----

int64_t NSProfileUI::selectedProxyNum() const
{
    const QModelIndexList rows = m_proxiesList->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : m_proxiesModel->num(rows.front().row());
}

void NSProfileUI::addProxy()
{
    m_profile->createProxy();
    m_proxyWindow->exec();
    m_proxyWindow->close();
    updateProfileUI();
}

void NSProfileUI::editProxy()
{
    const int64_t num = selectedProxyNum();
    if (num < 0)
        return;
    m_profile->editProxy(num);
    m_proxyWindow->exec();
    m_proxyWindow->close();
    updateProfileUI();
}

void NSProfileUI::delProxy()
{
    const int64_t num = selectedProxyNum();
    if (num < 0)
        return;
    m_profile->deleteProxy(num);
    updateProfileUI();
}

void NSProfileUI::onOK()
{
    m_proxyWindow->done(1);
}

void NSProfileUI::onCancel()
{
    m_proxyWindow->done(0);
}

// ---- Rules ----

int NSProfileUI::selectedRule() const
{
    const QModelIndexList rows = m_rulesList->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.front().row();
}

void NSProfileUI::selectRule(int row)
{
    if (row < 0 || row >= m_rulesModel->rowCount())
        return;
    m_rulesList->selectRow(row);
}

void NSProfileUI::addRule()
{
    m_profile->createRule();
    m_ruleWindow->nameEdit()->selectAll();
    m_ruleWindow->nameEdit()->setFocus();
    const int result = m_ruleWindow->exec();
    m_ruleWindow->close();
    if (result >= 1)
        m_profile->saveRule();
    m_rulesModel->reload();
}

void NSProfileUI::editRule()
{
    const int row = selectedRule();
    if (row < 0 || !m_profile->editRule(row))
        return;
    m_ruleWindow->nameEdit()->selectAll();
    m_ruleWindow->nameEdit()->setFocus();
    const int result = m_ruleWindow->exec();
    m_ruleWindow->close();
    if (result >= 1)
        m_profile->saveRule();
    m_rulesModel->reload();
    selectRule(row);
}

void NSProfileUI::cloneRule()
{
    const int row = selectedRule();
    if (row >= 0 && m_profile->cloneRule(row)) {
        m_rulesModel->reload();
        selectRule(row);
    }
}

void NSProfileUI::delRule()
{
    const int row = selectedRule();
    if (row >= 0 && m_profile->deleteRule(row))
        m_rulesModel->reload();
}

void NSProfileUI::ruleUp()
{
    const int row = selectedRule();
    if (row < 0)
        return;
    const bool moved = m_profile->ruleUp(row);
    m_rulesModel->reload();
    selectRule(moved ? row - 1 : row);
}

void NSProfileUI::ruleDown()
{
    const int row = selectedRule();
    if (row < 0)
        return;
    const bool moved = m_profile->ruleDown(row);
    m_rulesModel->reload();
    selectRule(moved ? row + 1 : row);
}

void NSProfileUI::okRules()
{
    if (m_profile->validateRule())
        m_ruleWindow->done(1);
}

void NSProfileUI::addAppToRule()
{
    const QString caption = tr("Choose Applications");
    const QString folder = QString::fromLatin1(kApplicationsFolder);
    const QString filters = tr("Desktop entries (*.desktop);;All files (*)");
    const QStringList files = m_seams.openFiles ? m_seams.openFiles(m_ruleWindow, caption, folder, filters)
                                                : QFileDialog::getOpenFileNames(m_ruleWindow, caption, folder, filters);
    for (const QString& file : files)
        m_profile->addAppToRule(std::filesystem::path(file.toStdString()));
}

// ---- DNS ----

void NSProfileUI::editDnsList()
{
    m_profile->initDns();
    QTextCursor start = m_dnsWindow->listView()->textCursor();
    start.movePosition(QTextCursor::Start);
    m_dnsWindow->listView()->setTextCursor(start);
    m_dnsWindow->exec();
    m_dnsWindow->close();
}

void NSProfileUI::okDNS()
{
    if (m_profile->validateDnsAndSave()) {
        m_dnsWindow->done(1);
        m_profile->updateProfile();
    }
}

// ---- Chains ----

void NSProfileUI::selectOutlineRow(int row)
{
    const QModelIndex index = m_chainsModel->indexAtOutlineRow(row);
    if (index.isValid())
        m_chainsList->selectionModel()->setCurrentIndex(
            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void NSProfileUI::addChain()
{
    m_profile->addChain();
    reloadChains();
    int last = 0;
    while (m_chainsModel->indexAtOutlineRow(last + 1).isValid())
        ++last;
    selectOutlineRow(last);
}

void NSProfileUI::delChain()
{
    const QModelIndexList rows = m_chainsList->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    const std::optional<ChainTreeModel::Item> item = m_chainsModel->item(rows.front());
    if (!item)
        return;
    if (!item->entry) {
        m_profile->delChain(item->chain);
        reloadChains();
        selectOutlineRow(0);
        return;
    }
    const int row = m_chainsModel->outlineRow(rows.front());
    m_profile->delProxyFromChain(*item->entry, item->chain);
    reloadChains();
    selectOutlineRow(row - 1);
}

// ---- Statistics ----

void NSProfileUI::clearStatistcs()
{
    m_app.GetStatistics().Clear();
}

void NSProfileUI::clearTraffic()
{
    m_app.GetStatistics().ClearHistory();
}

// ---- The program's editor ----

namespace {

std::unique_ptr<NSProfileUI>& programEditor()
{
    static std::unique_ptr<NSProfileUI> editor;
    return editor;
}

} // namespace

NSProfileUI& ShowProfileEditor(CCorvantisApp& app, NSProfileSeams modelSeams)
{
    std::unique_ptr<NSProfileUI>& editor = programEditor();
    if (!editor) {
        editor = std::make_unique<NSProfileUI>(app, std::move(modelSeams));
        editor->calculateWindowSize();
    }
    editor->showPreferences();
    return *editor;
}

void CloseProfileEditor()
{
    programEditor().reset();
}

NSProfileUI* OpenedProfileEditor()
{
    return programEditor().get();
}

} // namespace corvantis
