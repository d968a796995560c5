#include "app/ui/ListCharacters.h"
#include "app/ui/PropertyAnnouncer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvantis {
namespace {

TEST(ListCharactersTest, EachFieldRefusesItsCharacters)
{
    struct Case {
        const char* name;
        std::string text;
        ListField field;
        std::vector<std::size_t> refused;
    };
    const Case cases[] = {
        { "applications: every forbidden sign", "a\\b:c<d>e|f,g", ListField::Applications, { 1, 3, 5, 7, 9, 11 } },
        { "applications: quotes, blanks, non-ASCII", "\"My App\"; K\xC3\xB6nig\n", ListField::Applications, {} },
        { "hosts: the allowed set", "a-Z.0;?*% \n\r\t:", ListField::Hosts, {} },
        { "hosts: underscore and slash", "my_host/24", ListField::Hosts, { 2, 7 } },
        { "hosts: two-byte character is one", "\xC3\xA9x", ListField::Hosts, { 0 } },
        { "hosts: four-byte character is one",
            "a\xF0\x9F\x98\x80"
            "b",
            ListField::Hosts, { 1 } },
        { "hosts: a stray byte is one",
            "a\xFF"
            "b",
            ListField::Hosts, { 1 } },
        { "hosts: a cut-off sequence counts byte by byte", "\xE2\x82", ListField::Hosts, { 0, 1 } },
        { "dns list: no colon", "host:53; a.b", ListField::DnsExclusion, { 4 } },
        { "ports: digits, ranges and separators", "80; 8000-8100 ", ListField::Ports, {} },
        { "ports: newline and letters", "80\nhttp", ListField::Ports, { 2, 3, 4, 5, 6 } },
        { "empty", "", ListField::Hosts, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RefusedCharacterPositions(c.text, c.field), c.refused);
        EXPECT_EQ(HasRefusedCharacter(c.text, c.field), !c.refused.empty());
    }
}

TEST(PropertyAnnouncerTest, AnObserverAnnouncingTheSamePropertyDoesNotRecurse)
{
    PropertyAnnouncer announcer;
    std::vector<std::string> heard;
    announcer.observe([&](const std::string& name) {
        heard.push_back(name);
        announcer.announce(name);
        if (name == "a")
            announcer.announce("b");
    });
    announcer.announce("a");
    EXPECT_EQ(heard, (std::vector<std::string> { "a", "b" }));
    announcer.announce("a");
    EXPECT_EQ(heard.size(), 4u) << "the guard is released afterwards";
}

TEST(PropertyAnnouncerTest, AnObserverRemovedDuringAnAnnouncementIsNotCalled)
{
    PropertyAnnouncer announcer;
    int second = 0;
    PropertyAnnouncer::ObserverId secondId = 0;
    announcer.observe([&](const std::string&) { announcer.remove(secondId); });
    secondId = announcer.observe([&](const std::string&) { ++second; });
    announcer.announce("x");
    EXPECT_EQ(second, 0);
}

TEST(PropertyAnnouncerTest, AThrowingObserverReleasesTheGuard)
{
    PropertyAnnouncer announcer;
    int calls = 0;
    announcer.observe([&](const std::string&) {
        if (++calls == 1)
            throw std::runtime_error("observer failed");
    });
    EXPECT_THROW(announcer.announce("x"), std::runtime_error);
    announcer.announce("x");
    EXPECT_EQ(calls, 2);
}

} // namespace
} // namespace corvantis
