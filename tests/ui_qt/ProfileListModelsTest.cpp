#include "app/ui/ProfileListModels.h"

#include "app/ui/SmallControls.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileCheck.h"
#include "tests/ui/EditorFixture.h"

#include <QAbstractItemModelTester>
#include <QColor>
#include <QDataStream>
#include <QFontMetrics>
#include <QMimeData>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTreeView>
#include <QVariantMap>

#include <memory>
#include <string>
#include <vector>

namespace corvantis::test {
namespace {

constexpr const char* kEditDefault = "You cannot edit the Default rule.\nCorvantis uses it when all other rules do not "
                                     "match the connection parameters.\nYou can only change the Action for this rule.";

// Proxies 100-102 (SOCKS5) and 103 (HTTP); chain "Out" (200) of 100, 101 (switched off), 102 and the empty chain
// "Spare" (201); rule "Web" (hosts and ports, no applications), rule "Wide" (a long host list) and the Default
// rule.
CProfileData ListProfile()
{
    CProfileData profile;
    profile.m_Proxies
        = { MakeProxy("a.example", 1080, kProxySocks5, 100), MakeProxy("b.example", 1081, kProxySocks5, 101),
              MakeProxy("c.example", 1082, kProxySocks5, 102), MakeProxy("web.example", 3128, kProxyHttp, 103) };
    CChain out("Out", 200);
    out.m_Entries = { { 100, true }, { 101, false }, { 102, true } };
    profile.m_Chains = { out, CChain("Spare", 201) };
    std::string message;
    CRule web("Web");
    EXPECT_TRUE(ParseHostList(web, "www.example", message)) << message;
    EXPECT_TRUE(ParsePortList(web, "443", message)) << message;
    CRule wide("Wide");
    std::string hosts;
    for (int i = 0; i < 60; ++i)
        hosts += (i ? ";" : "") + std::string("host") + std::to_string(i) + ".example";
    EXPECT_TRUE(ParseHostList(wide, hosts, message)) << message;
    profile.m_Rules = { web, wide };
    profile.AddDefaultRule();
    return profile;
}

std::vector<int32_t> EntryIds(const CChain& chain)
{
    std::vector<int32_t> ids;
    for (const CChainEntry& entry : chain.m_Entries)
        ids.push_back(entry.m_ProxyId);
    return ids;
}

// Collects what QAbstractItemModelTester reports while it lives.
class ModelTesterLog {
public:
    ModelTesterLog()
    {
        s_messages.clear();
        m_previous = qInstallMessageHandler(&ModelTesterLog::handle);
    }
    ~ModelTesterLog() { qInstallMessageHandler(m_previous); }
    ModelTesterLog(const ModelTesterLog&) = delete;
    ModelTesterLog& operator=(const ModelTesterLog&) = delete;

    const QStringList& messages() const { return s_messages; }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (type != QtDebugMsg
            && QString::fromLatin1(context.category ? context.category : "").startsWith("qt.modeltest"))
            s_messages.push_back(text);
    }

    static inline QStringList s_messages;
    QtMessageHandler m_previous = nullptr;
};

// The models over the editor of the fixture, made after the profile is installed.
class ListModelsTest : public EditorTest {
protected:
    void SetUp() override
    {
        EditorTest::SetUp();
        Install(ListProfile());
        editor->updateProfile();
        proxies = std::make_unique<ProxyTableModel>(*editor);
        chains = std::make_unique<ChainTreeModel>(*editor);
        rules = std::make_unique<RulesTableModel>(*editor);
    }

    void TearDown() override
    {
        proxies.reset();
        chains.reset();
        rules.reset();
        EditorTest::TearDown();
    }

    // The proxies table's drag of the proxy in profile position `num`.
    std::unique_ptr<QMimeData> DragProxy(int num)
    {
        return std::unique_ptr<QMimeData>(proxies->mimeData({ proxies->index(num, ProxyTableModel::kAddress) }));
    }
    // The chains tree's drag of an entry.
    std::unique_ptr<QMimeData> DragEntry(int64_t chain, int64_t entry)
    {
        return std::unique_ptr<QMimeData>(chains->mimeData({ chains->indexOf({ chain, entry }) }));
    }
    QModelIndex Chain(int64_t chain) { return chains->indexOf({ chain, std::nullopt }); }

    std::unique_ptr<ProxyTableModel> proxies;
    std::unique_ptr<ChainTreeModel> chains;
    std::unique_ptr<RulesTableModel> rules;
};

TEST_F(ListModelsTest, TheModelTesterFindsNothingWhileTheModelsAreReadEditedAndReloaded)
{
    ModelTesterLog log;
    {
        QAbstractItemModelTester proxyTester(proxies.get(), QAbstractItemModelTester::FailureReportingMode::Warning);
        QAbstractItemModelTester chainTester(chains.get(), QAbstractItemModelTester::FailureReportingMode::Warning);
        QAbstractItemModelTester ruleTester(rules.get(), QAbstractItemModelTester::FailureReportingMode::Warning);

        EXPECT_TRUE(rules->setData(rules->index(0, RulesTableModel::kEnabled), Qt::Unchecked, Qt::CheckStateRole));
        EXPECT_TRUE(chains->setData(Chain(1), "Backup"));
        EXPECT_TRUE(chains->setData(chains->indexOf({ 0, 1 }), Qt::Checked, Qt::CheckStateRole));
        const auto drag = DragProxy(3);
        EXPECT_TRUE(chains->dropMimeData(drag.get(), Qt::CopyAction, -1, -1, Chain(1)));
        editor->addChain();
        editor->updateProfile();
        proxies->reload();
        chains->reload();
        rules->reload();
    }
    EXPECT_TRUE(log.messages().isEmpty()) << log.messages().join("\n").toStdString();
    EXPECT_EQ(chains->rowCount(), 3);
}

TEST_F(ListModelsTest, TheProxiesTableShowsTheProxiesAndDragsOneByItsNum)
{
    ASSERT_EQ(proxies->rowCount(), 4);
    EXPECT_EQ(proxies->data(proxies->index(3, ProxyTableModel::kAddress)).toString(), "web.example");
    EXPECT_EQ(proxies->data(proxies->index(3, ProxyTableModel::kPort)).toInt(), 3128);
    EXPECT_EQ(proxies->data(proxies->index(3, ProxyTableModel::kType)).toString(), "HTTP");

    // Behind a view sorted the other way round, view row 0 is the last proxy: its drag carries its Num.
    QSortFilterProxyModel sorted;
    sorted.setSourceModel(proxies.get());
    sorted.sort(ProxyTableModel::kAddress, Qt::DescendingOrder);
    const QModelIndexList viewRow
        = { sorted.index(0, ProxyTableModel::kAddress), sorted.index(0, ProxyTableModel::kType) };
    EXPECT_EQ(sorted.data(viewRow[0], kProxyNumRole).toLongLong(), 3);
    std::unique_ptr<QMimeData> data(sorted.mimeData(viewRow));
    ASSERT_TRUE(data);
    ProxyLink expected;
    expected.type = "proxy";
    expected.index = 3;
    expected.proxyId = 103;
    EXPECT_EQ(DecodeProxyLink(data.get()), expected);
    EXPECT_EQ(data->text(), "web.example:3128");

    EXPECT_EQ(proxies->mimeData({}), nullptr);
    EXPECT_EQ(proxies->mimeData({ proxies->index(0, 0), proxies->index(1, 0) }), nullptr) << "several rows";
    EXPECT_FALSE(proxies->canDropMimeData(data.get(), Qt::CopyAction, 0, 0, QModelIndex()));
    EXPECT_FALSE(proxies->dropMimeData(data.get(), Qt::CopyAction, 0, 0, QModelIndex()));
    EXPECT_FALSE(proxies->flags(proxies->index(0, 0)) & Qt::ItemIsDropEnabled);
}

TEST_F(ListModelsTest, TheChainsTreeShowsChainsWithTheirEntriesAndWritesEdits)
{
    ASSERT_EQ(chains->rowCount(), 2);
    const QModelIndex out = Chain(0);
    EXPECT_EQ(chains->rowCount(out), 3);
    EXPECT_EQ(chains->rowCount(Chain(1)), 0);
    EXPECT_EQ(chains->data(chains->index(0, ChainTreeModel::kEnabled)).toString(), "Out");
    EXPECT_EQ(chains->data(chains->index(0, ChainTreeModel::kName)).toString(), "Out");
    const QModelIndex second = chains->index(1, ChainTreeModel::kEnabled, out);
    EXPECT_EQ(chains->data(second, Qt::CheckStateRole).toInt(), Qt::Unchecked);
    EXPECT_EQ(chains->data(chains->index(1, ChainTreeModel::kName, out)).toString(), "b.example:1081");
    EXPECT_FALSE(chains->data(chains->index(1, ChainTreeModel::kName, out), Qt::CheckStateRole).isValid());
    EXPECT_TRUE(chains->flags(out) & Qt::ItemIsEditable);
    EXPECT_FALSE(chains->flags(out) & Qt::ItemIsDragEnabled);

    EXPECT_TRUE(chains->setData(chains->index(1, ChainTreeModel::kName), "Backup"));
    EXPECT_TRUE(chains->setData(second, Qt::Checked, Qt::CheckStateRole));
    const CProfileData stored = Stored();
    EXPECT_EQ(stored.m_Chains[1].m_Name, "Backup");
    EXPECT_TRUE(stored.m_Chains[0].m_Entries[1].m_Enabled);
    EXPECT_EQ(chains->data(second, Qt::CheckStateRole).toInt(), Qt::Checked);
    EXPECT_FALSE(chains->setData(chains->index(1, ChainTreeModel::kName, out), "x"))
        << "an entry's name is the proxy's";

    // Rows as the expanded tree shows them: Out, its three entries, Spare.
    for (int row = 0; row < 5; ++row)
        EXPECT_EQ(chains->outlineRow(chains->indexAtOutlineRow(row)), row);
    EXPECT_EQ(chains->item(chains->indexAtOutlineRow(3)), (ChainTreeModel::Item { 0, 2 }));
    EXPECT_EQ(chains->item(chains->indexAtOutlineRow(4)), (ChainTreeModel::Item { 1, std::nullopt }));
    EXPECT_FALSE(chains->indexAtOutlineRow(5).isValid());
}

TEST_F(ListModelsTest, ChainsStayExpanded)
{
    QTreeView view;
    view.setModel(chains.get());
    ChainTreeModel::keepExpanded(view);
    EXPECT_TRUE(view.isExpanded(Chain(0)));
    view.collapse(Chain(0));
    EXPECT_TRUE(view.isExpanded(Chain(0)));

    editor->addProxyToChain(100, 1, 0);
    chains->reload();
    EXPECT_TRUE(view.isExpanded(Chain(0)));
    EXPECT_TRUE(view.isExpanded(Chain(1)));
}

TEST_F(ListModelsTest, TwoProxiesDroppedIntoANewChainLandAtTheDropPositionsAndAreSelected)
{
    editor->addChain();
    chains->reload();
    ASSERT_EQ(chains->rowCount(), 3);
    QSignalSpy dropped(chains.get(), &ChainTreeModel::entryDropped);
    const int chainRow = chains->outlineRow(Chain(2));
    ASSERT_EQ(chainRow, 5);

    // Onto the chain's own row: at the top.
    auto data = DragProxy(2);
    ASSERT_TRUE(chains->canDropMimeData(data.get(), Qt::CopyAction, -1, -1, Chain(2)));
    ASSERT_TRUE(chains->dropMimeData(data.get(), Qt::CopyAction, -1, -1, Chain(2)));
    ASSERT_EQ(dropped.size(), 1);
    EXPECT_EQ(dropped[0][1].toInt(), chainRow + 1);
    EXPECT_EQ(chains->item(dropped[0][0].toModelIndex()), (ChainTreeModel::Item { 2, 0 }));

    // Before the first entry.
    data = DragProxy(0);
    ASSERT_TRUE(chains->dropMimeData(data.get(), Qt::CopyAction, 0, 0, Chain(2)));
    ASSERT_EQ(dropped.size(), 2);
    EXPECT_EQ(dropped[1][1].toInt(), chainRow + 1);
    EXPECT_EQ(chains->data(dropped[1][0].toModelIndex(), kProxyIdRole).toInt(), 100);

    // Below the last one.
    data = DragProxy(1);
    ASSERT_TRUE(chains->dropMimeData(data.get(), Qt::CopyAction, 2, 0, Chain(2)));
    ASSERT_EQ(dropped.size(), 3);
    EXPECT_EQ(dropped[2][1].toInt(), chainRow + 3);
    EXPECT_EQ(chains->indexAtOutlineRow(chainRow + 3), dropped[2][0].toModelIndex());

    EXPECT_EQ(EntryIds(Stored().m_Chains[2]), (std::vector<int32_t> { 100, 102, 101 }));
    ASSERT_EQ(chains->rowCount(Chain(2)), 3);
    EXPECT_EQ(chains->data(chains->index(2, ChainTreeModel::kName, Chain(2))).toString(), "b.example:1081");
}

TEST_F(ListModelsTest, AnEntryMovedWithinItsChainStaysSelectedAtItsNewRow)
{
    struct Case {
        const char* name;
        int64_t from;
        int dropRow; // child row of the drop; -1 onto the chain's row
        std::vector<int32_t> after;
        int64_t selected; // position in the chain
    };
    const Case cases[] = {
        { "down one place", 0, 2, { 101, 100, 102 }, 1 },
        { "down to the end", 0, 3, { 101, 102, 100 }, 2 },
        { "up to the top", 2, 0, { 102, 100, 101 }, 0 },
        { "up one place", 2, 1, { 100, 102, 101 }, 1 },
        { "onto the chain's row", 1, -1, { 101, 100, 102 }, 0 },
        { "where it stood", 1, 1, { 100, 101, 102 }, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Install(ListProfile());
        chains->reload();
        QSignalSpy dropped(chains.get(), &ChainTreeModel::entryDropped);
        const int32_t movedId = Stored().m_Chains[0].m_Entries[static_cast<std::size_t>(c.from)].m_ProxyId;
        const auto data = DragEntry(0, c.from);
        ASSERT_TRUE(data);
        ASSERT_TRUE(chains->canDropMimeData(data.get(), Qt::CopyAction, c.dropRow, 0, Chain(0)));
        ASSERT_TRUE(chains->dropMimeData(data.get(), Qt::CopyAction, c.dropRow, 0, Chain(0)));

        const CProfileData stored = Stored();
        EXPECT_EQ(EntryIds(stored.m_Chains[0]), c.after);
        for (const CChainEntry& e : stored.m_Chains[0].m_Entries)
            EXPECT_EQ(e.m_Enabled, e.m_ProxyId != 101) << "every entry keeps its switch";
        ASSERT_EQ(dropped.size(), 1);
        const QModelIndex entry = dropped[0][0].toModelIndex();
        EXPECT_EQ(chains->item(entry), (ChainTreeModel::Item { 0, c.selected }));
        EXPECT_EQ(dropped[0][1].toInt(), chains->outlineRow(Chain(0)) + 1 + static_cast<int>(c.selected));
        EXPECT_EQ(chains->data(entry, kProxyIdRole).toInt(), movedId);
        EXPECT_EQ(chains->rowCount(Chain(0)), 3);
    }
}

TEST_F(ListModelsTest, RefusedDropsChangeNothing)
{
    const auto fromTable = DragProxy(0); // proxy 100, which "Out" holds
    const auto proxy103 = DragProxy(3);
    const auto fromTree = DragEntry(0, 1);
    const std::unique_ptr<QMimeData> fromRules(rules->mimeData({ rules->index(0, RulesTableModel::kName) }));
    QMimeData textOnly;
    textOnly.setText("a.example:1080");
    QMimeData garbage;
    garbage.setData(kProxyLinkMimeType, QByteArray("\x00\x00\x00\x05junk", 9));
    QMimeData wrongTypes;
    {
        QVariantMap map { { "type", "proxy" }, { "index", "0" }, { "proxyId", "100" } };
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_0);
        out << map;
        wrongTypes.setData(kProxyLinkMimeType, bytes);
    }

    struct Case {
        const char* name;
        const QMimeData* data;
        QModelIndex parent;
        int row;
    };
    const Case cases[] = {
        { "a proxy the chain already holds", fromTable.get(), Chain(0), 0 },
        { "an entry into another chain", fromTree.get(), Chain(1), 0 },
        { "onto the tree's root", proxy103.get(), QModelIndex(), 0 },
        { "onto an entry", proxy103.get(), chains->indexOf({ 0, 0 }), -1 },
        { "a rule's link", fromRules.get(), Chain(1), 0 },
        { "plain text only", &textOnly, Chain(1), 0 },
        { "bytes that are no dictionary", &garbage, Chain(1), 0 },
        { "keys of the wrong type", &wrongTypes, Chain(1), 0 },
        { "nothing", nullptr, Chain(1), 0 },
    };
    QSignalSpy dropped(chains.get(), &ChainTreeModel::entryDropped);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(chains->canDropMimeData(c.data, Qt::CopyAction, c.row, 0, c.parent));
        ExpectRefused([&] { EXPECT_FALSE(chains->dropMimeData(c.data, Qt::CopyAction, c.row, 0, c.parent)); }, {});
    }
    EXPECT_EQ(dropped.size(), 0);
    EXPECT_EQ(chains->rowCount(Chain(0)), 3);
}

TEST_F(ListModelsTest, ADropTheProfileCheckRefusesShowsItsTextAndSelectsNothing)
{
    // The HTTP proxy 103 may only end a chain.
    CProfileData wouldBe = ListProfile();
    wouldBe.m_Chains[0].m_Entries.insert(wouldBe.m_Chains[0].m_Entries.begin(), { 103, true });
    std::string message;
    ASSERT_FALSE(CheckProfileConsistency(wouldBe, message));

    QSignalSpy dropped(chains.get(), &ChainTreeModel::entryDropped);
    const auto data = DragProxy(3);
    ASSERT_TRUE(chains->canDropMimeData(data.get(), Qt::CopyAction, 0, 0, Chain(0)));
    ExpectRefused([&] { EXPECT_FALSE(chains->dropMimeData(data.get(), Qt::CopyAction, 0, 0, Chain(0))); },
        { { message, "Could not add proxy to chain.", 0 } });
    EXPECT_EQ(dropped.size(), 0);

    // At the end it is welcome.
    ASSERT_TRUE(chains->dropMimeData(data.get(), Qt::CopyAction, 3, 0, Chain(0)));
    EXPECT_EQ(EntryIds(Stored().m_Chains[0]), (std::vector<int32_t> { 100, 101, 102, 103 }));
    ASSERT_EQ(dropped.size(), 1);
    EXPECT_EQ(dropped[0][1].toInt(), 4);
}

TEST_F(ListModelsTest, OnlyOneEntryMakesADrag)
{
    EXPECT_EQ(chains->mimeData({ Chain(0) }), nullptr) << "a chain row";
    EXPECT_EQ(chains->mimeData({ chains->indexOf({ 0, 0 }), chains->indexOf({ 0, 1 }) }), nullptr) << "two entries";
    EXPECT_EQ(chains->mimeData({}), nullptr);

    const std::unique_ptr<QMimeData> data(chains->mimeData(
        { chains->indexOf({ 0, 1 }, ChainTreeModel::kEnabled), chains->indexOf({ 0, 1 }, ChainTreeModel::kName) }));
    ASSERT_TRUE(data);
    ProxyLink expected;
    expected.type = "proxy";
    expected.index = 1;
    expected.chainNum = 0;
    expected.proxyId = 101;
    expected.proxyEnabled = false;
    EXPECT_EQ(DecodeProxyLink(data.get()), expected);
    EXPECT_EQ(data->text(), "b.example:1081");
    EXPECT_TRUE(data->hasFormat("com.velmar.corvantis.macosx.app.DragAndDropData.ProxyLink"));
}

TEST(ProxyLinkTest, DroppedEntryPositions)
{
    struct Case {
        int64_t insertAt;
        std::optional<int64_t> from;
        int64_t count;
        int64_t expected;
    };
    const Case cases[] = {
        { 0, std::nullopt, 0, 0 },
        { 2, std::nullopt, 3, 2 },
        { 3, std::nullopt, 3, 3 },
        { 9, std::nullopt, 3, 3 },
        { -1, std::nullopt, 3, 3 },
        { 2, 0, 3, 1 },
        { 3, 0, 3, 2 },
        { 0, 2, 3, 0 },
        { 1, 1, 3, 1 },
        { 2, 1, 3, 1 },
        { 50, 1, 3, 2 },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DroppedEntryPosition(c.insertAt, c.from, c.count), c.expected)
            << c.insertAt << " from " << c.from.value_or(-1) << " of " << c.count;
    }
}

TEST_F(ListModelsTest, TheRulesTableShowsAnyInGrayAndTheAction)
{
    ASSERT_EQ(rules->rowCount(), 3);
    const QModelIndex apps = rules->index(0, RulesTableModel::kApplications);
    EXPECT_EQ(rules->data(apps).toString(), "Any");
    EXPECT_EQ(rules->data(apps, Qt::ForegroundRole).value<QColor>(), QColor(Qt::gray));
    const QModelIndex hosts = rules->index(0, RulesTableModel::kHosts);
    EXPECT_EQ(rules->data(hosts).toString(), "www.example");
    EXPECT_FALSE(rules->data(hosts, Qt::ForegroundRole).isValid()) << "the view's own text color";
    EXPECT_EQ(rules->data(rules->index(0, RulesTableModel::kPorts)).toString().toStdString(), *editor->rulePorts(0));
    EXPECT_FALSE(rules->flags(hosts) & Qt::ItemIsEditable);

    const QModelIndex action = rules->index(0, RulesTableModel::kAction);
    QStringList names;
    for (const std::string& name : editor->ruleTargetNamesList())
        names.push_back(QString::fromStdString(name));
    EXPECT_EQ(rules->data(action, kChoicesRole).toStringList(), names);
    EXPECT_EQ(rules->data(action).toString(), "Direct");
    EXPECT_TRUE(rules->setData(action, 1));
    EXPECT_EQ(rules->data(action).toString(), "Chain Spare");
    EXPECT_EQ(Stored().m_Rules[0].m_Action, kActionChain);
    EXPECT_EQ(Stored().m_Rules[0].m_ProxyId, 201);
}

TEST_F(ListModelsTest, TheEnabledColumnWritesTheRuleAndTheDefaultRuleStaysOn)
{
    const QModelIndex first = rules->index(0, RulesTableModel::kEnabled);
    EXPECT_EQ(rules->data(first, Qt::CheckStateRole).toInt(), Qt::Checked);
    EXPECT_TRUE(rules->setData(first, Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_FALSE(Stored().m_Rules[0].m_Enabled);
    EXPECT_EQ(rules->data(first, Qt::CheckStateRole).toInt(), Qt::Unchecked);

    const QModelIndex last = rules->index(2, RulesTableModel::kEnabled);
    EXPECT_EQ(rules->data(last, Qt::CheckStateRole).toInt(), Qt::Checked);
    EXPECT_FALSE(rules->flags(last) & Qt::ItemIsUserCheckable);
    ExpectRefused([&] { EXPECT_FALSE(rules->setData(last, Qt::Unchecked, Qt::CheckStateRole)); }, {});
}

TEST_F(ListModelsTest, RuleNamesAreChecked)
{
    const std::string forbidden
        = "Incorrect symbol(s) found. Profile name cannot contain the following symbols:\n\\/:<>|,\"*?";
    const std::string reserved = "This name is reserved, please choose another one.";
    struct Case {
        int row;
        const char* name;
        ExpectedBox box;
    };
    const Case cases[] = {
        { 2, "Catch all", { kEditDefault, "Proxying Rules", 5 } },
        { 0, "", { "Profile name cannot be empty.", "", 0 } },
        { 0, "a,b", { forbidden, "", 0 } },
        { 0, "a/b", { forbidden, "", 0 } },
        { 0, "why?", { forbidden, "", 0 } },
        { 0, "Untitled", { reserved, "", 0 } },
        { 0, "DEFAULT", { reserved, "", 0 } },
        { 1, "default", { reserved, "", 0 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QModelIndex name = rules->index(c.row, RulesTableModel::kName);
        const QString before = rules->data(name).toString();
        ExpectRefused([&] { EXPECT_FALSE(rules->setData(name, QString::fromUtf8(c.name))); }, { c.box });
        EXPECT_EQ(rules->data(name).toString(), before);
    }

    ForgetBoxes();
    EXPECT_TRUE(rules->setData(rules->index(0, RulesTableModel::kName), QString::fromUtf8("Défault web")));
    EXPECT_EQ(Stored().m_Rules[0].m_Name, "Défault web");
    EXPECT_EQ(rules->data(rules->index(0, RulesTableModel::kName)).toString(), QString::fromUtf8("Défault web"));
    EXPECT_TRUE(Shown().empty());
}

TEST_F(ListModelsTest, RowHeightsGrowWithWrappedTextUpToFourAndAHalfRows)
{
    const QFont font;
    const QFontMetrics metrics(font);
    const int line = metrics.height();
    rules->setColumnWidths({ 150, 120, 90, 150 });

    // A row height that holds a line: one-line rules get it and a half.
    const int tall = 3 * line;
    EXPECT_EQ(rules->heightOfRow(0, tall, font), tall + tall / 2);
    // Sixty host names in 120 points wrap far past four rows of one line each.
    EXPECT_EQ(rules->heightOfRow(1, line, font), 4 * line + line / 2);
    EXPECT_EQ(rules->heightOfRow(7, line, font), line) << "out of range";

    // A height holds only for the widths it was measured with.
    rules->setColumnWidths({ 150, 100000, 90, 150 });
    EXPECT_LT(rules->heightOfRow(1, line, font), 4 * line);
}

TEST(RuleRowHeightTest, TheTallestCellCappedAtFourRowsPlusHalfARow)
{
    struct Case {
        int rowHeight;
        std::array<int, 4> cells;
        int expected;
    };
    const Case cases[] = {
        { 14, { 0, 0, 0, 0 }, 21 },
        { 14, { 14, 10, 3, 14 }, 21 },
        { 14, { 20, 30, 10, 0 }, 37 },
        { 14, { 20, 500, 10, 0 }, 63 },
        { 17, { 1000, 1000, 1000, 1000 }, 76 },
    };
    for (const Case& c : cases)
        EXPECT_EQ(RuleRowHeight(c.rowHeight, c.cells), c.expected) << c.cells[0] << "," << c.cells[1];
}

TEST_F(ListModelsTest, ARuleDragCarriesOnlyItsRow)
{
    const std::unique_ptr<QMimeData> data(
        rules->mimeData({ rules->index(1, RulesTableModel::kName), rules->index(1, RulesTableModel::kHosts) }));
    ASSERT_TRUE(data);
    ProxyLink expected;
    expected.index = 1;
    EXPECT_EQ(DecodeProxyLink(data.get()), expected);
    EXPECT_EQ(rules->mimeData({ rules->index(0, 0), rules->index(1, 0) }), nullptr);
    EXPECT_FALSE(rules->canDropMimeData(data.get(), Qt::CopyAction, 0, 0, QModelIndex()));
}

} // namespace
} // namespace corvantis::test
