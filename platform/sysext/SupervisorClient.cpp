#include "platform/sysext/SupervisorClient.h"

#include "platform/NotificationCenter.h"
#include "platform/sysext/SupervisorProtocol.h"
#include "platform/xpc/XpcExportedObject.h"

#include <future>

namespace corvantis {

namespace {

constexpr const char* kNotRunning = "The supervisor is not running.";
constexpr const char* kNoAnswer = "The supervisor did not answer.";

std::optional<std::string> OptionalText(const XpcArray& values, size_t index)
{
    if (values.size() > index && values[index].string())
        return *values[index].string();
    return std::nullopt;
}

} // namespace

// Hands the supervisor's calls to the client while it lives.
class SupervisorClient::Exported final : public XpcExportedObject {
public:
    explicit Exported(std::weak_ptr<SupervisorClient> client)
        : m_client(std::move(client))
    {
    }

    void handleCall(const XpcSelector& selector, const XpcArray& arguments, XpcReplySender reply) override
    {
        const auto client = m_client.lock();
        if (!client)
            return;
        if (selector.name == kSessionStatusChangedSelector) {
            const int64_t status = *arguments.at(1).integer();
            if (status >= 0 && status <= static_cast<int64_t>(NEVPNStatus::Disconnecting))
                client->setStatus(*arguments.at(0).string(), static_cast<NEVPNStatus>(status));
            return;
        }
        client->onRequestEvent(selector.name, arguments, std::move(reply));
    }

private:
    const std::weak_ptr<SupervisorClient> m_client;
};

std::shared_ptr<SupervisorClient> SupervisorClient::create()
{
    return create(Options { kSupervisorServiceName });
}

std::shared_ptr<SupervisorClient> SupervisorClient::create(Options options)
{
    return std::make_shared<SupervisorClient>(PrivateTag {}, std::move(options));
}

SupervisorClient::SupervisorClient(PrivateTag, Options options)
    : m_options(std::move(options))
    , m_queue(DispatchQueue::create("SupervisorClient"))
{
}

SupervisorClient::~SupervisorClient()
{
    MutexLock lock(m_mutex);
    if (m_connection)
        m_connection->invalidate();
}

XpcConnectionPtr SupervisorClient::connection()
{
    XpcConnectionPtr connection;
    {
        MutexLock lock(m_mutex);
        if (m_connection && m_connection->isValid())
            return m_connection;
        connection = XpcConnection::createForService(m_options.serviceName, XpcConnection::kPrivileged);
        const uint64_t generation = ++m_generation;
        m_connection = connection;
        m_statusesKnown = false;
        const std::weak_ptr<SupervisorClient> weak = weak_from_this();
        connection->setRemoteObjectInterface(SupervisorInterface());
        connection->setExportedInterface(SupervisorClientInterface());
        connection->setExportedObject(std::make_shared<Exported>(weak));
        // A broken link means the supervisor went away: what it carried is lost, and the next call starts afresh
        // (and subscribes to the state changes again).
        const std::weak_ptr<XpcConnection> weakConnection = connection;
        connection->setInterruptionHandler([weakConnection] {
            if (const auto broken = weakConnection.lock())
                broken->invalidate();
        });
        connection->setInvalidationHandler([weak, generation] {
            if (const auto self = weak.lock())
                self->connectionLost(generation);
        });
        connection->resume();
    }
    // The first call also makes this client one that hears the state changes.
    call(
        kSessionStatusesSelector, {},
        [weak = weak_from_this()](XpcArray values) {
            const auto self = weak.lock();
            if (self && !values.empty() && values[0].dict())
                self->mergeStatuses(*values[0].dict());
        },
        [] {});
    return connection;
}

void SupervisorClient::call(
    const std::string& selector, XpcArray arguments, std::function<void(XpcArray)> reply, std::function<void()> lost)
{
    const XpcConnectionPtr link = connection();
    uint64_t id = 0;
    uint64_t generation = 0;
    {
        MutexLock lock(m_mutex);
        id = m_nextCall++;
        generation = m_connection == link ? m_generation : 0;
        m_calls[id] = PendingCall { generation, std::move(lost) };
    }
    link->sendMessage(selector, std::move(arguments), [weak = weak_from_this(), id, reply](XpcArray values) {
        const auto self = weak.lock();
        if (!self)
            return;
        {
            MutexLock lock(self->m_mutex);
            if (!self->m_calls.erase(id))
                return;
        }
        reply(std::move(values));
    });
    // A connect that failed invalidated the connection already; its handler may have run before the call was
    // recorded.
    if (!link->isValid() || generation == 0)
        connectionLost(generation);
}

void SupervisorClient::connectionLost(uint64_t generation)
{
    std::vector<std::function<void()>> lost;
    std::vector<std::shared_ptr<SystemExtensionRequestDelegate>> failed;
    std::vector<std::string> sessions;
    {
        MutexLock lock(m_mutex);
        for (auto it = m_calls.begin(); it != m_calls.end();) {
            if (it->second.generation != generation) {
                ++it;
                continue;
            }
            lost.push_back(std::move(it->second.lost));
            it = m_calls.erase(it);
        }
        for (auto it = m_requests.begin(); it != m_requests.end();) {
            if (it->second.generation != generation) {
                ++it;
                continue;
            }
            failed.push_back(std::move(it->second.delegate));
            it = m_requests.erase(it);
        }
        if (generation == m_generation) {
            if (m_connection && !m_connection->isValid())
                m_connection.reset();
            m_statusesKnown = false;
            for (const auto& [identifier, status] : m_statuses)
                if (status != NEVPNStatus::Disconnected && status != NEVPNStatus::Invalid)
                    sessions.push_back(identifier);
        }
    }
    for (auto& handler : lost)
        if (handler)
            m_queue->async(std::move(handler));
    for (auto& delegate : failed)
        postToMain([delegate] { delegate->didFailWithError(kNotRunning); });
    // The supervisor stops the extension when it ends, and with it every provider.
    for (const auto& identifier : sessions)
        setStatus(identifier, NEVPNStatus::Disconnected);
}

void SupervisorClient::mergeStatuses(const XpcDict& statuses)
{
    for (const auto& [identifier, value] : statuses) {
        const int64_t* status = value.integer();
        if (status && *status >= 0 && *status <= static_cast<int64_t>(NEVPNStatus::Disconnecting))
            setStatus(identifier, static_cast<NEVPNStatus>(*status), false);
    }
    MutexLock lock(m_mutex);
    m_statusesKnown = true;
}

void SupervisorClient::setStatus(const std::string& identifier, NEVPNStatus status, bool announceNew)
{
    std::vector<std::shared_ptr<StatusObserver>> observers;
    {
        MutexLock lock(m_mutex);
        auto [it, added] = m_statuses.emplace(identifier, status);
        if (added && !announceNew)
            return;
        if (!added) {
            if (it->second == status)
                return;
            it->second = status;
        }
        observers = m_observers;
    }
    m_queue->async([observers, identifier, status] {
        for (const auto& observer : observers)
            (*observer)(identifier, status);
    });
}

void SupervisorClient::postToMain(std::function<void()> task)
{
    NotificationCenter::defaultCenter().mainThreadExecutor()->post(std::move(task));
}

std::shared_ptr<SystemExtensionRequestDelegate> SupervisorClient::delegateOf(int64_t requestId, bool last)
{
    MutexLock lock(m_mutex);
    const auto it = m_requests.find(requestId);
    if (it == m_requests.end())
        return nullptr;
    auto delegate = it->second.delegate;
    if (last)
        m_requests.erase(it);
    return delegate;
}

void SupervisorClient::onRequestEvent(
    const std::string& selector, const XpcArray& arguments, std::function<void(XpcArray)> reply)
{
    const int64_t requestId = *arguments.at(0).integer();
    const bool last = selector == kRequestFinishedSelector || selector == kRequestFailedSelector;
    const auto delegate = delegateOf(requestId, last);
    if (selector == kRequestReplacingSelector) {
        if (!delegate)
            return reply({ XpcObject(static_cast<int>(SystemExtensionReplacementAction::Cancel)) });
        postToMain([delegate, reply, existing = *arguments.at(1).string(), newer = *arguments.at(2).string()] {
            reply({ XpcObject(static_cast<int>(delegate->actionForReplacingExtension(existing, newer))) });
        });
        return;
    }
    if (!delegate)
        return;
    if (selector == kRequestNeedsApprovalSelector) {
        postToMain([delegate] { delegate->requestNeedsUserApproval(); });
    } else if (selector == kRequestFinishedSelector) {
        const auto result = static_cast<SystemExtensionRequestResult>(*arguments.at(1).integer());
        postToMain([delegate, result] { delegate->didFinishWithResult(result); });
    } else if (selector == kRequestFailedSelector) {
        postToMain([delegate, text = *arguments.at(1).string()] { delegate->didFailWithError(text); });
    } else if (selector == kRequestFoundPropertiesSelector) {
        std::vector<SystemExtensionProperties> found;
        for (const XpcObject& record : *arguments.at(1).array()) {
            auto properties = PropertiesFromXpc(record);
            if (properties.ok())
                found.push_back(std::move(properties.value()));
        }
        postToMain([delegate, found] { delegate->foundProperties(found); });
    }
}

void SupervisorClient::submitRequest(SystemExtensionRequestKind kind, const std::string& identifier,
    std::shared_ptr<SystemExtensionRequestDelegate> delegate)
{
    const XpcConnectionPtr link = connection();
    int64_t requestId = 0;
    uint64_t generation = 0;
    {
        MutexLock lock(m_mutex);
        requestId = m_nextRequest++;
        generation = m_connection == link ? m_generation : 0;
        m_requests[requestId] = PendingRequest { generation, std::move(delegate) };
    }
    link->sendMessage(kSubmitRequestSelector,
        { XpcObject(static_cast<long long>(requestId)), XpcObject(static_cast<int>(kind)), XpcObject(identifier) }, {});
    if (!link->isValid() || generation == 0)
        connectionLost(generation);
}

void SupervisorClient::load(NEConfigurationKind kind, LoadCompletion completion)
{
    call(
        kLoadConfigurationsSelector, { XpcObject(static_cast<int>(kind)) },
        [queue = m_queue, completion](XpcArray values) {
            std::vector<NEConfiguration> configurations;
            std::optional<std::string> error = OptionalText(values, 1);
            if (!values.empty() && values[0].array()) {
                for (const XpcObject& value : *values[0].array()) {
                    auto configuration = ConfigurationFromXpc(value);
                    if (!configuration.ok()) {
                        error = configuration.status().message();
                        continue;
                    }
                    configurations.push_back(std::move(configuration.value()));
                }
            }
            queue->async(
                [completion, configurations = std::move(configurations), error] { completion(configurations, error); });
        },
        [completion] { completion({}, std::string(kNotRunning)); });
}

void SupervisorClient::save(const NEConfiguration& configuration, SaveCompletion completion)
{
    call(
        kSaveConfigurationSelector, { ConfigurationToXpc(configuration) },
        [queue = m_queue, completion](XpcArray values) {
            std::optional<NEConfiguration> stored;
            std::optional<std::string> error = OptionalText(values, 1);
            if (!values.empty() && !values[0].isAbsent()) {
                auto decoded = ConfigurationFromXpc(values[0]);
                if (decoded.ok())
                    stored = std::move(decoded.value());
                else
                    error = decoded.status().message();
            }
            if (!stored && !error)
                error = "The supervisor stored nothing.";
            queue->async([completion, stored = std::move(stored), error] { completion(stored, error); });
        },
        [completion] { completion(std::nullopt, std::string(kNotRunning)); });
}

NEVPNStatus SupervisorClient::status(const std::string& identifier)
{
    bool known = false;
    {
        MutexLock lock(m_mutex);
        known = m_statusesKnown && m_connection && m_connection->isValid();
    }
    if (!known) {
        auto done = std::make_shared<std::promise<void>>();
        call(
            kSessionStatusesSelector, {},
            [weak = weak_from_this(), done](XpcArray values) {
                const auto self = weak.lock();
                if (self && !values.empty() && values[0].dict())
                    self->mergeStatuses(*values[0].dict());
                done->set_value();
            },
            [done] { done->set_value(); });
        done->get_future().wait_for(m_options.callBound);
    }
    MutexLock lock(m_mutex);
    const auto it = m_statuses.find(identifier);
    return it == m_statuses.end() ? NEVPNStatus::Invalid : it->second;
}

std::optional<std::string> SupervisorClient::startTunnel(const std::string& identifier)
{
    auto answer = std::make_shared<std::promise<std::optional<std::string>>>();
    call(
        kStartSessionSelector, { XpcObject(identifier) },
        [answer](XpcArray values) { answer->set_value(OptionalText(values, 0)); },
        [answer] { answer->set_value(std::string(kNotRunning)); });
    auto future = answer->get_future();
    if (future.wait_for(m_options.callBound) != std::future_status::ready)
        return std::string(kNoAnswer);
    return future.get();
}

void SupervisorClient::stopTunnel(const std::string& identifier)
{
    call(
        kStopSessionSelector, { XpcObject(identifier) }, [](XpcArray) {}, [] {});
}

bool SupervisorClient::sendProviderMessage(
    const std::string& identifier, const std::vector<uint8_t>& message, ResponseHandler response)
{
    if (status(identifier) == NEVPNStatus::Invalid)
        return false;
    call(
        kSessionMessageSelector, { XpcObject(identifier), XpcObject(PlistData(message)) },
        [queue = m_queue, response](XpcArray values) {
            std::optional<std::vector<uint8_t>> data;
            if (values.size() == 2 && values[0].boolean() && *values[0].boolean() && values[1].data())
                data = *values[1].data();
            queue->async([response, data = std::move(data)] { response(data); });
        },
        [response] { response(std::nullopt); });
    return true;
}

void SupervisorClient::addStatusObserver(StatusObserver observer)
{
    MutexLock lock(m_mutex);
    m_observers.push_back(std::make_shared<StatusObserver>(std::move(observer)));
}

void SupervisorClient::allowUser(uid_t uid, std::function<void(std::optional<std::string> error)> completion)
{
    call(
        kAllowUserSelector, { XpcObject(static_cast<long long>(uid)) },
        [queue = m_queue, completion](XpcArray values) {
            const bool done = !values.empty() && values[0].boolean() && *values[0].boolean();
            std::optional<std::string> error;
            if (!done)
                error = OptionalText(values, 1).value_or("The supervisor refused.");
            queue->async([completion, error] { completion(error); });
        },
        [completion] { completion(std::string(kNotRunning)); });
}

void SupervisorClient::disconnect()
{
    XpcConnectionPtr connection;
    {
        MutexLock lock(m_mutex);
        connection = m_connection;
    }
    if (connection)
        connection->invalidate();
}

} // namespace corvantis
