#include "app/ui/NetworkLoadWindow.h"

#include "app/ExtensionControl.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QVBoxLayout>

#include <pwd.h>
#include <unistd.h>

#include <utility>
#include <vector>

#ifndef CORVANTIS_SUPPORT_EMAIL
#define CORVANTIS_SUPPORT_EMAIL "support@corvantis.invalid"
#endif

namespace corvantis {

namespace {

constexpr int kMessageWidth = 400;
constexpr int kLargestTextHeight = 10000;
constexpr const char* kRetry = "Retry";

std::string RealUserName()
{
    const uid_t uid = getuid();
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry {};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return std::to_string(uid);
}

} // namespace

NetworkLoadWindow::NetworkLoadWindow(std::string loginName, QWidget* parent)
    : QDialog(parent)
    , m_loginName(loginName.empty() ? RealUserName() : std::move(loginName))
    , m_message(new QLabel())
    , m_action(new QPushButton(QString::fromLatin1(kRetry)))
    , m_cancel(new QPushButton(QStringLiteral("Cancel")))
{
    setObjectName(QStringLiteral("networkLoadWindow"));
    setWindowTitle(QStringLiteral("Corvantis"));
    setWindowModality(Qt::ApplicationModal);
    m_message->setObjectName(QStringLiteral("messageField"));
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_message->setFixedSize(kMessageWidth, textHeight(QString()));
    m_action->setObjectName(QStringLiteral("actionButton"));
    m_action->setDefault(true);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_message);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch();
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_action);
    layout->addLayout(buttons);
    adjustSize();

    connect(m_action, &QPushButton::clicked, this, [this] { onActionButton(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { onCancel(); });
}

NetworkLoadWindow::~NetworkLoadWindow() = default;

void NetworkLoadWindow::queue(std::function<void()> body)
{
    // Queued with the window as context: Qt drops the call if the window is destroyed before it runs.
    QMetaObject::invokeMethod(this, std::move(body), Qt::QueuedConnection);
}

bool NetworkLoadWindow::doModal(Action cancelHandler)
{
    bool expected = false;
    if (!m_modalInProgress.compare_exchange_strong(expected, true))
        return false;
    {
        MutexLock lock(m_mutex);
        m_cancelButtonHandler = std::move(cancelHandler);
    }
    queue([this] {
        show();
        raise();
        activateWindow();
    });
    return true;
}

bool NetworkLoadWindow::getModalInProgress() const
{
    return m_modalInProgress.load();
}

void NetworkLoadWindow::finishModal()
{
    finishModalWithCode(1);
}

void NetworkLoadWindow::finishModalWithCode(int /*code*/)
{
    queue([this] { finishNow(); });
}

void NetworkLoadWindow::finishNow()
{
    bool expected = true;
    if (m_modalInProgress.compare_exchange_strong(expected, false))
        hide();
}

void NetworkLoadWindow::onActionButton()
{
    Action handler;
    {
        MutexLock lock(m_mutex);
        handler = m_actionButtonHandler;
    }
    if (handler)
        handler();
}

void NetworkLoadWindow::onCancel()
{
    finishNow();
    Action handler;
    {
        MutexLock lock(m_mutex);
        handler = m_cancelButtonHandler;
    }
    if (handler)
        handler();
}

void NetworkLoadWindow::reject()
{
    onCancel();
}

int NetworkLoadWindow::textHeight(const QString& text) const
{
    const QFontMetrics metrics(m_message->font());
    return metrics.boundingRect(QRect(0, 0, kMessageWidth, kLargestTextHeight), Qt::TextWordWrap, text).height();
}

void NetworkLoadWindow::updateContentToMessage(const std::string& message, const std::string& caption, Action action)
{
    queue([this, text = QString::fromStdString(message), title = QString::fromStdString(caption),
              handler = std::move(action)]() mutable { applyContent(text, title, std::move(handler)); });
}

void NetworkLoadWindow::applyContent(const QString& message, const QString& caption, Action action)
{
    const int oldHeight = textHeight(m_message->text());
    const int newHeight = textHeight(message);
    const int windowHeight = height() + newHeight - oldHeight;
    m_message->setText(message);
    m_message->setFixedHeight(newHeight);
    {
        MutexLock lock(m_mutex);
        m_actionButtonHandler = std::move(action);
    }
    m_action->setText(caption);
    // The layout's minimum follows the field at once, so that a shorter text may shrink the window.
    layout()->activate();
    resize(width(), windowHeight);
}

QString NetworkLoadWindow::currentMessage() const
{
    return m_message->text();
}

QString NetworkLoadWindow::actionButtonCaption() const
{
    return m_action->text();
}

void NetworkLoadWindow::updateContentToSysExtLoad(Action retry)
{
    updateContentToMessage("System Extension initialization is in progress...", kRetry, std::move(retry));
}

void NetworkLoadWindow::updateContentToSysExtFail(Action retry)
{
    updateContentToMessage("System Extension initialization is failed", kRetry, std::move(retry));
}

void NetworkLoadWindow::updateContentToSysExtFailOnManagedDevice(Action retry)
{
    updateContentToMessage("System Extension initialization failed.\n\nYou appear to be on a Managed Device. Please "
                           "ask your administrator to allow Corvantis System Extension.",
        kRetry, std::move(retry));
}

void NetworkLoadWindow::updateContentToSysExtAllow(Action action)
{
    updateContentToMessage(SysExtApprovalText(m_loginName), kRetry, std::move(action));
}

void NetworkLoadWindow::updateContentToXPCConnection(Action retry)
{
    updateContentToMessage("Establishing the XPC connection...", kRetry, std::move(retry));
}

void NetworkLoadWindow::updateContentToVpnCreation(Action retry)
{
    updateContentToMessage("Please allow Corvantis to filter network content.", kRetry, std::move(retry));
}

void NetworkLoadWindow::updateContentToDnsProxyCreation(Action retry)
{
    updateContentToMessage("DNSProxy starting...", kRetry, std::move(retry));
}

void NetworkLoadWindow::updateContentToVpnStart(Action retry)
{
    updateContentToMessage("AppProxy starting...", kRetry, std::move(retry));
}

void NetworkLoadWindow::updateContentToSendWakeSignal(Action retry)
{
    updateContentToMessage("Establishing the AppProxy IPC connection...", kRetry, std::move(retry));
}

void NetworkLoadWindow::updateContentToWakeSignalFailed(Action reinitialize)
{
    updateContentToMessage(
        "The system failed to load Corvantis System Extension.\n\nWould you like to re-initialize it again?",
        "Re-initialize", std::move(reinitialize));
}

void NetworkLoadWindow::updateContentToSysExtRemoveFailed()
{
    updateContentToMessage("Cannot remove Corvantis System Extension.\n\nPlease reinstall Corvantis and try again.",
        "Keep log window", [this] { finishModalWithCode(0); });
}

void NetworkLoadWindow::updateContentToError(const std::string& error, Action retry)
{
    // The error text is data: it may hold "%" and must show as it came.
    std::string message = "Corvantis System Extension failed to initialize.\n\n";
    message += error;
    message += "\n\nPlease try again or contact ";
    message += CORVANTIS_SUPPORT_EMAIL;
    updateContentToMessage(message, kRetry, std::move(retry));
}

} // namespace corvantis
