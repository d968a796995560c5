#include "app/Termination.h"

#include "app/AppProxyConnection.h"
#include "app/AppProxyManager.h"
#include "app/DataFilterManager.h"
#include "app/DnsProxyManager.h"
#include "core/foundation/MessageBox.h"

#include <optional>
#include <string>
#include <utility>

namespace corvantis {

bool MayAskKeepRunning(WayOut way)
{
    switch (way) {
    case WayOut::QuitItem:
    case WayOut::CloseWindow:
        return true;
    case WayOut::Signal:
    case WayOut::SessionEnd:
    case WayOut::PowerOff:
        return false;
    }
    return false;
}

StopDecision DecideExtensionStop(const TerminationFacts& facts, WayOut way)
{
    if (facts.keepChosen)
        return StopDecision::Keep;
    if (facts.stopChosen || !facts.hasConnection || !facts.hasDnsManager || !facts.proxyConnected || !facts.dnsStarted)
        return StopDecision::Stop;
    switch (facts.keepRunningOnClose) {
    case kKeepRunningKeep:
        return StopDecision::Keep;
    case kKeepRunningStop:
        return StopDecision::Stop;
    default:
        return MayAskKeepRunning(way) ? StopDecision::Ask : StopDecision::Keep;
    }
}

KeepRunningAnswer ReadKeepRunningAnswer(long answer, bool dontAskAgain)
{
    const bool keep = answer == kMbAnswerYes;
    KeepRunningAnswer result;
    result.stop = !keep;
    if (dontAskAgain)
        result.store = keep ? kKeepRunningKeep : kKeepRunningStop;
    return result;
}

void ExtensionStopper::start(
    Providers providers, std::function<void()> closeClients, std::function<void(bool ok)> completion)
{
    std::make_shared<ExtensionStopper>(std::move(providers), std::move(closeClients), std::move(completion))->step();
}

ExtensionStopper::ExtensionStopper(
    Providers providers, std::function<void()> closeClients, std::function<void(bool)> completion)
    : m_closeClients(std::move(closeClients))
    , m_providers(std::move(providers))
    , m_completion(std::move(completion))
{
}

void ExtensionStopper::step()
{
    if (m_closeClients)
        m_closeClients();
    std::shared_ptr<DataFilterManager> filter;
    std::shared_ptr<DnsProxyManager> dns;
    std::shared_ptr<AppProxyManager> manager;
    std::function<void(bool)> completion;
    {
        MutexLock lock(m_mutex);
        // Each provider leaves the list before its stop is asked for: it gets one attempt only.
        if (m_providers.dataFilter && m_providers.dataFilter->isStarted()) {
            filter = std::exchange(m_providers.dataFilter, nullptr);
        } else if (m_providers.dns && m_providers.dns->isStarted()) {
            dns = std::exchange(m_providers.dns, nullptr);
        } else if (m_providers.connection && m_providers.connection->isConnected() && m_providers.manager) {
            manager = m_providers.manager;
            m_providers.connection.reset();
        } else {
            completion = std::exchange(m_completion, nullptr);
        }
    }
    const std::shared_ptr<ExtensionStopper> self = shared_from_this();
    if (filter) {
        filter->stopDataFilterVpnWithHandler([self](bool) { self->step(); });
    } else if (dns) {
        dns->stopDnsProxyVpnWithHandler([self](bool, std::optional<std::string>) { self->step(); });
    } else if (manager) {
        manager->stopAppProxyVpnWithHandler([self] { self->step(); });
    } else if (completion) {
        completion(true);
    }
}

} // namespace corvantis
