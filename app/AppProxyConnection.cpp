#include "app/AppProxyConnection.h"

#include "core/foundation/LogEventWrap.h"
#include "ipc/IPCMessage.h"
#include "platform/DispatchQueue.h"

namespace corvantis {

namespace {

// Sends `message` to the provider; `onResponse` gets whether the answer carried data, `handler` false when it
// could not be sent.
void SendSignal(NETunnelProviderSession& session, const IPCMessage& message, AppProxyConnection::SignalHandler handler,
    std::function<bool(bool hasData)> onResponse)
{
    if (!handler)
        handler = [](bool) {};
    auto bytes = IPCMessage::encode(message);
    if (!bytes.ok()) {
        handler(false);
        return;
    }
    const bool sent = session.sendProviderMessage(
        bytes.value(), [handler, onResponse = std::move(onResponse)](std::optional<std::vector<uint8_t>> response) {
            handler(onResponse(response.has_value()));
        });
    if (!sent)
        handler(false);
}

} // namespace

AppProxyConnection::AppProxyConnection(NETunnelProviderSessionPtr connection, LogHandler logHandler)
    : m_connection(std::move(connection))
    , m_queue(DispatchQueue::create("AppProxyConnection queue"))
    , m_logHandler(std::move(logHandler))
{
}

bool AppProxyConnection::startVPN()
{
    if (m_connection->status() == NEVPNStatus::Connected) {
        LogEventWrap::putLogErrorFromApp(nullptr, "Extension start: allready started");
        return true;
    }
    if (auto error = m_connection->startTunnel({})) {
        LogEventWrap::putLogErrorFromApp(nullptr, "Extension start error: " + *error);
        return false;
    }
    m_expectedAppProxyToBeStarted = true;
    return true;
}

void AppProxyConnection::stopVpn()
{
    m_expectedAppProxyToBeStarted = false;
    m_connection->stopTunnel();
}

bool AppProxyConnection::isConnected() const
{
    return m_connection->status() == NEVPNStatus::Connected;
}

bool AppProxyConnection::isDisconnected() const
{
    return m_connection->status() == NEVPNStatus::Disconnected;
}

bool AppProxyConnection::isExpectedToBeStarted() const
{
    return m_expectedAppProxyToBeStarted;
}

std::string AppProxyConnection::getStatusForLog() const
{
    switch (m_connection->status()) {
    case NEVPNStatus::Invalid:
        return "invalid";
    case NEVPNStatus::Disconnected:
        return "disconnected";
    case NEVPNStatus::Connecting:
        return "connecting";
    case NEVPNStatus::Connected:
        return "connected";
    case NEVPNStatus::Reasserting:
        return "reasserting";
    case NEVPNStatus::Disconnecting:
        return "disconnecting";
    }
    return "unknown";
}

void AppProxyConnection::sendWakeSignalToVPNWithHandler(SignalHandler handler)
{
    IPCMessage message;
    message.launchStub = MessageSimpleRequest {};
    SendSignal(*m_connection, message, std::move(handler), [](bool hasData) { return hasData; });
}

void AppProxyConnection::sendKillSignalToVPNWithHandler(SignalHandler handler)
{
    IPCMessage message;
    message.forceQuit = MessageSimpleRequest {};
    // The provider's process ends on this message, so an answer without data is the expected one.
    SendSignal(*m_connection, message, std::move(handler), [](bool) { return true; });
}

} // namespace corvantis
