#include "supervisor/Supervisor.h"

#include "platform/SystemLog.h"
#include "platform/sysext/SupervisorProtocol.h"
#include "platform/xpc/XpcExportedObject.h"
#include "platform/xpc/XpcSocketAddress.h"
#include "supervisor/TreeCheck.h"

#include <cerrno>
#include <pwd.h>
#include <sys/wait.h>

namespace corvantis {

namespace {

constexpr const char* kNotAllowed
    = "This user may not use the network extension until an administrator allows it (corvantis-supervisor allow).";
constexpr const char* kNotActivated = "The network extension is not activated.";
// The reason a transparent proxy's provider is stopped for: the user asked.
constexpr int kUserInitiated = 1;

std::string DescribeWaitStatus(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

// Everyone may connect to the supervisor's socket: the supervisor answers each caller by its uid itself, and
// an unknown user's activation must reach it to wait for approval. The listener admits a set of uids, so the
// set holds every uid an account is likely to have.
std::set<uid_t> EveryUid()
{
    std::set<uid_t> uids;
    for (uid_t uid = 0; uid <= 65535; ++uid)
        uids.insert(uids.end(), uid);
    ::setpwent();
    while (const passwd* entry = ::getpwent())
        uids.insert(entry->pw_uid);
    ::endpwent();
    return uids;
}

std::string SocketPath(const std::string& serviceName)
{
    auto address = XpcSocketAddress::forService(serviceName);
    return address.ok() ? address.value().name() : std::string();
}

} // namespace

// One caller's connection: its calls go to the supervisor's queue with the uid its credentials gave.
class Supervisor::CallerObject final : public XpcExportedObject {
public:
    CallerObject(std::weak_ptr<Supervisor> supervisor, std::weak_ptr<XpcConnection> connection, uid_t uid)
        : m_supervisor(std::move(supervisor))
        , m_connection(std::move(connection))
        , m_uid(uid)
    {
    }

    void handleCall(const XpcSelector& selector, const XpcArray& arguments, XpcReplySender reply) override
    {
        const auto supervisor = m_supervisor.lock();
        const auto connection = m_connection.lock();
        if (!supervisor || !connection)
            return;
        supervisor->m_queue->async(
            [supervisor, connection, uid = m_uid, name = selector.name, arguments, reply = std::move(reply)] {
                supervisor->handleCall(connection, uid, name, arguments, reply);
            });
    }

private:
    const std::weak_ptr<Supervisor> m_supervisor;
    const std::weak_ptr<XpcConnection> m_connection;
    const uid_t m_uid;
};

Result<std::shared_ptr<Supervisor>> Supervisor::start(Options options)
{
    auto self = std::make_shared<Supervisor>(PrivateTag {}, std::move(options));
    const std::weak_ptr<Supervisor> weak = self;
    self->m_process->setExitObserver([weak](pid_t pid, int status) {
        const auto supervisor = weak.lock();
        if (!supervisor || pid == 0 || pid != supervisor->m_runPid)
            return;
        supervisor->extensionEnded(
            "The network extension (pid " + std::to_string(pid) + ") ended: " + DescribeWaitStatus(status));
    });
    if (Status loaded = self->m_allowList.reload(); !loaded.ok())
        SystemLog("Allow list: " + loaded.message());
    self->m_queue->sync([&] {
        // A supervisor that ended without its stop (killed, a crash of the machine) left what the extension had.
        self->runCleanup();
        auto configurations = self->m_configurations.load();
        if (!configurations.ok()) {
            SystemLog(configurations.status().message());
            return;
        }
        for (const NEConfiguration& configuration : configurations.value())
            if (configuration.kind == NEConfigurationKind::TransparentProxy)
                self->m_sessions[configuration.identifier] = NEVPNStatus::Disconnected;
    });

    XpcListener::Options listenerOptions;
    listenerOptions.allowedUids = EveryUid();
    listenerOptions.socketMode = 0666;
    auto listener = XpcListener::createForService(self->m_options.serviceName, std::move(listenerOptions));
    if (!listener.ok())
        return listener.status();
    listener.value()->setDelegate([weak](const XpcConnectionPtr& connection) {
        const auto supervisor = weak.lock();
        const auto peer = connection->peerCredentials();
        if (!supervisor || !peer)
            return false;
        const std::weak_ptr<XpcConnection> weakConnection = connection;
        connection->setExportedInterface(SupervisorInterface());
        connection->setRemoteObjectInterface(SupervisorClientInterface());
        connection->setExportedObject(std::make_shared<CallerObject>(weak, weakConnection, peer->uid));
        connection->setInvalidationHandler([weak, weakConnection] {
            const auto supervisor = weak.lock();
            if (!supervisor)
                return;
            supervisor->m_queue->async([supervisor, weakConnection] {
                const auto gone = [&](const std::weak_ptr<XpcConnection>& other) {
                    return other.expired()
                        || (!other.owner_before(weakConnection) && !weakConnection.owner_before(other));
                };
                std::erase_if(supervisor->m_callers, [&](const Caller& caller) { return gone(caller.connection); });
                std::erase_if(
                    supervisor->m_pendingActivations, [&](const auto& entry) { return gone(entry.second.connection); });
            });
        });
        supervisor->m_queue->async([supervisor, weakConnection, uid = peer->uid] {
            supervisor->m_callers.push_back(Caller { weakConnection, uid });
        });
        connection->resume();
        return true;
    });
    if (Status resumed = listener.value()->resume(); !resumed.ok())
        return resumed;
    self->m_listener = listener.value();
    SystemLog(
        "Corvantis supervisor - pid " + std::to_string(::getpid()) + ", serving " + self->m_listener->description());
    return self;
}

Supervisor::Supervisor(PrivateTag, Options options)
    : m_options(std::move(options))
    , m_queue(DispatchQueue::create("Supervisor"))
    , m_allowList(m_options.stateFolder / AllowList::kFileName)
    , m_configurations(m_options.stateFolder / ConfigurationFile::kFileName)
    , m_process(std::make_unique<ExtensionProcess>(m_queue))
{
}

Supervisor::~Supervisor()
{
    stop();
}

void Supervisor::stop()
{
    if (m_listener)
        m_listener->invalidate();
    m_queue->sync([&] {
        if (m_stopped)
            return;
        m_stopped = true;
        m_activated = false;
        if (m_runPid != 0)
            stopExtension();
        else
            runCleanup();
        for (const Caller& caller : m_callers)
            if (const auto connection = caller.connection.lock())
                connection->invalidate();
        m_callers.clear();
        m_pendingActivations.clear();
    });
}

void Supervisor::handleCall(
    const XpcConnectionPtr& connection, uid_t uid, const std::string& selector, const XpcArray& arguments, Reply reply)
{
    if (m_stopped)
        return;
    if (selector == kSubmitRequestSelector) {
        submitRequest(connection, uid, *arguments.at(0).integer(), static_cast<int>(*arguments.at(1).integer()),
            *arguments.at(2).string());
    } else if (selector == kLoadConfigurationsSelector) {
        load(uid, static_cast<int>(*arguments.at(0).integer()), reply);
    } else if (selector == kSaveConfigurationSelector) {
        save(uid, arguments.at(0), reply);
    } else if (selector == kStartSessionSelector) {
        startSession(uid, *arguments.at(0).string(), reply);
    } else if (selector == kStopSessionSelector) {
        stopSession(uid, *arguments.at(0).string(), reply);
    } else if (selector == kSessionStatusesSelector) {
        XpcDict statuses;
        for (const auto& [identifier, status] : m_sessions)
            statuses[identifier] = XpcObject(static_cast<int>(status));
        reply({ XpcObject(std::move(statuses)) });
    } else if (selector == kSessionMessageSelector) {
        sendMessage(uid, *arguments.at(0).string(), *arguments.at(1).data(), reply);
    } else if (selector == kAllowUserSelector) {
        const int64_t target = *arguments.at(0).integer();
        if (target < 0 || target >= static_cast<int64_t>(static_cast<uid_t>(-1)))
            return reply({ XpcObject(false), XpcObject("No such uid: " + std::to_string(target)) });
        allowUser(uid, static_cast<uid_t>(target), reply);
    }
}

std::optional<std::string> Supervisor::refusal(uid_t uid) const
{
    if (uid != 0 && !m_allowList.contains(uid))
        return std::string(kNotAllowed);
    if (uid != 0 && m_runPid != 0 && m_owner != uid)
        return std::string(kExtensionRunsForAnotherUser);
    return std::nullopt;
}

void Supervisor::send(const std::weak_ptr<XpcConnection>& connection, const std::string& selector, XpcArray arguments,
    XpcConnection::ReplyHandler reply)
{
    if (const auto link = connection.lock())
        link->sendMessage(selector, std::move(arguments), std::move(reply));
}

void Supervisor::failRequest(const std::weak_ptr<XpcConnection>& connection, int64_t requestId, const std::string& why)
{
    send(connection, kRequestFailedSelector, { XpcObject(static_cast<long long>(requestId)), XpcObject(why) });
}

void Supervisor::finishRequest(const std::weak_ptr<XpcConnection>& connection, int64_t requestId)
{
    send(connection, kRequestFinishedSelector,
        { XpcObject(static_cast<long long>(requestId)),
            XpcObject(static_cast<int>(SystemExtensionRequestResult::Completed)) });
}

void Supervisor::submitRequest(
    const XpcConnectionPtr& connection, uid_t uid, int64_t requestId, int kind, const std::string& identifier)
{
    const auto name = Manifest::readServiceName(m_options.tree.manifest());
    if (!name.ok())
        return failRequest(connection, requestId, name.status().message());
    if (identifier != name.value())
        return failRequest(
            connection, requestId, "No extension " + identifier + " in " + m_options.tree.root().string());
    const auto requestKind = static_cast<SystemExtensionRequestKind>(kind);
    if (requestKind == SystemExtensionRequestKind::Activation) {
        if (uid != 0 && !m_allowList.contains(uid)) {
            // Only the newest activation of a user waits; the one it replaces is never answered.
            m_pendingActivations[uid] = PendingActivation { connection, requestId };
            SystemLog("The activation by uid " + std::to_string(uid)
                + " waits until an administrator allows that user (corvantis-supervisor allow)");
            send(connection, kRequestNeedsApprovalSelector, { XpcObject(static_cast<long long>(requestId)) });
            return;
        }
        return activate(connection, uid, requestId);
    }
    if (const auto why = refusal(uid))
        return failRequest(connection, requestId, *why);
    if (requestKind == SystemExtensionRequestKind::Deactivation) {
        m_activated = false;
        stopExtension();
        return finishRequest(connection, requestId);
    }
    if (requestKind == SystemExtensionRequestKind::Properties) {
        XpcArray records;
        if (m_activated) {
            SystemExtensionProperties properties;
            properties.bundleIdentifier = identifier;
            properties.bundleShortVersion = m_process->startedVersion();
            properties.isEnabled = true;
            records.push_back(PropertiesToXpc(properties));
        }
        send(connection, kRequestFoundPropertiesSelector,
            { XpcObject(static_cast<long long>(requestId)), XpcObject(std::move(records)) });
        return finishRequest(connection, requestId);
    }
    failRequest(connection, requestId, "Unknown request kind " + std::to_string(kind));
}

void Supervisor::activate(const XpcConnectionPtr& connection, uid_t uid, int64_t requestId)
{
    if (m_runPid == 0) {
        const Status started = startExtension(uid);
        if (!started.ok()) {
            SystemLog("Activation failed: " + started.message());
            return failRequest(connection, requestId, started.message());
        }
        m_activated = true;
        return finishRequest(connection, requestId);
    }
    if (uid != 0 && m_owner != uid) {
        SystemLog("Activation by uid " + std::to_string(uid) + " refused: " + kExtensionRunsForAnotherUser);
        return failRequest(connection, requestId, kExtensionRunsForAnotherUser);
    }
    if (!m_process->identityChanged()) {
        m_activated = true;
        return finishRequest(connection, requestId);
    }
    // Another build of the extension sits in the tree: the caller decides whether it replaces the running one.
    const auto version = Manifest::readShortVersion(m_options.tree.manifest());
    const std::weak_ptr<XpcConnection> weakConnection = connection;
    const std::weak_ptr<Supervisor> weak = weak_from_this();
    send(connection, kRequestReplacingSelector,
        { XpcObject(static_cast<long long>(requestId)), XpcObject(m_process->startedVersion()),
            XpcObject(version.ok() ? version.value() : std::string()) },
        [weak, weakConnection, requestId, owner = m_owner.value_or(0)](XpcArray values) {
            const auto self = weak.lock();
            if (!self)
                return;
            const bool replace = !values.empty() && values[0].integer()
                && *values[0].integer() == static_cast<int>(SystemExtensionReplacementAction::Replace);
            self->m_queue->async([self, weakConnection, requestId, owner, replace] {
                if (self->m_stopped)
                    return;
                if (!replace)
                    return self->failRequest(weakConnection, requestId, "The replacement was cancelled.");
                const auto connection = weakConnection.lock();
                if (connection)
                    self->replaceExtension(connection, requestId, owner);
            });
        });
}

void Supervisor::replaceExtension(const XpcConnectionPtr& connection, int64_t requestId, uid_t owner)
{
    SystemLog("Replacing the network extension (pid " + std::to_string(m_runPid) + ")");
    stopExtension();
    const Status started = startExtension(owner);
    if (!started.ok()) {
        SystemLog("Replacement failed: " + started.message());
        return failRequest(connection, requestId, started.message());
    }
    m_activated = true;
    finishRequest(connection, requestId);
}

void Supervisor::allowUser(uid_t caller, uid_t uid, Reply reply)
{
    if (caller != 0)
        return reply({ XpcObject(false), XpcObject("Only root may allow users.") });
    // `corvantis-supervisor allow` stored the user already; adding again is harmless and covers a caller that
    // did not, and the reload picks up what other processes added.
    const auto added = m_allowList.add(std::to_string(uid));
    if (!added.ok())
        return reply({ XpcObject(false), XpcObject(added.status().message()) });
    if (Status reloaded = m_allowList.reload(); !reloaded.ok())
        SystemLog("Allow list: " + reloaded.message());
    SystemLog("Allowed uid " + std::to_string(uid));
    reply({ XpcObject(true), XpcObject("") });
    for (auto it = m_pendingActivations.begin(); it != m_pendingActivations.end();) {
        if (!m_allowList.contains(it->first)) {
            ++it;
            continue;
        }
        const uid_t waiting = it->first;
        const PendingActivation pending = it->second;
        it = m_pendingActivations.erase(it);
        if (const auto connection = pending.connection.lock())
            activate(connection, waiting, pending.requestId);
    }
}

void Supervisor::load(uid_t uid, int kind, Reply reply)
{
    if (uid != 0 && !m_allowList.contains(uid))
        return reply({ XpcObject(XpcArray {}), XpcObject(kNotAllowed) });
    const auto configurations = m_configurations.load();
    if (!configurations.ok())
        return reply({ XpcObject(XpcArray {}), XpcObject(configurations.status().message()) });
    XpcArray found;
    for (const NEConfiguration& configuration : configurations.value())
        if (static_cast<int>(configuration.kind) == kind)
            found.push_back(ConfigurationToXpc(configuration));
    reply({ XpcObject(std::move(found)), XpcObject() });
}

void Supervisor::save(uid_t uid, const XpcObject& value, Reply reply)
{
    if (uid != 0 && !m_allowList.contains(uid))
        return reply({ XpcObject(), XpcObject(kNotAllowed) });
    auto configuration = ConfigurationFromXpc(value);
    if (!configuration.ok())
        return reply({ XpcObject(), XpcObject(configuration.status().message()) });
    auto list = m_configurations.load();
    if (!list.ok())
        return reply({ XpcObject(), XpcObject(list.status().message()) });
    const NEConfiguration stored = ConfigurationFile::put(list.value(), std::move(configuration.value()));
    if (Status saved = m_configurations.save(list.value()); !saved.ok())
        return reply({ XpcObject(), XpcObject(saved.message()) });
    reply({ ConfigurationToXpc(stored), XpcObject() });
    if (stored.kind == NEConfigurationKind::TransparentProxy) {
        const auto session = m_sessions.find(stored.identifier);
        if (session == m_sessions.end())
            setSessionStatus(stored.identifier, NEVPNStatus::Disconnected);
        else if (!stored.enabled
            && (session->second == NEVPNStatus::Connected || session->second == NEVPNStatus::Connecting))
            stopSession(0, stored.identifier, [](XpcArray) {});
        return;
    }
    applyProvider(stored);
}

void Supervisor::applyProvider(const NEConfiguration& configuration)
{
    const int kind = static_cast<int>(configuration.kind);
    const std::string what = configuration.kind == NEConfigurationKind::DnsProxy ? "DNS proxy" : "content filter";
    if (!configuration.enabled) {
        if (!m_control)
            return;
        const uint64_t call = trackProviderCall([] {});
        m_control->stop(kind, kUserInitiated, [weak = weak_from_this(), call, what] {
            if (const auto self = weak.lock())
                self->m_queue->async([self, call, what] {
                    if (self->finishProviderCall(call))
                        SystemLog("Stopped the " + what);
                });
        });
        return;
    }
    // Not activated: it starts with the extension's next start.
    if (!m_activated)
        return;
    if (!m_control) {
        // Starting the extension starts every enabled provider.
        if (const auto why = ensureExtension(m_lastOwner))
            SystemLog("Cannot start the " + what + ": " + *why);
        return;
    }
    const uint64_t call
        = trackProviderCall([what] { SystemLog("The " + what + " did not start: the network extension ended"); });
    m_control->start(kind, [weak = weak_from_this(), call, what](std::optional<FlowError> error) {
        if (const auto self = weak.lock())
            self->m_queue->async([self, call, what, error] {
                if (!self->finishProviderCall(call))
                    return;
                SystemLog(error ? "The " + what + " did not start: " + error->description : "Started the " + what);
            });
    });
}

void Supervisor::startSession(uid_t uid, const std::string& identifier, Reply reply)
{
    if (const auto why = refusal(uid))
        return reply({ XpcObject(*why) });
    const auto configurations = m_configurations.load();
    if (!configurations.ok())
        return reply({ XpcObject(configurations.status().message()) });
    const NEConfiguration* configuration = nullptr;
    for (const NEConfiguration& candidate : configurations.value())
        if (candidate.identifier == identifier && candidate.kind == NEConfigurationKind::TransparentProxy)
            configuration = &candidate;
    if (!configuration)
        return reply({ XpcObject("No transparent proxy configuration " + identifier) });
    if (!configuration->enabled)
        return reply({ XpcObject("The configuration " + identifier + " is disabled.") });
    if (!m_activated)
        return reply({ XpcObject(kNotActivated) });
    reply({ XpcObject() });
    const NEVPNStatus current = m_sessions[identifier];
    if (current == NEVPNStatus::Connecting || current == NEVPNStatus::Connected)
        return;
    setSessionStatus(identifier, NEVPNStatus::Connecting);
    if (const auto why = ensureExtension(uid)) {
        SystemLog("The session " + identifier + " did not start: " + *why);
        return setSessionStatus(identifier, NEVPNStatus::Disconnected);
    }
    const std::weak_ptr<Supervisor> weak = weak_from_this();
    const uint64_t call = trackProviderCall([weak, identifier] {
        if (const auto self = weak.lock())
            self->setSessionStatus(identifier, NEVPNStatus::Disconnected);
    });
    m_control->start(static_cast<int>(NEConfigurationKind::TransparentProxy),
        [weak, call, identifier](std::optional<FlowError> error) {
            const auto self = weak.lock();
            if (!self)
                return;
            self->m_queue->async([self, call, identifier, error] {
                if (!self->finishProviderCall(call))
                    return;
                if (error)
                    SystemLog("The session " + identifier + " did not start: " + error->description);
                // A stop asked for meanwhile has the last word.
                if (self->m_sessions[identifier] == NEVPNStatus::Connecting)
                    self->setSessionStatus(identifier, error ? NEVPNStatus::Disconnected : NEVPNStatus::Connected);
            });
        });
}

void Supervisor::stopSession(uid_t uid, const std::string& identifier, Reply reply)
{
    if (const auto why = refusal(uid))
        return reply({ XpcObject(false) });
    reply({ XpcObject(true) });
    const auto session = m_sessions.find(identifier);
    if (session == m_sessions.end() || session->second == NEVPNStatus::Disconnected
        || session->second == NEVPNStatus::Disconnecting)
        return;
    setSessionStatus(identifier, NEVPNStatus::Disconnecting);
    if (!m_control)
        return setSessionStatus(identifier, NEVPNStatus::Disconnected);
    const std::weak_ptr<Supervisor> weak = weak_from_this();
    const auto disconnected = [weak, identifier] {
        if (const auto self = weak.lock())
            self->setSessionStatus(identifier, NEVPNStatus::Disconnected);
    };
    const uint64_t call = trackProviderCall(disconnected);
    m_control->stop(static_cast<int>(NEConfigurationKind::TransparentProxy), kUserInitiated, [weak, call, identifier] {
        if (const auto self = weak.lock())
            self->m_queue->async([self, call, identifier] {
                if (self->finishProviderCall(call))
                    self->setSessionStatus(identifier, NEVPNStatus::Disconnected);
            });
    });
}

void Supervisor::sendMessage(uid_t uid, const std::string& identifier, const std::vector<uint8_t>& message, Reply reply)
{
    if (const auto why = refusal(uid)) {
        SystemLog("A provider message from uid " + std::to_string(uid) + " refused: " + *why);
        return reply({ XpcObject(false), XpcObject() });
    }
    if (!m_sessions.count(identifier))
        return reply({ XpcObject(false), XpcObject() });
    if (const auto why = ensureExtension(uid)) {
        SystemLog("A provider message for " + identifier + " not sent: " + *why);
        return reply({ XpcObject(false), XpcObject() });
    }
    const uint64_t call = trackProviderCall([reply] { reply({ XpcObject(true), XpcObject() }); });
    m_control->sendProviderMessage(
        message, [weak = weak_from_this(), call, reply](std::optional<std::vector<uint8_t>> response) {
            const auto self = weak.lock();
            if (!self)
                return;
            self->m_queue->async([self, call, reply, response] {
                if (self->finishProviderCall(call))
                    reply({ XpcObject(true), response ? XpcObject(PlistData(*response)) : XpcObject() });
            });
        });
}

Status Supervisor::startExtension(uid_t owner)
{
    if (m_runPid != 0)
        return {};
    const auto binary = m_options.tree.extensionBinary();
    const auto manifest = m_options.tree.manifest();
    for (const auto& path : { binary, manifest })
        if (Status trusted = TreeCheck::check(path, m_options.trustedUid); !trusted.ok())
            return Status::error(trusted.errnum(), "Refused to run the network extension: " + trusted.message());
    const auto name = Manifest::readServiceName(manifest);
    if (!name.ok())
        return name.status();
    std::vector<std::string> arguments;
    if (owner != 0)
        arguments = { "-AllowedUid", std::to_string(owner) };
    if (Status started = m_process->start(binary, arguments, {}, manifest); !started.ok())
        return started;
    const pid_t pid = m_process->pid();
    const auto deadline = std::chrono::steady_clock::now() + m_options.startBound;
    Status ready;
    for (const std::string& service : { name.value(), ProviderControlServiceName(name.value()) }) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        ready = m_process->waitUntilAccepting(SocketPath(service), std::max(left, std::chrono::milliseconds(0)));
        if (!ready.ok())
            break;
    }
    if (!ready.ok()) {
        m_process->stop(m_options.stopBound);
        runCleanup();
        return Status::error(ready.errnum(), "The network extension did not start: " + ready.message());
    }
    m_runPid = pid;
    ++m_run;
    m_owner = owner;
    m_lastOwner = owner;
    m_serviceName = name.value();
    m_control = std::make_unique<ProviderControlClient>(m_serviceName);
    SystemLog("Started the network extension (pid " + std::to_string(pid) + ")"
        + (owner != 0 ? " for uid " + std::to_string(owner) : std::string(" for root only")));
    // Enabled DNS proxies and filters run whenever the extension does.
    const auto configurations = m_configurations.load();
    if (!configurations.ok()) {
        SystemLog(configurations.status().message());
        return {};
    }
    for (const NEConfiguration& configuration : configurations.value())
        if (configuration.enabled && configuration.kind != NEConfigurationKind::TransparentProxy)
            applyProvider(configuration);
    return {};
}

std::optional<std::string> Supervisor::ensureExtension(uid_t uid)
{
    if (m_runPid != 0) {
        if (uid != 0 && m_owner != uid)
            return std::string(kExtensionRunsForAnotherUser);
        return std::nullopt;
    }
    if (!m_activated)
        return std::string(kNotActivated);
    const Status started = startExtension(uid != 0 ? uid : m_lastOwner);
    if (!started.ok())
        return started.message();
    return std::nullopt;
}

void Supervisor::stopExtension()
{
    if (m_runPid == 0)
        return;
    const pid_t pid = m_runPid;
    const auto status = m_process->stop(m_options.stopBound);
    extensionEnded("Stopped the network extension (pid " + std::to_string(pid) + ")"
        + (status ? ": " + DescribeWaitStatus(*status) : std::string()));
}

void Supervisor::extensionEnded(const std::string& why)
{
    SystemLog(why);
    m_runPid = 0;
    m_owner.reset();
    m_control.reset();
    auto calls = std::move(m_providerCalls);
    m_providerCalls.clear();
    for (auto& [id, lost] : calls)
        lost();
    for (const auto& [identifier, status] : std::map<std::string, NEVPNStatus>(m_sessions))
        if (status != NEVPNStatus::Disconnected && status != NEVPNStatus::Invalid)
            setSessionStatus(identifier, NEVPNStatus::Disconnected);
    runCleanup();
}

void Supervisor::runCleanup()
{
    const auto binary = m_options.tree.extensionBinary();
    if (Status trusted = TreeCheck::check(binary, m_options.trustedUid); !trusted.ok()) {
        SystemLog("No cleanup: " + trusted.message());
        return;
    }
    if (Status cleaned = ExtensionProcess::runCleanup(binary, m_options.cleanupBound); !cleaned.ok())
        SystemLog("Cleanup: " + cleaned.message());
}

void Supervisor::setSessionStatus(const std::string& identifier, NEVPNStatus status)
{
    m_sessions[identifier] = status;
    std::erase_if(m_callers, [](const Caller& caller) { return caller.connection.expired(); });
    for (const Caller& caller : m_callers)
        send(caller.connection, kSessionStatusChangedSelector,
            { XpcObject(identifier), XpcObject(static_cast<int>(status)) });
}

uint64_t Supervisor::trackProviderCall(std::function<void()> lost)
{
    const uint64_t id = m_nextProviderCall++;
    m_providerCalls[id] = std::move(lost);
    m_queue->after(m_options.providerBound, [weak = weak_from_this(), id] {
        const auto self = weak.lock();
        if (!self)
            return;
        const auto it = self->m_providerCalls.find(id);
        if (it == self->m_providerCalls.end())
            return;
        auto lost = std::move(it->second);
        self->m_providerCalls.erase(it);
        SystemLog("A call to the network extension's providers was not answered in time");
        lost();
    });
    return id;
}

bool Supervisor::finishProviderCall(uint64_t id)
{
    return m_providerCalls.erase(id) != 0;
}

} // namespace corvantis
