#pragma once

#include "app/NetworkLoadDialog.h"

#include <atomic>
#include <string>

namespace corvantis {

// The extension-loading dialog of a program that has no loading window: each step becomes a debug-level line of
// the process's log ("Extension loading: " and the step), and the modal run is only a flag. The steps' button
// actions are dropped, as nothing could press them; the next status check or restart retries instead.
//
// Thread-safety: every member may be called from any thread (the flag is atomic, the log is thread-safe).
class LoggedLoadDialog final : public NetworkLoadDialog {
public:
    LoggedLoadDialog() = default;
    LoggedLoadDialog(const LoggedLoadDialog&) = delete;
    LoggedLoadDialog& operator=(const LoggedLoadDialog&) = delete;

    bool doModal(Action cancelHandler) override;
    bool getModalInProgress() const override { return m_modal.load(); }
    void finishModal() override;

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
    void updateContentToSysExtRemoveFailed() override;
    void updateContentToError(const std::string& error, Action retry) override;

private:
    static void step(const std::string& text);

    std::atomic<bool> m_modal { false };
};

} // namespace corvantis
