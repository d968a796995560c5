#pragma once

#include <QAbstractTableModel>
#include <QObject>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace corvantis {

// The rule types and the messages of the rule check, in the order the checks run.
inline constexpr const char* kRuleTypeIPv4 = "IPv4";
inline constexpr const char* kRuleTypeIPv6 = "IPv6";
inline constexpr const char* kRuleTypeHostname = "Hostname";
inline constexpr const char* kBadAddressMessage = "IP address cannot be processed";
inline constexpr const char* kBadPortMessage = "Port value is incorrect";
inline constexpr const char* kBadPrefixMessage = "Prefix value is incorrect";
inline constexpr const char* kEmptyHostnameMessage = "Hostname cannot be empty";
inline constexpr const char* kWrongTypeMessage = "Wrong address type";

// One system rule: an address or host name with a prefix length and a port. The keys of its values, which are
// also the column identifiers of the rule tables, are "Type", "Host", "Prefix" and "Port".
struct SystemRule {
    std::string type;
    std::string host;
    int64_t prefix = 0;
    int64_t port = 0;

    // The value under `key` as text; empty for an unknown key.
    std::string value(const std::string& key) const;

    friend bool operator==(const SystemRule&, const SystemRule&) = default;
};

// Reads a decimal number typed by the user: blanks around it are ignored, an optional sign, then digits.
// Too many digits saturate at the int64 range instead of failing, so a long number is simply out of range for
// the check that follows. Empty text reads as 0; anything else is nothing.
std::optional<int64_t> ReadSaturatedNumber(const std::string& text);

// One rule table: the rules of one list in the order they were added, shown in `rulesView` (set by the owner).
// Columns "Type", "Host", "Prefix" and "Port"; the cells are read-only. GUI thread only.
class SystemRulesTableData final : public QAbstractTableModel {
    Q_OBJECT
public:
    static const char* const kColumns[4];

    explicit SystemRulesTableData(QObject* parent = nullptr);
    ~SystemRulesTableData() override;
    SystemRulesTableData(const SystemRulesTableData&) = delete;
    SystemRulesTableData& operator=(const SystemRulesTableData&) = delete;

    // The view whose selection removeSelectedRule reads (borrowed; may be null).
    void setRulesView(QTableView* view) { m_rulesView = view; }
    QTableView* rulesView() const { return m_rulesView; }

    // Appends `rule` and shows it.
    void addRule(const SystemRule& rule);
    // Removes the view's current (selected) row when there is one within the list; otherwise nothing.
    void removeSelectedRule();
    // Shows the rules anew.
    void reloadData();

    const std::vector<SystemRule>& rules() const { return m_rules; }
    int numberOfRows() const { return static_cast<int>(m_rules.size()); }
    // The rule's value under the column `key`; empty for a row outside the list or an unknown key.
    std::string objectValue(const std::string& key, int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QTableView* m_rulesView = nullptr;
    std::vector<SystemRule> m_rules;
};

// The system rules window: two lists of rules, the included and the excluded ones, each filled through the
// edit-rule dialog. The lists live only while this object does: they are stored nowhere and applied to
// nothing.
//
// The edit-rule dialog edits the current rule (type, host, prefix, port as typed) and shows its error text;
// its OK accepts only a rule that passes validateCurrentRule. GUI thread only.
class SystemRulesDelegate final : public QObject {
    Q_OBJECT
public:
    explicit SystemRulesDelegate(QWidget* parent = nullptr);
    ~SystemRulesDelegate() override;
    SystemRulesDelegate(const SystemRulesDelegate&) = delete;
    SystemRulesDelegate& operator=(const SystemRulesDelegate&) = delete;

    // Runs the list window modally (exec) and closes it; returns 1 for OK, 0 for Cancel.
    int editRules();
    void onOk();
    void onCancel();

    // Ask for a rule and add it to the included (excluded) list; nothing when the dialog was cancelled.
    void addInclude();
    void addExclude();
    // Presets the current rule to "IPv4", "", 0, 0 without error, then showEditRule.
    std::optional<SystemRule> addRule();
    // Runs the edit-rule dialog modally (exec) and closes it; the current rule when it ended with OK and the
    // rule passes the check, else nothing.
    std::optional<SystemRule> showEditRule();
    // Ends the edit-rule run with 1 when the current rule passes the check; otherwise the error shows.
    void onCurrentRuleOk();
    void onCurrentRuleCancel();

    // Checks the current rule, in order: the address (IPv4 or IPv6 as the type says) or a non-empty host name,
    // the port (0-65535), the prefix (0-32 or 0-128; not looked at for a host name). Sets currentRuleError to
    // the first failure's message, or clears it; a prefix or port that is no number counts as out of range.
    bool validateCurrentRule();

    // The current rule as the dialog's fields hold it; the setters update the fields too.
    const std::string& currentRuleType() const { return m_type; }
    const std::string& currentRuleHost() const { return m_host; }
    const std::string& currentRulePrefix() const { return m_prefix; }
    const std::string& currentRulePort() const { return m_port; }
    const std::string& currentRuleError() const { return m_error; }
    void setCurrentRuleType(const std::string& type);
    void setCurrentRuleHost(const std::string& host);
    void setCurrentRulePrefix(const std::string& prefix);
    void setCurrentRulePort(const std::string& port);

    // ---- The windows, for tests and scripts ----

    QDialog* rulesEditWindow() const { return m_rulesEditWindow.get(); }
    QDialog* currentRuleEditWindow() const { return m_currentRuleEditWindow.get(); }
    QTableView* rulesInclude() const { return m_rulesInclude; }
    QTableView* rulesExclude() const { return m_rulesExclude; }
    SystemRulesTableData& rulesIncludeData() const { return *m_rulesIncludeData; }
    SystemRulesTableData& rulesExcludeData() const { return *m_rulesExcludeData; }
    QPushButton* addIncludeButton() const { return m_addInclude; }
    QPushButton* removeIncludeButton() const { return m_removeInclude; }
    QPushButton* addExcludeButton() const { return m_addExclude; }
    QPushButton* removeExcludeButton() const { return m_removeExclude; }
    QComboBox* typeCombo() const { return m_typeCombo; }
    QLineEdit* hostEdit() const { return m_hostEdit; }
    QLineEdit* prefixEdit() const { return m_prefixEdit; }
    QLineEdit* portEdit() const { return m_portEdit; }
    QLabel* errorLabel() const { return m_errorLabel; }
    QPushButton* ruleOkButton() const { return m_ruleOk; }
    QPushButton* ruleCancelButton() const { return m_ruleCancel; }

private:
    void buildListWindow(QWidget* parent);
    void buildRuleWindow();
    void setError(const std::string& error);

    std::unique_ptr<QDialog> m_rulesEditWindow;
    std::unique_ptr<QDialog> m_currentRuleEditWindow;
    QTableView* m_rulesInclude = nullptr;
    QTableView* m_rulesExclude = nullptr;
    SystemRulesTableData* m_rulesIncludeData = nullptr;
    SystemRulesTableData* m_rulesExcludeData = nullptr;
    QPushButton* m_addInclude = nullptr;
    QPushButton* m_removeInclude = nullptr;
    QPushButton* m_addExclude = nullptr;
    QPushButton* m_removeExclude = nullptr;

    QComboBox* m_typeCombo = nullptr;
    QLineEdit* m_hostEdit = nullptr;
    QLineEdit* m_prefixEdit = nullptr;
    QLineEdit* m_portEdit = nullptr;
    QLabel* m_errorLabel = nullptr;
    QPushButton* m_ruleOk = nullptr;
    QPushButton* m_ruleCancel = nullptr;

    std::string m_type;
    std::string m_host;
    std::string m_prefix;
    std::string m_port;
    std::string m_error;
};

// An item of the rule editor's criteria tree: a name shown as its display value and the children below it. A
// separator shows a separator line instead of its name, a text field an input field. Plain data: the window
// shows no rule editor, as what it would offer is not settled.
class Criterion final {
public:
    enum class Kind { Plain, Separator, TextField };

    Criterion() = default;
    explicit Criterion(std::string name, Kind kind = Kind::Plain)
        : m_name(std::move(name))
        , m_kind(kind)
    {
    }
    Criterion(std::string name, std::vector<Criterion> children)
        : m_name(std::move(name))
        , m_children(std::move(children))
    {
    }

    const std::string& name() const { return m_name; }
    void setName(std::string name) { m_name = std::move(name); }
    Kind kind() const { return m_kind; }
    void addChild(Criterion child) { m_children.push_back(std::move(child)); }
    int numberOfChildren() const { return static_cast<int>(m_children.size()); }
    // The child at `index`; null outside the children.
    const Criterion* childAtIndex(int index) const;
    // The name.
    const std::string& displayValue() const { return m_name; }
    // "Criterion " + the display value.
    std::string description() const { return "Criterion " + displayValue(); }

private:
    std::string m_name;
    Kind m_kind = Kind::Plain;
    std::vector<Criterion> m_children;
};

// The data behind a rule editor: a fixed list of root criteria (the rule's fields) and the three questions a
// rule editor asks. A null criterion stands for the roots.
class SystemRulesData final {
public:
    SystemRulesData();

    int numberOfChildren(const Criterion* criterion) const;
    // Null outside the children.
    const Criterion* child(int index, const Criterion* criterion) const;
    std::string displayValue(const Criterion& criterion) const { return criterion.displayValue(); }

private:
    Criterion m_roots;
};

} // namespace corvantis
