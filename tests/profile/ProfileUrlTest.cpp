#include "core/profile/ProfileStorage.h"

#include "core/profile/ProfileFile.h"
#include "tests/profile/StorageTestSupport.h"
#include "tests/support/Subprocess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::Passwords;
using test::SampleProfile;

const char* const kBadPort = "<CorvantisProfile version=\"101\"><ProxyList><Proxy id=\"1\" type=\"SOCKS5\">"
                             "<Address>h</Address><Port>x</Port></Proxy></ProxyList></CorvantisProfile>";

// Profiles served by a python3 http.server on a loopback port the system picks.
class ProfileUrlTest : public test::StorageFixture<test::ScriptedPasswordApp> {
protected:
    void SetUp() override
    {
        test::StorageFixture<test::ScriptedPasswordApp>::SetUp();
        std::string error;
        ASSERT_TRUE(SaveProfileToFile(
            SampleProfile(kEncryptionBasic), (m_served / "basic.ppx").string(), kProfileSilent, &error))
            << error;
        ASSERT_TRUE(SaveProfileToFile(
            SampleProfile(kEncryptionMaster, "right"), (m_served / "vault.ppx").string(), kProfileSilent, &error))
            << error;
        std::ofstream(m_served / "badport.ppx") << kBadPort;
        m_server = std::make_unique<test::ChildProcess>(std::vector<std::string> {
            "python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", m_served.str() });
        const std::optional<std::string> banner = m_server->readLine(30s);
        std::smatch match;
        ASSERT_TRUE(banner && std::regex_search(*banner, match, std::regex("port ([0-9]+)")))
            << "the http server did not start";
        m_base = "http://127.0.0.1:" + match[1].str() + "/";
    }
    void TearDown() override
    {
        m_server.reset();
        test::StorageFixture<test::ScriptedPasswordApp>::TearDown();
    }

    std::string Url(const std::string& file) const { return m_base + file; }

private:
    test::TempDir m_served;
    std::unique_ptr<test::ChildProcess> m_server;
    std::string m_base;
};

TEST_F(ProfileUrlTest, ACheckOnlyReadsAndAsksNothing)
{
    struct Case {
        const char* file;
        bool readable;
    } cases[] = { { "basic.ppx", true }, { "vault.ppx", true }, { "badport.ppx", false }, { "missing.ppx", false } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        CProfileData profile;
        EXPECT_EQ(LoadProfileFromUrl(profile, Url(c.file), "Remote", 0, true), c.readable);
    }
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(app.queries.empty()) << "no password is looked for";
}

TEST_F(ProfileUrlTest, ALoadRunsThePasswordStepAndInstallsNothing)
{
    CProfileData basic;
    ASSERT_TRUE(LoadProfileFromUrl(basic, Url("basic.ppx"), "Remote", 0, false));
    EXPECT_EQ(Passwords(basic), (std::vector<std::string> { "alpha", "beta", "" }));

    app.cached = "right";
    CProfileData vault;
    ASSERT_TRUE(LoadProfileFromUrl(vault, Url("vault.ppx"), "Remote", 0, false));
    EXPECT_EQ(Passwords(vault), (std::vector<std::string> { "alpha", "beta", "" }));
    EXPECT_EQ(app.queries.back().name, "Remote");

    EXPECT_TRUE(Passwords(app).empty()) << "the caller installs the profile itself";
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ProfileUrlTest, ADocumentThatCannotBeFetchedIsReportedOnce)
{
    CProfileData profile;
    EXPECT_FALSE(LoadProfileFromUrl(profile, Url("missing.ppx"), "Remote", kProfileSilent, false));
    EXPECT_TRUE(Boxes().empty());

    EXPECT_FALSE(LoadProfileFromUrl(profile, Url("missing.ppx"), "Remote", 0, false));
    const std::vector<std::string> shown = BoxTexts();
    ASSERT_EQ(shown.size(), 1u);
    const std::string start = "Cannot open " + Url("missing.ppx") + " to load profile.\nError: ";
    EXPECT_EQ(shown[0].rfind(start, 0), 0u) << shown[0];

    CProfileData read;
    const ProfileLoadStatus status = ReadProfileUrl(read, Url("badport.ppx"));
    EXPECT_EQ(status.code, ProfileLoadStatus::kError);
    EXPECT_FALSE(LoadProfileFromUrl(profile, Url("badport.ppx"), "Remote", 0, false));
    EXPECT_EQ(BoxTexts().back(), status.message);
}

} // namespace
} // namespace corvantis
