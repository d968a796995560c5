#include "platform/netext/NEProviderHost.h"

namespace corvantis {

NEProviderHost& NEProviderHost::shared()
{
    static NEProviderHost host;
    return host;
}

void NEProviderHost::setFactories(ProxyFactory proxies, FilterFactory filter)
{
    MutexLock lock(m_mutex);
    m_proxies = std::move(proxies);
    m_filter = std::move(filter);
}

void NEProviderHost::addStatusObserver(StatusObserver observer)
{
    MutexLock lock(m_mutex);
    m_observers.push_back(std::move(observer));
}

void NEProviderHost::setSettingsSinks(ProxySettingsSink proxy, FilterSettingsSink filter)
{
    MutexLock lock(m_mutex);
    m_proxySettings = std::move(proxy);
    m_filterSettings = std::move(filter);
}

std::shared_ptr<NEFilterDataProvider> NEProviderHost::runningFilter() const
{
    MutexLock lock(m_mutex);
    const auto it = m_entries.find(ProviderKind::ContentFilter);
    return it != m_entries.end() && it->second.status == SessionStatus::Connected ? it->second.filter : nullptr;
}

void NEProviderHost::setStatus(ProviderKind kind, SessionStatus status)
{
    std::vector<StatusObserver> observers;
    {
        MutexLock lock(m_mutex);
        m_entries[kind].status = status;
        observers = m_observers;
    }
    for (const auto& observer : observers)
        observer(kind, status);
}

SessionStatus NEProviderHost::status(ProviderKind kind) const
{
    MutexLock lock(m_mutex);
    const auto it = m_entries.find(kind);
    return it == m_entries.end() ? SessionStatus::Disconnected : it->second.status;
}

std::shared_ptr<NEAppProxyProvider> NEProviderHost::proxyOf(ProviderKind kind, bool make)
{
    ProxyFactory factory;
    ProxySettingsSink settings;
    {
        MutexLock lock(m_mutex);
        if (auto existing = m_entries[kind].proxy)
            return existing;
        if (!make)
            return nullptr;
        factory = m_proxies;
        settings = m_proxySettings;
    }
    std::shared_ptr<NEAppProxyProvider> made = factory ? factory(kind) : nullptr;
    // Once, when the provider is made: its settings go to the system, and a provider that cancels itself ends
    // its session.
    if (made) {
        NEAppProxyProvider::SystemSide side;
        if (settings)
            side.applySettings = [settings, kind](const std::optional<NETransparentProxyNetworkSettings>& applied) {
                return settings(kind, applied);
            };
        side.cancelled = [this, kind](std::optional<FlowError>) { stop(kind, 0, nullptr); };
        made->setSystemSide(std::move(side));
    }
    MutexLock lock(m_mutex);
    Entry& entry = m_entries[kind];
    if (!entry.proxy)
        entry.proxy = std::move(made);
    return entry.proxy;
}

std::shared_ptr<NEAppProxyProvider> NEProviderHost::runningProxy(ProviderKind kind) const
{
    MutexLock lock(m_mutex);
    const auto it = m_entries.find(kind);
    return it != m_entries.end() && it->second.status == SessionStatus::Connected ? it->second.proxy : nullptr;
}

void NEProviderHost::start(ProviderKind kind, std::function<void(std::optional<FlowError>)> completion)
{
    if (status(kind) == SessionStatus::Connected) {
        if (completion)
            completion(std::nullopt);
        return;
    }
    setStatus(kind, SessionStatus::Connecting);
    auto finish = [this, kind, completion](std::optional<FlowError> error) {
        setStatus(kind, error ? SessionStatus::Disconnected : SessionStatus::Connected);
        if (completion)
            completion(std::move(error));
    };
    if (kind == ProviderKind::ContentFilter) {
        std::shared_ptr<NEFilterDataProvider> filter;
        {
            MutexLock lock(m_mutex);
            Entry& entry = m_entries[kind];
            if (!entry.filter && m_filter) {
                entry.filter = m_filter();
                if (entry.filter && m_filterSettings)
                    entry.filter->setSettingsSink(m_filterSettings);
            }
            filter = entry.filter;
        }
        if (!filter)
            return finish(FlowError { "", 0, "no provider of this kind" });
        return filter->startFilter(finish);
    }
    const auto proxy = proxyOf(kind, true);
    if (!proxy)
        return finish(FlowError { "", 0, "no provider of this kind" });
    // The start's completion counts once, whatever the provider does.
    auto once = std::make_shared<std::once_flag>();
    proxy->startProxy(
        [once, finish](std::optional<FlowError> error) { std::call_once(*once, [&] { finish(std::move(error)); }); });
}

void NEProviderHost::stop(ProviderKind kind, int reason, std::function<void()> completion)
{
    const SessionStatus current = status(kind);
    if (current != SessionStatus::Connected && current != SessionStatus::Connecting) {
        if (completion)
            completion();
        return;
    }
    setStatus(kind, SessionStatus::Disconnecting);
    auto done = [this, kind, completion] {
        setStatus(kind, SessionStatus::Disconnected);
        if (completion)
            completion();
    };
    if (kind == ProviderKind::ContentFilter) {
        std::shared_ptr<NEFilterDataProvider> filter;
        {
            MutexLock lock(m_mutex);
            filter = m_entries[kind].filter;
        }
        if (filter)
            return filter->stopFilter(reason, done);
        return done();
    }
    if (const auto proxy = proxyOf(kind, false))
        return proxy->stopProxy(reason, done);
    done();
}

void NEProviderHost::sendProviderMessage(
    const std::vector<uint8_t>& message, NEAppProxyProvider::MessageCompletion completion)
{
    const auto proxy = proxyOf(ProviderKind::TransparentProxy, true);
    if (!proxy) {
        if (completion)
            completion(std::nullopt);
        return;
    }
    proxy->handleAppMessage(message, std::move(completion));
}

void NEProviderHost::attachFlowSource(FlowSource& source)
{
    source.start({ [this](const NEAppProxyTCPFlowPtr& flow) {
                      if (const auto proxy = runningProxy(ProviderKind::TransparentProxy);
                          proxy && proxy->handleNewFlow(flow))
                          return true;
                      const auto dns = runningProxy(ProviderKind::DnsProxy);
                      return dns && flow->remoteEndpoint().port == "53" && dns->handleNewFlow(flow);
                  },
        [this](const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint) {
            if (endpoint.port == "53") {
                if (const auto dns = runningProxy(ProviderKind::DnsProxy))
                    return dns->handleNewUDPFlow(flow, endpoint);
            }
            const auto proxy = runningProxy(ProviderKind::TransparentProxy);
            return proxy && proxy->handleNewUDPFlow(flow, endpoint);
        } });
}

} // namespace corvantis
