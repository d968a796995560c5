#include "supervisor/Manifest.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace corvantis {
namespace {

namespace fs = std::filesystem;

TEST(ExtensionTreeTest, FindsTheProgramsBesideTheSupervisor)
{
    auto tree = ExtensionTree::fromSupervisor("/opt/corvantis/libexec/corvantis/corvantis-supervisor");
    ASSERT_TRUE(tree.ok()) << tree.status().message();
    EXPECT_EQ(tree->root(), "/opt/corvantis");
    EXPECT_EQ(tree->supervisor(), "/opt/corvantis/libexec/corvantis/corvantis-supervisor");
    EXPECT_EQ(tree->extensionBinary(), "/opt/corvantis/libexec/corvantis/CorvantisExtension");
    EXPECT_EQ(tree->manifest(), "/opt/corvantis/share/corvantis/SystemExtensions/CorvantisExtension/Info.plist");
}

TEST(ExtensionTreeTest, RefusesAnExecutableOutsideATree)
{
    for (const char* path : { "/usr/bin/corvantis-supervisor", "/opt/corvantis/bin/corvantis-supervisor",
             "/opt/libexec/other/corvantis-supervisor" }) {
        SCOPED_TRACE(path);
        auto tree = ExtensionTree::fromSupervisor(path);
        ASSERT_FALSE(tree.ok());
        EXPECT_NE(tree.status().message().find(path), std::string::npos) << tree.status().message();
    }
}

TEST(ExtensionTreeTest, TheBuildTreeHasTheSameLayout)
{
    const ExtensionTree tree { fs::path(CORVANTIS_BUILD_DIR) };
    auto version = Manifest::readShortVersion(tree.manifest());
    ASSERT_TRUE(version.ok()) << version.status().message();
    EXPECT_EQ(version.value(), "3.12.2");
    auto service = Manifest::readServiceName(tree.manifest());
    ASSERT_TRUE(service.ok()) << service.status().message();
    EXPECT_EQ(service.value().rfind("com.velmar.corvantis.", 0), 0u) << service.value();
}

TEST(ManifestTest, ReportsWhatIsWrongWithTheFile)
{
    test::TempDir dir;
    struct Case {
        const char* name;
        const char* text; // null: no file
        const char* versionError;
        bool hasServiceName;
    };
    const Case cases[] = {
        { "no file", nullptr, "No such file or directory", false },
        { "not a plist", "version 3.12.2", "", false },
        { "not a dictionary", "<plist version=\"1.0\"><string>3.12.2</string></plist>", "not a dictionary", false },
        { "version not a string",
            "<plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key><integer>3</integer></dict></plist>",
            "\"CFBundleShortVersionString\" is missing", false },
        { "service name only",
            "<plist version=\"1.0\"><dict><key>NetworkExtension</key><dict><key>NEMachServiceName</key>"
            "<string>com.example.service</string></dict></dict></plist>",
            "\"CFBundleShortVersionString\" is missing", true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = dir / (std::string(c.name) + ".plist");
        if (c.text)
            std::ofstream(path) << c.text;
        auto version = Manifest::readShortVersion(path);
        ASSERT_FALSE(version.ok());
        EXPECT_EQ(version.status().message().rfind(path.string() + ": ", 0), 0u) << version.status().message();
        EXPECT_NE(version.status().message().find(c.versionError), std::string::npos) << version.status().message();
        auto service = Manifest::readServiceName(path);
        EXPECT_EQ(service.ok(), c.hasServiceName);
        if (service.ok()) {
            EXPECT_EQ(service.value(), "com.example.service");
        }
    }
}

} // namespace
} // namespace corvantis
