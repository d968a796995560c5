#pragma once

#include "core/profile/ProfileData.h"

#include <QDialog>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace corvantis {

// The dialog that comes up when the user removes a proxy or a chain that rules still use: it takes the item out
// of a working copy of the profile and lets the user give the rules that used it a new action, or remove those
// rules. The Default rule (the last) cannot be removed: it always gets a new action.
//
// Two variants: the list variant shows the matching rules and offers both choices; the Default-rule variant
// hides the list, shows the Default rule's name and offers only a new action.
//
// GUI thread only.
class ActionRemoval final : public QDialog {
    Q_OBJECT
public:
    explicit ActionRemoval(QWidget* parent = nullptr);
    ~ActionRemoval() override;
    ActionRemoval(const ActionRemoval&) = delete;
    ActionRemoval& operator=(const ActionRemoval&) = delete;

    // Takes the proxy or chain with `id` out of a copy of `profile` and runs the dialog modally. True when the
    // user accepted: `profile` is then the changed copy, with its own change stamp kept. False (Cancel) leaves
    // `profile` as it was. An id that names neither removes nothing and matches no rule.
    bool requestNewAction(CProfileData& profile, int32_t id);
    // This dialog as the editor model's removal seam (NSProfileSeams::requestNewAction). The dialog must outlive
    // the function.
    std::function<bool(CProfileData&, int32_t)> seam();

    // The OK button: with a new action chosen gives it to every matching rule and ends the run with 1; with
    // removal chosen removes the matching rules but the Default rule, and when that one matches too switches
    // to the Default-rule variant and stays open. No action chosen: a box says so and the dialog stays open.
    void onOk();
    // True: the Default-rule variant; false: the list variant.
    void showDefaultRule(bool defaultRule);

    // The bound values.
    std::string windowText() const;
    std::string proxyPrompt() const;
    std::string rulePrompt() const;
    std::string rulesList() const;
    std::vector<std::string> ruleTargetNamesList() const;
    // Position in ruleTargetNamesList; -1 for none.
    int actionId() const;
    void setActionId(int index);
    // 0: give the rules a new action; 1: remove the rules.
    int choise() const;
    void setChoise(int choise);
    bool hideRuleList() const;
    bool hideDefRuleText() const;
    bool enableRuleDeletion() const;

    // The working copy (what `profile` becomes on acceptance).
    const CProfileData& workingCopy() const { return m_profile; }

    QComboBox* actionCombo() const { return m_action; }
    QRadioButton* newActionButton() const { return m_newAction; }
    QRadioButton* removeRulesButton() const { return m_removeRules; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }

private:
    // Whether `rule` uses the item being removed.
    bool matches(const CRule& rule) const;

    CProfileData m_profile;
    int32_t m_id = 0;
    bool m_Proxy = false;
    bool m_DefaultRule = false;
    int m_actionType = -1; // kActionProxy or kActionChain; -1 when the id named neither
    std::string m_title; // "Proxy …" or "Chain …"

    QLabel* m_windowText;
    QLabel* m_proxyPrompt;
    QLabel* m_rulePrompt;
    QPlainTextEdit* m_rulesList;
    QLabel* m_defRuleText;
    QRadioButton* m_newAction;
    QRadioButton* m_removeRules;
    QComboBox* m_action;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

} // namespace corvantis
