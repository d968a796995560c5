#include "platform/netext/NEAppProxyProvider.h"

namespace corvantis {

void NEAppProxyProvider::handleAppMessage(const std::vector<uint8_t>&, MessageCompletion completion)
{
    if (completion)
        completion(std::nullopt);
}

void NEAppProxyProvider::sleep(std::function<void()> completion)
{
    if (completion)
        completion();
}

void NEAppProxyProvider::wake()
{
}

void NEAppProxyProvider::cancelProxyWithError(std::optional<FlowError> error)
{
    std::function<void(std::optional<FlowError>)> cancelled;
    {
        MutexLock lock(m_mutex);
        m_cancelled = true;
        m_cancelError = error;
        cancelled = m_side.cancelled;
    }
    if (cancelled)
        cancelled(std::move(error));
}

void NEAppProxyProvider::setTunnelNetworkSettings(
    std::optional<NETransparentProxyNetworkSettings> settings, Completion completion)
{
    std::function<std::optional<FlowError>(const std::optional<NETransparentProxyNetworkSettings>&)> apply;
    {
        MutexLock lock(m_mutex);
        apply = m_side.applySettings;
    }
    std::optional<FlowError> error = apply ? apply(settings) : std::nullopt;
    if (!error) {
        MutexLock lock(m_mutex);
        m_applied = std::move(settings);
    }
    if (completion)
        completion(std::move(error));
}

void NEAppProxyProvider::setSystemSide(SystemSide side)
{
    MutexLock lock(m_mutex);
    m_side = std::move(side);
}

std::optional<NETransparentProxyNetworkSettings> NEAppProxyProvider::appliedSettings() const
{
    MutexLock lock(m_mutex);
    return m_applied;
}

bool NEAppProxyProvider::wasCancelled() const
{
    MutexLock lock(m_mutex);
    return m_cancelled;
}

std::optional<FlowError> NEAppProxyProvider::cancelError() const
{
    MutexLock lock(m_mutex);
    return m_cancelError;
}

} // namespace corvantis
