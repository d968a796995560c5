#include "app/ui/LogView.h"

#include "app/ui/LogListModel.h"
#include "core/foundation/Log.h"
#include "core/foundation/LogMessage.h"

#include <QAction>
#include <QClipboard>
#include <QColor>
#include <QGuiApplication>
#include <QHeaderView>
#include <QImage>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {
namespace {

time_t UtcTime(int year, int month, int day, int hour, int minute, int second)
{
    struct tm t { };
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

// A shown log view over a log of its own, in a fixed time zone. Lines reach the view the way the application's
// producer queues them: in the log's transfer form (error flag, time, text) through PutLogText.
class LogViewTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (const char* tz = std::getenv("TZ"))
            m_savedTz = tz;
        setenv("TZ", "UTC0", 1);
        tzset();
        m_log.SetScreenLevel(kLogDebug);
        m_view.resize(400, 200);
        m_view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_view));
    }

    void TearDown() override
    {
        if (m_savedTz)
            setenv("TZ", m_savedTz->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    void Queue(const std::string& text, bool isError = false, time_t time = 1700000000)
    {
        const std::string record = std::string(isError ? "1," : "0,") + std::to_string(time) + "," + text + "\n";
        ASSERT_EQ(m_log.PutLogText(record.c_str()), 1u);
    }

    // Queues `count` lines "line <n>" (numbered on from the last call) and updates, at most as many per update
    // as the queue keeps.
    void Feed(int count, bool visible = true)
    {
        while (count > 0) {
            const int batch = std::min(count, static_cast<int>(CLog::kMaxQueuedRecords));
            std::string text;
            for (int i = 0; i < batch; ++i)
                text += "0,1700000000,line " + std::to_string(m_next++) + "\n";
            ASSERT_EQ(m_log.PutLogText(text.c_str()), static_cast<size_t>(batch));
            m_view.updateLogList(visible);
            count -= batch;
        }
    }

    QTableView& Table() { return *m_view.table(); }
    LogListModel& Model() { return *m_view.model(); }
    int FirstVisibleRow() { return Table().rowAt(0); }
    int LastVisibleRow()
    {
        const int row = Table().rowAt(Table().viewport()->height() - 1);
        return row < 0 ? Model().rowCount() - 1 : row;
    }
    bool AtEnd() { return LastVisibleRow() == Model().logRowCount(); }

    void SelectRows(const std::vector<int>& rows)
    {
        Table().clearSelection();
        for (int row : rows)
            Table().selectionModel()->select(
                Model().index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    std::optional<std::string> m_savedTz;
    CLog m_log;
    LogView m_view { m_log };
    int m_next = 0;
};

TEST_F(LogViewTest, StartsEmptyWithTheTrailingRow)
{
    EXPECT_EQ(Model().logRowCount(), 0);
    EXPECT_EQ(Model().rowCount(), 1);
    EXPECT_EQ(Model().data(Model().index(0, 0)).toString(), QString());
    EXPECT_FALSE(m_view.copyAction()->isEnabled());
}

TEST_F(LogViewTest, StampsEachLineWithMonthDayAndTimeInLocalTime)
{
    struct Case {
        const char* name;
        time_t time;
        std::string text;
        QString expected;
    };
    const Case cases[] = {
        { "3 March", UtcTime(2024, 3, 3, 9, 5, 7), "Started", QStringLiteral("[03.03 09:05:07] Started") },
        { "month before day", UtcTime(2023, 12, 11, 23, 59, 1), "x", QStringLiteral("[12.11 23:59:01] x") },
        { "leading blanks kept", UtcTime(2024, 1, 2, 0, 0, 0), "  x", QStringLiteral("[01.02 00:00:00]   x") },
        { "UTF-8 text", UtcTime(2024, 7, 4, 12, 30, 45),
            "Gr\xC3\xBC\xC3\x9F"
            "e",
            QStringLiteral("[07.04 12:30:45] Gr\u00FC\u00DFe") },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_view.clearLog();
        Queue(c.text, false, c.time);
        m_view.updateLogList(true);
        ASSERT_EQ(Model().logRowCount(), 1);
        EXPECT_EQ(Model().lineText(0), c.expected);
        EXPECT_EQ(Model().data(Model().index(0, 0)).toString(), c.expected);
    }
}

TEST_F(LogViewTest, StampUsesTheLocalTimeZone)
{
    setenv("TZ", "EST5", 1); // UTC-5 all year
    tzset();
    Queue("late", false, UtcTime(2024, 3, 3, 2, 5, 7));
    m_view.updateLogList(true);
    EXPECT_EQ(Model().lineText(0), QStringLiteral("[03.02 21:05:07] late"));
}

TEST_F(LogViewTest, ErrorLinesAreRedOthersInTheViewsTextColor)
{
    CLogMessage(m_log, kLogError) << "MMMMMMMMMMMMMMMMMMMM failed";
    CLogMessage(m_log, kLogInfo) << "MMMMMMMMMMMMMMMMMMMM fine";
    m_view.updateLogList(true);
    ASSERT_EQ(Model().logRowCount(), 2);
    EXPECT_EQ(Model().data(Model().index(0, 0), Qt::ForegroundRole).value<QColor>(), QColor(Qt::red));
    EXPECT_FALSE(Model().data(Model().index(1, 0), Qt::ForegroundRole).isValid());

    // As painted: red glyphs in the error row only.
    const QImage image = Table().viewport()->grab().toImage();
    auto redPixels = [&](int row) {
        const QRect rect = Table().visualRect(Model().index(row, 0)) & image.rect();
        int count = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.red() > 180 && pixel.green() < 80 && pixel.blue() < 80)
                    ++count;
            }
        return count;
    };
    EXPECT_GT(redPixels(0), 20);
    EXPECT_EQ(redPixels(1), 0);
}

TEST_F(LogViewTest, FollowsTheEndWhileTheEndIsInView)
{
    Feed(100);
    EXPECT_TRUE(AtEnd());
    Feed(10);
    EXPECT_EQ(Model().logRowCount(), 110);
    EXPECT_TRUE(AtEnd());
    EXPECT_GT(FirstVisibleRow(), 0);
}

TEST_F(LogViewTest, StaysPutWhenScrolledAwayFromTheEnd)
{
    Feed(100);
    Table().scrollTo(Model().index(40, 0), QAbstractItemView::PositionAtTop);
    const int first = FirstVisibleRow();
    const int value = Table().verticalScrollBar()->value();
    ASSERT_FALSE(AtEnd());
    Feed(30);
    EXPECT_EQ(Model().logRowCount(), 130);
    EXPECT_EQ(FirstVisibleRow(), first);
    EXPECT_EQ(Table().verticalScrollBar()->value(), value);
    EXPECT_FALSE(AtEnd());
}

TEST_F(LogViewTest, AnUpdateWithNothingQueuedChangesNothing)
{
    Feed(100);
    Table().scrollToTop();
    m_view.updateLogList(true);
    EXPECT_EQ(FirstVisibleRow(), 0);
    EXPECT_EQ(Model().logRowCount(), 100);
}

TEST_F(LogViewTest, HiddenUpdatesCollectLinesAndTheNextVisibleUpdateShowsTheEnd)
{
    Feed(100);
    Table().scrollToTop();
    m_view.hide();
    Feed(20, false);
    EXPECT_EQ(Model().logRowCount(), 120);
    EXPECT_EQ(Table().verticalScrollBar()->value(), 0);

    m_view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_view));
    EXPECT_EQ(FirstVisibleRow(), 0);
    m_view.updateLogList(true); // nothing queued: the pending reload alone
    EXPECT_TRUE(AtEnd());

    // Once shown, an empty update leaves a user's scrolling alone again.
    Table().scrollToTop();
    m_view.updateLogList(true);
    EXPECT_EQ(FirstVisibleRow(), 0);
}

TEST_F(LogViewTest, TwentyUpdatesOf250LinesNeverLeaveMoreThanTheMaximum)
{
    for (int update = 1; update <= 20; ++update) {
        SCOPED_TRACE(update);
        Feed(250);
        EXPECT_EQ(Model().logRowCount(), std::min(LogView::kMaxRows, 250 * update));
        EXPECT_TRUE(AtEnd());
    }
    // The newest lines are kept: 5,000 fed, the first 1,900 gone.
    EXPECT_TRUE(Model().lineText(0).endsWith(QStringLiteral("] line 1900")));
    EXPECT_TRUE(Model().lineText(LogView::kMaxRows - 1).endsWith(QStringLiteral("] line 4999")));
}

TEST_F(LogViewTest, TrimmingMovesTheSelectionAndTheViewUpByTheRowsRemoved)
{
    struct Case {
        const char* name;
        int added; // to 3,000 lines
        int removed;
    };
    const Case cases[] = {
        { "exactly the maximum: nothing removed", 100, 0 },
        { "one over: the minimum of 100 removed", 101, 100 },
        { "150 over: 150 removed", 250, 150 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_view.clearLog();
        m_next = 0;
        Feed(3000);
        SelectRows({ 50, 2500, 2600 });
        Table().scrollTo(Model().index(2500, 0), QAbstractItemView::PositionAtTop);
        const int first = FirstVisibleRow();
        const QString firstText = Model().lineText(first);
        ASSERT_FALSE(AtEnd());

        Feed(c.added);
        EXPECT_EQ(Model().logRowCount(), 3000 + c.added - c.removed);
        std::vector<int> selected;
        for (const QModelIndex& index : Table().selectionModel()->selectedRows())
            selected.push_back(index.row());
        std::sort(selected.begin(), selected.end());
        std::vector<int> expected { 2500 - c.removed, 2600 - c.removed };
        if (c.removed == 0)
            expected.insert(expected.begin(), 50); // row 50 is trimmed away otherwise
        EXPECT_EQ(selected, expected);
        EXPECT_TRUE(Model().lineText(2500 - c.removed).endsWith(QStringLiteral("] line 2500")));
        EXPECT_EQ(FirstVisibleRow(), first - c.removed);
        EXPECT_EQ(Model().lineText(FirstVisibleRow()), firstText);
    }
}

TEST_F(LogViewTest, TrimmingAtTheEndKeepsTheEndInView)
{
    Feed(3000);
    ASSERT_TRUE(AtEnd());
    Feed(150); // 3,150: at least 100 go
    EXPECT_EQ(Model().logRowCount(), 3050);
    EXPECT_TRUE(AtEnd());
}

TEST_F(LogViewTest, CopiesSelectedLinesEachAfterALineFeed)
{
    Queue("alpha", false, UtcTime(2024, 3, 3, 9, 5, 7));
    Queue("beta", true, UtcTime(2024, 3, 3, 9, 5, 8));
    Queue("gamma", false, UtcTime(2024, 3, 3, 9, 5, 9));
    Queue("delta", false, UtcTime(2024, 3, 3, 9, 5, 10));
    m_view.updateLogList(true);
    const QString sentinel = QStringLiteral("untouched");

    struct Case {
        const char* name;
        std::vector<int> rows;
        bool enabled;
        QString expected;
    };
    const Case cases[] = {
        { "three rows in index order", { 3, 0, 1 }, true,
            QStringLiteral("\n[03.03 09:05:07] alpha\n[03.03 09:05:08] beta\n[03.03 09:05:10] delta") },
        { "one row", { 2 }, true, QStringLiteral("\n[03.03 09:05:09] gamma") },
        { "a row and the trailing row", { 1, 4 }, true, QStringLiteral("\n[03.03 09:05:08] beta") },
        { "only the trailing row writes nothing", { 4 }, true, sentinel },
        { "no selection: disabled, nothing written", {}, false, sentinel },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QGuiApplication::clipboard()->setText(sentinel);
        SelectRows(c.rows);
        EXPECT_EQ(m_view.copyAction()->isEnabled(), c.enabled);
        m_view.copyAction()->trigger();
        EXPECT_EQ(QGuiApplication::clipboard()->text(), c.expected);
    }
}

TEST_F(LogViewTest, CopyShortcutCopiesFromTheFocusedTable)
{
    Queue("only", false, UtcTime(2024, 3, 3, 9, 5, 7));
    m_view.updateLogList(true);
    QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
    SelectRows({ 0 });
    m_view.activateWindow();
    Table().setFocus();
    QTest::keySequence(&Table(), QKeySequence::Copy);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("\n[03.03 09:05:07] only"));
}

TEST_F(LogViewTest, ClearRemovesEveryLineAndDisablesCopy)
{
    Feed(10);
    SelectRows({ 3 });
    ASSERT_TRUE(m_view.copyAction()->isEnabled());
    m_view.clearAction()->trigger();
    EXPECT_EQ(Model().logRowCount(), 0);
    EXPECT_EQ(Model().rowCount(), 1);
    EXPECT_FALSE(m_view.copyAction()->isEnabled());
    Feed(1);
    EXPECT_TRUE(Model().lineText(0).endsWith(QStringLiteral("] line 10")));
}

TEST_F(LogViewTest, LongLinesWrapInWholeRowHeights)
{
    Queue("short");
    Queue(std::string(40, 'w') + " " + std::string(40, 'w') + " " + std::string(40, 'w'));
    m_view.updateLogList(true);
    // QTRY_VERIFY reports to Qt Test, not to this runner: wait and check here instead.
    EXPECT_TRUE(QTest::qWaitFor([&] { return Table().rowHeight(1) > Table().rowHeight(0); }));
    const int rowHeight = Table().verticalHeader()->defaultSectionSize();
    EXPECT_EQ(Table().rowHeight(0), rowHeight);
    EXPECT_EQ(Table().rowHeight(1) % rowHeight, 0);
    EXPECT_EQ(Table().rowHeight(2), rowHeight); // the trailing row

    // A wider column wraps the line into fewer rows.
    const int narrow = Table().rowHeight(1);
    m_view.resize(2000, 200);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Table().rowHeight(1) < narrow; }));
    EXPECT_EQ(Table().rowHeight(1) % rowHeight, 0);
}

} // namespace
} // namespace corvantis
