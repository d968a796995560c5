#include "core/profile/ProfileStorage.h"

#include "core/profile/ProfileFile.h"
#include "tests/profile/ProfileServer.h"
#include "tests/profile/StorageTestSupport.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::Passwords;
using test::SampleProfile;

const char* const kBadPort = "<CorvantisProfile version=\"101\"><ProxyList><Proxy id=\"1\" type=\"SOCKS5\">"
                             "<Address>h</Address><Port>x</Port></Proxy></ProxyList></CorvantisProfile>";

// Profiles served over HTTP on a free loopback port.
class ProfileUrlTest : public test::StorageFixture<test::ScriptedPasswordApp> {
protected:
    void SetUp() override
    {
        test::StorageFixture<test::ScriptedPasswordApp>::SetUp();
        m_server.Put("basic.ppx", SampleProfile(kEncryptionBasic));
        m_server.Put("vault.ppx", SampleProfile(kEncryptionMaster, "right"));
        m_server.PutText("badport.ppx", kBadPort);
    }

    std::string Url(const std::string& file) const { return m_server.Url(file); }

private:
    test::ProfileServer m_server;
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
