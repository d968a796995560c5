#include "app/LoginItem.h"

#include "tests/support/FileText.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace corvantis {
namespace {

using test::ReadFile;

namespace fs = std::filesystem;

std::string Entry(const std::string& identifierLine, const std::string& name = "Corvantis Helper")
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name="
        + name
        + "\n"
          "Exec=/opt/corvantis/libexec/corvantis/corvantis-helper --quiet\n"
        + identifierLine;
}

// A program tree with its LoginItems folder, and an autostart folder that is not there yet.
class LoginItemTest : public ::testing::Test {
protected:
    fs::path AddItem(const std::string& fileName, const std::string& contents)
    {
        const fs::path folder = m_tree / "share/corvantis/LoginItems";
        fs::create_directories(folder);
        std::ofstream(folder / fileName) << contents;
        return folder / fileName;
    }

    LoginItemInstaller Installer() { return LoginItemInstaller({ m_tree.path(), m_autostart }); }

    test::TempDir m_tree;
    test::TempDir m_config;
    fs::path m_autostart = m_config / "autostart";
};

TEST_F(LoginItemTest, AnEntryThatIsNotItsOwnLoginItemIsRefused)
{
    const struct {
        const char* name;
        const char* fileName;
        std::string contents; // empty: no file at all
        const char* reason;
        const char* description;
    } cases[] = {
        { "missing", "Absent.desktop", "", "failed to load bundle", "" },
        { "not a desktop entry", "Text.desktop", "hello\n", "failed to load bundle", "" },
        { "another group first", "Other.desktop", "[Other]\nX-Corvantis-Identifier=Other\n", "failed to load bundle",
            "" },
        { "no identifier", "Plain.desktop", Entry(""), "bundle has no identifier", "" },
        { "empty identifier", "Blank.desktop", Entry("X-Corvantis-Identifier=\n"), "bundle has no identifier", "" },
        { "identifier only in an action", "Action.desktop",
            Entry("Actions=Go;\n\n[Desktop Action Go]\nName=Go\nExec=go\nX-Corvantis-Identifier=Action\n"),
            "bundle has no identifier", "" },
        { "another identifier", "Helper.desktop", Entry("X-Corvantis-Identifier=Agent\n"),
            "bundle identifier does not match file name", "expected bundle identifier \"Helper\" for login item \"" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path url
            = c.contents.empty() ? m_tree / "share/corvantis/LoginItems" / c.fileName : AddItem(c.fileName, c.contents);
        LoginItemError error;
        EXPECT_EQ(Installer().installLoginItemWithName(c.fileName, &error), std::nullopt);
        EXPECT_EQ(error.code, EINVAL);
        EXPECT_EQ(error.reason, c.reason);
        EXPECT_EQ(error.url, url);
        EXPECT_EQ(error.description.rfind(c.description, 0), 0u) << error.description;
        EXPECT_FALSE(fs::exists(m_autostart)) << "nothing reaches the session";
    }
    LoginItemError error;
    ASSERT_EQ(Installer().installLoginItemWithName("Helper.desktop", &error), std::nullopt);
    EXPECT_EQ(error.description,
        "expected bundle identifier \"Helper\" for login item \"" + (m_tree / "share/corvantis/LoginItems").string()
            + "/Helper.desktop\", got \"Agent\"");
}

TEST_F(LoginItemTest, AnInstalledItemIsAValidEntryInTheAutostartFolder)
{
    const std::string contents = Entry("X-Corvantis-Identifier=CorvantisHelper\n");
    AddItem("CorvantisHelper.desktop", contents);
    LoginItemError error;
    EXPECT_EQ(Installer().installLoginItemWithName("CorvantisHelper.desktop", &error), std::optional<bool>(true));
    EXPECT_EQ(error.code, 0) << error.reason;
    const fs::path installed = m_autostart / "CorvantisHelper.desktop";
    EXPECT_EQ(ReadFile(installed), contents);
    EXPECT_EQ(fs::status(installed).permissions(), fs::perms(0644));

    // Installing again replaces the entry with the item's current one.
    const std::string renamed = Entry("X-Corvantis-Identifier=CorvantisHelper\n", "Corvantis Helper 2");
    AddItem("CorvantisHelper.desktop", renamed);
    EXPECT_EQ(Installer().installLoginItemWithName("CorvantisHelper.desktop", &error), std::optional<bool>(true));
    EXPECT_EQ(ReadFile(installed), renamed);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_autostart), fs::directory_iterator()), 1)
        << "no temporary file stays behind";

    if (!fs::exists("/usr/bin/desktop-file-validate"))
        GTEST_SKIP() << "needs desktop-file-validate (package desktop-file-utils)";
    const test::CommandResult validation = test::runCommand({ "desktop-file-validate", installed.string() });
    EXPECT_EQ(validation.exitCode, 0) << validation.out << validation.err;
}

TEST_F(LoginItemTest, DisablingRemovesTheEntryOnce)
{
    const fs::path item = AddItem("CorvantisHelper.desktop", Entry("X-Corvantis-Identifier=CorvantisHelper\n"));
    ASSERT_TRUE(SetLoginItemEnabled(item, "CorvantisHelper", true, m_autostart));
    ASSERT_TRUE(fs::exists(m_autostart / "CorvantisHelper.desktop"));
    EXPECT_TRUE(SetLoginItemEnabled(item, "CorvantisHelper", false, m_autostart));
    EXPECT_FALSE(fs::exists(m_autostart / "CorvantisHelper.desktop"));
    EXPECT_TRUE(SetLoginItemEnabled(item, "CorvantisHelper", false, m_autostart)) << "already off";
    std::string detail;
    EXPECT_FALSE(SetLoginItemEnabled(item, "../escape", true, m_autostart, &detail));
    EXPECT_FALSE(detail.empty());
    EXPECT_FALSE(fs::exists(m_config / "escape.desktop"));
}

TEST_F(LoginItemTest, AnAutostartFolderThatCannotBeMadeFailsTheInstallation)
{
    // A file where the folder should be stops even root.
    std::ofstream(m_autostart) << "in the way";
    AddItem("CorvantisHelper.desktop", Entry("X-Corvantis-Identifier=CorvantisHelper\n"));
    LoginItemError error;
    EXPECT_EQ(Installer().installLoginItemWithName("CorvantisHelper.desktop", &error), std::nullopt);
    EXPECT_EQ(error.code, EINVAL);
    EXPECT_EQ(error.reason, "SMLoginItemSetEnabled() failed");
    EXPECT_NE(error.description.find(m_autostart.string()), std::string::npos) << error.description;
}

TEST(LoginItemFolders, TheAutostartFolderFollowsTheConfigurationHome)
{
    const struct {
        const char* name;
        const char* configHome;
        fs::path expected;
    } cases[] = {
        { "set", "/tmp/config-home", "/tmp/config-home/autostart" },
        { "empty", "", "/home/tester/.config/autostart" },
        { "relative", "config", "/home/tester/.config/autostart" },
    };
    test::ScopedEnv home("HOME", "/home/tester");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScopedEnv config("XDG_CONFIG_HOME", c.configHome);
        EXPECT_EQ(AutostartFolder(), c.expected);
    }
}

} // namespace
} // namespace corvantis
