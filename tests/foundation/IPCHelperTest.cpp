#include "core/foundation/IPCHelper.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

TEST(IPCHelperTest, IdentityIsTheApplicationsUntilSet)
{
    EXPECT_EQ(IPCHelper::getBundleIdentifier(), kAppBundleIdentifier);
    // The extension's identifier is also its service name in the installed tree's manifest: the application
    // finds the extension by this exact text.
    IPCHelper::setBundleIdentifier(kExtensionBundleIdentifier);
    EXPECT_EQ(IPCHelper::getBundleIdentifier(), "com.velmar.corvantis.v3.macos.CorvantisExtension");
    IPCHelper::setBundleIdentifier(kAppBundleIdentifier);
}

} // namespace
} // namespace corvantis
