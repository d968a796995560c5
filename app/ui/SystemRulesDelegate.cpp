#include "app/ui/SystemRulesDelegate.h"

#include <QComboBox>
#include <QDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableView>
#include <QVBoxLayout>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <limits>

namespace corvantis {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Whether `number` lies in [low, high]; nothing (not a number) never does.
bool InRange(const std::optional<int64_t>& number, int64_t low, int64_t high)
{
    return number && *number >= low && *number <= high;
}

} // namespace

std::string SystemRule::value(const std::string& key) const
{
    if (key == "Type")
        return type;
    if (key == "Host")
        return host;
    if (key == "Prefix")
        return std::to_string(prefix);
    if (key == "Port")
        return std::to_string(port);
    return {};
}

std::optional<int64_t> ReadSaturatedNumber(const std::string& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    if (begin == end)
        return 0;
    bool negative = false;
    if (text[begin] == '+' || text[begin] == '-') {
        negative = text[begin] == '-';
        ++begin;
    }
    if (begin == end)
        return std::nullopt;
    // Kept as a magnitude below zero, whose range holds both ends of int64.
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    int64_t magnitude = 0;
    bool saturated = false;
    for (size_t i = begin; i < end; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        const int digit = c - '0';
        if (saturated)
            continue;
        if (magnitude < (kMin + digit) / 10) {
            saturated = true;
            continue;
        }
        magnitude = magnitude * 10 - digit;
    }
    if (negative)
        return saturated ? kMin : magnitude;
    if (saturated || magnitude == kMin)
        return std::numeric_limits<int64_t>::max();
    return -magnitude;
}

// ---- SystemRulesTableData ----

const char* const SystemRulesTableData::kColumns[4] = { "Type", "Host", "Prefix", "Port" };

SystemRulesTableData::SystemRulesTableData(QObject* parent)
    : QAbstractTableModel(parent)
{
}

SystemRulesTableData::~SystemRulesTableData() = default;

void SystemRulesTableData::addRule(const SystemRule& rule)
{
    const int row = numberOfRows();
    beginInsertRows({}, row, row);
    m_rules.push_back(rule);
    endInsertRows();
}

void SystemRulesTableData::removeSelectedRule()
{
    if (!m_rulesView || !m_rulesView->selectionModel())
        return;
    const QModelIndexList selected = m_rulesView->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    const int row = selected.first().row();
    if (row < 0 || row >= numberOfRows())
        return;
    beginRemoveRows({}, row, row);
    m_rules.erase(m_rules.begin() + row);
    endRemoveRows();
}

void SystemRulesTableData::reloadData()
{
    beginResetModel();
    endResetModel();
}

std::string SystemRulesTableData::objectValue(const std::string& key, int row) const
{
    if (row < 0 || row >= numberOfRows())
        return {};
    return m_rules[static_cast<size_t>(row)].value(key);
}

int SystemRulesTableData::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : numberOfRows();
}

int SystemRulesTableData::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 4;
}

QVariant SystemRulesTableData::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.column() < 0 || index.column() >= 4)
        return {};
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    return QString::fromStdString(objectValue(kColumns[index.column()], index.row()));
}

QVariant SystemRulesTableData::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= 4)
        return QAbstractTableModel::headerData(section, orientation, role);
    return QString::fromLatin1(kColumns[section]);
}

// ---- SystemRulesDelegate ----

SystemRulesDelegate::SystemRulesDelegate(QWidget* parent)
    : QObject(parent)
{
    buildListWindow(parent);
    buildRuleWindow();
}

SystemRulesDelegate::~SystemRulesDelegate() = default;

void SystemRulesDelegate::buildListWindow(QWidget* parent)
{
    m_rulesEditWindow = std::make_unique<QDialog>(parent);
    QDialog* window = m_rulesEditWindow.get();
    window->setWindowTitle(QStringLiteral("System Rules"));
    auto* layout = new QVBoxLayout(window);

    auto makeList = [window, layout](const QString& title, const QString& name, SystemRulesTableData*& data,
                        QTableView*& view, QPushButton*& add, QPushButton*& remove) {
        layout->addWidget(new QLabel(title, window));
        data = new SystemRulesTableData(window);
        view = new QTableView(window);
        view->setObjectName(name);
        view->setModel(data);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setSelectionMode(QAbstractItemView::SingleSelection);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->horizontalHeader()->setStretchLastSection(true);
        data->setRulesView(view);
        layout->addWidget(view);
        auto* buttons = new QHBoxLayout;
        add = new QPushButton(QStringLiteral("Add..."), window);
        remove = new QPushButton(QStringLiteral("Remove"), window);
        buttons->addWidget(add);
        buttons->addWidget(remove);
        buttons->addStretch(1);
        layout->addLayout(buttons);
    };
    makeList(QStringLiteral("Included"), QStringLiteral("rulesInclude"), m_rulesIncludeData, m_rulesInclude,
        m_addInclude, m_removeInclude);
    makeList(QStringLiteral("Excluded"), QStringLiteral("rulesExclude"), m_rulesExcludeData, m_rulesExclude,
        m_addExclude, m_removeExclude);

    connect(m_addInclude, &QPushButton::clicked, this, &SystemRulesDelegate::addInclude);
    connect(m_addExclude, &QPushButton::clicked, this, &SystemRulesDelegate::addExclude);
    connect(m_removeInclude, &QPushButton::clicked, m_rulesIncludeData, &SystemRulesTableData::removeSelectedRule);
    connect(m_removeExclude, &QPushButton::clicked, m_rulesExcludeData, &SystemRulesTableData::removeSelectedRule);

    auto* bottom = new QHBoxLayout;
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), window);
    auto* ok = new QPushButton(QStringLiteral("OK"), window);
    bottom->addStretch(1);
    bottom->addWidget(cancel);
    bottom->addWidget(ok);
    layout->addLayout(bottom);
    connect(ok, &QPushButton::clicked, this, &SystemRulesDelegate::onOk);
    connect(cancel, &QPushButton::clicked, this, &SystemRulesDelegate::onCancel);
}

void SystemRulesDelegate::buildRuleWindow()
{
    m_currentRuleEditWindow = std::make_unique<QDialog>(m_rulesEditWindow.get());
    QDialog* window = m_currentRuleEditWindow.get();
    window->setWindowTitle(QStringLiteral("Edit Rule"));
    auto* layout = new QVBoxLayout(window);
    auto* form = new QFormLayout;
    m_typeCombo = new QComboBox(window);
    m_typeCombo->addItems({ QString::fromLatin1(kRuleTypeIPv4), QString::fromLatin1(kRuleTypeIPv6),
        QString::fromLatin1(kRuleTypeHostname) });
    m_hostEdit = new QLineEdit(window);
    // Plain text fields, so that any number can be typed and the check refuses it with its message.
    m_prefixEdit = new QLineEdit(window);
    m_portEdit = new QLineEdit(window);
    form->addRow(QStringLiteral("Type:"), m_typeCombo);
    form->addRow(QStringLiteral("Host:"), m_hostEdit);
    form->addRow(QStringLiteral("Prefix:"), m_prefixEdit);
    form->addRow(QStringLiteral("Port:"), m_portEdit);
    layout->addLayout(form);
    m_errorLabel = new QLabel(window);
    layout->addWidget(m_errorLabel);
    auto* bottom = new QHBoxLayout;
    m_ruleCancel = new QPushButton(QStringLiteral("Cancel"), window);
    m_ruleOk = new QPushButton(QStringLiteral("OK"), window);
    m_ruleOk->setDefault(true);
    bottom->addStretch(1);
    bottom->addWidget(m_ruleCancel);
    bottom->addWidget(m_ruleOk);
    layout->addLayout(bottom);

    connect(m_typeCombo, &QComboBox::currentTextChanged, this,
        [this](const QString& text) { m_type = text.toStdString(); });
    connect(m_hostEdit, &QLineEdit::textChanged, this, [this](const QString& text) { m_host = text.toStdString(); });
    connect(
        m_prefixEdit, &QLineEdit::textChanged, this, [this](const QString& text) { m_prefix = text.toStdString(); });
    connect(m_portEdit, &QLineEdit::textChanged, this, [this](const QString& text) { m_port = text.toStdString(); });
    connect(m_ruleOk, &QPushButton::clicked, this, &SystemRulesDelegate::onCurrentRuleOk);
    connect(m_ruleCancel, &QPushButton::clicked, this, &SystemRulesDelegate::onCurrentRuleCancel);
}

int SystemRulesDelegate::editRules()
{
    const int result = m_rulesEditWindow->exec();
    m_rulesEditWindow->close();
    return result;
}

void SystemRulesDelegate::onOk()
{
    m_rulesEditWindow->done(1);
}

void SystemRulesDelegate::onCancel()
{
    m_rulesEditWindow->done(0);
}

void SystemRulesDelegate::addInclude()
{
    if (std::optional<SystemRule> rule = addRule())
        m_rulesIncludeData->addRule(*rule);
}

void SystemRulesDelegate::addExclude()
{
    if (std::optional<SystemRule> rule = addRule())
        m_rulesExcludeData->addRule(*rule);
}

std::optional<SystemRule> SystemRulesDelegate::addRule()
{
    setCurrentRuleType(kRuleTypeIPv4);
    setCurrentRuleHost("");
    setCurrentRulePrefix("0");
    setCurrentRulePort("0");
    setError("");
    return showEditRule();
}

std::optional<SystemRule> SystemRulesDelegate::showEditRule()
{
    const int result = m_currentRuleEditWindow->exec();
    m_currentRuleEditWindow->close();
    if (result == 0 || !validateCurrentRule())
        return std::nullopt;
    SystemRule rule;
    rule.type = m_type;
    rule.host = m_host;
    // A host name rule keeps whatever prefix was typed; one that is no number is stored as 0.
    rule.prefix = ReadSaturatedNumber(m_prefix).value_or(0);
    rule.port = ReadSaturatedNumber(m_port).value_or(0);
    return rule;
}

void SystemRulesDelegate::onCurrentRuleOk()
{
    if (validateCurrentRule())
        m_currentRuleEditWindow->done(1);
}

void SystemRulesDelegate::onCurrentRuleCancel()
{
    m_currentRuleEditWindow->done(0);
}

bool SystemRulesDelegate::validateCurrentRule()
{
    const std::optional<int64_t> port = ReadSaturatedNumber(m_port);
    const std::optional<int64_t> prefix = ReadSaturatedNumber(m_prefix);
    int family = 0;
    int64_t maxPrefix = 0;
    if (m_type == kRuleTypeIPv4) {
        family = AF_INET;
        maxPrefix = 32;
    } else if (m_type == kRuleTypeIPv6) {
        family = AF_INET6;
        maxPrefix = 128;
    } else if (m_type != kRuleTypeHostname) {
        setError(kWrongTypeMessage);
        return false;
    }

    if (family != 0) {
        in6_addr address {};
        if (inet_pton(family, m_host.c_str(), &address) != 1) {
            setError(kBadAddressMessage);
            return false;
        }
    } else if (m_host.empty()) {
        setError(kEmptyHostnameMessage);
        return false;
    }
    if (!InRange(port, 0, 65535)) {
        setError(kBadPortMessage);
        return false;
    }
    if (family != 0 && !InRange(prefix, 0, maxPrefix)) {
        setError(kBadPrefixMessage);
        return false;
    }
    setError("");
    return true;
}

void SystemRulesDelegate::setCurrentRuleType(const std::string& type)
{
    {
        QSignalBlocker blocker(m_typeCombo);
        m_typeCombo->setCurrentIndex(m_typeCombo->findText(QString::fromStdString(type)));
    }
    m_type = type;
}

void SystemRulesDelegate::setCurrentRuleHost(const std::string& host)
{
    {
        QSignalBlocker blocker(m_hostEdit);
        m_hostEdit->setText(QString::fromStdString(host));
    }
    m_host = host;
}

void SystemRulesDelegate::setCurrentRulePrefix(const std::string& prefix)
{
    {
        QSignalBlocker blocker(m_prefixEdit);
        m_prefixEdit->setText(QString::fromStdString(prefix));
    }
    m_prefix = prefix;
}

void SystemRulesDelegate::setCurrentRulePort(const std::string& port)
{
    {
        QSignalBlocker blocker(m_portEdit);
        m_portEdit->setText(QString::fromStdString(port));
    }
    m_port = port;
}

void SystemRulesDelegate::setError(const std::string& error)
{
    m_error = error;
    m_errorLabel->setText(QString::fromStdString(error));
}

// ---- Criteria ----

const Criterion* Criterion::childAtIndex(int index) const
{
    if (index < 0 || index >= numberOfChildren())
        return nullptr;
    return &m_children[static_cast<size_t>(index)];
}

SystemRulesData::SystemRulesData()
    : m_roots("",
        { Criterion("Type", { Criterion(kRuleTypeIPv4), Criterion(kRuleTypeIPv6), Criterion(kRuleTypeHostname) }),
            Criterion("", Criterion::Kind::Separator), Criterion("Host", { Criterion("", Criterion::Kind::TextField) }),
            Criterion("Prefix", { Criterion("", Criterion::Kind::TextField) }),
            Criterion("Port", { Criterion("", Criterion::Kind::TextField) }) })
{
}

int SystemRulesData::numberOfChildren(const Criterion* criterion) const
{
    return (criterion ? *criterion : m_roots).numberOfChildren();
}

const Criterion* SystemRulesData::child(int index, const Criterion* criterion) const
{
    return (criterion ? *criterion : m_roots).childAtIndex(index);
}

} // namespace corvantis
