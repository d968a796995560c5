#include "app/DataFilterManager.h"

#include "platform/sysext/NEFilterManager.h"

#include <optional>

namespace corvantis {

namespace {

void ReportSave(const DataFilterManager::Handler& handler)
{
    NEFilterManager::shared().saveToPreferences([handler](std::optional<std::string> error) { handler(!error); });
}

} // namespace

DataFilterManager::DataFilterManager(std::string appVersion)
    : appVersion(std::move(appVersion))
{
}

void DataFilterManager::runDataFilterSessionWithHandler(Handler handler)
{
    if (!handler)
        handler = [](bool) {};
    NEFilterManager::shared().loadFromPreferences([handler](std::optional<std::string> error) {
        if (error) {
            handler(false);
            return;
        }
        NEFilterManager& manager = NEFilterManager::shared();
        if (manager.isEnabled()) {
            handler(true);
            return;
        }
        if (!manager.providerConfiguration()) {
            NEFilterProviderConfiguration configuration;
            configuration.filterSockets = true;
            configuration.filterPackets = false;
            manager.setProviderConfiguration(configuration);
        }
        manager.setLocalizedDescription("Corvantis DNS Reader");
        manager.setEnabled(true);
        ReportSave(handler);
    });
}

void DataFilterManager::stopDataFilterVpnWithHandler(Handler handler)
{
    if (!handler)
        handler = [](bool) {};
    NEFilterManager::shared().loadFromPreferences([handler](std::optional<std::string> error) {
        if (error) {
            handler(false);
            return;
        }
        NEFilterManager& manager = NEFilterManager::shared();
        if (!manager.isEnabled()) {
            handler(true);
            return;
        }
        manager.setEnabled(false);
        ReportSave(handler);
    });
}

bool DataFilterManager::isStarted() const
{
    return NEFilterManager::shared().isEnabled();
}

} // namespace corvantis
