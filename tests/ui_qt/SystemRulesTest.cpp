// The system rules window on the offscreen platform: the rule check as a table, numbers read with saturation,
// rules added to both lists through the real edit dialog inside the list window's modal run, and removal with
// and without a selected row.

#include "app/ui/SystemRulesDelegate.h"

#include <QComboBox>
#include <QDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {
namespace {

constexpr const char* kTwentyDigits = "99999999999999999999";

// Runs `script` once, from the event loop, as soon as `window` shows (also inside a nested modal run). A
// script that leaves the window open fails the test and cancels the window, so that its modal run ends.
void WhenShown(QDialog* window, std::function<void()> script)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, window, script = std::move(script)] {
        if (!window->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        script();
        if (window->isVisible()) {
            ADD_FAILURE() << "the script left " << window->windowTitle().toStdString() << " open";
            window->reject();
        }
    });
    timer->start();
}

// Types a rule into the edit dialog's fields as a user would.
void TypeRule(
    SystemRulesDelegate& rules, const QString& type, const QString& host, const QString& prefix, const QString& port)
{
    rules.typeCombo()->setCurrentIndex(rules.typeCombo()->findText(type));
    for (auto [edit, text] : { std::pair { rules.hostEdit(), host }, std::pair { rules.prefixEdit(), prefix },
             std::pair { rules.portEdit(), port } }) {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
    }
}

std::vector<std::string> Hosts(const SystemRulesTableData& data)
{
    std::vector<std::string> hosts;
    for (const SystemRule& rule : data.rules())
        hosts.push_back(rule.host);
    return hosts;
}

TEST(SystemRulesCheckTest, RunsTheChecksInOrderAndNamesTheFirstFailure)
{
    const struct {
        const char* name;
        const char* type;
        const char* host;
        const char* prefix;
        const char* port;
        const char* error; // empty: accepted
    } cases[] = {
        { "an IPv4 network", "IPv4", "10.0.0.0", "8", "0", "" },
        { "the IPv4 bounds", "IPv4", "192.168.1.1", "32", "65535", "" },
        { "an IPv4 prefix of 33", "IPv4", "10.0.0.0", "33", "0", "Prefix value is incorrect" },
        { "a bad port before a bad prefix", "IPv4", "10.0.0.0", "40", "65536", "Port value is incorrect" },
        { "a negative port", "IPv4", "10.0.0.0", "8", "-1", "Port value is incorrect" },
        { "a port that is no number", "IPv4", "10.0.0.0", "8", "80a", "Port value is incorrect" },
        { "a port of twenty digits", "IPv4", "10.0.0.0", "8", kTwentyDigits, "Port value is incorrect" },
        { "a prefix of twenty digits", "IPv4", "10.0.0.0", kTwentyDigits, "0", "Prefix value is incorrect" },
        { "no address, as IPv4", "IPv4", "not an address", "8", "0", "IP address cannot be processed" },
        { "an IPv6 address as IPv4", "IPv4", "fd00::", "8", "0", "IP address cannot be processed" },
        { "a bad address before a bad port", "IPv4", "10.0.0", "8", "70000", "IP address cannot be processed" },
        { "an IPv6 network", "IPv6", "fd00::", "128", "0", "" },
        { "an IPv6 prefix of 129", "IPv6", "fd00::", "129", "443", "Prefix value is incorrect" },
        { "an IPv4 address as IPv6", "IPv6", "10.0.0.1", "8", "0", "IP address cannot be processed" },
        { "an empty host name", "Hostname", "", "0", "0", "Hostname cannot be empty" },
        { "an empty host name before a bad port", "Hostname", "", "0", "65536", "Hostname cannot be empty" },
        { "a host name with any prefix", "Hostname", "example.com", "4000", "443", "" },
        { "a host name with a huge prefix", "Hostname", "example.com", kTwentyDigits, "0", "" },
        { "a host name with a bad port", "Hostname", "example.com", "0", kTwentyDigits, "Port value is incorrect" },
        { "another type", "Mail", "example.com", "0", "0", "Wrong address type" },
    };
    SystemRulesDelegate rules;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rules.setCurrentRuleType(c.type);
        rules.setCurrentRuleHost(c.host);
        rules.setCurrentRulePrefix(c.prefix);
        rules.setCurrentRulePort(c.port);
        EXPECT_EQ(rules.validateCurrentRule(), std::string(c.error).empty());
        EXPECT_EQ(rules.currentRuleError(), c.error);
        EXPECT_EQ(rules.errorLabel()->text().toStdString(), c.error);
    }
}

TEST(SystemRulesCheckTest, NumbersSaturateInsteadOfFailing)
{
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    const struct {
        const char* text;
        std::optional<int64_t> number;
    } cases[] = {
        { "", 0 },
        { "  ", 0 },
        { " 42 ", 42 },
        { "+7", 7 },
        { "-7", -7 },
        { "9223372036854775807", kMax },
        { "9223372036854775808", kMax },
        { kTwentyDigits, kMax },
        { "-9223372036854775808", kMin },
        { "-99999999999999999999", kMin },
        { "12a", std::nullopt },
        { "1 2", std::nullopt },
        { "-", std::nullopt },
        { "0x10", std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ReadSaturatedNumber(c.text), c.number);
    }
}

TEST(SystemRulesWindowTest, RulesAreAddedToEachListThroughTheEditDialog)
{
    SystemRulesDelegate rules;
    QDialog* ruleWindow = rules.currentRuleEditWindow();
    int result = -1;
    WhenShown(rules.rulesEditWindow(), [&] {
        // An included rule: refused first for its prefix, the dialog staying open with the message.
        WhenShown(ruleWindow, [&] {
            EXPECT_EQ(rules.typeCombo()->currentText(), QStringLiteral("IPv4"));
            EXPECT_EQ(rules.hostEdit()->text(), QString());
            EXPECT_EQ(rules.prefixEdit()->text(), QStringLiteral("0"));
            EXPECT_EQ(rules.portEdit()->text(), QStringLiteral("0"));
            EXPECT_EQ(rules.errorLabel()->text(), QString());
            TypeRule(
                rules, QStringLiteral("IPv4"), QStringLiteral("10.0.0.0"), QStringLiteral("33"), QStringLiteral("0"));
            rules.ruleOkButton()->click();
            EXPECT_TRUE(ruleWindow->isVisible());
            EXPECT_EQ(rules.errorLabel()->text(), QStringLiteral("Prefix value is incorrect"));
            TypeRule(
                rules, QStringLiteral("IPv4"), QStringLiteral("10.0.0.0"), QStringLiteral("8"), QStringLiteral("443"));
            rules.ruleOkButton()->click();
        });
        rules.addIncludeButton()->click();
        EXPECT_EQ(rules.rulesIncludeData().rules(), (std::vector<SystemRule> { { "IPv4", "10.0.0.0", 8, 443 } }));
        EXPECT_EQ(rules.rulesInclude()->model()->rowCount(), 1);

        // An excluded host name rule; the dialog starts from the preset again, without the old error.
        WhenShown(ruleWindow, [&] {
            EXPECT_EQ(rules.hostEdit()->text(), QString());
            EXPECT_EQ(rules.errorLabel()->text(), QString());
            TypeRule(rules, QStringLiteral("Hostname"), QStringLiteral("example.com"), QStringLiteral("0"),
                QStringLiteral("80"));
            rules.ruleOkButton()->click();
        });
        rules.addExcludeButton()->click();
        EXPECT_EQ(rules.rulesExcludeData().rules(), (std::vector<SystemRule> { { "Hostname", "example.com", 0, 80 } }));

        // A cancelled dialog adds nothing, even with a valid rule typed in.
        WhenShown(ruleWindow, [&] {
            TypeRule(
                rules, QStringLiteral("IPv6"), QStringLiteral("fd00::"), QStringLiteral("128"), QStringLiteral("0"));
            rules.ruleCancelButton()->click();
        });
        rules.addExcludeButton()->click();
        EXPECT_EQ(rules.rulesExcludeData().numberOfRows(), 1);
        EXPECT_EQ(rules.rulesIncludeData().numberOfRows(), 1);

        // The table shows the values under the column keys.
        const QAbstractItemModel* model = rules.rulesExclude()->model();
        EXPECT_EQ(model->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Port"));
        EXPECT_EQ(model->index(0, 1).data().toString(), QStringLiteral("example.com"));
        EXPECT_EQ(model->index(0, 3).data().toString(), QStringLiteral("80"));
        EXPECT_EQ(rules.rulesExcludeData().objectValue("Host", 1), "");
        EXPECT_EQ(rules.rulesExcludeData().objectValue("Name", 0), "");
        rules.onOk();
    });
    result = rules.editRules();
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(rules.rulesEditWindow()->isVisible());
}

TEST(SystemRulesWindowTest, RemoveTakesTheSelectedRowAndNothingWithoutOne)
{
    const struct {
        const char* name;
        bool include;
    } cases[] = { { "included", true }, { "excluded", false } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SystemRulesDelegate rules;
        SystemRulesTableData& data = c.include ? rules.rulesIncludeData() : rules.rulesExcludeData();
        SystemRulesTableData& other = c.include ? rules.rulesExcludeData() : rules.rulesIncludeData();
        QTableView* view = c.include ? rules.rulesInclude() : rules.rulesExclude();
        QPushButton* remove = c.include ? rules.removeIncludeButton() : rules.removeExcludeButton();
        rules.rulesEditWindow()->show();

        // Before the first rule there is nothing to remove.
        remove->click();
        EXPECT_EQ(data.numberOfRows(), 0);

        for (const char* host : { "10.0.0.1", "10.0.0.2", "10.0.0.3" })
            data.addRule({ "IPv4", host, 32, 0 });
        other.addRule({ "IPv4", "10.9.9.9", 32, 0 });

        view->clearSelection();
        remove->click();
        EXPECT_EQ(Hosts(data), (std::vector<std::string> { "10.0.0.1", "10.0.0.2", "10.0.0.3" }));

        view->selectRow(1);
        remove->click();
        EXPECT_EQ(Hosts(data), (std::vector<std::string> { "10.0.0.1", "10.0.0.3" }));
        EXPECT_EQ(view->model()->rowCount(), 2);
        EXPECT_EQ(Hosts(other), std::vector<std::string> { "10.9.9.9" });
        rules.onCancel();
    }
}

TEST(SystemRulesWindowTest, CancelEndsTheListWindowWithZero)
{
    SystemRulesDelegate rules;
    WhenShown(rules.rulesEditWindow(), [&] { rules.onCancel(); });
    EXPECT_EQ(rules.editRules(), 0);
}

} // namespace
} // namespace corvantis
