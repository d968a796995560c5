#include "supervisor/TreeCheck.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantis {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// A folder inside the build folder, whose folders above are the build's own (the system's temporary folder is
// writable by everyone and so fails the check by design). Removed with its contents.
class TrustedBase {
public:
    TrustedBase()
    {
        std::string tmpl = std::string(CORVANTIS_BUILD_DIR) + "/tree-check.XXXXXX";
        if (::mkdtemp(tmpl.data()))
            m_path = tmpl;
    }
    ~TrustedBase()
    {
        std::error_code ec;
        if (!m_path.empty())
            fs::remove_all(m_path, ec);
    }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

void makeFile(const fs::path& path, mode_t mode)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

void makeFolder(const fs::path& path, mode_t mode)
{
    fs::create_directories(path);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

class TreeCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_base.path().empty()) << "mkdtemp in " << CORVANTIS_BUILD_DIR;
        // The build folder itself must pass, or every case below would fail for the wrong reason.
        Status base = TreeCheck::check(m_base.path(), ::geteuid());
        if (!base.ok())
            GTEST_SKIP() << "the build folder is not a trusted place: " << base.message();
    }
    const fs::path& base() const { return m_base.path(); }

private:
    TrustedBase m_base;
};

TEST_F(TreeCheckTest, RefusesWhatOthersCouldHaveChangedAndNamesIt)
{
    struct Case {
        const char* name;
        bool needsRoot;
        // Builds the tree under `base`; returns the path to check.
        std::function<fs::path(const fs::path& base)> build;
        // Empty: the check passes. Else the path (relative to base) the refusal names, and the reason's text.
        const char* offender;
        const char* reason;
        uid_t trustedUid = ::geteuid();
    };
    const Case cases[] = {
        { "clean tree", false,
            [](const fs::path& b) {
                makeFolder(b / "clean/libexec", 0755);
                makeFile(b / "clean/libexec/tool", 0755);
                return b / "clean/libexec/tool";
            },
            "", "" },
        { "group-writable folder", false,
            [](const fs::path& b) {
                makeFolder(b / "gw/libexec", 0775);
                makeFile(b / "gw/libexec/tool", 0755);
                return b / "gw/libexec/tool";
            },
            "gw/libexec", "is writable by its group" },
        { "other-writable file", false,
            [](const fs::path& b) {
                makeFile(b / "ow/tool", 0757);
                return b / "ow/tool";
            },
            "ow/tool", "is writable by others" },
        { "sticky folder open to everyone", false,
            [](const fs::path& b) {
                makeFolder(b / "sticky", 01777);
                makeFile(b / "sticky/tool", 0755);
                return b / "sticky/tool";
            },
            "sticky", "is writable by others" },
        { "symlink into a writable folder", false,
            [](const fs::path& b) {
                makeFolder(b / "open", 0777);
                makeFile(b / "open/tool", 0755);
                makeFolder(b / "links", 0755);
                fs::create_symlink("../open/tool", b / "links/tool");
                return b / "links/tool";
            },
            "open", "is writable by others" },
        { "folder symlink into a writable folder", false,
            [](const fs::path& b) {
                makeFolder(b / "open2/libexec", 0755);
                ::chmod((b / "open2").c_str(), 0777);
                makeFile(b / "open2/libexec/tool", 0755);
                fs::create_symlink("open2/libexec", b / "libexec-link");
                return b / "libexec-link/tool";
            },
            "open2", "is writable by others" },
        { "symlink into a clean folder", false,
            [](const fs::path& b) {
                makeFile(b / "real/tool", 0755);
                ::chmod((b / "real").c_str(), 0755);
                fs::create_symlink("real/tool", b / "tool-link");
                return b / "tool-link";
            },
            "", "" },
        { "missing file", false, [](const fs::path& b) { return b / "missing/tool"; }, "missing",
            "No such file or directory" },
        { "file owned by another uid", true,
            [](const fs::path& b) {
                makeFile(b / "foreign/tool", 0755);
                ::chmod((b / "foreign").c_str(), 0755);
                EXPECT_EQ(::chown((b / "foreign/tool").c_str(), kNobody, kNobody), 0);
                return b / "foreign/tool";
            },
            "foreign/tool", "is owned by uid 65534" },
        { "folder owned by another uid", true,
            [](const fs::path& b) {
                makeFile(b / "foreign-dir/tool", 0755);
                ::chmod((b / "foreign-dir").c_str(), 0755);
                EXPECT_EQ(::chown((b / "foreign-dir").c_str(), kNobody, kNobody), 0);
                return b / "foreign-dir/tool";
            },
            "foreign-dir", "is owned by uid 65534" },
        { "link owned by another uid into a clean folder", true,
            [](const fs::path& b) {
                makeFile(b / "real2/tool", 0755);
                ::chmod((b / "real2").c_str(), 0755);
                fs::create_symlink("real2/tool", b / "foreign-link");
                EXPECT_EQ(::lchown((b / "foreign-link").c_str(), kNobody, kNobody), 0);
                return b / "foreign-link";
            },
            "foreign-link", "is owned by uid 65534" },
        { "file owned by the trusted uid", true,
            [](const fs::path& b) {
                makeFile(b / "own/tool", 0755);
                ::chmod((b / "own").c_str(), 0755);
                EXPECT_EQ(::chown((b / "own/tool").c_str(), kNobody, kNobody), 0);
                return b / "own/tool";
            },
            "", "", kNobody },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            std::printf("skipping \"%s\": needs root to give files away\n", c.name);
            continue;
        }
        const fs::path target = c.build(base());
        Status st = TreeCheck::check(target, c.trustedUid);
        if (std::string(c.offender).empty()) {
            EXPECT_TRUE(st.ok()) << st.message();
            continue;
        }
        ASSERT_FALSE(st.ok());
        const std::string named = (base() / c.offender).string();
        EXPECT_TRUE(st.message().rfind(named + " ", 0) == 0 || st.message().rfind(named + ":", 0) == 0) << st.message();
        EXPECT_NE(st.message().find(c.reason), std::string::npos) << st.message();
    }
}

TEST(TreeCheckPlainTest, RefusesTheSystemsTemporaryFolder)
{
    test::TempDir tmp;
    makeFile(tmp / "tool", 0755);
    Status st = TreeCheck::check(tmp / "tool", ::geteuid());
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.errnum(), EPERM);
    EXPECT_NE(st.message().find("is writable by others"), std::string::npos) << st.message();
}

} // namespace
} // namespace corvantis
