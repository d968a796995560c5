#include "core/profile/ConnRecord.h"

#include "tests/support/FakeSteadyClock.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::FakeSteadyClock;

using RecordPtr = std::shared_ptr<CConnRecord>;

CLogContext App(const std::string& shortName, const std::string& bundle = "")
{
    CLogContext context;
    context.packetShortName = shortName;
    context.revDns = bundle;
    return context;
}

// The connection list text as the engine builds it: each record's line, in list order.
std::string ListText(const std::vector<RecordPtr>& records)
{
    std::string text;
    for (const RecordPtr& record : records)
        text += record->GetText();
    return text;
}

class ConnList : public ::testing::Test {
protected:
    RecordPtr Make(const CLogContext& app, const CHost& target)
    {
        return std::make_shared<CConnRecord>(app, target, m_clock.AsFunction());
    }

    FakeSteadyClock m_clock;
};

TEST_F(ConnList, RecordsRoundTripThroughTheText)
{
    auto open = Make(App("Mail", "com.example.mail"), CHost(std::string("imap.example.com"), "10.0.0.5", 993, false));
    open->SetRuleName("Default");
    open->SetProxyText("192.168.1.2:1080");
    open->SetAction(2);
    open->MarkConnected();
    open->AddBytesSent(5339);
    open->AddBytesReceived(1069547);

    auto failed = Make(App("ssh"), CHost("2001:db8::1", 22, false));
    failed->SetRuleName("Office");
    failed->SetProxyText("Two hops");
    failed->SetAction(3);
    failed->MarkClosed();

    auto direct = Make(App("dig"), CHost("10.0.0.53", 53, true));
    direct->SetRuleName("Local");
    direct->SetAction(1);
    direct->SetResolving(true);

    m_clock.Advance(90s);
    const auto rows = ParseConnList(ListText({ open, failed, direct }));

    const std::vector<CConnListItem> expected = {
        { open->GetId(), "Mail(com.example.mail)", "imap.example.com:993", "Default : 192.168.1.2:1080", "01:30", true,
            false, "5.21 KB", 5339, "1.01 MB", 1069547 },
        { failed->GetId(), "ssh", "[2001:db8::1]:22 *IPv6", "Office : Two hops proxy chain", "Failed", false, true, "0",
            0, "0", 0 },
        { direct->GetId(), "dig", "10.0.0.53:53 (UDP)", "Local : direct connection", "01:30 Resolving", false, false,
            "0", 0, "0", 0 },
    };
    EXPECT_EQ(rows, expected);
}

TEST_F(ConnList, EmptyListAndEmptyText)
{
    EXPECT_EQ(ListText({}), "");
    EXPECT_TRUE(ParseConnList("").empty());
}

// Process names are chosen by whoever starts the process and rule names are typed by the user: neither may split
// its row, drop the rows after it or forge rows of its own.
TEST_F(ConnList, SeparatorsInsideFieldsYieldOneSanitisedRow)
{
    const std::string forged = "1/forged/1.2.3.4:1/x : y/00:01/1/0/0/0/0/0";
    struct Case {
        const char* name;
        std::string process;
        std::string rule;
        std::string targetName;
        const char* appField;
        const char* proxyField;
        const char* targetField;
    };
    const Case cases[] = {
        { "slash in the process name", "evil/name", "R", "t.example", "evil\xE2\x88\x95name", "R : P", "t.example:80" },
        { "line feed and forged row in the process name", "p\n" + forged, "R", "t.example",
            "p 1\xE2\x88\x95"
            "forged\xE2\x88\x95"
            "1.2.3.4:1\xE2\x88\x95x : y\xE2\x88\x95"
            "00:01\xE2\x88\x95"
            "1\xE2\x88\x95"
            "0\xE2\x88\x95"
            "0\xE2\x88\x95"
            "0\xE2\x88\x95"
            "0\xE2\x88\x95"
            "0",
            "R : P", "t.example:80" },
        { "carriage return and NUL", std::string("a\r\nb\0c", 6), "R", "t.example", "a  b c", "R : P", "t.example:80" },
        { "slash and line feed in the rule name", "curl", "Work/VPN\nrule", "t.example", "curl",
            "Work\xE2\x88\x95VPN rule : P", "t.example:80" },
        { "slash in the target name", "curl", "R", "a/b.example", "curl", "R : P",
            "a\xE2\x88\x95"
            "b.example:80" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CLogContext app;
        app.bsdName = c.process;
        auto before = Make(App("first"), CHost("10.0.0.1", 80, false));
        auto record = Make(app, CHost(c.targetName, 80, false));
        record->SetRuleName(c.rule);
        record->SetProxyText("P");
        record->SetAction(2);
        auto after = Make(App("last"), CHost("10.0.0.2", 80, false));

        const std::string line = record->GetText();
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        const auto rows = ParseConnList(ListText({ before, record, after }));
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[0].application, "first");
        EXPECT_EQ(rows[1].id, record->GetId());
        EXPECT_EQ(rows[1].application, c.appField);
        EXPECT_EQ(rows[1].proxy, c.proxyField);
        EXPECT_EQ(rows[1].target, c.targetField);
        EXPECT_EQ(rows[2].application, "last");
    }
}

TEST(ConnListParser, MalformedLineEndsTheList)
{
    const std::string good1 = "7/Mail/10.0.0.5:993/Default : P/00:12/1/0/5.21 KB/5339/1.01 MB/1069547\n";
    const std::string good2 = "8/curl/10.0.0.6:80/R : direct connection/Failed/0/1/0/0/0/0\n";
    struct Case {
        const char* name;
        std::string text;
        size_t rows;
    };
    const Case cases[] = {
        { "two good lines", good1 + good2, 2 },
        { "leading blanks before the identifier", "  \n" + good1, 1 },
        { "extra slash in a text field", good1 + "9/a/b/10.0.0.5:1/R : P/00:01/1/0/0/0/0/0\n" + good2, 1 },
        { "identifier not a number", "x/Mail/t/r/s/1/0/0/0/0/0\n" + good1, 0 },
        { "identifier not followed by a slash", "9 /Mail/t/r/s/1/0/0/0/0/0\n", 0 },
        { "opened not a number", good1 + "9/a/t/r/s/y/0/0/0/0/0\n", 1 },
        { "byte count not a number", good1 + "9/a/t/r/s/1/0/0/many/0/0\n", 1 },
        { "last count followed by more text", good1 + "9/a/t/r/s/1/0/0/0/0/0 \n" + good2, 1 },
        { "line feed missing at the end", good1 + "9/a/t/r/s/1/0/0/0/0/0", 1 },
        { "text cut inside a line", good1 + "9/a/t/r", 1 },
        { "fewer fields", good1 + "9/a/t/r/s/1/0\n" + good2, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto rows = ParseConnList(c.text);
        EXPECT_EQ(rows.size(), c.rows);
        if (!rows.empty()) {
            EXPECT_EQ(rows[0].id, 7u);
            EXPECT_EQ(rows[0].proxy, "Default : P");
        }
    }
}

TEST(ConnListParser, FlagsAreNonZeroForTrue)
{
    const auto rows = ParseConnList("1/a/t/r/s/2/0/0/0/0/0\n2/a/t/r/s/0/65535/0/0/0/0\n");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].opened);
    EXPECT_FALSE(rows[0].closed);
    EXPECT_FALSE(rows[1].opened);
    EXPECT_TRUE(rows[1].closed);
}

} // namespace
} // namespace corvantis
