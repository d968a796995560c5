#include "app/ui/ActionRemoval.h"

#include "core/foundation/MessageBox.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <algorithm>

namespace corvantis {

namespace {

constexpr int kEmptyActionFlags = 129;
constexpr const char* kEmptyAction = "Action field is empty.\nPlease select a new Action or \"Remove the Rule(s)\".";

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

QLabel* WrappingLabel(const char* name)
{
    auto* label = new QLabel();
    label->setObjectName(QString::fromLatin1(name));
    label->setWordWrap(true);
    return label;
}

} // namespace

ActionRemoval::ActionRemoval(QWidget* parent)
    : QDialog(parent)
    , m_windowText(WrappingLabel("windowText"))
    , m_proxyPrompt(WrappingLabel("proxyPrompt"))
    , m_rulePrompt(WrappingLabel("rulePrompt"))
    , m_rulesList(new QPlainTextEdit())
    , m_defRuleText(WrappingLabel("defRuleText"))
    , m_newAction(new QRadioButton(QStringLiteral("Select a new Action:")))
    , m_removeRules(new QRadioButton(QStringLiteral("Remove the Rule(s)")))
    , m_action(new QComboBox())
    , m_ok(new QPushButton(QStringLiteral("OK")))
    , m_cancel(new QPushButton(QStringLiteral("Cancel")))
{
    setObjectName(QStringLiteral("actionRemovalWindow"));
    setModal(true);

    QFont bold = m_windowText->font();
    bold.setBold(true);
    m_windowText->setFont(bold);
    m_rulesList->setObjectName(QStringLiteral("rulesList"));
    m_rulesList->setReadOnly(true);
    m_rulesList->setTabChangesFocus(true);
    m_rulesList->setMinimumHeight(80);
    m_newAction->setObjectName(QStringLiteral("newAction"));
    m_removeRules->setObjectName(QStringLiteral("removeRules"));
    auto* choices = new QButtonGroup(this);
    choices->addButton(m_newAction, 0);
    choices->addButton(m_removeRules, 1);
    m_action->setObjectName(QStringLiteral("actionCombo"));
    m_ok->setObjectName(QStringLiteral("okButton"));
    m_ok->setDefault(true);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_windowText);
    layout->addWidget(m_proxyPrompt);
    layout->addWidget(m_rulesList);
    layout->addWidget(m_defRuleText);
    layout->addWidget(m_rulePrompt);
    layout->addWidget(m_newAction);
    layout->addWidget(m_action);
    layout->addWidget(m_removeRules);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch();
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_ok);
    layout->addLayout(buttons);

    connect(m_ok, &QPushButton::clicked, this, [this] { onOk(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { done(0); });
}

ActionRemoval::~ActionRemoval() = default;

std::function<bool(CProfileData&, int32_t)> ActionRemoval::seam()
{
    return [this](CProfileData& profile, int32_t id) { return requestNewAction(profile, id); };
}

bool ActionRemoval::matches(const CRule& rule) const
{
    return m_actionType >= 0 && rule.m_Action == m_actionType && rule.m_ProxyId == m_id;
}

bool ActionRemoval::requestNewAction(CProfileData& profile, int32_t id)
{
    m_profile = profile;
    const int64_t stamp = profile.m_ChangeStamp;
    m_id = id;
    m_Proxy = false;
    m_DefaultRule = false;
    m_actionType = -1;
    m_title.clear();

    const int proxyIndex = GetProxyIndexById(m_profile.m_Proxies, id);
    const int chainIndex = proxyIndex < 0 ? GetChainIndexById(m_profile.m_Chains, id) : -1;
    if (proxyIndex >= 0) {
        m_Proxy = true;
        m_title = "Proxy " + m_profile.m_Proxies[static_cast<std::size_t>(proxyIndex)].ToString(false);
        m_profile.m_Proxies.erase(m_profile.m_Proxies.begin() + proxyIndex);
        m_rulePrompt->setText(QStringLiteral("To proceed with the proxy removal you can:"));
        m_windowText->setText(QStringLiteral("Proxy Removal"));
        m_actionType = kActionProxy;
    } else if (chainIndex >= 0) {
        m_title = "Chain " + m_profile.m_Chains[static_cast<std::size_t>(chainIndex)].m_Name;
        m_profile.m_Chains.erase(m_profile.m_Chains.begin() + chainIndex);
        m_rulePrompt->setText(QStringLiteral("To proceed with the chain removal you can:"));
        m_windowText->setText(QStringLiteral("Chain Removal"));
        m_actionType = kActionChain;
    } else {
        m_rulePrompt->clear();
        m_windowText->clear();
    }
    setWindowTitle(m_windowText->text());

    std::string list;
    int matching = 0;
    const std::size_t count = m_profile.m_Rules.size();
    for (std::size_t i = 0; i < count; ++i) {
        const CRule& rule = m_profile.m_Rules[i];
        if (!matches(rule))
            continue;
        ++matching;
        list += rule.m_Name;
        if (i + 1 == count) {
            list += " (cannot be removed)";
            m_DefaultRule = true;
        } else {
            list += '\n';
        }
    }
    m_rulesList->setPlainText(Q(list));
    m_defRuleText->setText(count ? Q(m_profile.m_Rules.back().m_Name) : QString());
    showDefaultRule(matching < 2 && m_DefaultRule);

    m_action->clear();
    for (const std::string& name : ListRuleActionNames(m_profile.m_Proxies, m_profile.m_Chains))
        m_action->addItem(Q(name));
    setActionId(-1);

    const int response = exec();
    close();
    if (response == 0)
        return false;
    profile = m_profile;
    profile.m_ChangeStamp = stamp;
    return true;
}

void ActionRemoval::onOk()
{
    if (choise() == 0) {
        const int index = actionId();
        if (index < 0) {
            MessageBox(kEmptyAction, std::string(), kEmptyActionFlags);
            return;
        }
        for (CRule& rule : m_profile.m_Rules) {
            if (matches(rule))
                SetActionByListIndex(rule, index, m_profile.m_Proxies, m_profile.m_Chains);
        }
        done(1);
        return;
    }

    std::vector<CRule>& rules = m_profile.m_Rules;
    const bool defaultMatches = !rules.empty() && matches(rules.back());
    if (!rules.empty()) {
        const auto end = rules.end() - 1;
        rules.erase(std::remove_if(rules.begin(), end, [this](const CRule& rule) { return matches(rule); }), end);
    }
    if (defaultMatches) {
        // The catch-all rule stays; the user still owes it an action.
        showDefaultRule(true);
        return;
    }
    done(1);
}

void ActionRemoval::showDefaultRule(bool defaultRule)
{
    m_rulesList->setVisible(!defaultRule);
    m_defRuleText->setVisible(defaultRule);
    m_removeRules->setEnabled(!defaultRule);
    if (defaultRule) {
        setChoise(0);
        m_rulePrompt->setText(QStringLiteral("You should select a new Action for the Default Rule:"));
        m_proxyPrompt->setText(Q(m_title + " is assigned as the Action for the Default Proxying Rule."));
    } else {
        setChoise(1);
        m_proxyPrompt->setText(Q(m_title + " is assigned as the Action for the following Proxying Rule(s):"));
    }
}

std::string ActionRemoval::windowText() const
{
    return m_windowText->text().toStdString();
}

std::string ActionRemoval::proxyPrompt() const
{
    return m_proxyPrompt->text().toStdString();
}

std::string ActionRemoval::rulePrompt() const
{
    return m_rulePrompt->text().toStdString();
}

std::string ActionRemoval::rulesList() const
{
    return m_rulesList->toPlainText().toStdString();
}

std::vector<std::string> ActionRemoval::ruleTargetNamesList() const
{
    std::vector<std::string> names;
    for (int i = 0; i < m_action->count(); ++i)
        names.push_back(m_action->itemText(i).toStdString());
    return names;
}

int ActionRemoval::actionId() const
{
    return m_action->currentIndex();
}

void ActionRemoval::setActionId(int index)
{
    m_action->setCurrentIndex(index >= 0 && index < m_action->count() ? index : -1);
}

int ActionRemoval::choise() const
{
    return m_removeRules->isChecked() ? 1 : 0;
}

void ActionRemoval::setChoise(int choise)
{
    (choise == 1 ? m_removeRules : m_newAction)->setChecked(true);
}

bool ActionRemoval::hideRuleList() const
{
    return m_rulesList->isHidden();
}

bool ActionRemoval::hideDefRuleText() const
{
    return m_defRuleText->isHidden();
}

bool ActionRemoval::enableRuleDeletion() const
{
    return m_removeRules->isEnabled();
}

} // namespace corvantis
