#pragma once

#include <QWidget>

#include <string>

class QTableView;

namespace corvantis {

class ConnectionListModel;

// The connections window's content: a table over a ConnectionListModel, fed with the extension's connection-list
// text.
//
// An update is taken only while the view is shown: when its window was never created, or the view is hidden, the
// text is not read and the rows stay as they were. With the setting "DebugConnList" of the core application
// object on, each update writes one debug-level log line saying what it did or why it did nothing. Rows carry
// the connection id only; there is no way to close a connection from here.
//
// Thread-safety: the GUI thread only.
class ConnectionsView final : public QWidget {
    Q_OBJECT
public:
    explicit ConnectionsView(QWidget* parent = nullptr);
    ~ConnectionsView() override;
    ConnectionsView(const ConnectionsView&) = delete;
    ConnectionsView& operator=(const ConnectionsView&) = delete;

    // Shows the connections of `text` (lines in the form of CConnRecord::GetText; a malformed line ends the list).
    void updateConnectionsList(const std::string& text);
    // Repaints every row.
    void reloadData();

    QTableView* table() const { return m_table; }
    ConnectionListModel* model() const { return m_model; }

private:
    ConnectionListModel* m_model;
    QTableView* m_table;
};

} // namespace corvantis
