#include "app/ui/ProfileEncryption.h"

#include "app/ProfileDocuments.h"
#include "core/profile/ProfileData.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <initializer_list>

namespace corvantis {

PasswordWindowFlags DerivePasswordWindowFlags(bool wantNew, const std::string& password, const std::string& confirm)
{
    PasswordWindowFlags flags;
    flags.okButtonVisible = !wantNew || (!password.empty() && password == confirm);
    flags.emptyPassMessage = !wantNew || !password.empty();
    flags.diffPassMessage = !(wantNew && !password.empty() && password != confirm);
    return flags;
}

ProfileEncryptionDialogs::ProfileEncryptionDialogs(Seams seams, QObject* parent)
    : QObject(parent)
    , m_seams(std::move(seams))
    , m_passwordWindow(std::make_unique<QDialog>())
    , m_modeWindow(std::make_unique<QDialog>())
{
    if (!m_seams.userGuid)
        m_seams.userGuid = GetCurrentUserGUID;

    // The password window.
    m_passwordWindow->setWindowTitle(QStringLiteral("Profile Password"));
    m_passwordWindow->setWindowModality(Qt::ApplicationModal);
    auto* layout = new QVBoxLayout(m_passwordWindow.get());
    m_passwordTitle = new QLabel(QStringLiteral("Password:"));
    m_passwordField = new QLineEdit;
    m_passwordField->setEchoMode(QLineEdit::Password);
    m_confirmTitle = new QLabel(QStringLiteral("Confirm password:"));
    m_confirmField = new QLineEdit;
    m_confirmField->setEchoMode(QLineEdit::Password);
    m_emptyPassLabel = new QLabel(QStringLiteral("Password cannot be empty."));
    m_diffPassLabel = new QLabel(QStringLiteral("Passwords do not match."));
    m_savePasswordBox = new QCheckBox(QStringLiteral("Save password"));
    auto* buttons = new QDialogButtonBox;
    m_okButton = buttons->addButton(QDialogButtonBox::Ok);
    m_cancelButton = buttons->addButton(QDialogButtonBox::Cancel);
    for (QWidget* widget : std::initializer_list<QWidget*> { m_passwordTitle, m_passwordField, m_confirmTitle,
             m_confirmField, m_emptyPassLabel, m_diffPassLabel, m_savePasswordBox, buttons })
        layout->addWidget(widget);
    connect(m_okButton, &QPushButton::clicked, m_passwordWindow.get(), &QDialog::accept);
    connect(m_cancelButton, &QPushButton::clicked, m_passwordWindow.get(), &QDialog::reject);
    connect(m_passwordField, &QLineEdit::textChanged, this, [this] { refreshPasswordWindow(); });
    connect(m_confirmField, &QLineEdit::textChanged, this, [this] { refreshPasswordWindow(); });

    // The encryption-mode window.
    m_modeWindow->setWindowTitle(QStringLiteral("Password Encryption"));
    m_modeWindow->setWindowModality(Qt::ApplicationModal);
    auto* modeLayout = new QVBoxLayout(m_modeWindow.get());
    modeLayout->addWidget(new QLabel(QStringLiteral("Protect the proxy passwords of the saved profile:")));
    auto* group = new QButtonGroup(m_modeWindow.get());
    const char* const titles[4] = { "Disabled", "Basic", "Profile (current user account)", "Master password" };
    for (int mode = 0; mode < 4; ++mode) {
        m_modeButtons[mode] = new QRadioButton(QString::fromUtf8(titles[mode]));
        group->addButton(m_modeButtons[mode], mode);
        modeLayout->addWidget(m_modeButtons[mode]);
    }
    connect(m_modeButtons[kEncryptionDisabled], &QRadioButton::clicked, this,
        [this](bool checked) { setEncSaveModeDisabled(checked); });
    connect(m_modeButtons[kEncryptionBasic], &QRadioButton::clicked, this,
        [this](bool checked) { setEncSaveModeBasic(checked); });
    connect(m_modeButtons[kEncryptionAccount], &QRadioButton::clicked, this,
        [this](bool checked) { setEncSaveModeProfile(checked); });
    connect(m_modeButtons[kEncryptionMaster], &QRadioButton::clicked, this,
        [this](bool checked) { setEncSaveModeMaster(checked); });
    m_changeMasterButton = new QPushButton(QStringLiteral("Change Master Password..."));
    modeLayout->addWidget(m_changeMasterButton);
    connect(m_changeMasterButton, &QPushButton::clicked, this, [this] { changeMasterPassword(); });
    auto* modeButtons = new QDialogButtonBox;
    m_modeOkButton = modeButtons->addButton(QDialogButtonBox::Ok);
    m_modeCancelButton = modeButtons->addButton(QDialogButtonBox::Cancel);
    modeLayout->addWidget(modeButtons);
    connect(m_modeOkButton, &QPushButton::clicked, m_modeWindow.get(), &QDialog::accept);
    connect(m_modeCancelButton, &QPushButton::clicked, m_modeWindow.get(), &QDialog::reject);

    refreshPasswordWindow();
    refreshModeButtons();
}

ProfileEncryptionDialogs::~ProfileEncryptionDialogs() = default;

std::optional<std::string> ProfileEncryptionDialogs::getPassword(bool wantNew, bool& wantToSave)
{
    std::optional<std::string> password;
    bool save = wantToSave;
    if (!CallOnMainThread([&] { password = runPasswordWindow(wantNew, save, {}); }))
        return std::nullopt;
    wantToSave = save;
    return password;
}

std::optional<std::string> ProfileEncryptionDialogs::getPassword(bool wantNew)
{
    bool wantToSave = false;
    return getPassword(wantNew, wantToSave);
}

std::optional<std::string> ProfileEncryptionDialogs::askPassword(const std::string& prefill, bool wantNew)
{
    bool wantToSave = false;
    return runPasswordWindow(wantNew, wantToSave, prefill);
}

std::optional<std::string> ProfileEncryptionDialogs::runPasswordWindow(
    bool wantNew, bool& wantToSave, const std::string& prefill)
{
    // A second request while the window is up (another thread asking meanwhile) would run the same dialog
    // inside itself; it is answered as cancelled instead.
    if (m_passwordWindow->isVisible())
        return std::nullopt;
    m_wantNew = wantNew;
    m_savePasswordBox->setVisible(wantToSave);
    m_savePasswordBox->setChecked(false);
    m_passwordField->setText(QString::fromStdString(prefill));
    m_confirmField->setText(QString::fromStdString(prefill));
    refreshPasswordWindow();
    m_passwordField->setFocus();

    const int response = m_passwordWindow->exec();
    m_passwordWindow->hide();
    wantToSave = m_savePasswordBox->isChecked();
    const std::string password = m_passwordField->text().toStdString();
    // The typed texts do not stay in the window after it closed.
    m_passwordField->clear();
    m_confirmField->clear();
    if (response == QDialog::Rejected)
        return std::nullopt;
    return password;
}

PasswordWindowFlags ProfileEncryptionDialogs::passwordFlags() const
{
    return DerivePasswordWindowFlags(
        m_wantNew, m_passwordField->text().toStdString(), m_confirmField->text().toStdString());
}

void ProfileEncryptionDialogs::refreshPasswordWindow()
{
    const PasswordWindowFlags flags = passwordFlags();
    m_okButton->setEnabled(flags.okButtonVisible);
    m_emptyPassLabel->setVisible(!flags.emptyPassMessage);
    m_diffPassLabel->setVisible(!flags.diffPassMessage);
    m_confirmTitle->setVisible(m_wantNew);
    m_confirmField->setVisible(m_wantNew);
}

bool ProfileEncryptionDialogs::getEncForSavedProfile(ProfileEncryption& encryption)
{
    if (m_modeWindow->isVisible())
        return false;
    m_profileEncForSave = encryption;
    refreshModeButtons();
    const int response = m_modeWindow->exec();
    m_modeWindow->hide();
    if (response == QDialog::Rejected)
        return false;
    encryption = m_profileEncForSave;
    return true;
}

void ProfileEncryptionDialogs::chooseSimpleMode(std::optional<bool> value, int mode)
{
    if (value && *value)
        m_profileEncForSave.mode = mode;
    refreshModeButtons();
}

void ProfileEncryptionDialogs::setEncSaveModeDisabled(std::optional<bool> value)
{
    chooseSimpleMode(value, kEncryptionDisabled);
}

void ProfileEncryptionDialogs::setEncSaveModeBasic(std::optional<bool> value)
{
    chooseSimpleMode(value, kEncryptionBasic);
}

void ProfileEncryptionDialogs::setEncSaveModeProfile(std::optional<bool> value)
{
    if (!value)
        return;
    if (*value) {
        const std::string guid = m_seams.userGuid();
        if (!guid.empty()) {
            m_profileEncForSave.mode = kEncryptionAccount;
            m_profileEncForSave.masterPassword = guid;
        }
    }
    flipMasterPasswSwitchHide();
    refreshModeButtons();
}

void ProfileEncryptionDialogs::setEncSaveModeMaster(std::optional<bool> value)
{
    if (!value)
        return;
    if (*value) {
        if (const std::optional<std::string> password = getPassword(true)) {
            m_profileEncForSave.mode = kEncryptionMaster;
            m_profileEncForSave.masterPassword = *password;
        }
    }
    flipMasterPasswSwitchHide();
    refreshModeButtons();
}

void ProfileEncryptionDialogs::changeMasterPassword()
{
    if (const std::optional<std::string> password = getPassword(true)) {
        m_profileEncForSave.mode = kEncryptionMaster;
        m_profileEncForSave.masterPassword = *password;
    }
    refreshModeButtons();
}

void ProfileEncryptionDialogs::flipMasterPasswSwitchHide()
{
    m_masterPasswSwitchHide = !m_masterPasswSwitchHide.value_or(false);
}

QRadioButton* ProfileEncryptionDialogs::modeButton(int mode) const
{
    return mode >= 0 && mode < 4 ? m_modeButtons[mode] : nullptr;
}

void ProfileEncryptionDialogs::refreshModeButtons()
{
    // A click that did not change the mode (a cancelled prompt, no user identifier) leaves the held mode shown.
    if (QRadioButton* held = modeButton(m_profileEncForSave.mode))
        held->setChecked(true);
}

} // namespace corvantis
