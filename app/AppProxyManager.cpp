#include "app/AppProxyManager.h"

#include "core/foundation/IPCHelper.h"
#include "core/foundation/LogEventWrap.h"
#include "platform/sysext/NETransparentProxyManager.h"

namespace corvantis {

namespace {

using Handler = AppProxyManager::Handler;
using LogHandler = AppProxyManager::LogHandler;

void LogLoadFailure(const std::string& error)
{
    LogEventWrap::putLogErrorFromApp(nullptr, "Load all from preferences failed: " + error);
}

// Writes the configuration into `manager`, stopping a tunnel that is not at rest first.
void Configure(NETransparentProxyManager& manager)
{
    const NEVPNStatus status = manager.connection()->status();
    if (status != NEVPNStatus::Invalid && status != NEVPNStatus::Disconnected)
        manager.connection()->stopTunnel();

    NETunnelProviderProtocol protocol;
    protocol.username = "NotUsed";
    protocol.serverAddress = "127.0.0.1";
    protocol.providerBundleIdentifier = kExtensionBundleIdentifier;
    protocol.providerConfiguration = { { "not", "used" } };
    protocol.excludeLocalNetworks = false;
    protocol.includeAllNetworks = false;
    protocol.disconnectOnSleep = false;

    manager.setLocalizedDescription("Corvantis Data");
    manager.setProtocolConfiguration(protocol);
    manager.setEnabled(true);
}

void Fail(const Handler& handler, const LogHandler& logHandler, const std::string& text)
{
    logHandler(true, false, text);
    handler(nullptr, text);
}

void HandOut(const NETransparentProxyManagerPtr& manager, const Handler& handler, const LogHandler& logHandler)
{
    handler(std::make_shared<AppProxyConnection>(manager->connection(), logHandler), std::nullopt);
}

void SaveAndReload(const NETransparentProxyManagerPtr& manager, Handler handler, LogHandler logHandler)
{
    manager->saveToPreferences([handler, logHandler](std::optional<std::string> error) {
        if (error) {
            Fail(handler, logHandler, "Could not save Network Extension AppProxy preferences: " + *error);
            return;
        }
        logHandler(false, false, "Network Extension AppProxy preferences saved");
        NETransparentProxyManager::loadAllFromPreferences(
            [handler, logHandler](
                std::vector<NETransparentProxyManagerPtr> managers, std::optional<std::string> error) {
                if (error)
                    LogLoadFailure(*error);
                if (error || managers.empty()) {
                    Fail(handler, logHandler, "Could not start Network Extension: not found");
                    return;
                }
                HandOut(managers.front(), handler, logHandler);
            });
    });
}

} // namespace

AppProxyManager::AppProxyManager(std::string appVersion)
    : appVersion(std::move(appVersion))
{
}

void AppProxyManager::createAndrunAppProxyVpn(Handler handler, LogHandler logHandler)
{
    if (!handler)
        handler = [](AppProxyConnectionPtr, std::optional<std::string>) {};
    if (!logHandler)
        logHandler = [](bool, bool, const std::string&) {};
    NETransparentProxyManager::loadAllFromPreferences(
        [handler, logHandler](std::vector<NETransparentProxyManagerPtr> managers, std::optional<std::string> error) {
            // A configuration that cannot be read is replaced by a new one rather than left broken.
            if (error)
                LogLoadFailure(*error);
            NETransparentProxyManagerPtr manager;
            if (!error && !managers.empty()) {
                manager = managers.front();
                if (manager->isEnabled()) {
                    HandOut(manager, handler, logHandler);
                    return;
                }
            } else {
                manager = NETransparentProxyManager::create();
            }
            Configure(*manager);
            SaveAndReload(manager, handler, logHandler);
        });
}

void AppProxyManager::stopAppProxyVpnWithHandler(std::function<void()> handler)
{
    if (!handler)
        handler = [] {};
    NETransparentProxyManager::loadAllFromPreferences(
        [handler](std::vector<NETransparentProxyManagerPtr> managers, std::optional<std::string> error) {
            if (error)
                LogLoadFailure(*error);
            if (error || managers.empty() || !managers.front()->isEnabled()) {
                handler();
                return;
            }
            const NETransparentProxyManagerPtr& manager = managers.front();
            if (manager->connection()->status() != NEVPNStatus::Disconnected)
                manager->connection()->stopTunnel();
            manager->setEnabled(false);
            manager->saveToPreferences([handler](std::optional<std::string> error) {
                if (error)
                    LogEventWrap::putLogErrorFromApp(
                        nullptr, "Could not save Network Extension preferences on stop: " + *error);
                else
                    LogEventWrap::putLogVerboseFromApp(nullptr, "Network Extension preferences saved");
                handler();
            });
        });
}

} // namespace corvantis
