#include "core/foundation/SystemUtils.h"

#include "platform/ProgramHome.h"
#include "platform/SystemIdentity.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantis {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

void touch(const fs::path& path, const std::string& content = "")
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << content;
}

// Sets an environment variable for the scope of the object and puts back what was there.
class ScopedEnv final {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value)
        : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST(SystemUtilsTest, FoldersLieInTheRunningProgramsHome)
{
    test::TempDir app;
    test::TempDir extension;
    ScopedEnv appHome("CORVANTIS_HOME", app.str());
    ScopedEnv extensionHome("CORVANTIS_EXTENSION_HOME", extension.str());

    struct Case {
        Program program;
        std::string home;
    };
    for (const Case& c : { Case { Program::Application, app.str() }, Case { Program::Extension, extension.str() } }) {
        SCOPED_TRACE(programName(c.program));
        setCurrentProgram(c.program);
        EXPECT_EQ(GetHomeDir(), c.home);
        EXPECT_EQ(GetLogsDir(), c.home + "/Logs");
        EXPECT_EQ(GetTrafficDir(), c.home + "/Traffic");
        EXPECT_EQ(GetProfilesDir(), c.home + "/Profiles");
        EXPECT_TRUE(fs::is_empty(c.home)); // asking creates nothing
    }
    setCurrentProgram(Program::Application);
}

TEST(SystemUtilsTest, ListFolderFiltersCutsAndSorts)
{
    test::TempDir dir;
    for (const char* name : { "Work.ppx", "default.ppx", "Default.PPX", "notes.txt", "old/Work.ppx", "B.ppx", "a.ppx",
             "deep/er/Home.ppx", ".hidden.ppx", ".ppx", "a.ppx.ppx", "office.ppx2.ppx" })
        touch(dir / name);
    fs::create_directory(dir / "empty.ppx"); // a folder whose name ends like a profile is listed as one

    struct Case {
        const char* name;
        std::string extension;
        std::string excluded;
        Names expected;
    };
    const Case cases[] = {
        { "profiles", "ppx", "default.ppx", { ".hidden", "B", "Home", "Work", "a", "a.ppx", "empty", "office.ppx2" } },
        { "everything", "", "DEFAULT.ppx",
            { ".hidden.ppx", ".ppx", "B.ppx", "Home.ppx", "Work.ppx", "a.ppx", "a.ppx.ppx", "deep", "empty.ppx", "er",
                "notes.txt", "office.ppx2.ppx", "old" } },
        { "case counts in the extension", "PPX", "", { "Default" } },
        { "nothing matches", "xml", "", {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ListFolder(dir.str(), c.extension, c.excluded), c.expected);
    }
    EXPECT_EQ(ListFolder((dir / "missing").string(), "ppx", ""), Names {});
    EXPECT_EQ(ListFolder((dir / "notes.txt").string(), "", ""), Names {});
}

TEST(SystemUtilsTest, ListFolderDoesNotFollowLinkedFolders)
{
    test::TempDir dir;
    touch(dir / "sub/Inner.ppx");
    fs::create_directory_symlink("..", dir / "sub/loop");
    fs::create_directory_symlink((dir / "sub").string(), dir / "alias");
    EXPECT_EQ(ListFolder(dir.str(), "ppx", ""), Names { "Inner" });
    EXPECT_EQ(ListFolder(dir.str(), "", ""), (Names { "Inner.ppx", "alias", "loop", "sub" }));
}

TEST(SystemUtilsTest, NameFromPath)
{
    const std::pair<const char*, const char*> cases[] = {
        { "dir/sub/office.ppx", "office" },
        { "a/b.c.d", "b.c" },
        { "a/", "" },
        { "a/.ppx", "" },
        { "office.ppx", "" },
        { "https://example.com/profiles/Work.ppx", "Work" },
        { "/plain", "plain" },
        { "", "" },
    };
    for (const auto& [path, name] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(GetNameFromPath(path), name);
    }
}

TEST(SystemUtilsTest, FolderSizeAddsTheEntriesDirectlyInside)
{
    test::TempDir dir;
    // Sparse files: the size that counts is the length, not the blocks on disk.
    const std::int64_t big = 3LL * 1000 * 1000 * 1000;
    int fd = open((dir / "big.bin").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, big), 0);
    close(fd);
    touch(dir / "small.bin", std::string(1024, 'x'));
    touch(dir / ".hidden", "12345");
    touch(dir / "sub/inside.bin", std::string(50000, 'y')); // not counted: only the folder entry is
    fs::create_symlink("big.bin", dir / "link");

    struct stat sub { };
    struct stat link { };
    ASSERT_EQ(lstat((dir / "sub").c_str(), &sub), 0);
    ASSERT_EQ(lstat((dir / "link").c_str(), &link), 0);
    std::uint64_t count = 99;
    EXPECT_EQ(GetFolderSize(dir.str(), count), big + 1024 + 5 + sub.st_size + link.st_size);
    EXPECT_EQ(count, 5u);

    test::TempDir empty;
    EXPECT_EQ(GetFolderSize(empty.str(), count), 0);
    EXPECT_EQ(count, 0u);

    count = 7;
    EXPECT_EQ(GetFolderSize((dir / "missing").string(), count), 0);
    EXPECT_EQ(count, 7u);
}

// What a program other than ours computes from the same inputs.
std::string guidOracle(const std::string& name)
{
    std::string text
        = test::runCommand({ "python3", "-c",
                               "import hashlib,uuid,sys; "
                               "print(str(uuid.UUID(bytes=hashlib.sha1(sys.argv[1].encode()).digest()[:16], "
                               "version=5)).upper())",
                               name })
              .out;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

TEST(SystemUtilsTest, UserGuidIsANameBasedUuidOfMachineAndUser)
{
    const std::string machine = "0123456789abcdef0123456789abcdef";
    const std::pair<std::uint32_t, const char*> cases[] = {
        { 1000, "18979E7E-A40C-5662-B9DF-B19CB8C2869F" },
        { 0, "1D4A44EE-54CC-5741-B882-06DBB792D600" },
        { 4294967295u, "57C5C088-6BC0-5631-87E0-F149C88E4B64" },
    };
    for (const auto& [uid, guid] : cases) {
        SCOPED_TRACE(uid);
        EXPECT_EQ(MakeUserGuid(machine, uid), guid);
    }
    EXPECT_NE(MakeUserGuid(machine, 1000), MakeUserGuid(machine, 1001));
    EXPECT_NE(MakeUserGuid(machine, 1000), MakeUserGuid("fedcba9876543210fedcba9876543210", 1000));
    EXPECT_EQ(MakeUserGuid("", 1000), "");
}

TEST(SystemUtilsTest, GuidAttributeIsStableForTheUserOfThisMachine)
{
    const std::string machine = machineId();
    if (machine.empty())
        GTEST_SKIP() << "this machine has no machine id";
    const std::uint32_t uid = getuid();
    const std::string guid = GetUserAttribute(uid, kODAttributeTypeGUID);
    EXPECT_TRUE(
        std::regex_match(guid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-5[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << guid;
    // Another process computing it from the machine's files gets the same value.
    EXPECT_EQ(guid, guidOracle(machine + ":" + std::to_string(uid)));
    EXPECT_NE(guid, GetUserAttribute(65534, kODAttributeTypeGUID)); // nobody
}

TEST(SystemUtilsTest, UserAttributesComeFromTheAccount)
{
    std::optional<UserAccount> root = lookupUser(0);
    ASSERT_TRUE(root);
    const std::pair<const char*, std::string> cases[] = {
        { kODAttributeTypeRecordName, root->name },
        { kODAttributeTypeNFSHomeDirectory, root->home },
        { kODAttributeTypeUserShell, root->shell },
        { kODAttributeTypeUniqueID, "0" },
        { kODAttributeTypePrimaryGroupID, std::to_string(root->gid) },
        { kODAttributeTypeFullName, root->realName },
        { "dsAttrTypeStandard:NoSuchThing", "" },
    };
    for (const auto& [attribute, value] : cases) {
        SCOPED_TRACE(attribute);
        EXPECT_EQ(GetUserAttribute(0, attribute), value);
    }
    EXPECT_EQ(root->name, "root");

    // A user id without an account has no attributes at all, not even a GUID.
    const std::uint32_t unknown = 3999999999u;
    ASSERT_FALSE(lookupUser(unknown));
    EXPECT_EQ(GetUserAttribute(unknown, kODAttributeTypeGUID), "");
    EXPECT_EQ(GetUserAttribute(unknown, kODAttributeTypeRecordName), "");
}

// The addresses `ip -o addr` shows, without their prefix lengths.
Names addressesFromIp(const std::string& listing)
{
    Names addresses;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            if (word == "inet" || word == "inet6") {
                words >> word;
                addresses.push_back(word.substr(0, word.find('/')));
                break;
            }
        }
    }
    std::sort(addresses.begin(), addresses.end());
    return addresses;
}

TEST(SystemUtilsTest, LocalAddressesMatchTheInterfacesOfANamespace)
{
    test::NetNamespace ns("addr");
    if (!ns.valid())
        GTEST_SKIP() << "needs root and network namespaces";
    // No automatic link-local addresses: they would come and go while the two lists are read.
    ASSERT_TRUE(ns.run("sysctl -qw net.ipv6.conf.default.addr_gen_mode=1"
                       " && ip link add corv0 type veth peer name corv1"
                       " && ip addr add 10.77.0.1/24 dev corv0 && ip addr add 10.77.0.2/24 dev corv0"
                       " && ip addr add fd00:77::1/64 dev corv0 nodad"
                       " && ip addr add 192.168.77.9/32 dev corv1"
                       " && ip addr add 127.0.0.42/8 dev lo"
                       " && ip link set corv0 up && ip link set corv1 up"));

    Names found;
    ASSERT_TRUE(ns.runInside([&] { found = GetLocalIPs(); }));
    std::sort(found.begin(), found.end());
    const Names expected = addressesFromIp(ns.output("ip -o addr"));
    EXPECT_EQ(found, expected);
    for (const char* address : { "10.77.0.1", "10.77.0.2", "fd00:77::1", "192.168.77.9", "127.0.0.1", "::1" })
        EXPECT_NE(std::find(found.begin(), found.end(), address), found.end()) << address;
}

} // namespace
} // namespace corvantis
