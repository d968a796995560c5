#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <vector>

class QFont;

namespace corvantis {

// The rows of the log window: one column of time-stamped lines, error lines in red, and always one empty row
// after the last line (the row that shows the view is at the end). Rows are added by appendLines and removed
// from the top by removeFirst or all at once by clear; every change is announced to the views with the
// row-insertion and row-removal signals, so selections and persistent indexes follow the rows they point at.
//
// Thread-safety: the GUI thread only.
class LogListModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Line {
        bool isError = false;
        time_t time = 0;
        std::string text; // UTF-8
    };

    explicit LogListModel(QObject* parent = nullptr);
    LogListModel(const LogListModel&) = delete;
    LogListModel& operator=(const LogListModel&) = delete;

    // "[MM.DD hh:mm:ss] " in local time, followed by `text`: the form in which a line is shown and copied.
    static QString formatLine(time_t time, const std::string& text);

    // The number of log lines held, without the trailing empty row.
    int logRowCount() const { return static_cast<int>(m_rows.size()); }
    // The shown text of log row `row` (empty for the trailing row or a row out of range).
    QString lineText(int row) const;
    bool isErrorLine(int row) const;

    // Appends the lines, oldest first, in front of the trailing empty row.
    void appendLines(const std::vector<Line>& lines);
    // Removes the first `count` log rows (fewer when there are fewer).
    void removeFirst(int count);
    // Removes every log row; the trailing empty row stays.
    void clear();

    // The clipboard text of the given rows: for each row that is a log row, in ascending order and once each,
    // a line feed followed by its text. Nothing when none of them is a log row.
    std::optional<QString> copyText(std::vector<int> rows) const;

    // The height of row `row` in a column `columnWidth` pixels wide, in whole multiples of `rowHeight`: the
    // line laid out in `font`, wrapped at the column width less 4 (the whole width when that is 4 or less), gives
    // the used height H, and the row is rowHeight * (H / rowHeight + 1) high (whole division). The trailing row
    // and rows out of range are rowHeight high. A row's height is measured once per column width.
    int rowHeight(int row, int columnWidth, const QFont& font, int rowHeight) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // DisplayRole: the text; ForegroundRole: red for an error line, nothing (the view's text color) otherwise.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Row {
        QString text;
        bool isError = false;
        mutable int measuredWidth = -1; // the column width of measuredHeight, -1 before the first measure
        mutable int measuredHeight = 0;
    };

    std::deque<Row> m_rows;
};

} // namespace corvantis
