#include "app/ui/LoopDetectController.h"

#include "core/foundation/LogMessage.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileData.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

namespace corvantis {

namespace {

constexpr const char* kAutoCreatedSuffix = " [auto-created]";

} // namespace

LoopDetectController::LoopDetectController(CCorvantisApp& app, QWidget* parent)
    : QDialog(parent)
    , m_app(app)
    , m_prompt(new QLabel())
    , m_actions(new QListWidget())
    , m_ok(new QPushButton(QStringLiteral("OK")))
    , m_cancel(new QPushButton(QStringLiteral("Cancel")))
{
    setObjectName(QStringLiteral("loopDetectWindow"));
    setWindowTitle(QStringLiteral("Infinite Loop Detected"));
    setModal(true);
    m_prompt->setObjectName(QStringLiteral("prompt"));
    m_prompt->setWordWrap(true);
    m_actions->setObjectName(QStringLiteral("actions"));
    m_ok->setObjectName(QStringLiteral("okButton"));
    m_ok->setDefault(true);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_prompt);
    layout->addWidget(m_actions);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch();
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_ok);
    layout->addLayout(buttons);

    connect(m_ok, &QPushButton::clicked, this, [this] { onOK(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { onCancel(); });
}

LoopDetectController::~LoopDetectController() = default;

LoopRuleChange LoopDetectController::showLoopDetection(const std::string& name)
{
    CLogMessage(kLogError)
        << "Infinite loop connection detected. All new connections will be blocked automatically till the user action.";
    LoopRuleChange change = LoopRuleChange::None;
    if (name.empty()) {
        CLogMessage(kLogError) << "Infinite loop detection error. Please restart Corvantis.";
    } else {
        const std::string quoted = name.find(' ') != std::string::npos ? "\"" + name + "\"" : name;
        CProfileData profile;
        m_app.GetProfile(profile, false);
        const bool handlesDirect = profile.m_HandleDirectConnections;

        const std::string createText = "Create a rule to connect " + quoted + " directly";
        m_actions->clear();
        if (handlesDirect) {
            m_actionsText = "1. " + createText + "\n2. Disable processing of direct connections";
            m_actions->addItem(QString::fromStdString("1. " + createText));
            m_actions->addItem(QStringLiteral("2. Disable processing of direct connections"));
        } else {
            m_actionsText = createText;
            m_actions->addItem(QString::fromStdString(createText));
        }
        m_prompt->setText(QString::fromStdString(
            "Corvantis detected that the application " + name + " is likely to get into an infinite connection loop."));
        setSelectedOptions(0);

        const int response = exec();
        close();
        const int option = selectedOptions();
        if (response >= 1 && option == 0) {
            change = createRule(name, quoted);
        } else if (response >= 1 && option == 1 && handlesDirect) {
            m_app.GetProfile(profile, false);
            profile.m_HandleDirectConnections = false;
            m_app.SetProfile(std::move(profile), true);
        }
    }
    // Connections stay blocked while the flag is set, so no path may leave it behind.
    m_app.SetLoopDetectFlag(false);
    return change;
}

LoopRuleChange LoopDetectController::createRule(const std::string& name, const std::string& quoted)
{
    // The quoted form is what the rule's application list holds: a bare name with a blank would not parse.
    CRule rule(name + kAutoCreatedSuffix);
    rule.m_Action = kActionDirect;
    std::string error;
    bool parsed = ParseAppList(rule, quoted, error);
    // An empty list would take every application, and a ";" in the name would split it into several: the
    // rule must take exactly this one.
    if (parsed && rule.m_Apps.size() != 1) {
        parsed = false;
        error = "The application name \"" + name + "\" cannot be used in a rule.";
    }
    if (!parsed) {
        MessageBox("Cannot create a rule.\nError: " + error, std::string(), 0);
        return LoopRuleChange::None;
    }

    CProfileData profile;
    m_app.GetProfile(profile, false);
    LoopRuleChange change = LoopRuleChange::Inserted;
    if (!profile.m_Rules.empty() && profile.m_Rules.front().m_Name == rule.m_Name) {
        profile.m_Rules.erase(profile.m_Rules.begin());
        change = LoopRuleChange::Replaced;
    }
    profile.m_Rules.insert(profile.m_Rules.begin(), rule);
    profile.m_HandleDirectConnections = false;
    m_app.SetProfile(std::move(profile), true);
    return change;
}

void LoopDetectController::onOK()
{
    done(1);
}

void LoopDetectController::onCancel()
{
    done(0);
}

std::string LoopDetectController::prompt() const
{
    return m_prompt->text().toStdString();
}

std::string LoopDetectController::actions() const
{
    return m_actionsText;
}

int LoopDetectController::selectedOptions() const
{
    return m_actions->currentRow();
}

void LoopDetectController::setSelectedOptions(int option)
{
    m_actions->setCurrentRow(option >= 0 && option < m_actions->count() ? option : -1);
}

} // namespace corvantis
