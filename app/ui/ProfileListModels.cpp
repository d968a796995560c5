#include "app/ui/ProfileListModels.h"

#include "app/ui/NSProfile.h"
#include "app/ui/SmallControls.h"
#include "core/foundation/MessageBox.h"

#include <QByteArray>
#include <QColor>
#include <QDataStream>
#include <QFontMetrics>
#include <QIODevice>
#include <QMimeData>
#include <QSet>
#include <QTreeView>
#include <QVariantMap>

#include <algorithm>
#include <climits>

namespace corvantis {

namespace {

constexpr const char* kRulesCaption = "Proxying Rules";
constexpr int kDefaultRuleFlags = 5;
constexpr const char* kCannotEditDefault
    = "You cannot edit the Default rule.\nCorvantis uses it when all other rules do not match the connection "
      "parameters.\nYou can only change the Action for this rule.";
constexpr const char* kEmptyName = "Profile name cannot be empty.";
constexpr const char* kForbiddenSymbols = "\\/:<>|,\"*?";
constexpr const char* kReservedName = "This name is reserved, please choose another one.";
constexpr const char* kAny = "Any";

// The vertical room a wrapped text cell takes around its lines.
constexpr int kTextCellPadding = 2;

constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_0;

// The rows `indexes` touch (all columns of one row count once).
QSet<QPair<int, QModelIndex>> RowsOf(const QModelIndexList& indexes)
{
    QSet<QPair<int, QModelIndex>> rows;
    for (const QModelIndex& index : indexes) {
        if (index.isValid())
            rows.insert({ index.row(), index.parent() });
    }
    return rows;
}

std::optional<int64_t> LongValue(const QVariantMap& map, const char* key)
{
    const auto it = map.find(QString::fromLatin1(key));
    if (it == map.end())
        return std::nullopt;
    const int type = it->metaType().id();
    if (type != QMetaType::LongLong && type != QMetaType::Int)
        return std::nullopt;
    return it->toLongLong();
}

} // namespace

QMimeData* EncodeProxyLink(const ProxyLink& link, const QString& plainText)
{
    QVariantMap map;
    if (link.type)
        map.insert(QStringLiteral("type"), QString::fromStdString(*link.type));
    if (link.index)
        map.insert(QStringLiteral("index"), qlonglong(*link.index));
    if (link.proxyId)
        map.insert(QStringLiteral("proxyId"), int(*link.proxyId));
    if (link.chainNum)
        map.insert(QStringLiteral("chainNum"), qlonglong(*link.chainNum));
    if (link.proxyEnabled)
        map.insert(QStringLiteral("proxyEnabled"), *link.proxyEnabled);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(kStreamVersion);
    out << map;
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(kProxyLinkMimeType), bytes);
    data->setText(plainText);
    return data;
}

std::optional<ProxyLink> DecodeProxyLink(const QMimeData* data)
{
    const QString format = QString::fromLatin1(kProxyLinkMimeType);
    if (!data || !data->hasFormat(format))
        return std::nullopt;
    QByteArray bytes = data->data(format);
    QDataStream in(&bytes, QIODevice::ReadOnly);
    in.setVersion(kStreamVersion);
    QVariantMap map;
    in >> map;
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return std::nullopt;
    ProxyLink link;
    if (const auto it = map.find(QStringLiteral("type")); it != map.end() && it->metaType().id() == QMetaType::QString)
        link.type = it->toString().toStdString();
    link.index = LongValue(map, "index");
    if (const std::optional<int64_t> id = LongValue(map, "proxyId"); id && *id >= INT32_MIN && *id <= INT32_MAX)
        link.proxyId = static_cast<int32_t>(*id);
    link.chainNum = LongValue(map, "chainNum");
    if (const auto it = map.find(QStringLiteral("proxyEnabled"));
        it != map.end() && it->metaType().id() == QMetaType::Bool)
        link.proxyEnabled = it->toBool();
    return link;
}

bool ChainDropAllowed(
    const std::optional<ProxyLink>& link, std::optional<int64_t> targetChain, bool fromSelf, bool chainHasProxy)
{
    if (!link || !targetChain || !link->proxyId)
        return false;
    if (fromSelf)
        return link->chainNum == targetChain;
    return !chainHasProxy;
}

int64_t DroppedEntryPosition(int64_t insertAt, std::optional<int64_t> from, int64_t count)
{
    // Taken out first, a moved entry leaves one place fewer, and everything below it moves up by one.
    int64_t target = insertAt;
    int64_t size = count;
    if (from) {
        size = count - 1;
        if (insertAt >= 0 && insertAt > *from)
            target = insertAt - 1;
    }
    return target >= 0 && target <= size ? target : size;
}

std::optional<std::string> RuleNameRefusal(const std::string& name)
{
    if (name.empty())
        return std::string(kEmptyName);
    if (name.find_first_of(kForbiddenSymbols) != std::string::npos)
        return std::string("Incorrect symbol(s) found. Profile name cannot contain the following symbols:\n")
            + kForbiddenSymbols;
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    if (lower == "default" || lower == "untitled")
        return std::string(kReservedName);
    return std::nullopt;
}

int RuleRowHeight(int rowHeight, const std::array<int, 4>& cellHeights)
{
    int height = rowHeight;
    for (int cell : cellHeights) {
        if (cell > height)
            height = std::min(cell, 4 * rowHeight);
    }
    return height + rowHeight / 2;
}

// ---- Tables whose rows are dragged ----

QStringList LinkSourceTableModel::mimeTypes() const
{
    return { QString::fromLatin1(kProxyLinkMimeType) };
}

Qt::DropActions LinkSourceTableModel::supportedDragActions() const
{
    return Qt::CopyAction;
}

Qt::DropActions LinkSourceTableModel::supportedDropActions() const
{
    return Qt::IgnoreAction;
}

bool LinkSourceTableModel::canDropMimeData(const QMimeData*, Qt::DropAction, int, int, const QModelIndex&) const
{
    return false;
}

bool LinkSourceTableModel::dropMimeData(const QMimeData*, Qt::DropAction, int, int, const QModelIndex&)
{
    return false;
}

std::optional<int> LinkSourceTableModel::draggedRow(const QModelIndexList& indexes, std::size_t rows)
{
    const auto covered = RowsOf(indexes);
    if (covered.size() != 1)
        return std::nullopt;
    const int row = covered.begin()->first;
    if (row < 0 || static_cast<std::size_t>(row) >= rows)
        return std::nullopt;
    return row;
}

// ---- Proxies table ----

ProxyTableModel::ProxyTableModel(NSProfile& profile, QObject* parent)
    : LinkSourceTableModel(parent)
    , m_profile(profile)
{
    reload();
}

void ProxyTableModel::reload()
{
    beginResetModel();
    m_rows.clear();
    for (const ProxyRow& proxy : m_profile.proxyListArray()) {
        m_rows.push_back({ QString::fromStdString(proxy.name), proxy.port, QString::fromStdString(proxy.type), proxy.id,
            proxy.num, QString::fromStdString(m_profile.proxyFullNameForId(proxy.id)) });
    }
    endResetModel();
}

int64_t ProxyTableModel::num(int row) const
{
    return row >= 0 && static_cast<std::size_t>(row) < m_rows.size() ? m_rows[static_cast<std::size_t>(row)].num : -1;
}

int ProxyTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ProxyTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant ProxyTableModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row& row = m_rows[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case kAddress:
            return row.host;
        case kPort:
            return row.port;
        case kType:
            return row.type;
        default:
            return {};
        }
    case kProxyNumRole:
        return qlonglong(row.num);
    case kProxyIdRole:
        return int(row.id);
    default:
        return {};
    }
}

QVariant ProxyTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case kAddress:
        return QStringLiteral("Address");
    case kPort:
        return QStringLiteral("Port");
    case kType:
        return QStringLiteral("Type");
    default:
        return {};
    }
}

Qt::ItemFlags ProxyTableModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
}

QMimeData* ProxyTableModel::mimeData(const QModelIndexList& indexes) const
{
    const std::optional<int> dragged = draggedRow(indexes, m_rows.size());
    if (!dragged)
        return nullptr;
    const int r = *dragged;
    const Row& row = m_rows[static_cast<std::size_t>(r)];
    ProxyLink link;
    link.type = "proxy";
    link.index = row.num;
    link.proxyId = m_profile.proxyId(row.num);
    return EncodeProxyLink(link, row.fullName);
}

// ---- Rules table ----

RulesTableModel::RulesTableModel(NSProfile& profile, QObject* parent)
    : LinkSourceTableModel(parent)
    , m_profile(profile)
{
    reload();
}

RulesTableModel::Row RulesTableModel::readRow(int64_t index) const
{
    Row row;
    row.allow = m_profile.ruleAllow(index).value_or(0);
    row.name = QString::fromStdString(m_profile.ruleName(index).value_or(std::string()));
    const std::optional<std::string> lists[3]
        = { m_profile.ruleApp(index), m_profile.ruleHosts(index), m_profile.rulePorts(index) };
    for (int i = 0; i < 3; ++i) {
        if (lists[i])
            row.lists[i] = QString::fromStdString(*lists[i]);
    }
    row.target = m_profile.ruleTarget(index).value_or(-1);
    return row;
}

void RulesTableModel::reload()
{
    beginResetModel();
    m_actions.clear();
    for (const std::string& action : m_profile.ruleTargetNamesList())
        m_actions.push_back(QString::fromStdString(action));
    m_rows.clear();
    const int64_t count = m_profile.rulesCount();
    for (int64_t i = 0; i < count; ++i)
        m_rows.push_back(readRow(i));
    m_heights.clear();
    endResetModel();
}

void RulesTableModel::setColumnWidths(const std::array<int, 4>& widths)
{
    if (widths == m_columnWidths)
        return;
    m_columnWidths = widths;
    m_heights.clear();
}

QString RulesTableModel::cellText(const Row& row, Column column, bool* any) const
{
    if (any)
        *any = false;
    switch (column) {
    case kName:
        return row.name;
    case kApplications:
    case kHosts:
    case kPorts: {
        const std::optional<QString>& text = row.lists[column - kApplications];
        if (text && !text->isEmpty())
            return *text;
        if (any)
            *any = true;
        return QString::fromLatin1(kAny);
    }
    case kAction:
        return row.target >= 0 && row.target < m_actions.size() ? m_actions[row.target] : QString();
    default:
        return {};
    }
}

int RulesTableModel::heightOfRow(int row, int rowHeight, const QFont& font) const
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_rows.size())
        return rowHeight;
    const QString fontKey = font.key();
    if (m_heights.size() != m_rows.size() || m_heightsRowHeight != rowHeight || m_heightsFont != fontKey) {
        m_heights.assign(m_rows.size(), 0);
        m_heightsRowHeight = rowHeight;
        m_heightsFont = fontKey;
    }
    int& cached = m_heights[static_cast<std::size_t>(row)];
    if (cached > 0)
        return cached;

    const QFontMetrics metrics(font);
    const Row& rules = m_rows[static_cast<std::size_t>(row)];
    std::array<int, 4> cells {};
    for (std::size_t i = 0; i < kMeasuredColumns.size(); ++i) {
        const Column column = kMeasuredColumns[i];
        if (column == kAction) {
            // The pop-up's title is one line whatever the width.
            cells[i] = metrics.height();
            continue;
        }
        const int width = std::max(1, m_columnWidths[i] - 2 * kTextCellPadding);
        const QRect bounds = metrics.boundingRect(
            QRect(0, 0, width, INT_MAX / 2), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, cellText(rules, column));
        cells[i] = bounds.height() + 2 * kTextCellPadding;
    }
    cached = RuleRowHeight(rowHeight, cells);
    return cached;
}

int RulesTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int RulesTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant RulesTableModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row& row = m_rows[static_cast<std::size_t>(index.row())];
    const auto column = static_cast<Column>(index.column());
    if (column == kEnabled) {
        if (role == Qt::CheckStateRole)
            return row.allow != 0 ? Qt::Checked : Qt::Unchecked;
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
        return cellText(row, column);
    case Qt::EditRole:
        if (column == kAction)
            return row.target;
        return column == kName ? QVariant(row.name) : QVariant();
    case Qt::ForegroundRole: {
        bool any = false;
        cellText(row, column, &any);
        return any ? QVariant(QColor(Qt::gray)) : QVariant();
    }
    case Qt::TextAlignmentRole:
        return column == kAction ? QVariant() : QVariant(int(Qt::AlignLeft | Qt::AlignTop));
    case kChoicesRole:
        return column == kAction ? QVariant(m_actions) : QVariant();
    default:
        return {};
    }
}

bool RulesTableModel::setName(int row, const QString& name)
{
    if (row == static_cast<int>(m_rows.size()) - 1) {
        MessageBox(kCannotEditDefault, kRulesCaption, kDefaultRuleFlags);
        return false;
    }
    const std::string text = name.toStdString();
    if (const std::optional<std::string> refusal = RuleNameRefusal(text)) {
        MessageBox(*refusal, std::string(), 0);
        return false;
    }
    m_profile.setRuleName(row, text);
    return true;
}

bool RulesTableModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    const int row = index.row();
    bool written = false;
    switch (index.column()) {
    case kEnabled:
        if (role != Qt::CheckStateRole || !(flags(index) & Qt::ItemIsUserCheckable))
            return false;
        m_profile.setRuleAllow(row, value.toInt() == Qt::Checked);
        written = true;
        break;
    case kName:
        if (role != Qt::EditRole)
            return false;
        written = setName(row, value.toString());
        break;
    case kAction: {
        bool ok = false;
        const int action = value.toInt(&ok);
        if (role != Qt::EditRole || !ok)
            return false;
        m_profile.setRuleTargetAction(row, action);
        written = true;
        break;
    }
    default:
        return false;
    }
    if (!written)
        return false;
    // The window reloads the whole table later; until then the row shows what the profile now holds.
    if (static_cast<std::size_t>(row) < m_rows.size())
        m_rows[static_cast<std::size_t>(row)] = readRow(row);
    if (static_cast<std::size_t>(row) < m_heights.size())
        m_heights[static_cast<std::size_t>(row)] = 0;
    emit dataChanged(this->index(row, 0), this->index(row, kColumnCount - 1));
    return true;
}

QVariant RulesTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case kEnabled:
        return QString();
    case kName:
        return QStringLiteral("Name");
    case kApplications:
        return QStringLiteral("Applications");
    case kHosts:
        return QStringLiteral("Target Hosts");
    case kPorts:
        return QStringLiteral("Target Ports");
    case kAction:
        return QStringLiteral("Action");
    default:
        return {};
    }
}

Qt::ItemFlags RulesTableModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
    const bool isDefault = index.row() == static_cast<int>(m_rows.size()) - 1;
    switch (index.column()) {
    case kEnabled:
        // The Default rule always applies.
        if (!isDefault)
            flags |= Qt::ItemIsUserCheckable;
        break;
    case kName:
    case kAction:
        flags |= Qt::ItemIsEditable;
        break;
    default:
        break;
    }
    return flags;
}

QMimeData* RulesTableModel::mimeData(const QModelIndexList& indexes) const
{
    const std::optional<int> dragged = draggedRow(indexes, m_rows.size());
    if (!dragged)
        return nullptr;
    const int r = *dragged;
    ProxyLink link;
    link.index = r;
    return EncodeProxyLink(link, m_rows[static_cast<std::size_t>(r)].name);
}

// ---- Chains tree ----
//
// A chain's index has internal id 0; an entry's has its chain's position + 1.

ChainTreeModel::ChainTreeModel(NSProfile& profile, QObject* parent)
    : QAbstractItemModel(parent)
    , m_profile(profile)
{
    reload();
}

ChainTreeModel::Entry ChainTreeModel::readEntry(int64_t chain, int64_t position) const
{
    const CChainEntry entry = m_profile.proxyWithNum(position, chain);
    return { entry.m_ProxyId, entry.m_Enabled, QString::fromStdString(m_profile.proxyFullNameForId(entry.m_ProxyId)) };
}

std::vector<CChainEntry> ChainTreeModel::entriesOf(int64_t chain) const
{
    std::vector<CChainEntry> entries;
    const int64_t count = m_profile.proxysCountInChain(chain);
    for (int64_t e = 0; e < count; ++e)
        entries.push_back(m_profile.proxyWithNum(e, chain));
    return entries;
}

void ChainTreeModel::reload()
{
    beginResetModel();
    m_chains.clear();
    const int64_t count = m_profile.chainsCount();
    for (int64_t c = 0; c < count; ++c) {
        Chain chain { QString::fromStdString(m_profile.chainName(c)), {} };
        const int64_t entries = m_profile.proxysCountInChain(c);
        for (int64_t e = 0; e < entries; ++e)
            chain.entries.push_back(readEntry(c, e));
        m_chains.push_back(std::move(chain));
    }
    endResetModel();
}

std::optional<ChainTreeModel::Item> ChainTreeModel::item(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return std::nullopt;
    if (index.internalId() == 0)
        return Item { index.row(), std::nullopt };
    return Item { static_cast<int64_t>(index.internalId()) - 1, index.row() };
}

QModelIndex ChainTreeModel::indexOf(const Item& item, int column) const
{
    if (item.chain < 0 || static_cast<std::size_t>(item.chain) >= m_chains.size())
        return {};
    const QModelIndex chain = index(static_cast<int>(item.chain), column);
    if (!item.entry)
        return chain;
    return index(static_cast<int>(*item.entry), column, index(static_cast<int>(item.chain), 0));
}

int ChainTreeModel::outlineRow(const QModelIndex& index) const
{
    const std::optional<Item> it = item(index);
    if (!it)
        return -1;
    int row = 0;
    for (int64_t c = 0; c < it->chain; ++c)
        row += 1 + static_cast<int>(m_chains[static_cast<std::size_t>(c)].entries.size());
    return it->entry ? row + 1 + static_cast<int>(*it->entry) : row;
}

QModelIndex ChainTreeModel::indexAtOutlineRow(int row, int column) const
{
    if (row < 0)
        return {};
    for (std::size_t c = 0; c < m_chains.size(); ++c) {
        if (row == 0)
            return index(static_cast<int>(c), column);
        const int entries = static_cast<int>(m_chains[c].entries.size());
        if (row <= entries)
            return index(row - 1, column, index(static_cast<int>(c), 0));
        row -= 1 + entries;
    }
    return {};
}

void ChainTreeModel::keepExpanded(QTreeView& view)
{
    view.setItemsExpandable(false);
    view.expandAll();
    QAbstractItemModel* model = view.model();
    if (!model)
        return;
    QTreeView* target = &view;
    const auto expand = [target] { target->expandAll(); };
    // The view connected to its model first, so it knows the new rows by the time these run.
    QObject::connect(model, &QAbstractItemModel::modelReset, target, expand);
    QObject::connect(model, &QAbstractItemModel::layoutChanged, target, expand);
    QObject::connect(model, &QAbstractItemModel::rowsInserted, target, expand);
    QObject::connect(
        &view, &QTreeView::collapsed, target, [target](const QModelIndex& index) { target->expand(index); });
}

QModelIndex ChainTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column < 0 || column >= kColumnCount)
        return {};
    if (!parent.isValid())
        return static_cast<std::size_t>(row) < m_chains.size() ? createIndex(row, column, quintptr(0)) : QModelIndex();
    if (parent.model() != this || parent.internalId() != 0 || parent.row() < 0
        || static_cast<std::size_t>(parent.row()) >= m_chains.size())
        return {};
    const Chain& chain = m_chains[static_cast<std::size_t>(parent.row())];
    if (static_cast<std::size_t>(row) >= chain.entries.size())
        return {};
    return createIndex(row, column, quintptr(parent.row()) + 1);
}

QModelIndex ChainTreeModel::parent(const QModelIndex& child) const
{
    if (!child.isValid() || child.internalId() == 0)
        return {};
    return createIndex(static_cast<int>(child.internalId() - 1), 0, quintptr(0));
}

int ChainTreeModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return static_cast<int>(m_chains.size());
    if (parent.column() != 0)
        return 0;
    const std::optional<Item> it = item(parent);
    if (!it || it->entry || static_cast<std::size_t>(it->chain) >= m_chains.size())
        return 0;
    return static_cast<int>(m_chains[static_cast<std::size_t>(it->chain)].entries.size());
}

int ChainTreeModel::columnCount(const QModelIndex&) const
{
    return kColumnCount;
}

bool ChainTreeModel::hasChildren(const QModelIndex& parent) const
{
    return rowCount(parent) > 0;
}

QVariant ChainTreeModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const std::optional<Item> it = item(index);
    if (!it || static_cast<std::size_t>(it->chain) >= m_chains.size())
        return {};
    const Chain& chain = m_chains[static_cast<std::size_t>(it->chain)];
    if (!it->entry) {
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return chain.name;
        return {};
    }
    if (static_cast<std::size_t>(*it->entry) >= chain.entries.size())
        return {};
    const Entry& entry = chain.entries[static_cast<std::size_t>(*it->entry)];
    switch (role) {
    case Qt::CheckStateRole:
        if (index.column() == kEnabled)
            return entry.enabled ? Qt::Checked : Qt::Unchecked;
        return {};
    case Qt::DisplayRole:
        return index.column() == kName ? QVariant(entry.fullName) : QVariant();
    case kProxyIdRole:
        return int(entry.proxyId);
    default:
        return {};
    }
}

bool ChainTreeModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return false;
    const std::optional<Item> it = item(index);
    if (!it)
        return false;
    auto& chain = m_chains[static_cast<std::size_t>(it->chain)];
    if (!it->entry) {
        if (role != Qt::EditRole)
            return false;
        m_profile.setNameForChain(value.toString().toStdString(), it->chain);
        chain.name = QString::fromStdString(m_profile.chainName(it->chain));
        emit dataChanged(this->index(index.row(), 0), this->index(index.row(), kColumnCount - 1));
        return true;
    }
    if (role != Qt::CheckStateRole || index.column() != kEnabled)
        return false;
    m_profile.setEnabledForProxyInChain(value.toInt() == Qt::Checked, *it->entry, it->chain);
    chain.entries[static_cast<std::size_t>(*it->entry)] = readEntry(it->chain, *it->entry);
    emit dataChanged(index, index);
    return true;
}

QVariant ChainTreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case kEnabled:
        return QString();
    case kName:
        return QStringLiteral("Proxy");
    default:
        return {};
    }
}

Qt::ItemFlags ChainTreeModel::flags(const QModelIndex& index) const
{
    const std::optional<Item> it = item(index);
    if (!it)
        return Qt::NoItemFlags;
    if (!it->entry)
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsDropEnabled;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
    if (index.column() == kEnabled)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

QStringList ChainTreeModel::mimeTypes() const
{
    return { QString::fromLatin1(kProxyLinkMimeType) };
}

QMimeData* ChainTreeModel::mimeData(const QModelIndexList& indexes) const
{
    const auto rows = RowsOf(indexes);
    if (rows.size() != 1)
        return nullptr;
    const std::optional<Item> it = item(indexes.first());
    if (!it || !it->entry || static_cast<std::size_t>(it->chain) >= m_chains.size())
        return nullptr;
    const Chain& chain = m_chains[static_cast<std::size_t>(it->chain)];
    if (static_cast<std::size_t>(*it->entry) >= chain.entries.size())
        return nullptr;
    const Entry& entry = chain.entries[static_cast<std::size_t>(*it->entry)];
    ProxyLink link;
    link.type = "proxy";
    link.index = *it->entry;
    link.chainNum = it->chain;
    link.proxyId = entry.proxyId;
    link.proxyEnabled = entry.enabled;
    QMimeData* data = EncodeProxyLink(link, entry.fullName);
    m_lastDrag = data;
    return data;
}

Qt::DropActions ChainTreeModel::supportedDragActions() const
{
    return Qt::CopyAction;
}

Qt::DropActions ChainTreeModel::supportedDropActions() const
{
    return Qt::CopyAction;
}

bool ChainTreeModel::fromThisTree(const QMimeData* data) const
{
    return data && m_lastDrag && data == m_lastDrag.data();
}

bool ChainTreeModel::canDropMimeData(
    const QMimeData* data, Qt::DropAction action, int, int, const QModelIndex& parent) const
{
    if (action != Qt::CopyAction)
        return false;
    const std::optional<Item> target = item(parent);
    const std::optional<ProxyLink> link = DecodeProxyLink(data);
    std::optional<int64_t> chain;
    if (target && !target->entry)
        chain = target->chain;
    const bool hasProxy = chain && link && link->proxyId && m_profile.chainHaveProxy(*chain, *link->proxyId);
    return ChainDropAllowed(link, chain, fromThisTree(data), hasProxy);
}

bool ChainTreeModel::dropMimeData(
    const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent)
{
    if (!canDropMimeData(data, action, row, column, parent))
        return false;
    const std::optional<ProxyLink> link = DecodeProxyLink(data);
    const int64_t chain = item(parent)->chain;
    const int64_t insertAt = row < 0 ? 0 : row;
    const std::vector<CChainEntry> before = entriesOf(chain);
    std::optional<int64_t> from;
    if (fromThisTree(data)) {
        if (!link->index || *link->index < 0 || *link->index >= static_cast<int64_t>(before.size()))
            return false;
        from = link->index;
        m_profile.moveProxyInChain(*from, insertAt, chain);
    } else {
        m_profile.addProxyToChain(*link->proxyId, chain, insertAt);
    }
    const int64_t position = DroppedEntryPosition(insertAt, from, static_cast<int64_t>(before.size()));
    // An unchanged chain means the profile's check refused the change (and said why), unless the entry was
    // dropped where it already stood.
    if (entriesOf(chain) == before && !(from && *from == position))
        return false;

    reload();
    const QModelIndex entry = indexOf({ chain, position });
    emit entryDropped(entry, outlineRow(entry));
    return true;
}

} // namespace corvantis
