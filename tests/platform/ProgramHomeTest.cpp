#include "platform/ProgramHome.h"

#include "platform/SystemIdentity.h"

#include <gtest/gtest.h>
#include <map>
#include <optional>

namespace corvantis {
namespace {

TEST(ProgramHomeTest, EachProgramFindsItsOwnHome)
{
    const std::optional<UserAccount> root = lookupUser(0);
    ASSERT_TRUE(root);
    const uid_t noAccount = 3999999999u;
    using Env = std::map<std::string, std::string>;
    struct Case {
        const char* name;
        Program program;
        Env env;
        uid_t euid;
        std::string expected;
    };
    const Case cases[] = {
        { "application, own variable", Program::Application,
            { { "CORVANTIS_HOME", "/srv/corv" }, { "XDG_DATA_HOME", "/x" }, { "HOME", "/h" } }, 1000, "/srv/corv" },
        { "application, XDG data home", Program::Application, { { "XDG_DATA_HOME", "/x" }, { "HOME", "/h" } }, 1000,
            "/x/Corvantis" },
        { "application, relative XDG data home is ignored", Program::Application,
            { { "XDG_DATA_HOME", "rel" }, { "HOME", "/h" } }, 1000, "/h/.local/share/Corvantis" },
        { "application, empty variables count as unset", Program::Application,
            { { "CORVANTIS_HOME", "" }, { "XDG_DATA_HOME", "" }, { "HOME", "/h" } }, 1000,
            "/h/.local/share/Corvantis" },
        { "application, trailing slashes dropped", Program::Application, { { "CORVANTIS_HOME", "/srv/corv//" } }, 1000,
            "/srv/corv" },
        { "application as root is still the user's", Program::Application, { { "HOME", "/root" } }, 0,
            "/root/.local/share/Corvantis" },
        { "application, no HOME: the account's folder", Program::Application, {}, 0,
            root->home + "/.local/share/Corvantis" },
        { "application, no HOME and no account", Program::Application, {}, noAccount, "" },
        { "extension, own variable", Program::Extension,
            { { "CORVANTIS_EXTENSION_HOME", "/e" }, { "CORVANTIS_HOME", "/srv/corv" } }, 0, "/e" },
        { "extension as root", Program::Extension, { { "CORVANTIS_HOME", "/srv/corv" }, { "HOME", "/root" } }, 0,
            "/var/lib/corvantis-extension" },
        { "extension as a user", Program::Extension, { { "XDG_DATA_HOME", "/x" }, { "HOME", "/h" } }, 1000,
            "/x/CorvantisExtension" },
        { "extension as a user, no XDG", Program::Extension, { { "HOME", "/h" } }, 1000,
            "/h/.local/share/CorvantisExtension" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto getEnv = [&](const char* name) -> const char* {
            auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second.c_str();
        };
        EXPECT_EQ(programHomeDir(c.program, getEnv, c.euid), c.expected);
    }
}

TEST(ProgramHomeTest, TheProgramIsAProcessWideSetting)
{
    EXPECT_EQ(currentProgram(), Program::Application);
    EXPECT_STREQ(programName(currentProgram()), "Corvantis");
    setCurrentProgram(Program::Extension);
    EXPECT_EQ(currentProgram(), Program::Extension);
    EXPECT_STREQ(programName(currentProgram()), "CorvantisExtension");
    setCurrentProgram(Program::Application);
}

} // namespace
} // namespace corvantis
