#include "supervisor/AllowList.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <sys/stat.h>

namespace corvantis {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path)
{
    std::ifstream in(path);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

class AllowListTest : public ::testing::Test {
protected:
    fs::path file() const { return m_dir / AllowList::kFileName; }
    test::TempDir m_dir;
};

TEST_F(AllowListTest, MissingFileAllowsOnlyRoot)
{
    AllowList list(file());
    ASSERT_TRUE(list.reload().ok());
    EXPECT_TRUE(list.contains(0));
    EXPECT_FALSE(list.contains(65534));
    EXPECT_TRUE(list.uids().empty());
}

TEST_F(AllowListTest, AddsALoginNameAndStoresItPrivately)
{
    const struct passwd* nobody = ::getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user nobody on this machine";
    const uid_t nobodyUid = nobody->pw_uid;

    AllowList list(file());
    auto added = list.add("nobody");
    ASSERT_TRUE(added.ok()) << added.status().message();
    EXPECT_EQ(added.value(), nobodyUid);
    EXPECT_TRUE(list.contains(nobodyUid));
    EXPECT_EQ(readText(file()), std::to_string(nobodyUid) + "\n");
    struct stat st { };
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // What the running supervisor sees after being told.
    AllowList running(file());
    ASSERT_TRUE(running.reload().ok());
    EXPECT_TRUE(running.contains(nobodyUid));
}

TEST_F(AllowListTest, ANumericUidNeedsNoAccount)
{
    AllowList list(file());
    auto added = list.add("4000000000");
    ASSERT_TRUE(added.ok()) << added.status().message();
    EXPECT_EQ(added.value(), 4000000000u);
    EXPECT_TRUE(list.contains(4000000000u));
    // Adding it again changes nothing.
    ASSERT_TRUE(list.add("4000000000").ok());
    EXPECT_EQ(readText(file()), "4000000000\n");
}

TEST_F(AllowListTest, UnknownNameFailsNamingItAndWritesNothing)
{
    AllowList list(file());
    auto added = list.add("no-such-user-here");
    ASSERT_FALSE(added.ok());
    EXPECT_EQ(added.status().errnum(), ENOENT);
    EXPECT_EQ(added.status().message(), "No such user: no-such-user-here");
    EXPECT_FALSE(fs::exists(file()));
}

TEST_F(AllowListTest, RootIsNeverStored)
{
    AllowList list(file());
    for (const char* root : { "root", "0" }) {
        SCOPED_TRACE(root);
        auto added = list.add(root);
        ASSERT_TRUE(added.ok()) << added.status().message();
        EXPECT_EQ(added.value(), 0u);
    }
    EXPECT_FALSE(fs::exists(file()));
}

TEST_F(AllowListTest, TwoWritersKeepEachOthersUsers)
{
    // The running supervisor read the list before `allow` ran in another process.
    AllowList running(file());
    ASSERT_TRUE(running.reload().ok());
    AllowList command(file());
    ASSERT_TRUE(command.add("1001").ok());
    ASSERT_TRUE(running.add("1002").ok());
    EXPECT_EQ(readText(file()), "1001\n1002\n");
    EXPECT_TRUE(running.contains(1001));
    ASSERT_TRUE(command.reload().ok());
    EXPECT_TRUE(command.contains(1002));
}

TEST_F(AllowListTest, DamagedFileIsReportedAndLeftAlone)
{
    AllowList list(file());
    ASSERT_TRUE(list.add("1001").ok());
    std::ofstream(file()) << "1001\nalice\n";
    Status st = list.reload();
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.message(), file().string() + ": line 2 is not a uid: alice");
    // What was read before stays in force, and the file is not replaced by a smaller list.
    EXPECT_TRUE(list.contains(1001));
    EXPECT_FALSE(list.add("1003").ok());
    EXPECT_EQ(readText(file()), "1001\nalice\n");
}

TEST(AllowListResolveTest, NumbersAndNames)
{
    struct Case {
        const char* text;
        bool ok;
        uid_t uid;
    };
    const Case cases[] = {
        { "0", true, 0 },
        { "root", true, 0 },
        { "00012", true, 12 },
        { "4294967294", true, 4294967294u },
        { "4294967295", false, 0 }, // the invalid uid
        { "99999999999", false, 0 },
        { "12a", false, 0 },
        { "-1", false, 0 },
        { " 12", false, 0 },
        { "", false, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto uid = AllowList::resolveUser(c.text);
        ASSERT_EQ(uid.ok(), c.ok) << uid.status().message();
        if (c.ok) {
            EXPECT_EQ(uid.value(), c.uid);
        } else if (*c.text) {
            EXPECT_EQ(uid.status().message(), std::string("No such user: ") + c.text);
        }
    }
}

} // namespace
} // namespace corvantis
