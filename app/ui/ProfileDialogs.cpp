#include "app/ui/ProfileDialogs.h"

#include "app/ui/BoundProperty.h"
#include "app/ui/NSProfile.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QVBoxLayout>

namespace corvantis {

namespace {

// The model's text of an optional property, "" when it has none.
std::function<std::string()> textOf(std::function<std::optional<std::string>()> get)
{
    return [get = std::move(get)] { return get().value_or(std::string()); };
}

QDialogButtonBox* okCancelBox(QWidget* parent, QPushButton*& ok, QPushButton*& cancel)
{
    auto* box = new QDialogButtonBox(parent);
    ok = box->addButton(QDialogButtonBox::Ok);
    cancel = box->addButton(QDialogButtonBox::Cancel);
    ok->setObjectName(QStringLiteral("okButton"));
    cancel->setObjectName(QStringLiteral("cancelButton"));
    // Return in a line edit must not press OK behind the model's checks: the buttons act only when clicked.
    ok->setAutoDefault(false);
    cancel->setAutoDefault(false);
    return box;
}

void bindBoolean(QCheckBox* box, BoundProperties& properties, const char* property,
    std::function<std::optional<bool>()> get, std::function<void(std::optional<bool>)> set)
{
    bindCheckBox(
        box, properties, QString::fromLatin1(property), [get = std::move(get)] { return get().value_or(false); },
        [set = std::move(set)](bool on) { set(on); });
}

} // namespace

// ---- Text views ----

NSMultilineTextFieldNoTab::NSMultilineTextFieldNoTab(QWidget* parent)
    : QPlainTextEdit(parent)
{
    setTabChangesFocus(true);
}

void NSMultilineTextFieldNoTab::keyPressEvent(QKeyEvent* event)
{
    const bool backtab
        = event->key() == Qt::Key_Backtab || (event->key() == Qt::Key_Tab && (event->modifiers() & Qt::ShiftModifier));
    if (backtab || (event->key() == Qt::Key_Tab && !(event->modifiers() & Qt::ControlModifier))) {
        if (hasFocus())
            focusNextPrevChild(!backtab);
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

NSMultilineTextFieldWithLight::NSMultilineTextFieldWithLight(QWidget* parent)
    : NSMultilineTextFieldNoTab(parent)
{
    connect(this, &QPlainTextEdit::textChanged, this, &NSMultilineTextFieldWithLight::refreshMarks);
}

void NSMultilineTextFieldWithLight::setAllowed(ListField field, bool noEnter)
{
    m_field = field;
    m_noEnter = noEnter;
    refreshMarks();
}

QColor NSMultilineTextFieldWithLight::markColor()
{
    return QColor(255, 0, 0, 128);
}

void NSMultilineTextFieldWithLight::keyPressEvent(QKeyEvent* event)
{
    if (m_noEnter && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        event->accept();
        return;
    }
    NSMultilineTextFieldNoTab::keyPressEvent(event);
}

void NSMultilineTextFieldWithLight::refreshMarks()
{
    const QString text = toPlainText();
    m_marked.clear();
    if (text != QLatin1String("Any")) {
        // The refused positions count code points; the document counts UTF-16 units.
        const std::vector<std::size_t> refused = RefusedCharacterPositions(text.toStdString(), m_field);
        std::size_t codePoint = 0;
        std::size_t next = 0;
        for (int unit = 0; unit < text.size() && next < refused.size(); ++codePoint) {
            if (codePoint == refused[next]) {
                m_marked.push_back(unit);
                ++next;
            }
            unit += (text.at(unit).isHighSurrogate() && unit + 1 < text.size()) ? 2 : 1;
        }
    }
    QList<QTextEdit::ExtraSelection> selections;
    for (int position : m_marked) {
        QTextEdit::ExtraSelection selection;
        selection.cursor = QTextCursor(document());
        selection.cursor.setPosition(position);
        const bool surrogate = position < text.size() && text.at(position).isHighSurrogate();
        selection.cursor.setPosition(position + (surrogate ? 2 : 1), QTextCursor::KeepAnchor);
        selection.format.setBackground(markColor());
        selections.append(selection);
    }
    setExtraSelections(selections);
}

void bindTextView(QPlainTextEdit* view, BoundProperties& properties, const QString& property,
    std::function<std::string()> get, std::function<void(const std::string&)> set)
{
    auto reread = [view, get = std::move(get)] {
        const QString text = QString::fromStdString(get());
        if (text == view->toPlainText())
            return; // keeps the cursor of a user who is typing
        {
            QSignalBlocker blocker(view);
            view->setPlainText(text);
        }
        // The blocked signal also fed the view's own marking.
        if (auto* light = qobject_cast<NSMultilineTextFieldWithLight*>(view))
            light->refreshMarks();
    };
    reread();
    QObject::connect(&properties, &BoundProperties::changed, view, [reread, property](const QString& changed) {
        if (changed == property)
            reread();
    });
    QObject::connect(view, &QPlainTextEdit::textChanged, view,
        [view, set = std::move(set)] { set(view->toPlainText().toStdString()); });
}

// ---- Proxy dialog ----

ProxyDialog::ProxyDialog(NSProfile& profile, BoundProperties& properties, QWidget* parent)
    : QDialog(parent)
    , m_profile(profile)
{
    setObjectName(QStringLiteral("proxyWindow"));
    setWindowTitle(tr("Proxy Server"));
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize); // folding the box shrinks the dialog

    auto* form = new QFormLayout;
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("curProxyAddr"));
    m_port = new QLineEdit(this);
    m_port->setObjectName(QStringLiteral("curProxyPort"));
    m_port->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), m_port));
    auto* addressRow = new QHBoxLayout;
    addressRow->addWidget(m_address, 1);
    addressRow->addWidget(new QLabel(tr("Port:"), this));
    addressRow->addWidget(m_port);
    form->addRow(tr("Address:"), addressRow);

    m_types = new QButtonGroup(this);
    auto* typeRow = new QHBoxLayout;
    const char* typeNames[] = { "SOCKS5", "SOCKS4", "HTTPS", "HTTP" };
    for (int id = 0; id < 4; ++id) {
        auto* button = new QRadioButton(QString::fromLatin1(typeNames[id]), this);
        button->setObjectName(QStringLiteral("type") + QString::fromLatin1(typeNames[id]));
        m_types->addButton(button, id);
        typeRow->addWidget(button);
    }
    m_httpType = m_types->button(3);
    form->addRow(tr("Protocol:"), typeRow);
    layout->addLayout(form);

    auto* auth = new QCheckBox(tr("Enable authentication"), this);
    auth->setObjectName(QStringLiteral("curProxyAuth"));
    auto* user = new QLineEdit(this);
    user->setObjectName(QStringLiteral("curProxyUser"));
    auto* password = new QLineEdit(this);
    password->setObjectName(QStringLiteral("curProxyPass"));
    password->setEchoMode(QLineEdit::Password);
    auto* authForm = new QFormLayout;
    authForm->addRow(auth);
    authForm->addRow(tr("Username:"), user);
    authForm->addRow(tr("Password:"), password);
    layout->addLayout(authForm);

    m_advancedButton = new QPushButton(tr("Advanced..."), this);
    m_advancedButton->setObjectName(QStringLiteral("advancedButton"));
    m_advancedButton->setAutoDefault(false);
    layout->addWidget(m_advancedButton, 0, Qt::AlignLeft);
    m_advancedBox = new QGroupBox(tr("Advanced"), this);
    m_advancedBox->setObjectName(QStringLiteral("advancedBox"));
    auto* advanced = new QVBoxLayout(m_advancedBox);
    struct SwitchRow {
        NSProfile::ProxySwitch which;
        const char* name;
        const char* title;
    };
    const SwitchRow switches[] = {
        { NSProfile::ProxySwitch::Ntlm, "curProxyNtlm", "Use NTLM authentication" },
        { NSProfile::ProxySwitch::AsIE, "curProxyAsIE", "Identify as a web browser" },
        { NSProfile::ProxySwitch::Ext4A, "curProxyExt4A", "Resolve host names on the proxy (SOCKS4A)" },
        { NSProfile::ProxySwitch::CurUserLogin, "CurUserLogin", "Log in as the current user" },
        { NSProfile::ProxySwitch::Negotiation, "curProxyNegotiation", "Use Negotiate (Kerberos) authentication" },
        { NSProfile::ProxySwitch::UseHostname, "curProxyUseHostname", "Send host names instead of addresses" },
    };
    QCheckBox* ext4a = nullptr;
    QCheckBox* negotiation = nullptr;
    for (const SwitchRow& row : switches) {
        auto* box = new QCheckBox(tr(row.title), m_advancedBox);
        box->setObjectName(QString::fromLatin1(row.name));
        advanced->addWidget(box);
        const NSProfile::ProxySwitch which = row.which;
        bindBoolean(
            box, properties, row.name, [&profile, which] { return profile.curProxySwitch(which); },
            [&profile, which](std::optional<bool> on) { profile.setCurProxySwitch(which, on); });
        if (which == NSProfile::ProxySwitch::Ext4A)
            ext4a = box;
        if (which == NSProfile::ProxySwitch::Negotiation)
            negotiation = box;
    }
    layout->addWidget(m_advancedBox);
    m_advancedBox->hide();

    layout->addWidget(okCancelBox(this, m_ok, m_cancel));

    bindLineEdit(m_address, properties, QStringLiteral("curProxyAddr"),
        textOf([&profile] { return profile.curProxyAddr(); }),
        [&profile](const std::string& text) { profile.setCurProxyAddr(text); });
    bindLineEdit(m_port, properties, QStringLiteral("curProxyPort"),
        textOf([&profile] { return profile.curProxyPort(); }),
        [&profile](const std::string& text) { profile.setCurProxyPort(text); });
    bindBoolean(
        auth, properties, "curProxyAuth", [&profile] { return profile.curProxyAuth(); },
        [&profile](std::optional<bool> on) { profile.setCurProxyAuth(on); });
    bindLineEdit(user, properties, QStringLiteral("curProxyUser"),
        textOf([&profile] { return profile.curProxyUser(); }),
        [&profile](const std::string& text) { profile.setCurProxyUser(text); });
    bindLineEdit(password, properties, QStringLiteral("curProxyPass"),
        textOf([&profile] { return profile.curProxyPass(); }),
        [&profile](const std::string& text) { profile.setCurProxyPass(text); });

    auto showType = [this] {
        const int type = m_profile.curProxyType().value_or(-1);
        QSignalBlocker blocker(m_types);
        // An exclusive group cannot uncheck its last button: none chosen needs the group opened briefly.
        m_types->setExclusive(false);
        for (QAbstractButton* button : m_types->buttons())
            button->setChecked(m_types->id(button) == type);
        m_types->setExclusive(true);
    };
    auto showFlags = [this, user, password, auth, ext4a, negotiation] {
        m_httpType->setVisible(m_profile.curProxyShowHttp());
        const bool authOn = auth->isChecked();
        user->setEnabled(authOn);
        password->setEnabled(authOn);
        ext4a->setEnabled(m_profile.curProxyIsSocks4());
        negotiation->setEnabled(m_profile.curProxyIsHttps());
    };
    showType();
    showFlags();
    connect(&properties, &BoundProperties::changed, this, [showType, showFlags](const QString& property) {
        if (property == QLatin1String("curProxyType"))
            showType();
        else if (property.startsWith(QLatin1String("curProxyIs")) || property == QLatin1String("curProxyShowHttp")
            || property == QLatin1String("curProxyAuth"))
            showFlags();
    });
    connect(auth, &QCheckBox::toggled, this, showFlags);
    connect(m_types, &QButtonGroup::idClicked, this, [this](int id) {
        m_profile.setCurProxyType(id);
        m_profile.curProxyUpdate();
    });
    connect(m_advancedButton, &QPushButton::clicked, this, [this] { m_profile.curProxyAdvanced(); });
    connect(m_ok, &QPushButton::clicked, this, [this] { m_profile.curProxySave(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { done(0); });
}

bool ProxyDialog::advancedBoxVisible() const
{
    return m_advancedBox->isVisibleTo(this);
}

void ProxyDialog::foldAdvancedBox()
{
    m_advancedBox->hide();
    m_advancedButton->show();
}

void ProxyDialog::unfoldAdvancedBox()
{
    m_advancedButton->hide();
    m_advancedBox->show();
}

// ---- Rule dialog ----

RuleDialog::RuleDialog(NSProfile& profile, BoundProperties& properties, QWidget* parent)
    : QDialog(parent)
    , m_profile(profile)
{
    setObjectName(QStringLiteral("ruleWindow"));
    setWindowTitle(tr("Proxying Rule"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("curRuleName"));
    form->addRow(tr("Name:"), m_name);

    m_apps = new NSMultilineTextFieldWithLight(this);
    m_apps->setObjectName(QStringLiteral("curRuleApp"));
    m_addApp = new QPushButton(tr("Browse..."), this);
    m_addApp->setObjectName(QStringLiteral("addAppToRule"));
    m_addApp->setAutoDefault(false);
    auto* appsColumn = new QVBoxLayout;
    appsColumn->addWidget(m_apps);
    appsColumn->addWidget(m_addApp, 0, Qt::AlignRight);
    form->addRow(tr("Applications:"), appsColumn);

    m_hosts = new NSMultilineTextFieldWithLight(this);
    m_hosts->setObjectName(QStringLiteral("curRuleHosts"));
    form->addRow(tr("Target hosts:"), m_hosts);
    m_ports = new NSMultilineTextFieldWithLight(this);
    m_ports->setObjectName(QStringLiteral("curRulePorts"));
    form->addRow(tr("Target ports:"), m_ports);
    for (QPlainTextEdit* view : { static_cast<QPlainTextEdit*>(m_apps), static_cast<QPlainTextEdit*>(m_hosts) })
        view->setFixedHeight(view->fontMetrics().lineSpacing() * 4 + 12);
    m_ports->setFixedHeight(m_ports->fontMetrics().lineSpacing() * 2 + 12);

    m_action = new QComboBox(this);
    m_action->setObjectName(QStringLiteral("curRuleTarget"));
    form->addRow(tr("Action:"), m_action);
    m_enabled = new QCheckBox(tr("Enabled"), this);
    m_enabled->setObjectName(QStringLiteral("curRuleEnabled"));
    form->addRow(QString(), m_enabled);
    layout->addLayout(form);
    layout->addWidget(okCancelBox(this, m_ok, m_cancel));
    resize(520, sizeHint().height());

    bindLineEdit(m_name, properties, QStringLiteral("curRuleName"),
        textOf([&profile] { return profile.curRuleName(); }),
        [&profile](const std::string& text) { profile.setCurRuleName(text); });
    bindTextView(m_apps, properties, QStringLiteral("curRuleApp"), textOf([&profile] { return profile.curRuleApp(); }),
        [&profile](const std::string& text) { profile.setCurRuleAppAttr(text); });
    bindTextView(m_hosts, properties, QStringLiteral("curRuleHosts"),
        textOf([&profile] { return profile.curRuleHosts(); }),
        [&profile](const std::string& text) { profile.setCurRuleHostsAttr(text); });
    bindTextView(m_ports, properties, QStringLiteral("curRulePorts"),
        textOf([&profile] { return profile.curRulePorts(); }),
        [&profile](const std::string& text) { profile.setCurRulePortsAttr(text); });
    bindBoolean(
        m_enabled, properties, "curRuleEnabled", [&profile] { return profile.curRuleEnabled(); },
        [&profile](std::optional<bool> on) { profile.setCurRuleEnabled(on); });

    reloadActions();
    connect(&properties, &BoundProperties::changed, this, [this](const QString& property) {
        if (property == QLatin1String("ruleTargetNamesList") || property == QLatin1String("curRuleTarget"))
            reloadActions();
    });
    connect(m_action, &QComboBox::activated, this, [this](int index) { m_profile.setCurRuleTarget(index); });
}

void RuleDialog::reloadActions()
{
    QSignalBlocker blocker(m_action);
    QStringList names;
    for (const std::string& name : m_profile.ruleTargetNamesList())
        names.append(QString::fromStdString(name));
    QStringList shown;
    for (int i = 0; i < m_action->count(); ++i)
        shown.append(m_action->itemText(i));
    if (shown != names) {
        m_action->clear();
        m_action->addItems(names);
    }
    const int target = m_profile.curRuleTarget().value_or(-1);
    m_action->setCurrentIndex(target >= 0 && target < m_action->count() ? target : -1);
}

// ---- DNS exclusion list dialog ----

DnsExclusionListDialog::DnsExclusionListDialog(NSProfile& profile, BoundProperties& properties, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("dnsExclListWindow"));
    setWindowTitle(tr("DNS Exclusion List"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Host names resolved locally, separated by semicolons or lines:"), this));
    m_list = new NSMultilineTextFieldWithLight(this);
    m_list->setObjectName(QStringLiteral("dnsExclListCtl"));
    layout->addWidget(m_list);
    m_onlyFromList = new QCheckBox(tr("Resolve through the proxy only the host names of this list"), this);
    m_onlyFromList->setObjectName(QStringLiteral("dnsOnlyFromListModeDV"));
    layout->addWidget(m_onlyFromList);
    layout->addWidget(okCancelBox(this, m_ok, m_cancel));
    resize(460, 320);

    bindTextView(m_list, properties, QStringLiteral("dnsExclusionList"),
        textOf([&profile] { return profile.dnsExclusionList(); }),
        [&profile](const std::string& text) { profile.setDnsExclusionList(text); });
    bindBoolean(
        m_onlyFromList, properties, "dnsOnlyFromListModeDV", [&profile] { return profile.dnsOnlyFromListModeDV(); },
        [&profile](std::optional<bool> on) { profile.setDnsOnlyFromListModeDV(on); });
}

} // namespace corvantis
