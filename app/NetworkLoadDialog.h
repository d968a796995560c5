#pragma once

#include <functional>
#include <string>

namespace corvantis {

// The extension-loading dialog as the bring-up drives it: a window that shows the current step and one button
// whose action the step gives (usually "Retry"). Its modal run does not block, so the bring-up goes on updating it
// until it finishes the run. The windows library provides the real one; tests record the calls.
//
// Thread-safety: every member may be called from any thread; the dialog moves each change to the main thread.
class NetworkLoadDialog {
public:
    using Action = std::function<void()>;

    virtual ~NetworkLoadDialog() = default;

    // Starts the modal run with `cancelHandler` behind the window's cancel button. False, changing nothing, when a
    // run is already in progress.
    virtual bool doModal(Action cancelHandler) = 0;
    virtual bool getModalInProgress() const = 0;
    // Ends the modal run, if any, and closes the window.
    virtual void finishModal() = 0;

    // The steps, each with the action of the dialog's button.
    virtual void updateContentToSysExtLoad(Action retry) = 0;
    virtual void updateContentToSysExtFail(Action retry) = 0;
    virtual void updateContentToSysExtFailOnManagedDevice(Action retry) = 0;
    // The user's approval is needed; `action` is the button's.
    virtual void updateContentToSysExtAllow(Action action) = 0;
    virtual void updateContentToXPCConnection(Action retry) = 0;
    virtual void updateContentToVpnCreation(Action retry) = 0;
    virtual void updateContentToDnsProxyCreation(Action retry) = 0;
    virtual void updateContentToVpnStart(Action retry) = 0;
    virtual void updateContentToSendWakeSignal(Action retry) = 0;
    // The extension did not answer the wake signal after many attempts; `reinitialize` reinstalls it.
    virtual void updateContentToWakeSignalFailed(Action reinitialize) = 0;
    virtual void updateContentToSysExtRemoveFailed() = 0;
    // A failed step; `error` is shown as it is.
    virtual void updateContentToError(const std::string& error, Action retry) = 0;
};

} // namespace corvantis
