#pragma once

#include <QWidget>

class QAction;
class QTableView;

namespace corvantis {

class CLog;
class LogListModel;

// The log window's content: a one-column table over a LogListModel, fed from a log's screen queue.
//
// Each updateLogList call drains the queue into the table. When the last visible row was the trailing empty row
// (the view was at the end) the view keeps showing the end; otherwise it stays on the rows it showed. After an
// update the table holds at most kMaxRows lines: from kMaxRows + 1 lines on, max(kTrimRows, lines - kMaxRows)
// lines are removed from the top and the view's scroll targets move up by as many (the selection follows its
// rows). Updates made while hidden only collect lines; the first update made while visible again shows the end.
//
// The actions: copyAction (the standard copy shortcut, enabled exactly when a row is selected) puts the
// selected lines on the clipboard, each preceded by a line feed; clearAction empties the table. Both are in the
// table's context menu.
//
// Thread-safety: the GUI thread only. The log queue is the only state shared with other threads.
class LogView final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxRows = 3100;
    static constexpr int kTrimRows = 100;

    // Reads the screen queue of `log`, which must outlive the view (the process's log by default). There should
    // be one reader of a queue.
    explicit LogView(QWidget* parent = nullptr);
    explicit LogView(CLog& log, QWidget* parent = nullptr);
    ~LogView() override;
    LogView(const LogView&) = delete;
    LogView& operator=(const LogView&) = delete;

    // Takes every queued line into the table. `visible`: whether the log window is shown now (normally
    // isVisible() of this view); a hidden view is only scrolled when it is next updated while visible.
    void updateLogList(bool visible);
    // Removes every line.
    void clearLog();
    // Copies the selected lines to the clipboard; with no log line selected the clipboard is left alone.
    void copy();

    QTableView* table() const { return m_table; }
    LogListModel* model() const { return m_model; }
    QAction* copyAction() const { return m_copyAction; }
    QAction* clearAction() const { return m_clearAction; }

private:
    void updateActions();

    CLog& m_log;
    LogListModel* m_model;
    QTableView* m_table;
    QAction* m_copyAction;
    QAction* m_clearAction;
    bool m_reloadPending = false; // lines arrived while the view was hidden
};

} // namespace corvantis
