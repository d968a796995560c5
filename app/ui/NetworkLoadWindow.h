#pragma once

#include "app/NetworkLoadDialog.h"
#include "platform/Mutex.h"

#include <QDialog>
#include <QString>

#include <atomic>
#include <string>

class QLabel;
class QPushButton;

namespace corvantis {

// The extension-loading window: an application-modal dialog with the current step's message, the step's button
// and Cancel. Its modal run does not block: doModal shows the window and returns, and the bring-up keeps
// updating it until it finishes the run. The window's height follows the message's: each new message changes
// it by the difference of the two texts' heights at the message field's width (the top edge stays).
//
// Thread-safety: the NetworkLoadDialog members may be called from any thread; each change of the window is
// queued to the GUI thread (also when called there), in call order. Calls queued when the window is destroyed
// are dropped. The handlers run on the GUI thread. Create and destroy the window on the GUI thread.
class NetworkLoadWindow final : public QDialog, public NetworkLoadDialog {
    Q_OBJECT
public:
    // `loginName` is named in the approval step's text; empty: the name of the process's real user.
    explicit NetworkLoadWindow(std::string loginName = {}, QWidget* parent = nullptr);
    ~NetworkLoadWindow() override;
    NetworkLoadWindow(const NetworkLoadWindow&) = delete;
    NetworkLoadWindow& operator=(const NetworkLoadWindow&) = delete;

    bool doModal(Action cancelHandler) override;
    bool getModalInProgress() const override;
    void finishModal() override;
    // Queues the end of the modal run, if one is in progress: the flag is cleared and the window closed. The
    // code is not used.
    void finishModalWithCode(int code);

    void updateContentToSysExtLoad(Action retry) override;
    void updateContentToSysExtFail(Action retry) override;
    void updateContentToSysExtFailOnManagedDevice(Action retry) override;
    void updateContentToSysExtAllow(Action action) override;
    void updateContentToXPCConnection(Action retry) override;
    void updateContentToVpnCreation(Action retry) override;
    void updateContentToDnsProxyCreation(Action retry) override;
    void updateContentToVpnStart(Action retry) override;
    void updateContentToSendWakeSignal(Action retry) override;
    void updateContentToWakeSignalFailed(Action reinitialize) override;
    // Its button keeps the window's content: it only ends the modal run.
    void updateContentToSysExtRemoveFailed() override;
    void updateContentToError(const std::string& error, Action retry) override;
    // Queues a new message, button caption and button action.
    void updateContentToMessage(const std::string& message, const std::string& caption, Action action);

    // The buttons: the step's action when one is set; Cancel ends the run (code 0) and then calls the cancel
    // handler given to doModal. Closing the window or Escape count as Cancel. GUI thread.
    void onActionButton();
    void onCancel();
    void reject() override;

    // What the window shows now. GUI thread.
    QString currentMessage() const;
    QString actionButtonCaption() const;
    QLabel* messageField() const { return m_message; }
    QPushButton* actionButton() const { return m_action; }
    QPushButton* cancelButton() const { return m_cancel; }
    // The height `text` takes in the message field's font at the field's width.
    int textHeight(const QString& text) const;

private:
    // GUI thread: the bodies of the queued calls.
    void finishNow();
    void applyContent(const QString& message, const QString& caption, Action action);
    // Runs `body` on the GUI thread later, unless the window is gone by then.
    void queue(std::function<void()> body);

    const std::string m_loginName;
    std::atomic<bool> m_modalInProgress { false };
    mutable Mutex m_mutex;
    Action m_actionButtonHandler GUARDED_BY(m_mutex);
    Action m_cancelButtonHandler GUARDED_BY(m_mutex);

    QLabel* m_message;
    QPushButton* m_action;
    QPushButton* m_cancel;
};

} // namespace corvantis
