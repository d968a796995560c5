#include "tests/support/FakeNEConfigurationStore.h"

#include "platform/DispatchQueue.h"

#include <algorithm>

namespace corvantis::test {

FakeNEConfigurationStore::FakeNEConfigurationStore()
    : m_queue(DispatchQueue::create("FakeNEConfigurationStore queue"))
{
}

FakeNEConfigurationStore::~FakeNEConfigurationStore() = default;

std::string FakeNEConfigurationStore::put(NEConfiguration configuration, NEVPNStatus status)
{
    MutexLock lock(m_mutex);
    if (configuration.identifier.empty())
        configuration.identifier = "configuration-" + std::to_string(m_nextId++);
    if (configuration.kind != NEConfigurationKind::TransparentProxy)
        std::erase_if(m_configurations, [&](const auto& c) { return c.kind == configuration.kind; });
    else
        m_status[configuration.identifier] = status;
    m_configurations.push_back(configuration);
    return configuration.identifier;
}

std::vector<NEConfiguration> FakeNEConfigurationStore::stored(NEConfigurationKind kind) const
{
    MutexLock lock(m_mutex);
    std::vector<NEConfiguration> result;
    for (const auto& configuration : m_configurations)
        if (configuration.kind == kind)
            result.push_back(configuration);
    return result;
}

std::vector<NEConfiguration> FakeNEConfigurationStore::saves() const
{
    MutexLock lock(m_mutex);
    return m_saves;
}

std::size_t FakeNEConfigurationStore::saveCount() const
{
    MutexLock lock(m_mutex);
    return m_saves.size();
}

void FakeNEConfigurationStore::failNextLoad(std::string error, std::size_t skip)
{
    MutexLock lock(m_mutex);
    m_loadErrors.insert(m_loadErrors.end(), skip, std::nullopt);
    m_loadErrors.push_back(std::move(error));
}

void FakeNEConfigurationStore::failNextSave(std::string error)
{
    MutexLock lock(m_mutex);
    m_saveErrors.push_back(std::move(error));
}

void FakeNEConfigurationStore::scriptStart(StartOutcome outcome, std::string error)
{
    MutexLock lock(m_mutex);
    m_starts.push_back({ outcome, std::move(error) });
}

void FakeNEConfigurationStore::scriptReply(Reply reply, std::vector<uint8_t> data)
{
    MutexLock lock(m_mutex);
    m_replies.push_back({ reply, std::move(data) });
}

void FakeNEConfigurationStore::setStatus(const std::string& identifier, NEVPNStatus status)
{
    report(identifier, status);
}

std::size_t FakeNEConfigurationStore::startCount() const
{
    MutexLock lock(m_mutex);
    return m_startCount;
}

std::size_t FakeNEConfigurationStore::stopCount() const
{
    MutexLock lock(m_mutex);
    return m_stopCount;
}

std::vector<std::vector<uint8_t>> FakeNEConfigurationStore::messages() const
{
    MutexLock lock(m_mutex);
    return m_messages;
}

void FakeNEConfigurationStore::drain()
{
    m_queue->sync([] {});
}

void FakeNEConfigurationStore::load(NEConfigurationKind kind, LoadCompletion completion)
{
    std::optional<std::string> error;
    {
        MutexLock lock(m_mutex);
        if (!m_loadErrors.empty()) {
            error = std::move(m_loadErrors.front());
            m_loadErrors.pop_front();
        }
    }
    std::vector<NEConfiguration> configurations;
    if (!error)
        configurations = stored(kind);
    m_queue->async(
        [self = shared_from_this(), completion = std::move(completion), configurations = std::move(configurations),
            error = std::move(error)]() mutable { completion(std::move(configurations), std::move(error)); });
}

void FakeNEConfigurationStore::save(const NEConfiguration& configuration, SaveCompletion completion)
{
    std::optional<std::string> error;
    std::optional<NEConfiguration> result;
    {
        MutexLock lock(m_mutex);
        m_saves.push_back(configuration);
        if (!m_saveErrors.empty()) {
            error = std::move(m_saveErrors.front());
            m_saveErrors.pop_front();
        }
    }
    if (!error) {
        NEConfiguration toStore = configuration;
        MutexLock lock(m_mutex);
        auto known = std::find_if(m_configurations.begin(), m_configurations.end(), [&](const auto& c) {
            return toStore.kind == NEConfigurationKind::TransparentProxy ? c.identifier == toStore.identifier
                                                                         : c.kind == toStore.kind;
        });
        if (known != m_configurations.end()) {
            toStore.identifier = known->identifier;
            *known = toStore;
        } else {
            toStore.identifier = "configuration-" + std::to_string(m_nextId++);
            m_configurations.push_back(toStore);
            if (toStore.kind == NEConfigurationKind::TransparentProxy)
                m_status[toStore.identifier] = NEVPNStatus::Disconnected;
        }
        result = toStore;
    }
    m_queue->async([self = shared_from_this(), completion = std::move(completion), result = std::move(result),
                       error = std::move(error)]() mutable { completion(std::move(result), std::move(error)); });
}

NEVPNStatus FakeNEConfigurationStore::status(const std::string& identifier)
{
    MutexLock lock(m_mutex);
    auto it = m_status.find(identifier);
    return it == m_status.end() ? NEVPNStatus::Invalid : it->second;
}

std::optional<std::string> FakeNEConfigurationStore::startTunnel(const std::string& identifier)
{
    ScriptedStart start { StartOutcome::Connect, {} };
    {
        MutexLock lock(m_mutex);
        const NEConfiguration* configuration = findLocked(identifier);
        if (!configuration || configuration->kind != NEConfigurationKind::TransparentProxy)
            return std::string("No such configuration.");
        if (!configuration->enabled)
            return std::string("The configuration is disabled.");
        if (!m_starts.empty()) {
            start = std::move(m_starts.front());
            m_starts.pop_front();
        }
        if (start.outcome == StartOutcome::Refuse)
            return start.error;
        ++m_startCount;
    }
    report(identifier, NEVPNStatus::Connecting);
    report(identifier, start.outcome == StartOutcome::Connect ? NEVPNStatus::Connected : NEVPNStatus::Disconnected);
    return std::nullopt;
}

void FakeNEConfigurationStore::stopTunnel(const std::string& identifier)
{
    {
        MutexLock lock(m_mutex);
        ++m_stopCount;
        auto it = m_status.find(identifier);
        if (it == m_status.end() || it->second == NEVPNStatus::Disconnected)
            return;
    }
    report(identifier, NEVPNStatus::Disconnecting);
    report(identifier, NEVPNStatus::Disconnected);
}

bool FakeNEConfigurationStore::sendProviderMessage(
    const std::string& identifier, const std::vector<uint8_t>& message, ResponseHandler response)
{
    ScriptedReply reply { Reply::None, {} };
    {
        MutexLock lock(m_mutex);
        if (!m_replies.empty()) {
            reply = std::move(m_replies.front());
            m_replies.pop_front();
        }
        if (reply.reply == Reply::CannotSend || !findLocked(identifier))
            return false;
        m_messages.push_back(message);
        if (reply.reply == Reply::Never) {
            m_unanswered.push_back(std::move(response));
            return true;
        }
    }
    std::optional<std::vector<uint8_t>> data;
    if (reply.reply == Reply::Data)
        data = std::move(reply.data);
    m_queue->async([self = shared_from_this(), response = std::move(response), data = std::move(data)]() mutable {
        response(std::move(data));
    });
    return true;
}

void FakeNEConfigurationStore::addStatusObserver(StatusObserver observer)
{
    MutexLock lock(m_mutex);
    m_observers.push_back(std::move(observer));
}

void FakeNEConfigurationStore::report(const std::string& identifier, NEVPNStatus status)
{
    m_queue->async([self = shared_from_this(), identifier, status] {
        std::vector<StatusObserver> observers;
        {
            MutexLock lock(self->m_mutex);
            self->m_status[identifier] = status;
            observers = self->m_observers;
        }
        for (const auto& observer : observers)
            observer(identifier, status);
    });
}

const NEConfiguration* FakeNEConfigurationStore::findLocked(const std::string& identifier) const
{
    for (const auto& configuration : m_configurations)
        if (configuration.identifier == identifier)
            return &configuration;
    return nullptr;
}

} // namespace corvantis::test
