#pragma once

#include <QDialog>

#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace corvantis {

// The dialog that edits where the active profile is updated from: whether the update is on, its URL, whether
// the URL names a folder (the profile's file name is appended) and whether the proxies' credentials survive an
// update. The caller fills the four values before the run and reads them after it.
//
// OK checks the URL while the update is on: it must not be empty and must start with "http://" or "https://"
// (any letter case); a folder URL should end with "/", a file URL with ".ppx" (any letter case), and when it
// does not the user is asked whether to go on. A refusal keeps the dialog open.
//
// GUI thread only.
class ProfileAutoUpdateWindow final : public QDialog {
    Q_OBJECT
public:
    explicit ProfileAutoUpdateWindow(QWidget* parent = nullptr);
    ~ProfileAutoUpdateWindow() override;
    ProfileAutoUpdateWindow(const ProfileAutoUpdateWindow&) = delete;
    ProfileAutoUpdateWindow& operator=(const ProfileAutoUpdateWindow&) = delete;

    // Runs the dialog modally; true unless it ended with 0 (Cancel).
    bool doModal();
    // OK: ends the run with 1 when the values pass the checks above, else keeps the dialog open.
    void onOK();
    // Ends the run with 0.
    void onCancel();

    bool updateEnabled() const;
    void setUpdateEnabled(bool enabled);
    std::string updateUrl() const;
    void setUpdateUrl(const std::string& url);
    bool urlIsFolder() const;
    void setUrlIsFolder(bool folder);
    bool keepCred() const;
    void setKeepCred(bool keep);

    QCheckBox* enabledBox() const { return m_enabled; }
    QLineEdit* urlEdit() const { return m_url; }
    QCheckBox* folderBox() const { return m_folder; }
    QCheckBox* keepCredBox() const { return m_keepCred; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }

private:
    // Whether the values may be accepted; shows the refusal or asks the question.
    bool checkUrl() const;

    QCheckBox* m_enabled;
    QLineEdit* m_url;
    QCheckBox* m_folder;
    QCheckBox* m_keepCred;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

} // namespace corvantis
