#include "app/ui/ConnectionsView.h"

#include "app/ui/ConnectionListModel.h"
#include "core/foundation/Log.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/CorvantisAppUI.h"
#include "tests/support/LogLines.h"

#include <QColor>
#include <QItemSelectionModel>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvantis {
namespace {

// One line of the connection list, in the form the extension writes.
std::string Line(uint64_t id, bool opened = true, bool closed = false, const std::string& app = "")
{
    const std::string name = app.empty() ? "app" + std::to_string(id) : app;
    return std::to_string(id) + "/" + name + "/host" + std::to_string(id) + ".test:443/Default : Direct/00:0"
        + std::to_string(id % 10) + "/" + (opened ? "1" : "0") + "/" + (closed ? "1" : "0") + "/1.5 KB/1536/"
        + std::to_string(id) + "/" + std::to_string(id) + "\n";
}

std::string Lines(const std::vector<uint64_t>& ids)
{
    std::string text;
    for (uint64_t id : ids)
        text += Line(id);
    return text;
}

// A shown connections view, and a core application object whose "DebugConnList" setting the test chooses. The
// view's debug lines go to the process's log, whose screen queue the fixture reads at the debug level.
class ConnectionsViewTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_savedApp = theApp;
        m_app = std::make_unique<CCorvantisAppUI>();
        theApp = m_app.get();
        m_savedLevel = GetLog().GetScreenLevel();
        GetLog().SetScreenLevel(kLogDebug);
        test::TakeScreenLines();
        m_view.resize(600, 300);
        m_view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_view));
    }

    void TearDown() override
    {
        test::TakeScreenLines();
        GetLog().SetScreenLevel(m_savedLevel);
        theApp = m_savedApp;
    }

    void SetDebugConnList(bool on)
    {
        CAppSettings settings = m_app->GetSettings();
        settings.DebugConnList = on;
        m_app->SetSettings(settings);
    }

    std::vector<uint64_t> Ids()
    {
        std::vector<uint64_t> ids;
        for (int row = 0; row < m_view.model()->rowCount(); ++row)
            ids.push_back(m_view.model()->item(row).id);
        return ids;
    }

    CCorvantisApp* m_savedApp = nullptr;
    std::unique_ptr<CCorvantisAppUI> m_app;
    int m_savedLevel = 0;
    ConnectionsView m_view;
};

TEST_F(ConnectionsViewTest, ShowsEachFieldInItsColumn)
{
    m_view.updateConnectionsList(Line(7, true, false, "curl"));
    ConnectionListModel& model = *m_view.model();
    ASSERT_EQ(model.rowCount(), 1);
    auto cell = [&](int column) { return model.data(model.index(0, column)).toString(); };
    EXPECT_EQ(cell(ConnectionListModel::kApplication), QStringLiteral("curl"));
    EXPECT_EQ(cell(ConnectionListModel::kTarget), QStringLiteral("host7.test:443"));
    EXPECT_EQ(cell(ConnectionListModel::kRule), QStringLiteral("Default : Direct"));
    EXPECT_EQ(cell(ConnectionListModel::kStatus), QStringLiteral("00:07"));
    EXPECT_EQ(cell(ConnectionListModel::kSent), QStringLiteral("1.5 KB"));
    EXPECT_EQ(cell(ConnectionListModel::kReceived), QStringLiteral("7"));
    EXPECT_EQ(model.data(model.index(0, 0), Qt::UserRole).toULongLong(), 7u);
    EXPECT_EQ(model.item(0).bytesSent, 1536u);
}

TEST_F(ConnectionsViewTest, MergesEachListIntoTheRows)
{
    struct Case {
        const char* name;
        std::string before;
        std::string after;
        std::vector<uint64_t> expected;
    };
    const Case cases[] = {
        { "a connection missing from the list is removed", Lines({ 1, 2, 3 }), Lines({ 1, 3 }), { 1, 3 } },
        { "three rows, first gone, two records", Lines({ 1, 2, 3 }), Lines({ 2, 3 }), { 2, 3 } },
        { "new connections are appended", Lines({ 1 }), Lines({ 1, 2, 3 }), { 1, 2, 3 } },
        { "rows take the records by position", Lines({ 1, 2 }), Lines({ 2, 1 }), { 2, 1 } },
        { "all replaced", Lines({ 1, 2 }), Lines({ 3, 4, 5 }), { 3, 4, 5 } },
        { "an empty text removes every row", Lines({ 1, 2 }), "", {} },
        { "a malformed first line removes every row", Lines({ 1, 2 }), "x/broken\n" + Lines({ 1, 2 }), {} },
        { "a malformed later line ends the list", Lines({ 1, 2, 3 }), Line(1) + "2/short\n" + Line(3), { 1 } },
        { "a line without its line feed ends the list", Lines({ 1 }), Line(1) + Line(2).substr(0, Line(2).size() - 1),
            { 1 } },
        { "a repeated id shows twice", Lines({ 1 }), Lines({ 1, 1 }), { 1, 1 } },
        { "rows with a repeated id end as the list", Lines({ 1, 1, 1 }), Lines({ 1 }), { 1 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_view.updateConnectionsList("");
        m_view.updateConnectionsList(c.before);
        m_view.updateConnectionsList(c.after);
        EXPECT_EQ(Ids(), c.expected);
        // Every row shows its own record, not a survivor's old values.
        for (int row = 0; row < m_view.model()->rowCount(); ++row)
            EXPECT_EQ(m_view.model()->item(row).application, "app" + std::to_string(c.expected[row]));
    }
}

TEST_F(ConnectionsViewTest, SelectionStaysOnItsRowWhileTheRowRemains)
{
    m_view.updateConnectionsList(Lines({ 1, 2, 3 }));
    m_view.table()->selectRow(2);
    m_view.updateConnectionsList(Lines({ 2, 3 }));
    const QModelIndexList selected = m_view.table()->selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(m_view.model()->item(selected[0].row()).id, 3u);
}

TEST_F(ConnectionsViewTest, ColorsRowsByOpenedAndClosed)
{
    struct Case {
        const char* name;
        bool opened;
        bool closed;
        QColor expected; // invalid: the view's own text color
    };
    const Case cases[] = {
        { "open", true, false, QColor() },
        { "opened and closed: light gray", true, true, QColor(170, 170, 170) },
        { "closed without opening: red", false, true, QColor(255, 0, 0) },
        { "connecting: blue", false, false, QColor(83, 165, 251) },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_view.updateConnectionsList(Line(1, c.opened, c.closed));
        const QVariant color = m_view.model()->data(m_view.model()->index(0, 3), Qt::ForegroundRole);
        EXPECT_EQ(color.isValid(), c.expected.isValid());
        if (c.expected.isValid()) {
            EXPECT_EQ(color.value<QColor>().rgba(), c.expected.rgba());
        }
    }
}

TEST_F(ConnectionsViewTest, UpdatesWhileHiddenLeaveTheRows)
{
    m_view.updateConnectionsList(Lines({ 1, 2 }));
    m_view.hide();
    m_view.updateConnectionsList(Lines({ 3 }));
    EXPECT_EQ(Ids(), (std::vector<uint64_t> { 1, 2 }));
    m_view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_view));
    m_view.updateConnectionsList(Lines({ 2, 4 }));
    EXPECT_EQ(Ids(), (std::vector<uint64_t> { 2, 4 }));
}

TEST_F(ConnectionsViewTest, DebugLinesSayWhatEachUpdateDid)
{
    SetDebugConnList(true);
    m_view.updateConnectionsList(Lines({ 1, 2, 3 }));
    const std::string three = Lines({ 1, 2, 3 });
    EXPECT_EQ(test::TakeScreenLines(),
        (std::vector<std::string> { "Connections UI: data = " + std::to_string(three.size())
            + " old = 0 current = 3 removed = 0 new = 3 res = 3" }));

    const std::string next = Lines({ 2, 3, 4, 5 });
    m_view.updateConnectionsList(next);
    EXPECT_EQ(test::TakeScreenLines(),
        (std::vector<std::string> { "Connections UI: data = " + std::to_string(next.size())
            + " old = 3 current = 4 removed = 1 new = 2 res = 4" }));

    m_view.updateConnectionsList("");
    EXPECT_EQ(test::TakeScreenLines(),
        (std::vector<std::string> { "Connections UI: data = 0 old = 4 current = 0 removed = 4 new = 0 res = 0" }));

    m_view.hide();
    m_view.updateConnectionsList(three);
    m_view.updateConnectionsList(three);
    EXPECT_EQ(test::TakeScreenLines(),
        (std::vector<std::string> {
            "Connections not updated - window is not visible", "Connections not updated - window is not visible" }));

    // A view whose window was never opened.
    ConnectionsView unopened;
    unopened.updateConnectionsList(three);
    EXPECT_EQ(unopened.model()->rowCount(), 0);
    EXPECT_EQ(test::TakeScreenLines(), (std::vector<std::string> { "Connections not updated -  window is null" }));
}

TEST_F(ConnectionsViewTest, NoDebugLinesWhenTheSettingIsOff)
{
    SetDebugConnList(false);
    m_view.updateConnectionsList(Lines({ 1 }));
    m_view.hide();
    m_view.updateConnectionsList(Lines({ 1 }));
    ConnectionsView unopened;
    unopened.updateConnectionsList(Lines({ 1 }));
    EXPECT_TRUE(test::TakeScreenLines().empty());
}

TEST_F(ConnectionsViewTest, NoCoreObjectMeansNoDebugLines)
{
    theApp = nullptr;
    m_view.updateConnectionsList(Lines({ 1 }));
    EXPECT_EQ(Ids(), (std::vector<uint64_t> { 1 }));
    EXPECT_TRUE(test::TakeScreenLines().empty());
}

} // namespace
} // namespace corvantis
