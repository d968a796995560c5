#include "app/ui/LogView.h"

#include "app/ui/LogListModel.h"
#include "core/foundation/Log.h"

#include <QAction>
#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace corvantis {

namespace {

// A table whose pending layout can be done at once, so that rows just inserted can be measured and scrolled to
// in the same call.
class LogTableView final : public QTableView {
public:
    using QTableView::QTableView;
    void layoutNow() { executeDelayedItemsLayout(); }
};

// Row heights of wrapped lines, measured once per column width by the model.
class LogRowDelegate final : public QStyledItemDelegate {
public:
    LogRowDelegate(LogListModel& model, QTableView& table)
        : QStyledItemDelegate(&table)
        , m_model(model)
        , m_table(table)
    {
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const int width = m_table.columnWidth(0);
        const int rowHeight = m_table.verticalHeader()->defaultSectionSize();
        return QSize(width, m_model.rowHeight(index.row(), width, option.font, rowHeight));
    }

private:
    LogListModel& m_model;
    QTableView& m_table;
};

} // namespace

LogView::LogView(QWidget* parent)
    : LogView(GetLog(), parent)
{
}

LogView::LogView(CLog& log, QWidget* parent)
    : QWidget(parent)
    , m_log(log)
    , m_model(new LogListModel(this))
    , m_table(new LogTableView(this))
    , m_copyAction(new QAction(tr("Copy"), this))
    , m_clearAction(new QAction(tr("Clear Log"), this))
{
    m_table->setObjectName(QStringLiteral("logTable"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setShowGrid(false);
    m_table->setWordWrap(true);
    m_table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_table->horizontalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->hide();
    const int lineHeight = QFontMetrics(m_table->font()).lineSpacing();
    m_table->verticalHeader()->setMinimumSectionSize(lineHeight);
    m_table->verticalHeader()->setDefaultSectionSize(lineHeight + 4);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->setItemDelegate(new LogRowDelegate(*m_model, *m_table));
    // A new column width wraps the lines anew.
    connect(m_table->horizontalHeader(), &QHeaderView::sectionResized, this,
        [this] { m_table->verticalHeader()->resizeSections(QHeaderView::ResizeToContents); });

    m_copyAction->setObjectName(QStringLiteral("logCopyAction"));
    m_copyAction->setShortcut(QKeySequence::Copy);
    m_copyAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(m_copyAction, &QAction::triggered, this, &LogView::copy);
    m_clearAction->setObjectName(QStringLiteral("logClearAction"));
    connect(m_clearAction, &QAction::triggered, this, &LogView::clearLog);
    m_table->addAction(m_copyAction);
    m_table->addAction(m_clearAction);
    m_table->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, &LogView::updateActions);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &LogView::updateActions);
    connect(m_model, &QAbstractItemModel::modelReset, this, &LogView::updateActions);
    updateActions();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_table);
    m_table->scrollToTop();
}

LogView::~LogView() = default;

void LogView::updateLogList(bool visible)
{
    std::vector<LogListModel::Line> lines;
    LogListModel::Line line;
    uint64_t time = 0;
    while (m_log.PopLogRecord(false, line.isError, time, line.text)) {
        line.time = static_cast<time_t>(time);
        lines.push_back(std::move(line));
        line = {};
    }
    if (lines.empty() && !m_reloadPending)
        return;

    auto* table = static_cast<LogTableView*>(m_table);
    table->layoutNow();
    const int before = m_model->logRowCount();
    const int firstVisible = std::max(0, table->rowAt(0));
    int lastVisible = table->rowAt(table->viewport()->height() - 1);
    if (lastVisible < 0)
        lastVisible = m_model->rowCount() - 1;

    m_model->appendLines(lines);
    const int added = static_cast<int>(lines.size());

    // At the end when the trailing empty row was the last row in view: the view then follows the new end.
    const bool atEnd = lastVisible == before;
    int firstTarget = atEnd && before != 0 ? firstVisible + added : firstVisible;
    int lastTarget = atEnd ? lastVisible + added : lastVisible;
    bool scroll = atEnd;
    bool trimmed = false;
    if (m_model->logRowCount() > kMaxRows) {
        const int removed = std::max(kTrimRows, m_model->logRowCount() - kMaxRows);
        m_model->removeFirst(removed);
        firstTarget = std::max(0, firstTarget - removed);
        lastTarget = std::max(0, lastTarget - removed);
        scroll = true;
        trimmed = true;
    }

    if (!visible) {
        m_reloadPending = true;
        return;
    }
    table->layoutNow();
    if (m_reloadPending) {
        m_reloadPending = false;
        m_table->scrollTo(m_model->index(0, 0));
        m_table->scrollTo(m_model->index(m_model->logRowCount(), 0));
    } else if (!trimmed) {
        if (scroll)
            m_table->scrollTo(m_model->index(lastTarget, 0));
    } else {
        m_table->scrollTo(m_model->index(firstTarget, 0));
        m_table->scrollTo(m_model->index(lastTarget, 0));
    }
}

void LogView::clearLog()
{
    m_model->clear();
}

void LogView::copy()
{
    std::vector<int> rows;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows())
        rows.push_back(index.row());
    const std::optional<QString> text = m_model->copyText(std::move(rows));
    if (text)
        QGuiApplication::clipboard()->setText(*text);
}

void LogView::updateActions()
{
    m_copyAction->setEnabled(m_table->selectionModel()->hasSelection());
}

} // namespace corvantis
