#include "core/foundation/XmlReader.h"
#include "core/foundation/XmlException.h"

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <vector>

namespace corvantis {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
}

// Pretty-printed on purpose: the white space between elements is kept as text nodes, which the cursor must step
// over like any other node.
const char* const kDocument = R"(<?xml version="1.0" encoding="UTF-8"?>
<Root a="1" empty="">
  <!-- kept as a node -->
  <Options><Resolve x="y"/></Options>
  <List>
    <Item id="1">one</Item>
    <Item id="2"><![CDATA[two <b> & c]]></Item>
  </List>
</Root>
)";

class XmlReaderCursorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(reader.Initialize(), 0);
        ASSERT_FALSE(reader.OpenString(kDocument));
    }
    CXmlReader reader;
};

TEST_F(XmlReaderCursorTest, FindElementWalksDownFromTheRoot)
{
    ASSERT_TRUE(reader.FindElement("Root"));
    EXPECT_EQ(reader.GetAttribute("a"), "1");
    ASSERT_TRUE(reader.FindElement("Options"));
    ASSERT_TRUE(reader.FindElement("Resolve"));
    EXPECT_EQ(reader.GetAttribute("x"), "y");
    EXPECT_FALSE(reader.HasChildren());

    // No children: the search fails and the position is kept.
    EXPECT_FALSE(reader.FindElement("Anything"));
    EXPECT_EQ(reader.GetAttribute("x"), "y");
}

TEST_F(XmlReaderCursorTest, FailedFindLeavesTheReaderBeforeTheRoot)
{
    ASSERT_TRUE(reader.FindElement("Root"));
    EXPECT_FALSE(reader.FindElement("Missing"));
    EXPECT_EQ(reader.GetText(), "");
    EXPECT_EQ(reader.GetAttribute("a"), "");
    // Up cannot bring the position back; only the root element can be found next.
    reader.Up();
    EXPECT_FALSE(reader.FindElement("Options"));
    EXPECT_TRUE(reader.FindElement("Root"));
    EXPECT_TRUE(reader.FindElement("Options"));
}

TEST_F(XmlReaderCursorTest, NamesAreExact)
{
    EXPECT_FALSE(reader.FindElement("root"));
    EXPECT_TRUE(reader.FindElement("Root"));
    EXPECT_FALSE(reader.FindElement("options"));
}

TEST_F(XmlReaderCursorTest, ChildLoopVisitsEveryNodeAndEndsOnTheParent)
{
    ASSERT_TRUE(reader.FindElement("Root"));
    std::vector<std::string> names;
    std::string name = "left over";
    ASSERT_TRUE(reader.FirstChild(name));
    do {
        names.push_back(name);
    } while (reader.NextSibling(name));
    // Text and comment nodes have no name.
    EXPECT_EQ(names, (std::vector<std::string> { "", "", "", "Options", "", "List", "" }));
    EXPECT_EQ(reader.GetAttribute("a"), "1");
}

TEST_F(XmlReaderCursorTest, NonElementNodesReadTheirText)
{
    ASSERT_TRUE(reader.FindElement("Root"));
    std::string name;
    ASSERT_TRUE(reader.FirstChild(name));
    EXPECT_EQ(reader.GetText(), "\n  ");
    ASSERT_TRUE(reader.NextSibling(name));
    EXPECT_EQ(name, "");
    EXPECT_EQ(reader.GetText(), " kept as a node ");
    EXPECT_FALSE(reader.HasChildren());
    EXPECT_FALSE(reader.FirstChild(name));
}

TEST_F(XmlReaderCursorTest, FindNextSiblingAndUp)
{
    ASSERT_TRUE(reader.FindElement("Root"));
    ASSERT_TRUE(reader.FindElement("List"));
    ASSERT_TRUE(reader.FindElement("Item"));
    EXPECT_EQ(reader.GetAttribute("id"), "1");
    ASSERT_TRUE(reader.FindNextSibling("Item"));
    EXPECT_EQ(reader.GetAttribute("id"), "2");
    EXPECT_EQ(reader.GetText(), "two <b> & c");
    reader.Up();
    EXPECT_TRUE(reader.HasChildren());
    ASSERT_TRUE(reader.FindElement("Item"));
    EXPECT_FALSE(reader.FindNextSibling("Missing"));
    // Past the end: on the parent, List.
    EXPECT_EQ(reader.GetText(), "\n    one\n    two <b> & c\n  ");
}

TEST(XmlReaderDocumentLevelTest, AboveTheRootIsTheDocument)
{
    CXmlReader reader;
    ASSERT_FALSE(reader.OpenString("<!-- before --><Root a=\"1\">text</Root><!-- after -->"));
    ASSERT_TRUE(reader.FindElement("Root"));
    std::string name = "stale";
    ASSERT_TRUE(reader.NextSibling(name));
    EXPECT_EQ(name, "");
    EXPECT_EQ(reader.GetText(), " after ");
    // Past the root's last sibling the reader stands on the document, which holds the root as a child.
    EXPECT_FALSE(reader.NextSibling(name));
    EXPECT_EQ(reader.GetAttribute("a"), "");
    EXPECT_EQ(reader.GetText(), "text");
    EXPECT_TRUE(reader.HasChildren());
    ASSERT_TRUE(reader.FindElement("Root"));
    EXPECT_EQ(reader.GetAttribute("a"), "1");
    reader.Up();
    reader.Up();
    EXPECT_FALSE(reader.HasChildren());
    EXPECT_TRUE(reader.FindElement("Root"));
}

TEST_F(XmlReaderCursorTest, ElementTextJoinsItsDescendants)
{
    ASSERT_TRUE(reader.FindElement("Root"));
    ASSERT_TRUE(reader.FindElement("List"));
    EXPECT_EQ(reader.GetText(), "\n    one\n    two <b> & c\n  ");
}

TEST_F(XmlReaderCursorTest, NothingOpenNothingFound)
{
    CXmlReader empty;
    std::string name;
    EXPECT_FALSE(empty.FindElement("Root"));
    EXPECT_FALSE(empty.FirstChild(name));
    EXPECT_FALSE(empty.NextSibling(name));
    EXPECT_FALSE(empty.HasChildren());
    EXPECT_EQ(empty.GetText(), "");
    EXPECT_EQ(empty.GetAttributeInt("a"), 0);
}

struct IntCase {
    const char* name;
    std::optional<std::string> value; // nullopt: attribute missing
    int expected;
};

TEST(XmlReaderNumberTest, AttributeIntReadsLikeAtoiWithoutOverflow)
{
    const IntCase cases[] = {
        { "missing", std::nullopt, 0 },
        { "empty", "", 0 },
        { "letters", "abc", 0 },
        { "trailing text", "12abc", 12 },
        { "blank and sign", "  -5", -5 },
        { "plus", "+7", 7 },
        { "int max", "2147483647", 2147483647 },
        { "wraps past int max", "2147483648", INT32_MIN },
        { "2^32 + 1 keeps low bits", "4294967297", 1 },
        { "minus one as unsigned 64", "18446744073709551615", -1 },
        { "far too large saturates", "99999999999999999999999", -1 },
        { "far too small saturates", "-99999999999999999999999", 0 },
    };
    for (const IntCase& c : cases) {
        SCOPED_TRACE(c.name);
        CXmlReader reader;
        const std::string doc = c.value ? "<R v=\"" + *c.value + "\"/>" : "<R/>";
        ASSERT_FALSE(reader.OpenString(doc));
        ASSERT_TRUE(reader.FindElement("R"));
        EXPECT_EQ(reader.GetAttributeInt("v"), c.expected);
    }
}

TEST(XmlReaderNumberTest, TextIntIsStrictAboutZero)
{
    struct Case {
        const char* text;
        std::optional<int> expected; // nullopt: throws
    };
    const Case cases[] = {
        { "0", 0 },
        { "12abc", 12 },
        { "-3", -3 },
        { "18446744073709551615", -1 },
        { "", std::nullopt },
        { "00", std::nullopt },
        { "abc", std::nullopt },
        // Wraps to 0 from a text that is not "0": refused like any other zero.
        { "4294967296", std::nullopt },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CXmlReader reader;
        ASSERT_FALSE(reader.OpenString(std::string("<R>") + c.text + "</R>"));
        ASSERT_TRUE(reader.FindElement("R"));
        if (c.expected) {
            EXPECT_EQ(reader.GetTextInt(), *c.expected);
        } else {
            try {
                (void)reader.GetTextInt();
                ADD_FAILURE() << "no exception";
            } catch (const CXmlException& e) {
                EXPECT_EQ(e.GetMessage(), "Incorrect number format. ");
                EXPECT_FALSE(e.GetError());
            }
        }
    }
}

TEST(XmlReaderNumberTest, RangeCheckedAccessorRefusesWhatDoesNotFit)
{
    struct Case {
        std::optional<std::string> value;
        int64_t min, max;
        std::optional<int64_t> expected;
    };
    const Case cases[] = {
        { "105", 1, INT32_MAX, 105 },
        { " 7\n", 1, INT32_MAX, 7 },
        { "0", 1, INT32_MAX, std::nullopt },
        { "-1", 1, INT32_MAX, std::nullopt },
        { "4294967297", 1, INT32_MAX, std::nullopt },
        { "18446744073709551615", INT64_MIN, INT64_MAX, std::nullopt },
        { "9223372036854775807", INT64_MIN, INT64_MAX, INT64_MAX },
        { "9223372036854775808", INT64_MIN, INT64_MAX, std::nullopt },
        { "-9223372036854775808", INT64_MIN, INT64_MAX, INT64_MIN },
        // The leading number counts, as atoi reads it; hand-edited files rely on that.
        { "12abc", INT64_MIN, INT64_MAX, 12 },
        { "1081tcp", 1, 65535, 1081 },
        { " -7 apples", INT64_MIN, INT64_MAX, -7 },
        { "4294967376tcp", 1, 65535, std::nullopt },
        { "99999999999999999999x", INT64_MIN, INT64_MAX, std::nullopt },
        { "abc", INT64_MIN, INT64_MAX, std::nullopt },
        { "x12", INT64_MIN, INT64_MAX, std::nullopt },
        { "", INT64_MIN, INT64_MAX, std::nullopt },
        { "-", INT64_MIN, INT64_MAX, std::nullopt },
        { std::nullopt, INT64_MIN, INT64_MAX, std::nullopt },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.value_or("(missing)"));
        CXmlReader reader;
        const std::string doc = c.value ? "<R v=\"" + *c.value + "\">" + *c.value + "</R>" : "<R/>";
        ASSERT_FALSE(reader.OpenString(doc));
        ASSERT_TRUE(reader.FindElement("R"));
        EXPECT_EQ(reader.GetAttributeInt64("v", c.min, c.max), c.expected);
        if (c.value) {
            EXPECT_EQ(reader.GetTextInt64(c.min, c.max), c.expected);
        }
    }
}

TEST(XmlReaderNumberTest, RangeCheckedTextIsStrictAboutZeroAsTextIntIs)
{
    struct Case {
        const char* text;
        std::optional<int64_t> text64; // GetTextInt64
        std::optional<int64_t> attribute64; // GetAttributeInt64 of the same value
    };
    const Case cases[] = {
        { "0", 0, 0 },
        { " 0\n", 0, 0 },
        { "00", std::nullopt, 0 },
        { "0x10", std::nullopt, 0 },
        { "-0", std::nullopt, 0 },
        { "10x", 10, 10 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CXmlReader reader;
        ASSERT_FALSE(reader.OpenString(std::string("<R v=\"") + c.text + "\">" + c.text + "</R>"));
        ASSERT_TRUE(reader.FindElement("R"));
        EXPECT_EQ(reader.GetTextInt64(), c.text64);
        EXPECT_EQ(reader.GetAttributeInt64("v"), c.attribute64);
    }
}

TEST(XmlReaderAttributeTest, BoolIsTrueOnlyForTrue)
{
    const std::pair<const char*, bool> cases[] = { { "true", true }, { "True", false }, { "TRUE", false },
        { "1", false }, { "", false }, { "yes", false }, { " true", false }, { nullptr, false } };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value ? value : "(missing)");
        CXmlReader reader;
        ASSERT_FALSE(reader.OpenString(value ? std::string("<R v=\"") + value + "\"/>" : "<R/>"));
        ASSERT_TRUE(reader.FindElement("R"));
        EXPECT_EQ(reader.GetAttributeBool("v"), expected);
    }
}

TEST(XmlReaderOpenTest, RecoversWhatTheStrictParseRefuses)
{
    CXmlReader reader;
    ASSERT_FALSE(reader.OpenString("<Root><Name>text</Name><Open>x</Root>"));
    ASSERT_TRUE(reader.FindElement("Root"));
    ASSERT_TRUE(reader.FindElement("Name"));
    EXPECT_EQ(reader.GetText(), "text");

    // The reader says that it repaired the document, with the strict parse's reason, so that a caller that must
    // not act on part of a document can refuse it.
    const std::optional<XmlError>& repaired = reader.GetRepairedError();
    ASSERT_TRUE(repaired);
    EXPECT_EQ(repaired->domain, kXmlParserErrorDomain);
    EXPECT_NE(repaired->code, 0);
    EXPECT_FALSE(repaired->description.empty());

    // A well-formed document clears it; a failed open keeps the document and its record.
    ASSERT_FALSE(reader.OpenString("<Root/>"));
    EXPECT_FALSE(reader.GetRepairedError());
    ASSERT_FALSE(reader.OpenString("<Root><Cut>"));
    EXPECT_TRUE(reader.GetRepairedError());
    ASSERT_TRUE(reader.OpenString("no xml"));
    EXPECT_TRUE(reader.GetRepairedError());
}

TEST(XmlReaderOpenTest, FailureKeepsTheDocumentAndThePosition)
{
    const char* const broken[] = { "", "not xml at all", "<?xml version=\"1.0\"?>", "<<<>>>" };
    for (const char* text : broken) {
        SCOPED_TRACE(text);
        CXmlReader reader;
        ASSERT_FALSE(reader.OpenString("<Root><A v=\"1\"/></Root>"));
        ASSERT_TRUE(reader.FindElement("Root"));
        ASSERT_TRUE(reader.FindElement("A"));
        std::optional<XmlError> error = reader.OpenString(text);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain, kXmlParserErrorDomain);
        EXPECT_NE(error->code, 0);
        EXPECT_FALSE(error->description.empty());
        EXPECT_EQ(reader.GetAttribute("v"), "1");
    }
}

TEST(XmlReaderOpenTest, FileErrors)
{
    test::TempDir dir;
    CXmlReader reader;
    ASSERT_FALSE(reader.OpenString("<Root/>"));

    std::optional<XmlError> missing = reader.OpenFile((dir / "missing.xml").string());
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->domain, kXmlPosixErrorDomain);
    EXPECT_EQ(missing->code, ENOENT);

    std::optional<XmlError> noPath = reader.OpenFile("");
    ASSERT_TRUE(noPath);
    EXPECT_EQ(noPath->domain, kXmlOwnErrorDomain);
    EXPECT_EQ(noPath->code, 0);

    writeFile(dir / "broken.xml", "<<<");
    EXPECT_TRUE(reader.OpenFile((dir / "broken.xml").string()));

    EXPECT_TRUE(reader.FindElement("Root"));
}

TEST(XmlReaderOpenTest, FileHonoursItsDeclaredEncoding)
{
    test::TempDir dir;
    writeFile(dir / "latin1.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R n=\"M\xFCller\"/>");
    CXmlReader reader;
    ASSERT_FALSE(reader.OpenFile((dir / "latin1.xml").string()));
    ASSERT_TRUE(reader.FindElement("R"));
    EXPECT_EQ(reader.GetAttribute("n"), "M\xC3\xBCller");
}

// Entities declared inside a document must never be expanded: a few lines can otherwise ask for gigabytes.
TEST(XmlReaderUntrustedTest, BillionLaughsIsNotExpanded)
{
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        const std::string prev = i == 1 ? "lol" : "lol" + std::to_string(i - 1);
        doc += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            doc += "&" + prev + ";";
        doc += "\">\n";
    }
    doc += "]>\n<lolz a=\"&lol9;\">&lol9;<x>&lol9;</x></lolz>";

    CXmlReader reader;
    if (!reader.OpenString(doc)) {
        ASSERT_TRUE(reader.FindElement("lolz"));
        EXPECT_LT(reader.GetText().size(), 100u);
        EXPECT_LT(reader.GetAttribute("a").size(), 100u);
        std::string name;
        while (reader.FirstChild(name)) {
            EXPECT_LT(reader.GetText().size(), 100u);
        }
    }
}

TEST(XmlReaderUntrustedTest, ExternalEntitiesAndDtdsAreNotLoaded)
{
    test::TempDir dir;
    writeFile(dir / "secret.txt", "SECRET");
    writeFile(dir / "defs.dtd", "<!ENTITY e \"SECRET\"><!ATTLIST R d CDATA \"SECRET\">");
    const std::string secretUrl = "file://" + (dir / "secret.txt").string();
    const std::string documents[] = {
        "<!DOCTYPE R [<!ENTITY x SYSTEM \"" + secretUrl + "\">]><R a=\"1\">&x;</R>",
        "<!DOCTYPE R [<!ENTITY % p SYSTEM \"" + (dir / "defs.dtd").string() + "\"> %p;]><R a=\"1\">&e;</R>",
        "<!DOCTYPE R SYSTEM \"" + (dir / "defs.dtd").string() + "\"><R a=\"1\">&e;</R>",
    };
    for (const std::string& doc : documents) {
        SCOPED_TRACE(doc);
        for (bool fromFile : { false, true }) {
            CXmlReader reader;
            std::optional<XmlError> error;
            if (fromFile) {
                writeFile(dir / "doc.xml", doc);
                error = reader.OpenFile((dir / "doc.xml").string());
            } else {
                error = reader.OpenString(doc);
            }
            if (error)
                continue; // refusing the document is as good as not expanding it
            ASSERT_TRUE(reader.FindElement("R"));
            EXPECT_EQ(reader.GetText().find("SECRET"), std::string::npos);
            EXPECT_EQ(reader.GetAttribute("d"), "");
            std::string name;
            while (reader.FirstChild(name))
                EXPECT_EQ(reader.GetText().find("SECRET"), std::string::npos);
        }
    }
}

TEST(XmlReaderPeerTest, ReadsWhatPythonWrites)
{
    test::TempDir dir;
    const std::string path = (dir / "python.xml").string();
    const char* const script = R"(
import sys
from xml.dom import minidom
doc = minidom.Document()
root = doc.createElement('CorvantisProfile')
root.setAttribute('version', '102')
root.setAttribute('quote', 'a "b" <c> & d')
doc.appendChild(root)
root.appendChild(doc.createComment(' made by python '))
name = doc.createElement('Name')
name.appendChild(doc.createTextNode('  spaced\ttext  '))
root.appendChild(name)
code = doc.createElement('Code')
code.appendChild(doc.createCDATASection('if (a < b && c) { x = "y"; }'))
root.appendChild(code)
port = doc.createElement('Port')
port.appendChild(doc.createTextNode('1080'))
root.appendChild(port)
uni = doc.createElement('Unicode')
uni.appendChild(doc.createTextNode('\u00fcber \u4e2d\u6587 \U0001F600'))
root.appendChild(uni)
with open(sys.argv[1], 'wb') as f:
    f.write(doc.toprettyxml(indent='    ', encoding='UTF-8'))
)";
    const test::CommandResult written = test::runCommand({ "python3", "-c", script, path });
    ASSERT_EQ(written.exitCode, 0) << written.err;

    CXmlReader reader;
    ASSERT_FALSE(reader.OpenFile(path));
    ASSERT_TRUE(reader.FindElement("CorvantisProfile"));
    EXPECT_EQ(reader.GetAttributeInt("version"), 102);
    EXPECT_EQ(reader.GetAttribute("quote"), "a \"b\" <c> & d");
    ASSERT_TRUE(reader.FindElement("Name"));
    // minidom's pretty printer puts a lone text child on the element's own line, blanks untouched.
    EXPECT_EQ(reader.GetText(), "  spaced\ttext  ");
    reader.Up();
    ASSERT_TRUE(reader.FindElement("Code"));
    EXPECT_NE(reader.GetText().find("if (a < b && c) { x = \"y\"; }"), std::string::npos);
    reader.Up();
    ASSERT_TRUE(reader.FindElement("Port"));
    EXPECT_EQ(reader.GetTextInt(), 1080);
    reader.Up();
    ASSERT_TRUE(reader.FindElement("Unicode"));
    EXPECT_EQ(reader.GetText(),
        "\xC3\xBC"
        "ber \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80");
}

} // namespace
} // namespace corvantis
