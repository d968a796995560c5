#pragma once

#include "core/profile/ConnRecord.h"

#include <QAbstractTableModel>
#include <QColor>

#include <cstddef>
#include <vector>

namespace corvantis {

// The rows of the connections window, one connection each, colored by state (rowColor).
//
// update() merges a new list into the rows: rows whose id is not in the list are removed, the rows that remain
// take the list's records in order (matched by position, not by id) and the records beyond them are appended.
// Afterwards the rows are the list, in its order. Each step is announced with the model's row signals, so a
// selection stays on its position while that row remains.
//
// Thread-safety: the GUI thread only.
class ConnectionListModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kApplication, kTarget, kRule, kStatus, kSent, kReceived, kColumnCount };

    // What one update did.
    struct UpdateCounts {
        size_t old = 0; // rows before
        size_t current = 0; // records in the list
        size_t removed = 0; // rows removed
        size_t added = 0; // rows appended
        size_t result = 0; // rows after
    };

    explicit ConnectionListModel(QObject* parent = nullptr);
    ConnectionListModel(const ConnectionListModel&) = delete;
    ConnectionListModel& operator=(const ConnectionListModel&) = delete;

    UpdateCounts update(const std::vector<CConnListItem>& records);

    // The record shown in `row`, which must be in range.
    const CConnListItem& item(int row) const { return m_rows.at(static_cast<size_t>(row)); }
    // The text color of a connection: the view's text color (an invalid color) when opened and not closed, light
    // gray when opened and closed, red when closed without having opened, blue (83, 165, 251) while neither.
    static QColor rowColor(bool opened, bool closed);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // DisplayRole: the column's text; ForegroundRole: rowColor (nothing for the view's text color); UserRole: the
    // connection id.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    std::vector<CConnListItem> m_rows;
};

} // namespace corvantis
