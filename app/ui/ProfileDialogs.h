#pragma once

#include "app/ui/ListCharacters.h"

#include <QDialog>
#include <QPlainTextEdit>

#include <functional>
#include <string>
#include <vector>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace corvantis {

class BoundProperties;
class NSProfile;

// A multi-line text view in which Tab and Backtab move the focus to the next or previous control instead of
// inserting a tab (only while the view has the focus; a tab character is never inserted).
//
// Thread-safety: the GUI thread only.
class NSMultilineTextFieldNoTab : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit NSMultilineTextFieldNoTab(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// A list view that marks, as the user types, each character its field refuses with a red background at half
// opacity (RGBA 255, 0, 0, 128). The exact text "Any" is never marked. With `noEnter`, Return and Enter insert
// nothing.
//
// Thread-safety: the GUI thread only.
class NSMultilineTextFieldWithLight final : public NSMultilineTextFieldNoTab {
    Q_OBJECT
public:
    explicit NSMultilineTextFieldWithLight(QWidget* parent = nullptr);

    // The characters the view accepts (the field's rules) and whether Return is refused; marks the text anew.
    void setAllowed(ListField field, bool noEnter);
    ListField field() const { return m_field; }
    bool noEnter() const { return m_noEnter; }

    // The UTF-16 positions of the characters marked now, in order.
    std::vector<int> markedPositions() const { return m_marked; }
    static QColor markColor();
    // Marks the text anew (done on every change of the text).
    void refreshMarks();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    ListField m_field = ListField::Applications;
    bool m_noEnter = false;
    std::vector<int> m_marked;
};

// Shows `get()` in `view` now and whenever `property` is announced (keeping the cursor when the text did not
// change); each edit by the user calls `set` with the whole text. The re-read never calls `set`.
void bindTextView(QPlainTextEdit* view, BoundProperties& properties, const QString& property,
    std::function<std::string()> get, std::function<void(const std::string&)> set);

// The proxy dialog over the model's proxy fields: address, port, type (SOCKS5, SOCKS4, HTTPS and, where the model
// offers it, HTTP), authentication, and a folding box of advanced switches. Its OK runs the model's save, which
// ends the dialog with 1 itself; Cancel ends it with 0. The folding box answers the model's seams through
// advancedBoxVisible, foldAdvancedBox and unfoldAdvancedBox.
//
// Borrows `profile` and `properties`, which must outlive the dialog. Thread-safety: the GUI thread only.
class ProxyDialog final : public QDialog {
    Q_OBJECT
public:
    ProxyDialog(NSProfile& profile, BoundProperties& properties, QWidget* parent = nullptr);

    bool advancedBoxVisible() const;
    // Hides the box and shows the button that unfolds it, shrinking the dialog (its top edge stays).
    void foldAdvancedBox();
    void unfoldAdvancedBox();

    QLineEdit* addressEdit() const { return m_address; }
    QLineEdit* portEdit() const { return m_port; }
    // The type buttons, with the model's type numbers as ids.
    QButtonGroup* typeGroup() const { return m_types; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }

private:
    NSProfile& m_profile;
    QLineEdit* m_address;
    QLineEdit* m_port;
    QButtonGroup* m_types;
    QAbstractButton* m_httpType;
    QGroupBox* m_advancedBox;
    QPushButton* m_advancedButton;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

// The rule dialog over the model's rule fields: name, applications (with a button that picks programs), target
// hosts, target ports, action and the enabled switch. Its buttons are wired by the window (OK checks the rule
// before the dialog ends).
//
// Borrows `profile` and `properties`, which must outlive the dialog. Thread-safety: the GUI thread only.
class RuleDialog final : public QDialog {
    Q_OBJECT
public:
    RuleDialog(NSProfile& profile, BoundProperties& properties, QWidget* parent = nullptr);

    QLineEdit* nameEdit() const { return m_name; }
    NSMultilineTextFieldWithLight* appView() const { return m_apps; }
    NSMultilineTextFieldWithLight* hostsView() const { return m_hosts; }
    NSMultilineTextFieldWithLight* portsView() const { return m_ports; }
    QComboBox* actionCombo() const { return m_action; }
    QCheckBox* enabledBox() const { return m_enabled; }
    QPushButton* addAppButton() const { return m_addApp; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }

private:
    void reloadActions();

    NSProfile& m_profile;
    QLineEdit* m_name;
    NSMultilineTextFieldWithLight* m_apps;
    NSMultilineTextFieldWithLight* m_hosts;
    NSMultilineTextFieldWithLight* m_ports;
    QComboBox* m_action;
    QCheckBox* m_enabled;
    QPushButton* m_addApp;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

// The DNS exclusion list dialog: the list and the only-from-list switch of the model's dialog fields. Its
// buttons are wired by the window.
//
// Borrows `profile` and `properties`, which must outlive the dialog. Thread-safety: the GUI thread only.
class DnsExclusionListDialog final : public QDialog {
    Q_OBJECT
public:
    DnsExclusionListDialog(NSProfile& profile, BoundProperties& properties, QWidget* parent = nullptr);

    NSMultilineTextFieldWithLight* listView() const { return m_list; }
    QCheckBox* onlyFromListBox() const { return m_onlyFromList; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }

private:
    NSMultilineTextFieldWithLight* m_list;
    QCheckBox* m_onlyFromList;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

} // namespace corvantis
