#include "platform/PlistXml.h"

#include "tests/support/PlistPrint.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

namespace corvantis {
namespace {

PlistValue sampleTree()
{
    PlistDict inner { { "LogLevelFile", PlistValue(3) }, { "Empty", PlistValue(PlistDict {}) } };
    PlistArray list { PlistValue("one"), PlistValue(2), PlistValue(false), PlistValue(PlistArray {}) };
    return PlistValue(PlistDict {
        { "Settings", PlistValue(inner) },
        { "List", PlistValue(list) },
        { "Big", PlistValue(std::numeric_limits<int64_t>::max()) },
        { "Small", PlistValue(std::numeric_limits<int64_t>::min()) },
        { "Yes", PlistValue(true) },
        { "Real", PlistValue(-2.5e-3) },
        { "Markup", PlistValue("a<b>&c \"q\" ]]> 'x'") },
        { "Lines", PlistValue("cr\rlf\ncrlf\r\ntab\t") },
        { "Blanks", PlistValue("  padded  ") },
        { "Unicode", PlistValue("Zürich \xE2\x82\xAC \xF0\x9F\x98\x80") },
        { "EmptyText", PlistValue("") },
        { "Bytes", PlistValue(PlistData { 0, 1, 2, 0xFF, 0xFE }) },
        { "NoBytes", PlistValue(PlistData {}) },
        { "key with <markup> & blanks", PlistValue(1) },
    });
}

TEST(PlistXmlTest, RoundTripKeepsEveryTypeAndText)
{
    PlistValue tree = sampleTree();
    auto xml = PlistXml::serialize(tree);
    ASSERT_TRUE(xml.ok()) << xml.status().message();
    auto back = PlistXml::parse(*xml);
    ASSERT_TRUE(back.ok()) << back.status().message() << "\n" << *xml;
    EXPECT_EQ(*back, tree) << *xml;
}

TEST(PlistXmlTest, DataOfEveryLengthRoundTrips)
{
    for (size_t n = 0; n < 8; ++n) {
        PlistData bytes;
        for (size_t i = 0; i < n; ++i)
            bytes.push_back(static_cast<uint8_t>(0xF0 + i));
        auto xml = PlistXml::serialize(PlistValue(bytes));
        ASSERT_TRUE(xml.ok());
        auto back = PlistXml::parse(*xml);
        ASSERT_TRUE(back.ok()) << *xml;
        EXPECT_EQ(*back, PlistValue(bytes)) << n;
    }
}

// Python's plistlib reads what we write, and we read what it writes back.
TEST(PlistXmlTest, PythonPlistlibReadsOurFileAndWeReadItsOwn)
{
    test::TempDir dir;
    auto xml = PlistXml::serialize(sampleTree());
    ASSERT_TRUE(xml.ok());
    std::ofstream(dir / "ours.plist") << *xml;
    const std::string script = "import plistlib,sys\n"
                               "d=plistlib.load(open(sys.argv[1],\"rb\"))\n"
                               "assert d[\"Settings\"][\"LogLevelFile\"]==3 and d[\"Bytes\"]==bytes([0,1,2,255,254])\n"
                               "open(sys.argv[2],\"wb\").write(plistlib.dumps(d,fmt=plistlib.FMT_XML))";
    const test::CommandResult python
        = test::runCommand({ "python3", "-c", script, (dir / "ours.plist").string(), (dir / "theirs.plist").string() });
    ASSERT_EQ(python.exitCode, 0) << python.err;
    std::ifstream in(dir / "theirs.plist");
    std::stringstream theirs;
    theirs << in.rdbuf();
    auto back = PlistXml::parse(theirs.str());
    ASSERT_TRUE(back.ok()) << back.status().message();
    // plistlib itself writes every carriage return as a line feed.
    PlistValue expected = sampleTree();
    (*expected.dict())["Lines"] = PlistValue("cr\nlf\ncrlf\ntab\t");
    EXPECT_EQ(*back, expected);
}

TEST(PlistXmlTest, AcceptsTheUsualLayoutsOfOtherWriters)
{
    struct Case {
        const char* name;
        const char* xml;
        PlistValue expected;
    } cases[] = {
        { "doctype and comments",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//X//DTD PLIST 1.0//EN\" "
            "\"http://example.invalid/x.dtd\">\n<plist version=\"1.0\"><!-- c --><dict><key>a</key><!-- c -->"
            "<integer> 7 </integer></dict></plist>",
            PlistValue(PlistDict { { "a", PlistValue(7) } }) },
        { "self-closing containers", "<plist><array><dict/><array/><string/></array></plist>",
            PlistValue(PlistArray { PlistValue(PlistDict {}), PlistValue(PlistArray {}), PlistValue("") }) },
        { "wrapped base64", "<plist><data>\n\tAAEC\n\t/w==\n</data></plist>", PlistValue(PlistData { 0, 1, 2, 0xFF }) },
        { "cdata and character references", "<plist><string><![CDATA[<x>]]>&#65;&amp;</string></plist>",
            PlistValue("<x>A&") },
        { "signed integer and real",
            "<plist><array><integer>-12</integer><integer>+5</integer><real>1e3</real>"
            "</array></plist>",
            PlistValue(PlistArray { PlistValue(-12), PlistValue(5), PlistValue(1000.0) }) },
        { "duplicate key keeps the last", "<plist><dict><key>k</key><true/><key>k</key><false/></dict></plist>",
            PlistValue(PlistDict { { "k", PlistValue(false) } }) },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto v = PlistXml::parse(c.xml);
        ASSERT_TRUE(v.ok()) << v.status().message();
        EXPECT_EQ(*v, c.expected);
    }
}

TEST(PlistXmlTest, RefusesUnsafeOrMalformedDocuments)
{
    std::string deep = "<plist>";
    for (int i = 0; i < 300; ++i)
        deep += "<array>";
    for (int i = 0; i < 300; ++i)
        deep += "</array>";
    deep += "</plist>";
    struct Case {
        const char* name;
        std::string xml;
    } cases[] = {
        { "not xml", "hello" },
        { "empty", "" },
        { "truncated", "<plist><dict><key>a</key>" },
        { "other root", "<dict><key>a</key><true/></dict>" },
        { "two values", "<plist><true/><false/></plist>" },
        { "no value", "<plist></plist>" },
        { "internal entity", "<!DOCTYPE plist [<!ENTITY x \"boom\">]><plist><string>&x;</string></plist>" },
        { "external entity",
            "<!DOCTYPE plist [<!ENTITY x SYSTEM \"file:///etc/hostname\">]><plist><string>&x;</string></plist>" },
        { "date", "<plist><date>2020-01-01T00:00:00Z</date></plist>" },
        { "unknown element", "<plist><thing/></plist>" },
        { "bad integer", "<plist><integer>12x</integer></plist>" },
        { "empty integer", "<plist><integer></integer></plist>" },
        { "integer overflow", "<plist><integer>9223372036854775808</integer></plist>" },
        { "bad real", "<plist><real>1.5.5</real></plist>" },
        { "key without value", "<plist><dict><key>a</key></dict></plist>" },
        { "value without key", "<plist><dict><true/></dict></plist>" },
        { "text in dict", "<plist><dict>stray<key>a</key><true/></dict></plist>" },
        { "element in string", "<plist><string>a<b/></string></plist>" },
        { "content in true", "<plist><true>x</true></plist>" },
        { "bad base64", "<plist><data>AA*=</data></plist>" },
        { "too deep", deep },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto v = PlistXml::parse(c.xml);
        EXPECT_FALSE(v.ok());
    }
}

TEST(PlistXmlTest, TextThatXmlCannotCarryIsRefusedOnWrite)
{
    struct Case {
        const char* name;
        std::string text;
        bool storable;
    } cases[] = {
        { "ascii", "plain", true },
        { "tab cr lf", "\t\r\n", true },
        { "two-byte", "\xC3\xA9", true },
        { "four-byte", "\xF0\x9F\x98\x80", true },
        { "nul", std::string("a\0b", 3), false },
        { "control", "a\x01", false },
        { "lone continuation", "\x80", false },
        { "truncated sequence", "\xC3", false },
        { "overlong slash", "\xC0\xAF", false },
        { "surrogate", "\xED\xA0\x80", false },
        { "beyond U+10FFFF", "\xF4\x90\x80\x80", false },
        { "latin-1 byte", "caf\xE9", false },
        { "non-character FFFE", "\xEF\xBF\xBE", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PlistXml::isStorableText(c.text), c.storable);
        EXPECT_EQ(PlistXml::serialize(PlistValue(c.text)).ok(), c.storable);
        EXPECT_EQ(PlistXml::serialize(PlistValue(PlistDict { { c.text, PlistValue(1) } })).ok(), c.storable);
        EXPECT_EQ(PlistXml::serialize(PlistValue(PlistArray { PlistValue(PlistArray { PlistValue(c.text) }) })).ok(),
            c.storable);
    }
}

TEST(PlistXmlTest, ValuesReadAsNumbersAndText)
{
    struct Case {
        const char* name;
        PlistValue value;
        int64_t number;
        std::optional<std::string> text;
    } cases[] = {
        { "integer", PlistValue(-42), -42, "-42" },
        { "true", PlistValue(true), 1, "1" },
        { "false", PlistValue(false), 0, "0" },
        { "real", PlistValue(2.75), 2, "2.75" },
        { "huge real", PlistValue(1e300), std::numeric_limits<int64_t>::max(), "1e+300" },
        { "numeric text", PlistValue("  12abc"), 12, "  12abc" },
        { "negative text", PlistValue("-7"), -7, "-7" },
        { "word", PlistValue("abc"), 0, "abc" },
        { "overflowing text", PlistValue("99999999999999999999"), std::numeric_limits<int64_t>::max(),
            "99999999999999999999" },
        { "data", PlistValue(PlistData { 1 }), 0, std::nullopt },
        { "dict", PlistValue(PlistDict {}), 0, std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.value.integerValue(), c.number);
        EXPECT_EQ(c.value.textValue(), c.text);
    }
}

} // namespace
} // namespace corvantis
