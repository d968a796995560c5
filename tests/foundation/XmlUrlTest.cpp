#include "core/foundation/XmlReader.h"

#include "tests/peers/FileServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One web server per test suite, on a free loopback port, serving a temporary folder.
class XmlUrlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<test::TempDir>();
        std::ofstream(*s_dir / "profile.xml") << "<?xml version=\"1.0\"?>\n<CorvantisProfile version=\"101\">\n"
                                                 "  <Name>first</Name>\n</CorvantisProfile>\n";
        std::ofstream(*s_dir / "second.xml") << "<CorvantisProfile version=\"102\"/>";
        std::ofstream(*s_dir / "broken.xml") << "<<< not xml";
        {
            std::ofstream big(*s_dir / "big.xml");
            big << "<R>";
            const std::string chunk(1 << 20, 'x');
            for (int i = 0; i < 17; ++i)
                big << chunk;
            big << "</R>";
        }
        try {
            s_server = test::startFileServer(s_dir->path());
            s_base = "http://127.0.0.1:" + std::to_string(s_server->port()) + "/";
        } catch (const std::runtime_error& e) {
            s_startError = e.what();
        }
    }
    static void TearDownTestSuite()
    {
        s_server.reset();
        s_dir.reset();
    }
    void SetUp() override { ASSERT_FALSE(s_base.empty()) << s_startError; }

    static std::unique_ptr<test::TempDir> s_dir;
    static test::PeerProcessPtr s_server;
    static std::string s_base;
    static std::string s_startError;
};

std::unique_ptr<test::TempDir> XmlUrlTest::s_dir;
test::PeerProcessPtr XmlUrlTest::s_server;
std::string XmlUrlTest::s_base;
std::string XmlUrlTest::s_startError;

void expectOwnError(const std::optional<XmlError>& error)
{
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kXmlOwnErrorDomain);
    EXPECT_EQ(error->code, 0);
}

TEST_F(XmlUrlTest, LoadsADocumentServedWithStatus200)
{
    CXmlReader reader;
    ASSERT_FALSE(reader.OpenUrl(s_base + "profile.xml"));
    ASSERT_TRUE(reader.FindElement("CorvantisProfile"));
    EXPECT_EQ(reader.GetAttributeInt("version"), 101);
    ASSERT_TRUE(reader.FindElement("Name"));
    EXPECT_EQ(reader.GetText(), "first");

    // A second download replaces the document and starts before the root again.
    ASSERT_FALSE(reader.OpenUrl(s_base + "second.xml"));
    ASSERT_TRUE(reader.FindElement("CorvantisProfile"));
    EXPECT_EQ(reader.GetAttributeInt("version"), 102);
}

TEST_F(XmlUrlTest, FailuresKeepThePreviousDocument)
{
    struct Case {
        const char* name;
        std::string url;
        bool ownError;
    };
    const Case cases[] = {
        { "404", s_base + "missing.xml", true },
        { "over 16 MiB", s_base + "big.xml", true },
        { "not xml", s_base + "broken.xml", false },
        { "not a url", "::::", true },
        { "file scheme", "file://" + (*s_dir / "profile.xml").string(), true },
        { "ftp scheme", "ftp://127.0.0.1/profile.xml", true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CXmlReader reader;
        ASSERT_FALSE(reader.OpenString("<Previous><Child n=\"1\"/></Previous>"));
        ASSERT_TRUE(reader.FindElement("Previous"));
        ASSERT_TRUE(reader.FindElement("Child"));
        const std::optional<XmlError> error = reader.OpenUrl(c.url);
        ASSERT_TRUE(error);
        if (c.ownError)
            expectOwnError(error);
        EXPECT_EQ(reader.GetAttribute("n"), "1");
        reader.Up();
        EXPECT_TRUE(reader.FindElement("Child"));
    }
}

TEST_F(XmlUrlTest, GivesUpOnAServerThatDoesNotAnswer)
{
    // Takes connections into its backlog and never answers them.
    const test::LoopbackListener silent;
    CXmlReader reader;
    reader.SetUrlTimeout(300ms);
    const auto start = Clock::now();
    const std::optional<XmlError> error = reader.OpenUrl("http://127.0.0.1:" + std::to_string(silent.port()) + "/x");
    const auto elapsed = Clock::now() - start;
    expectOwnError(error);
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 30s);
}

TEST(XmlUrlRefusedTest, ClosedPortFails)
{
    const std::string url = "http://127.0.0.1:" + std::to_string(test::freeLoopbackPort()) + "/x";
    CXmlReader reader;
    expectOwnError(reader.OpenUrl(url));
}

} // namespace
} // namespace corvantis
