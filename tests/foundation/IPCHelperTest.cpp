#include "core/foundation/IPCHelper.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

TEST(IPCHelperTest, VersionAndIdentity)
{
    EXPECT_EQ(IPCHelper::getFullVersionString(), "3.12.2");
    EXPECT_EQ(IPCHelper::getBundleIdentifier(), kAppBundleIdentifier);
    IPCHelper::setBundleIdentifier(kExtensionBundleIdentifier);
    EXPECT_EQ(IPCHelper::getBundleIdentifier(), kExtensionBundleIdentifier);
    IPCHelper::setBundleIdentifier(kAppBundleIdentifier);
}

} // namespace
} // namespace corvantis
