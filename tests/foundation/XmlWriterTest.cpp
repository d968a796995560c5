#include "core/foundation/XmlWriter.h"
#include "core/foundation/XmlReader.h"

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvantis {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> folderEntries(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void writeSmallDocument(CXmlWriter& writer)
{
    writer.StartDocument();
    writer.StartElement("Root");
    writer.AddAttributeInt("version", 101);
    writer.AddAttributeInt("none", -1);
    writer.AddAttributeBool("on", true);
    writer.AddAttributeBool("off", false);
    writer.StartElement("Empty");
    writer.EndElement();
    writer.StartElement("Name");
    writer.AddText("a & b <c>");
    writer.EndElement();
    writer.StartElement("Id");
    writer.AddTextInt(-1);
    writer.EndElement();
    writer.EndElement();
    writer.EndDocument();
}

TEST(XmlWriterTest, WritesAStandaloneIndentedUtf8Document)
{
    CXmlWriter writer;
    ASSERT_EQ(writer.Initialize(), 0);
    writeSmallDocument(writer);
    ASSERT_TRUE(writer.Close().ok());
    EXPECT_EQ(writer.GetXmlText(),
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<Root version=\"101\" none=\"18446744073709551615\" on=\"true\" off=\"false\">\n"
        "  <Empty/>\n"
        "  <Name>a &amp; b &lt;c&gt;</Name>\n"
        "  <Id>18446744073709551615</Id>\n"
        "</Root>\n");
}

TEST(XmlWriterTest, MinusOneReadsBackAsMinusOne)
{
    CXmlWriter writer;
    writeSmallDocument(writer);
    ASSERT_TRUE(writer.Close().ok());
    CXmlReader reader;
    ASSERT_FALSE(reader.OpenString(writer.GetXmlText()));
    ASSERT_TRUE(reader.FindElement("Root"));
    EXPECT_EQ(reader.GetAttributeInt("none"), -1);
    EXPECT_EQ(reader.GetAttributeInt("version"), 101);
    EXPECT_TRUE(reader.GetAttributeBool("on"));
    ASSERT_TRUE(reader.FindElement("Id"));
    EXPECT_EQ(reader.GetTextInt(), -1);
}

TEST(XmlWriterTest, ElementAfterTheClosedRootIsNotWritten)
{
    CXmlWriter writer;
    writer.StartElement("Root");
    writer.AddAttribute("a", "1");
    writer.AddAttribute("a", "2");
    writer.EndElement();
    writer.StartElement("Stray");
    writer.StartElement("Child");
    writer.AddText("lost");
    writer.EndElement();
    writer.EndElement();
    // Without a current element these do nothing.
    writer.EndElement();
    writer.AddAttribute("b", "1");
    writer.AddText("nowhere");
    ASSERT_TRUE(writer.Close().ok());
    EXPECT_EQ(writer.GetXmlText(), "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<Root a=\"1\"/>\n");
}

TEST(XmlWriterTest, WithoutElementsOrFileNothingIsWritten)
{
    test::TempDir dir;
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    CXmlWriter writer;
    ASSERT_TRUE(writer.Close().ok());
    fs::current_path(cwd);
    EXPECT_EQ(writer.GetXmlText(), "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n");
    EXPECT_TRUE(folderEntries(dir.path()).empty());
}

// Values that need escaping, or that XML 1.0 cannot carry at all, must still give a document every reader accepts.
struct ValueCase {
    const char* name;
    std::string value;
    std::string readBack;
};

const ValueCase kValues[] = {
    { "markup", "<a href=\"x\">&amp;</a> 'q'", "<a href=\"x\">&amp;</a> 'q'" },
    { "blanks", "  two\tlines\nand\r\nCR  ", "  two\tlines\nand\r\nCR  " },
    { "unicode", "M\xC3\xBCller \xE4\xB8\xAD \xF0\x9F\x98\x80", "M\xC3\xBCller \xE4\xB8\xAD \xF0\x9F\x98\x80" },
    { "control byte",
        std::string("a\x01"
                    "b\x1F",
            4),
        "a\xEF\xBF\xBD"
        "b\xEF\xBF\xBD" },
    { "nul byte", std::string("a\0b", 3),
        "a\xEF\xBF\xBD"
        "b" },
    { "not utf-8", "\xFF\xC3(", "\xEF\xBF\xBD\xEF\xBF\xBD(" },
    { "surrogate half", "\xED\xA0\x80!", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD!" },
    { "empty", "", "" },
};

std::string hex(const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

TEST(XmlWriterPeerTest, XmllintAndPythonReadTheSameValues)
{
    test::TempDir dir;
    const std::string path = (dir / "doc.xml").string();
    CXmlWriter writer;
    ASSERT_EQ(writer.OpenFile(path), 0);
    writer.StartDocument();
    writer.StartElement("Root");
    writer.AddAttributeInt("version", 102);
    for (const ValueCase& c : kValues) {
        writer.StartElement("Item");
        writer.AddAttribute("value", c.value);
        writer.AddText(c.value);
        writer.EndElement();
    }
    writer.EndElement();
    writer.EndDocument();
    ASSERT_TRUE(writer.Close().ok());
    EXPECT_EQ(readFile(path), writer.GetXmlText());

    const test::CommandResult lint = test::runCommand({ "xmllint", "--noout", path });
    EXPECT_EQ(lint.exitCode, 0) << lint.err;

    // Python prints each item's attribute and text in hex, one item a line, so every byte is compared.
    const char* const script = R"(
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
print(root.tag, root.get('version'))
for item in root.findall('Item'):
    print(item.get('value').encode().hex(), (item.text or '').encode().hex())
)";
    const test::CommandResult python = test::runCommand({ "python3", "-c", script, path });
    ASSERT_EQ(python.exitCode, 0) << python.err;
    std::string expected = "Root 102\n";
    for (const ValueCase& c : kValues)
        expected += hex(c.readBack) + " " + hex(c.readBack) + "\n";
    EXPECT_EQ(python.out, expected);

    CXmlReader reader;
    ASSERT_FALSE(reader.OpenFile(path));
    ASSERT_TRUE(reader.FindElement("Root"));
    ASSERT_TRUE(reader.FindElement("Item"));
    for (const ValueCase& c : kValues) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reader.GetAttribute("value"), c.readBack);
        EXPECT_EQ(reader.GetText(), c.readBack);
        if (!reader.FindNextSibling("Item"))
            break;
    }
}

class XmlWriterFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = dir / "profiles";
        fs::create_directory(folder);
        target = (folder / "office.ppx").string();
        std::ofstream(target) << "previous contents";
    }
    void TearDown() override { fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add); }

    test::TempDir dir;
    fs::path folder;
    std::string target;
};

TEST_F(XmlWriterFileTest, ReplacesTheFileKeepingItsPermissions)
{
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    CXmlWriter writer;
    ASSERT_EQ(writer.OpenFile(target), 0);
    writeSmallDocument(writer);
    const Status status = writer.Close();
    ASSERT_TRUE(status.ok()) << status.message();
    EXPECT_EQ(readFile(target), writer.GetXmlText());
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(folderEntries(folder), std::vector<std::string> { "office.ppx" });
}

TEST_F(XmlWriterFileTest, NewFileIsPrivateToItsOwner)
{
    const fs::path fresh = folder / "new.ppx";
    CXmlWriter writer;
    ASSERT_EQ(writer.OpenFile(fresh.string()), 0);
    writeSmallDocument(writer);
    ASSERT_TRUE(writer.Close().ok());
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

int g_failureSignals = 0;

TEST_F(XmlWriterFileTest, ReadOnlyFolderIsReportedAndLeavesNoFile)
{
    // Root may write anywhere, so the writing child gives up its rights first.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(folder,
        fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec
            | fs::perms::group_read | fs::perms::others_read);
    const bool dropRights = ::geteuid() == 0;
    const std::string path = target;
    const int code = test::runInChild([&] {
        if (dropRights && (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0))
            return 100;
        g_failureSignals = 0;
        CXmlWriter::SetWriteFailureSignal([] { ++g_failureSignals; });
        CXmlWriter writer;
        (void)writer.OpenFile(path);
        writeSmallDocument(writer);
        const Status status = writer.Close();
        if (status.ok() || status.message().find(path) == std::string::npos || g_failureSignals != 1)
            return 101;
        return status.errnum();
    });
    EXPECT_EQ(code, EACCES);
    EXPECT_EQ(readFile(target), "previous contents");
    EXPECT_EQ(folderEntries(folder), std::vector<std::string> { "office.ppx" });
}

TEST_F(XmlWriterFileTest, FullDiskIsReportedAndKeepsThePreviousFile)
{
    // A file size limit fails the write part-way, as a full disk does.
    const std::string path = target;
    const int code = test::runInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit { 64, 64 };
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 100;
        CXmlWriter writer;
        (void)writer.OpenFile(path);
        writer.StartElement("Root");
        writer.AddText(std::string(10000, 'x'));
        writer.EndElement();
        const Status status = writer.Close();
        return status.ok() ? 0 : status.errnum();
    });
    EXPECT_EQ(code, EFBIG);
    EXPECT_EQ(readFile(target), "previous contents");
    EXPECT_EQ(folderEntries(folder), std::vector<std::string> { "office.ppx" });
}

TEST_F(XmlWriterFileTest, MissingFolderIsReported)
{
    CXmlWriter writer;
    ASSERT_EQ(writer.OpenFile((folder / "no such folder" / "x.ppx").string()), 0);
    writeSmallDocument(writer);
    const Status status = writer.Close();
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.errnum(), ENOENT);
    EXPECT_EQ(folderEntries(folder), std::vector<std::string> { "office.ppx" });
}

} // namespace
} // namespace corvantis
