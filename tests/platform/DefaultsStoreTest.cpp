#include "platform/DefaultsStore.h"

#include "platform/PlistXml.h"
#include "tests/support/PlistPrint.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace corvantis {
namespace {

std::string readFile(const std::filesystem::path& p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class DefaultsStoreTest : public ::testing::Test {
protected:
    test::TempDir home;
    std::filesystem::path file = DefaultsStore::fileFor(home.path(), "Corvantis");
};

TEST_F(DefaultsStoreTest, FileLivesInThePreferencesFolderOfTheHome)
{
    EXPECT_EQ(file, home.path() / "Preferences" / "Corvantis.plist");
}

TEST_F(DefaultsStoreTest, ValuesPersistPrivatelyAndPythonReadsTheFile)
{
    {
        DefaultsStore store(file);
        ASSERT_TRUE(store.setObject("Number", PlistValue(42)));
        ASSERT_TRUE(store.setObject("Text", PlistValue("héllo")));
        ASSERT_TRUE(store.setObject("Nested", PlistValue(PlistDict { { "Inner", PlistValue(true) } })));
        EXPECT_TRUE(store.lastWriteStatus().ok()) << store.lastWriteStatus().message();
    }
    struct stat st { };
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    DefaultsStore reopened(file);
    EXPECT_EQ(reopened.object("Number"), PlistValue(42));
    EXPECT_EQ(reopened.object("Text"), PlistValue("héllo"));
    EXPECT_EQ(reopened.objectForKeyPath("Nested.Inner"), PlistValue(true));

    const std::string script = "import plistlib,sys\n"
                               "d=plistlib.load(open(sys.argv[1],\"rb\"))\n"
                               "assert d==dict(Number=42,Text=\"h\\u00e9llo\",Nested=dict(Inner=True)), d";
    const test::CommandResult python = test::runCommand({ "python3", "-c", script, file.string() });
    EXPECT_EQ(python.exitCode, 0) << python.err;
}

TEST_F(DefaultsStoreTest, RemovingAKeyTakesItFromTheFile)
{
    DefaultsStore store(file);
    ASSERT_TRUE(store.setObject("Gone", PlistValue(1)));
    ASSERT_TRUE(store.setObject("Kept", PlistValue(2)));
    store.removeObject("Gone");
    EXPECT_FALSE(store.object("Gone"));
    DefaultsStore other(file);
    EXPECT_EQ(other.persistentDomain(), (PlistDict { { "Kept", PlistValue(2) } }));
}

TEST_F(DefaultsStoreTest, ArgumentDomainIsReadFirstAndNeverSaved)
{
    DefaultsStore store(file);
    store.setArguments({ "-MaxConnCount", "3000", "stray", "-SetIntOpt", "Key_5", "-Dangling" });
    EXPECT_EQ(store.argumentDomain(),
        (PlistDict { { "MaxConnCount", PlistValue("3000") }, { "SetIntOpt", PlistValue("Key_5") } }));

    ASSERT_TRUE(store.setObject("MaxConnCount", PlistValue(2000)));
    ASSERT_TRUE(store.setObject("Other", PlistValue(1)));
    EXPECT_EQ(store.object("MaxConnCount"), PlistValue("3000"));
    EXPECT_EQ(store.dictionaryRepresentation().at("MaxConnCount"), PlistValue("3000"));
    EXPECT_EQ(store.persistentDomain().at("MaxConnCount"), PlistValue(2000));

    DefaultsStore fresh(file);
    EXPECT_EQ(fresh.object("MaxConnCount"), PlistValue(2000));
    EXPECT_FALSE(fresh.object("SetIntOpt"));
    EXPECT_EQ(readFile(file).find("SetIntOpt"), std::string::npos);
}

TEST_F(DefaultsStoreTest, KeyPathsDescendIntoDictionaries)
{
    DefaultsStore store(file);
    ASSERT_TRUE(store.setObject("Settings",
        PlistValue(PlistDict {
            { "LogLevelFile", PlistValue(3) }, { "Deeper", PlistValue(PlistDict { { "Leaf", PlistValue("x") } }) } })));
    ASSERT_TRUE(store.setObject("Flat", PlistValue(1)));
    struct Case {
        const char* path;
        std::optional<PlistValue> expected;
    } cases[] = {
        { "Settings.LogLevelFile", PlistValue(3) },
        { "Settings.Deeper.Leaf", PlistValue("x") },
        { "Flat", PlistValue(1) },
        { "Settings.Missing", std::nullopt },
        { "Flat.Inside", std::nullopt },
        { "Missing.Inside", std::nullopt },
        { "Settings.Deeper.Leaf.More", std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(store.objectForKeyPath(c.path), c.expected);
    }
}

// Two stores on one file stand for two processes: each writes only what it changed.
TEST_F(DefaultsStoreTest, AnotherWritersValuesSurviveAWrite)
{
    DefaultsStore first(file);
    DefaultsStore second(file);
    ASSERT_TRUE(first.setObject("Shared", PlistValue("first")));
    EXPECT_FALSE(second.object("Missing"));
    ASSERT_TRUE(second.setObject("OnlySecond", PlistValue(2)));
    ASSERT_TRUE(first.setObject("OnlyFirst", PlistValue(1)));

    DefaultsStore reader(file);
    EXPECT_EQ(reader.persistentDomain(),
        (PlistDict {
            { "Shared", PlistValue("first") }, { "OnlySecond", PlistValue(2) }, { "OnlyFirst", PlistValue(1) } }));
    // And a store sees what the other wrote without being reopened.
    EXPECT_EQ(first.object("OnlySecond"), PlistValue(2));
}

TEST_F(DefaultsStoreTest, RefusedValuesLeaveTheStoredOneInPlace)
{
    DefaultsStore store(file);
    ASSERT_TRUE(store.setObject("Name", PlistValue("good")));
    EXPECT_FALSE(store.setObject("Name", PlistValue("caf\xE9")));
    EXPECT_FALSE(store.setObject("Name", PlistValue(PlistArray { PlistValue(std::string("a\0b", 3)) })));
    EXPECT_FALSE(store.setObject("", PlistValue(1)));
    EXPECT_FALSE(store.setObject("bad\x01key", PlistValue(1)));
    EXPECT_FALSE(store.setEntries({ { "Fine", PlistValue(1) }, { "Name", PlistValue("\xFF") } }));
    EXPECT_EQ(store.object("Name"), PlistValue("good"));
    EXPECT_FALSE(store.object("Fine"));
    EXPECT_EQ(DefaultsStore(file).persistentDomain(), (PlistDict { { "Name", PlistValue("good") } }));
}

TEST_F(DefaultsStoreTest, TakingOverADictionaryWritesEveryEntryAndKeepsTheRest)
{
    DefaultsStore store(file);
    ASSERT_TRUE(store.setObject("Local", PlistValue("mine")));
    ASSERT_TRUE(store.setObject("SettingsLogLevelFile", PlistValue(0)));
    PlistDict received { { "SettingsLogLevelFile", PlistValue(4) },
        { "Profiles", PlistValue(PlistDict { { "Default", PlistValue("secret") } }) } };
    ASSERT_TRUE(store.setEntries(received));
    EXPECT_EQ(DefaultsStore(file).persistentDomain(),
        (PlistDict { { "Local", PlistValue("mine") }, { "SettingsLogLevelFile", PlistValue(4) },
            { "Profiles", received.at("Profiles") } }));
}

TEST_F(DefaultsStoreTest, ChangesOnDiskArePickedUp)
{
    DefaultsStore store(file);
    ASSERT_TRUE(store.setObject("Value", PlistValue(1)));
    ASSERT_TRUE(DefaultsStore(file).setObject("Value", PlistValue(2)));
    EXPECT_EQ(store.object("Value"), PlistValue(2));
    std::filesystem::remove(file);
    EXPECT_FALSE(store.object("Value"));
}

TEST_F(DefaultsStoreTest, UnreadableFileIsSetAsideNotOverwritten)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "not a property list";
    DefaultsStore store(file);
    EXPECT_FALSE(store.object("Anything"));
    ASSERT_TRUE(store.setObject("New", PlistValue(1)));
    EXPECT_TRUE(store.lastWriteStatus().ok());
    std::filesystem::path aside = file;
    aside += ".unreadable";
    EXPECT_EQ(readFile(aside), "not a property list");
    EXPECT_EQ(DefaultsStore(file).persistentDomain(), (PlistDict { { "New", PlistValue(1) } }));
}

TEST_F(DefaultsStoreTest, ABatchWritesOnceAtItsEnd)
{
    DefaultsStore store(file);
    {
        DefaultsStore::Batch batch(store);
        ASSERT_TRUE(store.setObject("A", PlistValue(1)));
        ASSERT_TRUE(store.setObject("B", PlistValue(2)));
        EXPECT_EQ(store.object("A"), PlistValue(1));
        EXPECT_FALSE(std::filesystem::exists(file));
    }
    EXPECT_EQ(DefaultsStore(file).persistentDomain(), (PlistDict { { "A", PlistValue(1) }, { "B", PlistValue(2) } }));
}

TEST_F(DefaultsStoreTest, AFailedWriteIsReportedAndRetried)
{
    // The Preferences "folder" is a file, so nothing can be written under it.
    std::ofstream(home / "Preferences") << "";
    DefaultsStore store(file);
    ASSERT_TRUE(store.setObject("Value", PlistValue(7)));
    EXPECT_FALSE(store.lastWriteStatus().ok());
    EXPECT_EQ(store.object("Value"), PlistValue(7));

    std::filesystem::remove(home / "Preferences");
    EXPECT_TRUE(store.synchronize().ok());
    EXPECT_EQ(DefaultsStore(file).object("Value"), PlistValue(7));
}

TEST_F(DefaultsStoreTest, OtherProgramsDomainsAreReadByName)
{
    ASSERT_TRUE(DefaultsStore(DefaultsStore::fileFor(home.path(), "Other")).setObject("K", PlistValue(5)));
    DefaultsStore store(file);
    ASSERT_TRUE(store.setObject("Mine", PlistValue(1)));
    EXPECT_EQ(store.persistentDomainForName("Other"), (PlistDict { { "K", PlistValue(5) } }));
    EXPECT_EQ(store.persistentDomainForName("Corvantis"), (PlistDict { { "Mine", PlistValue(1) } }));
    for (const char* name : { "Missing", "", ".", "..", "../Preferences/Other", "a/b" }) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(store.persistentDomainForName(name));
    }
}

TEST_F(DefaultsStoreTest, AStoreWithoutAFileKeepsValuesInMemory)
{
    DefaultsStore store;
    ASSERT_TRUE(store.setObject("K", PlistValue(1)));
    EXPECT_EQ(store.object("K"), PlistValue(1));
    EXPECT_TRUE(store.synchronize().ok());
    store.open(file);
    EXPECT_FALSE(store.object("K"));
    ASSERT_TRUE(store.setObject("K", PlistValue(2)));
    EXPECT_EQ(DefaultsStore(file).object("K"), PlistValue(2));
}

} // namespace
} // namespace corvantis
