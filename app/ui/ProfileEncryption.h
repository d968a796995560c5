#pragma once

#include "core/profile/ProfileStorage.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace corvantis {

// The state of the password window's controls that follows from what it asks and what is typed. Each message
// flag is true while its message stays hidden.
struct PasswordWindowFlags {
    bool okButtonVisible = false; // OK is enabled
    bool emptyPassMessage = false; // the empty-password message is hidden
    bool diffPassMessage = false; // the mismatch message is hidden

    friend bool operator==(const PasswordWindowFlags&, const PasswordWindowFlags&) = default;
};

// Without a new password asked, OK is enabled and both messages are hidden. With one asked, OK is enabled
// exactly when the password is non-empty and equal to the confirmation; the empty-password message shows while
// the password is empty, the mismatch message while a non-empty password differs from the confirmation.
PasswordWindowFlags DerivePasswordWindowFlags(bool wantNew, const std::string& password, const std::string& confirm);

// The profile encryption windows: the password window (the password of an encrypted profile, or a new master
// password with its confirmation, with an optional check box to save the password), and the encryption-mode
// window, which chooses how the proxy passwords of a profile being saved are protected (disabled, basic, bound
// to the user's account, or by a master password).
//
// Its windows are made at construction, are owned by this object and run application-modal; each prompt starts
// from cleared fields. Thread-safety: main thread only, except getPassword, which any thread may
// call (another thread waits until the user has answered on the main thread).
class ProfileEncryptionDialogs final : public QObject {
    Q_OBJECT
public:
    struct Seams {
        // The current user's identifier, the key of the account mode; empty when unknown. Default:
        // GetCurrentUserGUID.
        std::function<std::string()> userGuid;
    };

    explicit ProfileEncryptionDialogs(Seams seams = {}, QObject* parent = nullptr);
    ~ProfileEncryptionDialogs() override;
    ProfileEncryptionDialogs(const ProfileEncryptionDialogs&) = delete;
    ProfileEncryptionDialogs& operator=(const ProfileEncryptionDialogs&) = delete;

    // ---- The password window ----

    // Runs the password window modally: a new password with confirmation when `wantNew`, the save check box
    // (unticked) when `wantToSave` is true on entry; `wantToSave` receives the box's final state. Returns the
    // typed password, nothing when cancelled. From another thread the request runs on the main thread and the
    // caller waits for it.
    std::optional<std::string> getPassword(bool wantNew, bool& wantToSave);
    // The same without the save check box.
    std::optional<std::string> getPassword(bool wantNew);
    // The editor model's password prompt: both fields start with `prefill`. Main thread.
    std::optional<std::string> askPassword(const std::string& prefill, bool wantNew);

    // The flags for what the window holds now.
    PasswordWindowFlags passwordFlags() const;

    // ---- The encryption-mode window ----

    // Runs the mode window over a copy of `encryption`. On OK copies the choice back and returns true; on Cancel
    // returns false and leaves `encryption` as it was, whatever was chosen inside.
    bool getEncForSavedProfile(ProfileEncryption& encryption);

    // The mode choices; a missing value changes nothing. Disabled and basic take a true value at once; the account
    // mode needs the user's identifier (kept as the key) and otherwise keeps the mode; the master mode asks for a
    // new password and keeps the mode when that is cancelled. The account and master choices flip
    // masterPasswSwitchHide. The window's buttons then show the mode held.
    void setEncSaveModeDisabled(std::optional<bool> value);
    void setEncSaveModeBasic(std::optional<bool> value);
    void setEncSaveModeProfile(std::optional<bool> value);
    void setEncSaveModeMaster(std::optional<bool> value);
    // Asks for a new master password; an accepted one selects the master mode with it as the key.
    void changeMasterPassword();

    // The record the mode window edits.
    const ProfileEncryption& profileEncForSave() const { return m_profileEncForSave; }
    std::optional<bool> masterPasswSwitchHide() const { return m_masterPasswSwitchHide; }

    // ---- The controls, for the windows' scripts ----

    QDialog* passwordWindow() const { return m_passwordWindow.get(); }
    QLineEdit* passwordField() const { return m_passwordField; }
    QLineEdit* confirmField() const { return m_confirmField; }
    QLabel* emptyPassLabel() const { return m_emptyPassLabel; }
    QLabel* diffPassLabel() const { return m_diffPassLabel; }
    QCheckBox* savePasswordBox() const { return m_savePasswordBox; }
    QPushButton* okButton() const { return m_okButton; }
    QPushButton* cancelButton() const { return m_cancelButton; }

    QDialog* modeWindow() const { return m_modeWindow.get(); }
    // The button of mode 0 to 3; null for another number.
    QRadioButton* modeButton(int mode) const;
    QPushButton* changeMasterButton() const { return m_changeMasterButton; }
    QPushButton* modeOkButton() const { return m_modeOkButton; }
    QPushButton* modeCancelButton() const { return m_modeCancelButton; }

private:
    std::optional<std::string> runPasswordWindow(bool wantNew, bool& wantToSave, const std::string& prefill);
    void refreshPasswordWindow();
    void refreshModeButtons();
    void chooseSimpleMode(std::optional<bool> value, int mode);
    void flipMasterPasswSwitchHide();

    Seams m_seams;
    bool m_wantNew = false;
    ProfileEncryption m_profileEncForSave;
    std::optional<bool> m_masterPasswSwitchHide;

    std::unique_ptr<QDialog> m_passwordWindow;
    QLabel* m_passwordTitle;
    QLineEdit* m_passwordField;
    QLabel* m_confirmTitle;
    QLineEdit* m_confirmField;
    QLabel* m_emptyPassLabel;
    QLabel* m_diffPassLabel;
    QCheckBox* m_savePasswordBox;
    QPushButton* m_okButton;
    QPushButton* m_cancelButton;

    std::unique_ptr<QDialog> m_modeWindow;
    QRadioButton* m_modeButtons[4];
    QPushButton* m_changeMasterButton;
    QPushButton* m_modeOkButton;
    QPushButton* m_modeCancelButton;
};

} // namespace corvantis
