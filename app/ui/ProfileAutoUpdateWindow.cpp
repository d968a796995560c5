#include "app/ui/ProfileAutoUpdateWindow.h"

#include "core/foundation/MessageBox.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>

namespace corvantis {

namespace {

constexpr const char* kCaption = "Profile Update";
constexpr int kRefusalFlags = 129;

std::string Lower(std::string text)
{
    std::transform(
        text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

ProfileAutoUpdateWindow::ProfileAutoUpdateWindow(QWidget* parent)
    : QDialog(parent)
    , m_enabled(new QCheckBox(QStringLiteral("Update the active profile automatically")))
    , m_url(new QLineEdit())
    , m_folder(new QCheckBox(QStringLiteral("The URL points to a folder")))
    , m_keepCred(new QCheckBox(QStringLiteral("Keep the proxies' credentials on update")))
    , m_ok(new QPushButton(QStringLiteral("OK")))
    , m_cancel(new QPushButton(QStringLiteral("Cancel")))
{
    setObjectName(QStringLiteral("profileAutoUpdateWindow"));
    setWindowTitle(QString::fromLatin1(kCaption));
    setModal(true);
    m_enabled->setObjectName(QStringLiteral("updateEnabled"));
    m_url->setObjectName(QStringLiteral("updateUrl"));
    m_url->setPlaceholderText(QStringLiteral("https://"));
    m_folder->setObjectName(QStringLiteral("urlIsFolder"));
    m_keepCred->setObjectName(QStringLiteral("keepCred"));
    m_ok->setObjectName(QStringLiteral("okButton"));
    m_ok->setDefault(true);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_enabled);
    auto* form = new QFormLayout();
    form->addRow(QStringLiteral("URL:"), m_url);
    layout->addLayout(form);
    layout->addWidget(m_folder);
    layout->addWidget(m_keepCred);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch();
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_ok);
    layout->addLayout(buttons);

    connect(m_ok, &QPushButton::clicked, this, [this] { onOK(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { onCancel(); });
}

ProfileAutoUpdateWindow::~ProfileAutoUpdateWindow() = default;

bool ProfileAutoUpdateWindow::doModal()
{
    const int response = exec();
    close();
    return response != 0;
}

void ProfileAutoUpdateWindow::onOK()
{
    if (!updateEnabled() || checkUrl())
        done(1);
}

void ProfileAutoUpdateWindow::onCancel()
{
    done(0);
}

bool ProfileAutoUpdateWindow::checkUrl() const
{
    const std::string url = updateUrl();
    if (url.empty()) {
        MessageBox("Update URL canot be empty.", kCaption, kRefusalFlags);
        return false;
    }
    const std::string lower = Lower(url);
    if (!StartsWith(lower, "http://") && !StartsWith(lower, "https://")) {
        MessageBox(
            "Incorrect URL. Please make sure that it starts with \"http://\" or \"https://\"", kCaption, kRefusalFlags);
        return false;
    }
    if (urlIsFolder()) {
        if (!EndsWith(url, "/"))
            return MessageBox("URL doesn't look like the one that points to a folder. Ending '/' is expected.\n"
                              "Continue anyway?",
                       kCaption, kMbYesNo)
                == kMbAnswerYes;
    } else if (!EndsWith(lower, ".ppx")) {
        return MessageBox("Unexpected URL. The target file doesn't have '.ppx' extension.\nContinue anyway?", kCaption,
                   kMbYesNo)
            == kMbAnswerYes;
    }
    return true;
}

bool ProfileAutoUpdateWindow::updateEnabled() const
{
    return m_enabled->isChecked();
}

void ProfileAutoUpdateWindow::setUpdateEnabled(bool enabled)
{
    m_enabled->setChecked(enabled);
}

std::string ProfileAutoUpdateWindow::updateUrl() const
{
    return m_url->text().toStdString();
}

void ProfileAutoUpdateWindow::setUpdateUrl(const std::string& url)
{
    m_url->setText(QString::fromStdString(url));
}

bool ProfileAutoUpdateWindow::urlIsFolder() const
{
    return m_folder->isChecked();
}

void ProfileAutoUpdateWindow::setUrlIsFolder(bool folder)
{
    m_folder->setChecked(folder);
}

bool ProfileAutoUpdateWindow::keepCred() const
{
    return m_keepCred->isChecked();
}

void ProfileAutoUpdateWindow::setKeepCred(bool keep)
{
    m_keepCred->setChecked(keep);
}

} // namespace corvantis
