#include "app/LoggedLoadDialog.h"

#include "core/foundation/LogMessage.h"

namespace corvantis {

void LoggedLoadDialog::step(const std::string& text)
{
    CLogMessage(kLogDebug) << "Extension loading: " << text;
}

bool LoggedLoadDialog::doModal(Action)
{
    bool expected = false;
    if (!m_modal.compare_exchange_strong(expected, true))
        return false;
    step("started");
    return true;
}

void LoggedLoadDialog::finishModal()
{
    if (m_modal.exchange(false))
        step("finished");
}

void LoggedLoadDialog::updateContentToSysExtLoad(Action)
{
    step("activating the system extension");
}

void LoggedLoadDialog::updateContentToSysExtFail(Action)
{
    step("the system extension could not be activated");
}

void LoggedLoadDialog::updateContentToSysExtFailOnManagedDevice(Action)
{
    step("the system extension could not be activated on a managed device");
}

void LoggedLoadDialog::updateContentToSysExtAllow(Action)
{
    step("the system extension waits for the administrator's approval");
}

void LoggedLoadDialog::updateContentToXPCConnection(Action)
{
    step("connecting to the network extension");
}

void LoggedLoadDialog::updateContentToVpnCreation(Action)
{
    step("creating the transparent proxy configuration");
}

void LoggedLoadDialog::updateContentToDnsProxyCreation(Action)
{
    step("creating the DNS proxy configuration");
}

void LoggedLoadDialog::updateContentToVpnStart(Action)
{
    step("starting the transparent proxy");
}

void LoggedLoadDialog::updateContentToSendWakeSignal(Action)
{
    step("waking the transparent proxy");
}

void LoggedLoadDialog::updateContentToWakeSignalFailed(Action)
{
    step("the transparent proxy did not wake up");
}

void LoggedLoadDialog::updateContentToSysExtRemoveFailed()
{
    step("the system extension could not be removed");
}

void LoggedLoadDialog::updateContentToError(const std::string& error, Action)
{
    step("error: " + error);
}

} // namespace corvantis
