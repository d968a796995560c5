#pragma once

#include <QAbstractItemModel>
#include <QAbstractTableModel>
#include <QFont>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QMimeData;
class QTreeView;

namespace corvantis {

class NSProfile;
struct CChainEntry;

// The three lists of the profile editor (proxies, chains and their proxies, rules) as item models over the
// editor model. Each model keeps the rows it shows from its last reload() and writes every edit through
// NSProfile, whose write-back posts "ProfileUpdated" at once: the window reloads the models after that
// notification through a queued call, never from inside the commit of the cell being edited. The index handed to
// NSProfile is always the row's position in the profile ("Num"), never a row of a sorted or filtered view.
//
// Drag and drop goes through mimeData/canDropMimeData/dropMimeData with the proxy-link format below; the models
// offer only the copy action, so a view never removes the dragged rows itself. Only the chains tree takes drops.
//
// Thread-safety: the GUI thread only. `profile` must outlive the model.

// The proxy-link format: a QVariantMap written with QDataStream (Qt 6.0 format), plain text beside it.
inline constexpr const char* kProxyLinkMimeType = "com.velmar.corvantis.macosx.app.DragAndDropData.ProxyLink";

// Roles the models answer besides Qt's own.
enum ProfileListRole {
    // Proxies table: the row's "Num" (qint64), the position to hand to NSProfile.
    kProxyNumRole = Qt::UserRole + 1,
    // Proxies table and chain entries: the proxy's id (int).
    kProxyIdRole,
};

// The dictionary of a proxy link; a key missing from the data is an empty optional.
struct ProxyLink {
    std::optional<std::string> type; // "proxy" or "chain"
    std::optional<int64_t> index; // proxies table: "Num"; chains tree: position in the chain; rules: the row
    std::optional<int32_t> proxyId;
    std::optional<int64_t> chainNum; // chains tree: the position of the chain that holds the entry
    std::optional<bool> proxyEnabled; // chains tree: the entry's enabled flag

    bool operator==(const ProxyLink&) const = default;
};

// A new QMimeData (the caller owns it) holding `link` in the proxy-link format and `plainText` as text/plain.
QMimeData* EncodeProxyLink(const ProxyLink& link, const QString& plainText);
// The link `data` carries; nothing without the format or when its bytes are not a well-formed dictionary. A key of
// the wrong type counts as missing.
std::optional<ProxyLink> DecodeProxyLink(const QMimeData* data);

// The drop check of the chains tree for a drop into the chain at `targetChain` (nothing: the drop is not into a
// chain, e.g. on the tree's root or onto an entry). Refused without a link or without its "proxyId". A drag from
// the tree itself (`fromSelf`) moves an entry and is allowed only within its own chain ("chainNum" equal to the
// target); a drag from elsewhere adds the proxy and is allowed only when the chain does not hold it yet.
bool ChainDropAllowed(
    const std::optional<ProxyLink>& link, std::optional<int64_t> targetChain, bool fromSelf, bool chainHasProxy);

// Where a dropped entry ends up in a chain of `count` entries (before the drop) when dropped before child
// `insertAt` (a negative value or one past the end appends). `from` is the entry's old position for a move within
// the chain (a move down lands at insertAt − 1, where it stood once taken out), nothing for an added proxy.
int64_t DroppedEntryPosition(int64_t insertAt, std::optional<int64_t> from, int64_t count);

// Why a rule cannot take `name` (UTF-8): "Profile name cannot be empty.", the forbidden symbols (any of
// \ / : < > | , " * ?) or a reserved name ("default" or "untitled" in any letter case). Nothing when the name is
// acceptable. The Default rule's own refusal is the rules table's.
std::optional<std::string> RuleNameRefusal(const std::string& name);

// The height of a rules table row whose normal height is `rowHeight`, given the heights its four measured cells
// need: the tallest of them, but never more than 4 × rowHeight, and never less than rowHeight; plus rowHeight / 2.
int RuleRowHeight(int rowHeight, const std::array<int, 4>& cellHeights);

// A table whose rows can be dragged, one at a time, in the proxy-link format and only as a copy, and that takes no
// drops.
class LinkSourceTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    QStringList mimeTypes() const override;
    Qt::DropActions supportedDragActions() const override;
    Qt::DropActions supportedDropActions() const override;
    // Nothing can be dropped on the table.
    bool canDropMimeData(
        const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) const override;
    bool dropMimeData(
        const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) override;

protected:
    // The one row `indexes` cover (however many of its columns), when it is one of the table's `rows`.
    static std::optional<int> draggedRow(const QModelIndexList& indexes, std::size_t rows);
};

// The proxies table: one row per proxy of the editor model's proxies table (NSProfile::proxyListArray), in the
// profile's order. Read-only; a row can be dragged into a chain.
class ProxyTableModel final : public LinkSourceTableModel {
    Q_OBJECT
public:
    enum Column { kAddress, kPort, kType, kColumnCount };

    explicit ProxyTableModel(NSProfile& profile, QObject* parent = nullptr);
    ProxyTableModel(const ProxyTableModel&) = delete;
    ProxyTableModel& operator=(const ProxyTableModel&) = delete;

    // Takes the rows anew from NSProfile::proxyListArray (which NSProfile::updateProfile rebuilds), as a reset.
    void reload();
    // The "Num" of `row` (a row of this model); -1 out of range.
    int64_t num(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // DisplayRole: host, port, type; kProxyNumRole, kProxyIdRole in every column.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Exactly one row (however many of its columns): {"type": "proxy", "index": Num, "proxyId"} and the proxy's
    // "host:port" as plain text. Nothing (null) for no row or several rows.
    QMimeData* mimeData(const QModelIndexList& indexes) const override;

private:
    struct Row {
        QString host;
        int port = 0;
        QString type;
        int32_t id = 0;
        int64_t num = 0;
        QString fullName;
    };

    NSProfile& m_profile;
    std::vector<Row> m_rows;
};

// The rules table, one row per rule of the profile (the Default rule last). Columns and their tags (tag =
// column + 1):
//   kEnabled (1)       CheckStateRole from ruleAllow (the Default rule shows checked and cannot be unchecked);
//                      a change calls setRuleAllow.
//   kName (2)          Display/EditRole ruleName; an edit passes the name checks, else a message box and no change.
//   kApplications (3), kHosts (4), kPorts (5)
//                      the list text, or "Any" in gray (ForegroundRole) when the rule has none; not editable.
//   kAction (6)        DisplayRole the chosen entry of the action list; EditRole its position (int, -1 none);
//                      kChoicesRole (SmallControls.h) the action list; an edit calls setRuleTargetAction.
// Text cells are aligned to the top left, so they line up with the top-aligned check box and combo of tall rows.
class RulesTableModel final : public LinkSourceTableModel {
    Q_OBJECT
public:
    enum Column { kEnabled, kName, kApplications, kHosts, kPorts, kAction, kColumnCount };
    // The columns whose cells set a row's height, in this order (their widths go to setColumnWidths).
    static constexpr std::array<Column, 4> kMeasuredColumns = { kApplications, kHosts, kPorts, kAction };

    explicit RulesTableModel(NSProfile& profile, QObject* parent = nullptr);
    RulesTableModel(const RulesTableModel&) = delete;
    RulesTableModel& operator=(const RulesTableModel&) = delete;

    // Reads the rules and the action list anew, as a reset; forgets the cached row heights.
    void reload();

    // The widths of kMeasuredColumns as the view shows them; a change forgets the cached row heights (call it
    // again when a column is resized, then ask every row's height anew).
    void setColumnWidths(const std::array<int, 4>& widths);
    std::array<int, 4> columnWidths() const { return m_columnWidths; }
    // The height the view gives `row` (RuleRowHeight): each measured cell's text wrapped into its column width
    // with `font` (the action cell: one line, the height of its pop-up title), for a normal row height of
    // `rowHeight`. Cached per row until the widths, the font, `rowHeight` or the rows change. `rowHeight` for a
    // row out of range.
    int heightOfRow(int row, int rowHeight, const QFont& font) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // Returns true when the profile took the value; the row is then read anew and dataChanged emitted.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Exactly one row: {"index": the row} and the rule's name as plain text; null otherwise. No drop target uses it.
    QMimeData* mimeData(const QModelIndexList& indexes) const override;

private:
    struct Row {
        int allow = 0;
        QString name;
        std::optional<QString> lists[3]; // applications, hosts, ports; nothing or empty shows "Any"
        int target = -1;
    };

    Row readRow(int64_t index) const;
    // The text the cell shows, and whether it is the gray "Any".
    QString cellText(const Row& row, Column column, bool* any = nullptr) const;
    bool setName(int row, const QString& name);

    NSProfile& m_profile;
    std::vector<Row> m_rows;
    QStringList m_actions;
    std::array<int, 4> m_columnWidths {};
    // The row heights measured so far (0: not yet) and what they were measured for.
    mutable std::vector<int> m_heights;
    mutable int m_heightsRowHeight = 0;
    mutable QString m_heightsFont;
};

// The chains tree: the chains of the profile at the top level, each with its entries (the proxies it passes
// through, in order) as children. Chains never collapse (keepExpanded). Columns and their tags (tag = column + 1):
//   kEnabled (1)  an entry: CheckStateRole its enabled flag in the chain (a change calls
//                 setEnabledForProxyInChain);
//   kName (2)     an entry: DisplayRole the proxy's "host:port".
// A chain row shows its name in every column and is edited there (setNameForChain): the view spans its first
// column. Entries can be dragged within their own chain (a move) and proxies dropped in from the proxies table.
class ChainTreeModel final : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { kEnabled, kName, kColumnCount };

    // What a tree index stands for.
    struct Item {
        int64_t chain = -1; // the chain's position in the profile
        std::optional<int64_t> entry; // an entry's position in its chain; nothing for a chain row

        bool operator==(const Item&) const = default;
    };

    explicit ChainTreeModel(NSProfile& profile, QObject* parent = nullptr);
    ChainTreeModel(const ChainTreeModel&) = delete;
    ChainTreeModel& operator=(const ChainTreeModel&) = delete;

    // Reads the chains and their entries anew, as a reset.
    void reload();
    // Nothing for an invalid or foreign index.
    std::optional<Item> item(const QModelIndex& index) const;
    QModelIndex indexOf(const Item& item, int column = 0) const;

    // Rows as the expanded tree shows them from the top: each chain, then its entries. -1 for an invalid index.
    int outlineRow(const QModelIndex& index) const;
    // The index (in `column`) shown in outline row `row`; invalid out of range.
    QModelIndex indexAtOutlineRow(int row, int column = 0) const;

    // Makes `view` (showing this model) keep every chain expanded: expands all now, after every reset, layout
    // change and insertion, and at once when a chain is collapsed; the user cannot collapse. Call once after
    // setModel. The connections end with the view.
    static void keepExpanded(QTreeView& view);

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // A chain row: its new name (EditRole, any column); an entry: its enabled flag (CheckStateRole, kEnabled).
    // Returns true when written; the row is then read anew and dataChanged emitted.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    QStringList mimeTypes() const override;
    // Exactly one entry (however many of its columns): {"type": "proxy", "index", "chainNum", "proxyId",
    // "proxyEnabled"} and the proxy's "host:port" as plain text. Null for a chain row or several rows. The data
    // returned last is how a drop knows it comes from this tree.
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override;
    Qt::DropActions supportedDropActions() const override;
    // ChainDropAllowed for a drop into the chain `parent` (before child `row`, or onto the chain row itself with
    // row -1). The drag is "from this tree" when `data` is the data this model's mimeData returned last.
    bool canDropMimeData(
        const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) const override;
    // When allowed: moves the entry within its chain (from this tree) or adds the proxy to the chain (from
    // elsewhere) at the drop position (row -1: the top), then reloads and emits entryDropped for the entry at its
    // final place. False, with no change and no signal, when refused (the profile's consistency check shows its
    // own message when it refuses an addition).
    bool dropMimeData(
        const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) override;

signals:
    // After a drop: the dropped entry (in column 0) and its outline row, the chain's row + 1 + its final position.
    // The window selects it.
    void entryDropped(const QModelIndex& entry, int outlineRow);

private:
    struct Entry {
        int32_t proxyId = 0;
        bool enabled = false;
        QString fullName;
    };
    struct Chain {
        QString name;
        std::vector<Entry> entries;
    };

    Entry readEntry(int64_t chain, int64_t position) const;
    // The chain's entries as the profile holds them now.
    std::vector<CChainEntry> entriesOf(int64_t chain) const;
    bool fromThisTree(const QMimeData* data) const;

    NSProfile& m_profile;
    std::vector<Chain> m_chains;
    mutable QPointer<QMimeData> m_lastDrag;
};

} // namespace corvantis
