#include "app/ui/ApplicationIdentity.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace corvantis {
namespace {

TEST(ApplicationIdentityTest, TheProgramOfAnExecLine)
{
    struct Case {
        const char* exec;
        std::optional<std::string> program;
    };
    const Case cases[] = {
        { "env A=1 /opt/x/bin/tool %U", "tool" },
        { "/usr/bin/env LANG=C B_2=x  tool --flag", "tool" },
        { "\"/opt/My Apps/viewer\" %f", "viewer" },
        { "\"/opt/quo\\\"ted/prog\"", "prog" },
        { "%U /usr/bin/gimp", "gimp" },
        { "firefox-esr %u", "firefox-esr" },
        { "env", std::nullopt },
        { "A=1 B=2", std::nullopt },
        { "", std::nullopt },
        { "   %F  ", std::nullopt },
        { "/usr/bin/", std::nullopt },
        { "=x tool", "=x" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exec);
        EXPECT_EQ(ProgramOfExecLine(c.exec), c.program);
    }
}

TEST(ApplicationIdentityTest, FilesAndDesktopEntries)
{
    test::TempDir dir;
    const auto entry = dir / "editor.desktop";
    std::ofstream(entry) << "# comment\n[Desktop Entry]\nName=Editor\nExec = env EDITOR=1 /usr/bin/gedit.real\\s%U\n";
    const auto identity = ReadApplicationIdentity(entry);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->name, "gedit.real");
    EXPECT_EQ(identity->base, "gedit");
    EXPECT_EQ(identity->identifier, "gedit.real");

    const auto program = ReadApplicationIdentity("/usr/bin/python3.11");
    ASSERT_TRUE(program);
    EXPECT_EQ(program->name, "python3.11");
    EXPECT_EQ(program->base, "python3");
    EXPECT_EQ(program->identifier, "python3.11");

    EXPECT_FALSE(ReadApplicationIdentity(dir / "missing.desktop"));
    const auto hidden = ReadApplicationIdentity("/home/u/.profile");
    ASSERT_TRUE(hidden);
    EXPECT_EQ(hidden->base, ".profile");
}

} // namespace
} // namespace corvantis
