#include "core/foundation/IPCHelper.h"

namespace corvantis {

namespace {
std::string& bundleIdentifier()
{
    static std::string identifier = kAppBundleIdentifier;
    return identifier;
}
} // namespace

std::string IPCHelper::getFullVersionString()
{
    return kCorvantisVersion;
}

std::string IPCHelper::getBundleIdentifier()
{
    return bundleIdentifier();
}

void IPCHelper::setBundleIdentifier(const std::string& identifier)
{
    bundleIdentifier() = identifier;
}

} // namespace corvantis
