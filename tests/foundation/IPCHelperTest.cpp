#include "core/foundation/IPCHelper.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

TEST(IPCHelperTest, IdentityIsTheApplicationsUntilSet)
{
    EXPECT_EQ(IPCHelper::getBundleIdentifier(), kAppBundleIdentifier);
    IPCHelper::setBundleIdentifier(kExtensionBundleIdentifier);
    EXPECT_EQ(IPCHelper::getBundleIdentifier(), kExtensionBundleIdentifier);
    IPCHelper::setBundleIdentifier(kAppBundleIdentifier);
}

} // namespace
} // namespace corvantis
