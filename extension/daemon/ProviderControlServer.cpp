#include "extension/daemon/ProviderControlServer.h"

#include "extension/daemon/ExtensionStartup.h"
#include "ipc/ProviderControl.h"
#include "platform/Mutex.h"
#include "platform/xpc/XpcExportedObject.h"

#include <vector>

namespace corvantis {

namespace {

std::optional<ProviderKind> kindOf(const XpcObject& value)
{
    const int64_t* number = value.integer();
    if (!number || *number < 0 || *number > 2)
        return std::nullopt;
    return static_cast<ProviderKind>(*number);
}

class ControlObject final : public XpcExportedObject, public std::enable_shared_from_this<ControlObject> {
public:
    explicit ControlObject(NEProviderHost& host)
        : m_host(host)
    {
    }

    // Answers the followers of `kind` waiting for a state other than `status`.
    void statusChanged(ProviderKind kind, SessionStatus status)
    {
        std::vector<XpcReplySender> due;
        {
            MutexLock lock(m_mutex);
            std::erase_if(m_followers, [&](const Follower& follower) {
                if (follower.kind != kind || follower.known == status)
                    return false;
                due.push_back(follower.reply);
                return true;
            });
        }
        for (const auto& reply : due)
            reply({ XpcObject(static_cast<int>(status)) });
    }

    void handleCall(const XpcSelector& selector, const XpcArray& arguments, XpcReplySender reply) override
    {
        const std::string& name = selector.name;
        if (name == kSendProviderMessageSelector) {
            m_host.sendProviderMessage(*arguments.at(0).data(), [reply](std::optional<std::vector<uint8_t>> bytes) {
                if (reply)
                    reply({ bytes ? XpcObject(PlistData(*bytes)) : XpcObject() });
            });
            return;
        }
        const std::optional<ProviderKind> kind = kindOf(arguments.at(0));
        if (name == kStartProviderSelector) {
            if (!kind)
                return reply({ XpcObject(false), XpcObject(0), XpcObject("no provider of this kind") });
            m_host.start(*kind, [reply](std::optional<FlowError> error) {
                if (error)
                    reply({ XpcObject(false), XpcObject(static_cast<long long>(error->code)),
                        XpcObject(error->description) });
                else
                    reply({ XpcObject(true), XpcObject(0), XpcObject("") });
            });
        } else if (name == kStopProviderSelector) {
            if (!kind)
                return reply({ XpcObject(false) });
            const int64_t* reason = arguments.at(1).integer();
            m_host.stop(*kind, reason ? static_cast<int>(*reason) : 0, [reply] { reply({ XpcObject(true) }); });
        } else if (name == kProviderStatusSelector) {
            reply({ XpcObject(kind ? static_cast<int>(m_host.status(*kind)) : 0) });
        } else if (name == kFollowProviderStatusSelector) {
            if (!kind)
                return reply({ XpcObject(0) });
            const int64_t* known = arguments.at(1).integer();
            const auto knownStatus = static_cast<SessionStatus>(known ? *known : 0);
            {
                MutexLock lock(m_mutex);
                m_followers.push_back({ *kind, knownStatus, reply });
            }
            // A change between the caller's read and this call answers at once.
            statusChanged(*kind, m_host.status(*kind));
        }
    }

private:
    struct Follower {
        ProviderKind kind;
        SessionStatus known;
        XpcReplySender reply;
    };
    NEProviderHost& m_host;
    Mutex m_mutex;
    std::vector<Follower> m_followers GUARDED_BY(m_mutex);
};

} // namespace

Result<std::unique_ptr<ProviderControlServer>> ProviderControlServer::start(
    const std::string& serviceName, std::optional<uid_t> allowedUid, NEProviderHost& host)
{
    auto listener
        = XpcListener::createForService(ProviderControlServiceName(serviceName), DaemonServiceOptions(allowedUid));
    if (!listener.ok())
        return listener.status();
    auto object = std::make_shared<ControlObject>(host);
    host.addStatusObserver([weak = std::weak_ptr<ControlObject>(object)](ProviderKind kind, SessionStatus status) {
        if (const auto self = weak.lock())
            self->statusChanged(kind, status);
    });
    const auto interface = ProviderControlInterface();
    listener.value()->setDelegate([object, interface](const XpcConnectionPtr& connection) {
        connection->setExportedInterface(interface);
        connection->setExportedObject(object);
        connection->resume();
        return true;
    });
    if (Status status = listener.value()->resume(); !status.ok())
        return status;
    return std::unique_ptr<ProviderControlServer>(new ProviderControlServer(listener.value()));
}

ProviderControlServer::ProviderControlServer(XpcListenerPtr listener)
    : m_listener(std::move(listener))
{
}

ProviderControlServer::~ProviderControlServer()
{
    m_listener->invalidate();
}

} // namespace corvantis
