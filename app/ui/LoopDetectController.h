#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QListWidget;
class QPushButton;

namespace corvantis {

class CCorvantisApp;

// What the loop dialog did to the active profile's rules.
enum class LoopRuleChange {
    None, // no rule created
    Inserted, // a new rule went in at the top: every other rule moved down one place
    Replaced, // the rule this dialog created earlier, still first, was replaced in place
};

// The dialog that comes up when the engine reports that an application's connections loop back into it. It
// offers a Direct rule for the application, and, while the active profile processes direct connections, to stop
// processing them. Whatever the user chooses, the core's loop flag is cleared at the end, which lets new
// connections through again.
//
// Borrows `app`, which must outlive the dialog. GUI thread only.
class LoopDetectController final : public QDialog {
    Q_OBJECT
public:
    explicit LoopDetectController(CCorvantisApp& app, QWidget* parent = nullptr);
    ~LoopDetectController() override;
    LoopDetectController(const LoopDetectController&) = delete;
    LoopDetectController& operator=(const LoopDetectController&) = delete;

    // Runs the dialog modally for the application `name`. Option 0 puts the rule "<name> [auto-created]"
    // (Direct, the application in its quoted form) at the top of the active profile, replacing such a rule
    // that is still first, switches the processing of direct connections off and installs the profile (saved
    // to its file). Option 1 only switches that processing off. A name that cannot be parsed as an application
    // list is reported and changes nothing. Returns how the rules changed; callers that keep rule positions
    // shift them only on Inserted.
    LoopRuleChange showLoopDetection(const std::string& name);

    // End the modal run with 1 and 0.
    void onOK();
    void onCancel();

    // The bound values of the last run.
    std::string prompt() const;
    std::string actions() const;
    // The chosen option, from 0; -1 for none.
    int selectedOptions() const;
    void setSelectedOptions(int option);

    QListWidget* actionList() const { return m_actions; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }

private:
    LoopRuleChange createRule(const std::string& name, const std::string& quoted);

    CCorvantisApp& m_app;
    std::string m_actionsText;
    QLabel* m_prompt;
    QListWidget* m_actions;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

} // namespace corvantis
