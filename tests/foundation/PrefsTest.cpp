#include "core/foundation/Prefs.h"

#include "platform/DefaultsStore.h"
#include "tests/foundation/StandardDefaultsFixture.h"
#include "tests/support/PlistPrint.h"
#include "tests/support/Subprocess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace corvantis {
namespace {

using PrefsTest = test::StandardDefaultsFixture;

std::string readFile(const std::filesystem::path& p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(PrefsTest, ReadsTryThePlainKeyThenTheKeyPathThenTheDefault)
{
    ASSERT_TRUE(DefaultsStore(file).setEntries({
        { "SettingsPlain", PlistValue("plain") },
        { "SettingsBoth", PlistValue(1) },
        { "Settings",
            PlistValue(PlistDict { { "Both", PlistValue(2) }, { "Nested", PlistValue("nested") },
                { "Blob", PlistValue(PlistData { 1, 2 }) } }) },
        { "Alone", PlistValue(42) },
    }));
    struct Case {
        const char* section;
        const char* key;
        std::string text;
        int64_t number;
    } cases[] = {
        { "Settings", "Plain", "plain", 0 },
        { "Settings", "Both", "1", 1 },
        { "Settings", "Nested", "nested", 0 },
        { "Settings", "Missing", "fallback", 77 },
        { "Settings", "Blob", "fallback", 0 }, // bytes have no text; as a number they read 0
        { nullptr, "Alone", "42", 42 },
        { "", "Alone", "42", 42 },
        { nullptr, "Missing", "fallback", 77 },
        { nullptr, nullptr, "fallback", 77 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section ? c.section : "(null)") + "/" + (c.key ? c.key : "(null)"));
        EXPECT_EQ(GetPrefString(nullptr, c.section, c.key, "fallback"), c.text);
        EXPECT_EQ(GetPrefInt(nullptr, c.section, c.key, 77), c.number);
    }
    EXPECT_EQ(GetPrefString(nullptr, nullptr, "Missing", nullptr), "");
}

TEST_F(PrefsTest, WritesUseThePlainKey)
{
    EXPECT_EQ(SetPrefInt("Settings", "LogLevelFile", 3), 0);
    EXPECT_TRUE(SetPrefString("Settings", "ActiveProfile", "Work"));
    EXPECT_EQ(SetPrefInt(nullptr, "MaxConnCount", 2000), 0);
    EXPECT_TRUE(SetPrefString("", "ProfileAutoUpdateUrl", "u"));
    EXPECT_EQ(DefaultsStore(file).persistentDomain(),
        (PlistDict { { "SettingsLogLevelFile", PlistValue(3) }, { "SettingsActiveProfile", PlistValue("Work") },
            { "MaxConnCount", PlistValue(2000) }, { "ProfileAutoUpdateUrl", PlistValue("u") } }));
}

TEST_F(PrefsTest, TextThatIsNotUtf8KeepsTheStoredValue)
{
    ASSERT_TRUE(SetPrefString("Settings", "ActiveProfile", "Work"));
    for (const char* bad : { "Caf\xE9", "\xC0\xAF", "bell\x07" }) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(SetPrefString("Settings", "ActiveProfile", bad));
        EXPECT_EQ(GetPrefString(nullptr, "Settings", "ActiveProfile", ""), "Work");
    }
    EXPECT_FALSE(SetPrefString("Settings", "ActiveProfile", nullptr));
    EXPECT_FALSE(SetPrefString("Settings", nullptr, "x"));
    EXPECT_EQ(DefaultsStore(file).object("SettingsActiveProfile"), PlistValue("Work"));
}

TEST_F(PrefsTest, ObjectsByKeyAndByDomain)
{
    EXPECT_EQ(SetPrefObject("List", PlistValue(PlistArray { PlistValue(1) })), 0);
    EXPECT_EQ(GetPrefObject(nullptr, nullptr, "List"), PlistValue(PlistArray { PlistValue(1) }));
    EXPECT_EQ(SetPrefObject(nullptr, PlistValue(1)), -1);
    EXPECT_FALSE(GetPrefObject(nullptr, "Settings", nullptr));
    EXPECT_EQ(SetPrefObject("List", std::nullopt), 0);
    EXPECT_FALSE(GetPrefObject(nullptr, nullptr, "List"));

    // Another program's domain, read by name; GetPrefInt does not use the domain.
    ASSERT_TRUE(DefaultsStore(DefaultsStore::fileFor(home.path(), "CorvantisExtension"))
                    .setEntries({ { "SettingsLogLevelFile", PlistValue(4) },
                        { "Settings", PlistValue(PlistDict { { "Inner", PlistValue("in") } }) } }));
    EXPECT_EQ(GetPrefObject("CorvantisExtension", "Settings", "Inner"), PlistValue("in"));
    EXPECT_FALSE(GetPrefObject("NoSuchProgram", nullptr, "SettingsLogLevelFile"));
    EXPECT_EQ(GetPrefString("CorvantisExtension", "Settings", "LogLevelFile", ""), "4");
    EXPECT_EQ(GetPrefString("CorvantisExtension", "Settings", "Inner", ""), "in");
    EXPECT_EQ(GetPrefInt("CorvantisExtension", "Settings", "LogLevelFile", -1), -1);
}

TEST_F(PrefsTest, PasswordCacheLivesInTheProfilesDictionary)
{
    EXPECT_FALSE(ReadCachedProfilePassword("Default"));
    ASSERT_TRUE(WriteCachedProfilePassword("secret", "Default"));
    ASSERT_TRUE(WriteCachedProfilePassword("other", "Work"));
    EXPECT_EQ(ReadCachedProfilePassword("Default"), "secret");
    EXPECT_EQ(DefaultsStore(file).object("Profiles"),
        PlistValue(PlistDict { { "Default", PlistValue("secret") }, { "Work", PlistValue("other") } }));
}

class SetPlistFileIntTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::filesystem::path path = dir / "Some.plist";
};

TEST_F(SetPlistFileIntTest, CreatesAPrivateFileThatPythonReads)
{
    EXPECT_EQ(SetPlistFileInt(path.c_str(), "Count", 5), 1);
    struct stat st { };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const test::CommandResult python = test::runCommand({ "python3", "-c",
        "import plistlib,sys; assert plistlib.load(open(sys.argv[1],\"rb\"))==dict(Count=5)", path.string() });
    EXPECT_EQ(python.exitCode, 0) << python.err;
}

TEST_F(SetPlistFileIntTest, KeepsTheOtherEntriesAndTheFileMode)
{
    const test::CommandResult python = test::runCommand({ "python3", "-c",
        "import plistlib,sys; plistlib.dump(dict(Name=\"x\",Count=1,L=[1,2]),open(sys.argv[1],\"wb\"))",
        path.string() });
    ASSERT_EQ(python.exitCode, 0) << python.err;
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    EXPECT_EQ(SetPlistFileInt(path.c_str(), "Count", -9), 1);
    auto read = PlistXml::parse(readFile(path));
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read,
        PlistValue(PlistDict { { "Name", PlistValue("x") }, { "Count", PlistValue(-9) },
            { "L", PlistValue(PlistArray { PlistValue(1), PlistValue(2) }) } }));
    struct stat st { };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(SetPlistFileIntTest, FilesItCannotReadAreLeftAlone)
{
    struct Case {
        const char* name;
        std::string contents;
    } cases[] = {
        { "garbage", "not a plist" },
        { "binary property list", std::string("bplist00\xD1\x01\x02", 11) },
        { "array at the root", "<plist><array/></plist>" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.contents;
        EXPECT_EQ(SetPlistFileInt(path.c_str(), "Count", 1), -1);
        EXPECT_EQ(readFile(path), c.contents);
    }
    std::ofstream(path, std::ios::trunc) << "";
    EXPECT_EQ(SetPlistFileInt(path.c_str(), "Count", 1), 1); // an empty file holds nothing to keep
    EXPECT_EQ(SetPlistFileInt((dir / "missing" / "x.plist").c_str(), "Count", 1), -1);
    EXPECT_EQ(SetPlistFileInt(nullptr, "Count", 1), -1);
    EXPECT_EQ(SetPlistFileInt(path.c_str(), nullptr, 1), -1);
}

} // namespace
} // namespace corvantis
