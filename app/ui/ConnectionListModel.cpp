#include "app/ui/ConnectionListModel.h"

#include <QString>

#include <unordered_set>

namespace corvantis {

ConnectionListModel::ConnectionListModel(QObject* parent)
    : QAbstractTableModel(parent)
{
}

ConnectionListModel::UpdateCounts ConnectionListModel::update(const std::vector<CConnListItem>& records)
{
    UpdateCounts counts;
    counts.old = m_rows.size();
    counts.current = records.size();

    std::unordered_set<uint64_t> listed;
    for (const CConnListItem& record : records)
        listed.insert(record.id);
    // Rows whose connection left the list go, from the bottom up, one contiguous run at a time. A row beyond the
    // records' count (possible only when the rows repeated an id) goes too, so that the rows end as the list.
    size_t kept = 0;
    std::vector<bool> keep(m_rows.size(), false);
    for (size_t row = 0; row < m_rows.size(); ++row) {
        if (listed.count(m_rows[row].id) && kept < records.size()) {
            keep[row] = true;
            ++kept;
        }
    }
    for (int last = static_cast<int>(m_rows.size()) - 1; last >= 0;) {
        if (keep[static_cast<size_t>(last)]) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 && !keep[static_cast<size_t>(first - 1)])
            --first;
        beginRemoveRows(QModelIndex(), first, last);
        m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
        endRemoveRows();
        counts.removed += static_cast<size_t>(last - first + 1);
        last = first - 1;
    }

    // The remaining rows take the records in order; the rest are appended in one insertion.
    const size_t overwritten = m_rows.size();
    for (size_t i = 0; i < overwritten; ++i)
        m_rows[i] = records[i];
    if (overwritten > 0)
        emit dataChanged(index(0, 0), index(static_cast<int>(overwritten) - 1, kColumnCount - 1));
    if (records.size() > overwritten) {
        beginInsertRows(QModelIndex(), static_cast<int>(overwritten), static_cast<int>(records.size()) - 1);
        m_rows.insert(m_rows.end(), records.begin() + static_cast<std::ptrdiff_t>(overwritten), records.end());
        endInsertRows();
        counts.added = records.size() - overwritten;
    }
    counts.result = m_rows.size();
    return counts;
}

QColor ConnectionListModel::rowColor(bool opened, bool closed)
{
    if (opened && !closed)
        return QColor();
    if (opened)
        return QColor(170, 170, 170);
    if (closed)
        return QColor(255, 0, 0);
    return QColor::fromRgbF(0.3254901960784314f, 0.6470588235294118f, 0.984313725490196f, 1.0f);
}

int ConnectionListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ConnectionListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant ConnectionListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount())
        return {};
    const CConnListItem& row = m_rows[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case kApplication:
            return QString::fromStdString(row.application);
        case kTarget:
            return QString::fromStdString(row.target);
        case kRule:
            return QString::fromStdString(row.proxy);
        case kStatus:
            return QString::fromStdString(row.status);
        case kSent:
            return QString::fromStdString(row.sentText);
        case kReceived:
            return QString::fromStdString(row.receivedText);
        default:
            return {};
        }
    case Qt::ForegroundRole: {
        const QColor color = rowColor(row.opened, row.closed);
        if (!color.isValid())
            return {};
        return color;
    }
    case Qt::UserRole:
        return QVariant::fromValue<qulonglong>(row.id);
    default:
        return {};
    }
}

QVariant ConnectionListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case kApplication:
        return tr("Application");
    case kTarget:
        return tr("Target");
    case kRule:
        return tr("Rule : Proxy");
    case kStatus:
        return tr("Time/Status");
    case kSent:
        return tr("Sent");
    case kReceived:
        return tr("Received");
    default:
        return {};
    }
}

Qt::ItemFlags ConnectionListModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

} // namespace corvantis
