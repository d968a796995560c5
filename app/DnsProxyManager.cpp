#include "app/DnsProxyManager.h"

#include "core/foundation/IPCHelper.h"
#include "platform/sysext/NEDNSProxyManager.h"

namespace corvantis {

namespace {

void ReportSave(const DnsProxyManager::Handler& handler)
{
    NEDNSProxyManager::shared().saveToPreferences([handler](std::optional<std::string> error) {
        if (error)
            handler(false, error);
        else
            handler(true, std::nullopt);
    });
}

} // namespace

DnsProxyManager::DnsProxyManager(std::string appVersion)
    : appVersion(std::move(appVersion))
    , extensionId(kExtensionBundleIdentifier)
{
}

void DnsProxyManager::runDnsProxySessionWithHandler(Handler handler)
{
    if (!handler)
        handler = [](bool, std::optional<std::string>) {};
    NEDNSProxyManager::shared().loadFromPreferences(
        [handler, extensionId = extensionId](std::optional<std::string> error) {
            if (error) {
                handler(false, error);
                return;
            }
            NEDNSProxyManager& manager = NEDNSProxyManager::shared();
            manager.setLocalizedDescription("Corvantis DNS");
            manager.setProviderProtocol(NEDNSProxyProviderProtocol { extensionId });
            manager.setEnabled(true);
            ReportSave(handler);
        });
}

void DnsProxyManager::stopDnsProxyVpnWithHandler(Handler handler)
{
    if (!handler)
        handler = [](bool, std::optional<std::string>) {};
    NEDNSProxyManager::shared().loadFromPreferences([handler](std::optional<std::string> error) {
        if (error) {
            handler(false, error);
            return;
        }
        NEDNSProxyManager& manager = NEDNSProxyManager::shared();
        if (!manager.isEnabled()) {
            handler(true, std::nullopt);
            return;
        }
        manager.setEnabled(false);
        ReportSave(handler);
    });
}

bool DnsProxyManager::isStarted() const
{
    return NEDNSProxyManager::shared().isEnabled();
}

} // namespace corvantis
