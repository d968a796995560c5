#include "app/ui/LogListModel.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QRect>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace corvantis {

LogListModel::LogListModel(QObject* parent)
    : QAbstractTableModel(parent)
{
}

QString LogListModel::formatLine(time_t time, const std::string& text)
{
    struct tm local { };
    if (!localtime_r(&time, &local))
        local = {};
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "[%.2d.%.2d %.2d:%.2d:%.2d] ", local.tm_mon + 1, local.tm_mday, local.tm_hour,
        local.tm_min, local.tm_sec);
    return QString::fromLatin1(stamp) + QString::fromStdString(text);
}

QString LogListModel::lineText(int row) const
{
    if (row < 0 || row >= logRowCount())
        return {};
    return m_rows[static_cast<size_t>(row)].text;
}

bool LogListModel::isErrorLine(int row) const
{
    return row >= 0 && row < logRowCount() && m_rows[static_cast<size_t>(row)].isError;
}

void LogListModel::appendLines(const std::vector<Line>& lines)
{
    if (lines.empty())
        return;
    const int first = logRowCount();
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(lines.size()) - 1);
    for (const Line& line : lines)
        m_rows.push_back(Row { formatLine(line.time, line.text), line.isError });
    endInsertRows();
}

void LogListModel::removeFirst(int count)
{
    count = std::min(count, logRowCount());
    if (count <= 0)
        return;
    beginRemoveRows(QModelIndex(), 0, count - 1);
    m_rows.erase(m_rows.begin(), m_rows.begin() + count);
    endRemoveRows();
}

void LogListModel::clear()
{
    removeFirst(logRowCount());
}

std::optional<QString> LogListModel::copyText(std::vector<int> rows) const
{
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    QString text;
    bool any = false;
    for (int row : rows) {
        if (row < 0 || row >= logRowCount())
            continue;
        text += QLatin1Char('\n');
        text += m_rows[static_cast<size_t>(row)].text;
        any = true;
    }
    if (!any)
        return std::nullopt;
    return text;
}

int LogListModel::rowHeight(int row, int columnWidth, const QFont& font, int rowHeight) const
{
    if (row < 0 || row >= logRowCount() || rowHeight <= 0)
        return rowHeight;
    const Row& r = m_rows[static_cast<size_t>(row)];
    if (r.measuredWidth == columnWidth)
        return r.measuredHeight;
    const int wrapWidth = columnWidth > 4 ? columnWidth - 4 : std::max(columnWidth, 1);
    const QRect used = QFontMetrics(font).boundingRect(
        QRect(0, 0, wrapWidth, INT_MAX / 2), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, r.text);
    const int height = std::max(rowHeight, rowHeight * (used.height() / rowHeight + 1));
    r.measuredWidth = columnWidth;
    r.measuredHeight = height;
    return height;
}

int LogListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : logRowCount() + 1;
}

int LogListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant LogListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const int row = index.row();
    switch (role) {
    case Qt::DisplayRole:
        return lineText(row);
    case Qt::ForegroundRole:
        if (isErrorLine(row))
            return QColor(Qt::red);
        return {};
    default:
        return {};
    }
}

Qt::ItemFlags LogListModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

} // namespace corvantis
