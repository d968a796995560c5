#include "core/foundation/StringUtils.h"

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>

namespace corvantis {
namespace {

TEST(StringUtilsTest, SearchFunctions)
{
    const std::string s = "abcabc";
    struct Case {
        const char* name;
        size_t got;
        size_t want;
    };
    const Case cases[] = {
        { "first char", StrFindChar(s, 'b'), 1 },
        { "missing char", StrFindChar(s, 'z'), npos },
        { "char from start", StrFindCharFrom(s, 'a', 1), 3 },
        { "char from end", StrFindCharFrom(s, 'a', 6), npos },
        { "char from beyond end", StrFindCharFrom(s, 'a', 100), npos },
        { "last char", StrReverseFindChar(s, 'c'), 5 },
        { "last char missing", StrReverseFindChar(s, 'z'), npos },
        { "string needle", StrFind(s, "ca"), 2 },
        { "empty string needle", StrFind(s, ""), 0 },
        { "empty needle in empty string", StrFind("", ""), 0 },
        { "StrFindStr", StrFindStr(s, "bc"), 1 },
        { "StrFindStr missing", StrFindStr(s, "cb"), npos },
        { "C needle", StrFindCStr(s, "cab"), 2 },
        { "empty C needle", StrFindCStr(s, ""), 0 },
        { "null C needle", StrFindCStr(s, nullptr), 0 },
        { "C needle from", StrFindCStrFrom(s, "ab", 1), 3 },
        { "C needle from, not found", StrFindCStrFrom(s, "ab", 4), npos },
        { "empty C needle from inside", StrFindCStrFrom(s, "", 4), 4 },
        { "empty C needle from end", StrFindCStrFrom(s, "", 6), 6 },
        { "empty C needle from beyond end", StrFindCStrFrom(s, "", 7), npos },
        { "C needle from beyond end", StrFindCStrFrom(s, "a", 7), npos },
        { "one of", StrFindOneOf(s, "xc"), 2 },
        { "one of, none", StrFindOneOf(s, "xyz"), npos },
        { "one of, empty set", StrFindOneOf(s, ""), npos },
        { "one of, null set", StrFindOneOf(s, nullptr), npos },
        { "one of, empty string", StrFindOneOf("", "a"), npos },
        { "byte exact, no case folding", StrFind("ABC", "b"), npos },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.got, c.want);
    }
}

// Switches LC_CTYPE to a Latin-1 locale built into a temporary folder for the test, where the C library's tolower
// rewrites bytes 0xC0-0xDE (which occur inside UTF-8 sequences); restores the previous locale afterwards.
class Latin1Locale {
public:
    Latin1Locale()
    {
        const char* previous = std::setlocale(LC_CTYPE, nullptr);
        m_previous = previous != nullptr ? previous : "C";
        if (test::runCommand({ "localedef", "-i", "de_DE", "-f", "ISO-8859-1", (m_dir / "de_DE.ISO-8859-1").string() })
                .exitCode
            != 0) {
            return;
        }
        setenv("LOCPATH", m_dir.str().c_str(), 1);
        m_active = std::setlocale(LC_CTYPE, "de_DE.ISO-8859-1") != nullptr;
    }
    ~Latin1Locale()
    {
        std::setlocale(LC_CTYPE, m_previous.c_str());
        unsetenv("LOCPATH");
    }
    bool active() const { return m_active; }

private:
    test::TempDir m_dir;
    std::string m_previous;
    bool m_active = false;
};

TEST(StringUtilsTest, LowerCaseFoldsAsciiOnlyWhateverTheLocale)
{
    Latin1Locale latin1;
    if (!latin1.active()) {
        GTEST_SKIP() << "no Latin-1 locale can be built here";
    }
    // The locale would fold the lead byte of "Ä" (C3 84) and of "Ą" (C4 84). The byte is volatile so the compiler
    // cannot fold the call as in the "C" locale.
    volatile int leadByte = 0xC4;
    ASSERT_EQ(std::tolower(leadByte), 0xE4);

    struct Case {
        const char* input;
        const char* lower;
    };
    const Case cases[] = {
        { "Browser.APP", "browser.app" },
        { "[Z@] A-Z", "[z@] a-z" },
        { "\xC3\x84PFEL.example", "\xC3\x84pfel.example" },
        { "\xC4\x84\xC3\x9E\xFF", "\xC4\x84\xC3\x9E\xFF" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        std::string s = c.input;
        StrToLower(s);
        EXPECT_EQ(s, c.lower);
    }
    // Upper- and lower-case non-ASCII letters stay different, as they are in the other program's locale.
    EXPECT_NE(StrCompareNoCase("\xC3\x84", "\xC3\xA4"), 0);
    EXPECT_EQ(StrCompareNoCase("\xC3\x84PFEL", "\xC3\x84pfel"), 0);
}

TEST(StringUtilsTest, EditingInPlace)
{
    std::string s = "a.b.c";
    StrReplaceChar(s, '.', '/');
    EXPECT_EQ(s, "a/b/c");
    StrRemoveChar(s, '/');
    EXPECT_EQ(s, "abc");

    s = "xyz";
    EXPECT_EQ(&StrInsert(s, 1, "--"), &s);
    EXPECT_EQ(s, "x--yz");
    StrInsert(s, 99, "!");
    EXPECT_EQ(s, "x--yz!");
    EXPECT_EQ(&StrErase(s, 1, 2), &s);
    EXPECT_EQ(s, "xyz!");
    StrErase(s, 2, 99);
    EXPECT_EQ(s, "xy");
    StrErase(s, 5, 1);
    EXPECT_EQ(s, "xy");

    std::string e = "Error: ";
    StrAppendInt(StrAppendStr(StrAppendCStr(e, "code "), std::string("n=")), -42);
    StrAppendCStr(e, nullptr);
    EXPECT_EQ(e, "Error: code n=-42");
    StrClear(e);
    EXPECT_TRUE(e.empty());
}

TEST(StringUtilsTest, ReplaceAll)
{
    struct Case {
        const char* name;
        const char* input;
        const char* what;
        const char* with;
        bool result;
        const char* want;
    };
    const Case cases[] = {
        { "simple", "a-b-c", "-", "+", true, "a+b+c" },
        { "longer and shorter", "xxAAyyAA", "AA", "B", true, "xxByyB" },
        { "replacement contains the text", "banana", "a", "aa", true, "baanaanaa" },
        { "no occurrence", "abc", "z", "y", true, "abc" },
        { "to nothing", "a, b, c", ", ", "", true, "abc" },
        { "null replacement", "a, b", ", ", nullptr, true, "ab" },
        { "adjacent occurrences", "aaaa", "aa", "b", true, "bb" },
        { "empty text to search for", "abc", "", "x", false, "abc" },
        { "empty with empty", "abc", "", "", false, "abc" },
        { "null text to search for", "abc", nullptr, "x", false, "abc" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string s = c.input;
        EXPECT_EQ(StrReplaceAll(s, c.what, c.with), c.result);
        EXPECT_EQ(s, c.want);
    }
}

TEST(StringUtilsTest, Trimming)
{
    struct Case {
        const char* name;
        void (*trim)(std::string&, char);
        const char* input;
        const char* want;
    };
    const Case charCases[] = {
        { "left", StrTrimLeftChar, "//a/b//", "a/b//" },
        { "right", StrTrimRightChar, "//a/b//", "//a/b" },
        { "both, inner kept", StrTrimChar, "//a/b//", "a/b" },
        { "only the character", StrTrimChar, "////", "" },
        { "empty", StrTrimChar, "", "" },
        { "nothing to trim", StrTrimChar, "a/b", "a/b" },
    };
    for (const Case& c : charCases) {
        SCOPED_TRACE(c.name);
        std::string s = c.input;
        c.trim(s, '/');
        EXPECT_EQ(s, c.want);
    }

    struct SetCase {
        const char* name;
        void (*trim)(std::string&, const char*);
        const char* input;
        const char* set;
        const char* want;
    };
    const SetCase setCases[] = {
        { "blank both sides", StrTrim, "  text  ", " ", "text" },
        { "inner blank kept", StrTrim, " two words ", " ", "two words" },
        { "several characters", StrTrim, "\t\r\n value \r\n", " \t\r\n", "value" },
        { "left only", StrTrimLeft, "  x  ", " ", "x  " },
        { "right only", StrTrimRight, "  x  ", " ", "  x" },
        { "all trimmed", StrTrim, "   ", " ", "" },
        { "null set", StrTrim, "  x  ", nullptr, "  x  " },
        { "empty set", StrTrim, "  x  ", "", "  x  " },
    };
    for (const SetCase& c : setCases) {
        SCOPED_TRACE(c.name);
        std::string s = c.input;
        c.trim(s, c.set);
        EXPECT_EQ(s, c.want);
    }

    std::string withNul("\0x\0", 3);
    StrTrim(withNul, " ");
    EXPECT_EQ(withNul, std::string("\0x\0", 3));
}

TEST(StringUtilsTest, Cutting)
{
    struct Case {
        const char* name;
        std::string got;
        const char* want;
    };
    const std::string abc = "abc";
    const Case cases[] = {
        { "left", StrLeft(abc, 2), "ab" },
        { "left beyond", StrLeft(abc, 9), "abc" },
        { "left zero", StrLeft(abc, 0), "" },
        { "right", StrRight(abc, 2), "bc" },
        { "right whole", StrRight(abc, 3), "abc" },
        { "right beyond", StrRight(abc, 9), "abc" },
        { "right zero", StrRight(abc, 0), "" },
        { "mid", StrMid(abc, 1, 1), "b" },
        { "mid count cut at the end", StrMid(abc, 1, 5), "bc" },
        { "mid from the end", StrMid(abc, 3, 1), "" },
        { "mid beyond the end", StrMid(abc, 4, 1), "" },
        { "mid from", StrMidFrom(abc, 1), "bc" },
        { "mid from the end", StrMidFrom(abc, 3), "" },
        { "mid from beyond the end", StrMidFrom(abc, 10), "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.got, c.want);
    }
}

TEST(StringUtilsTest, AppendWideAndNarrow)
{
    const std::string base = "x";
    EXPECT_EQ(base + L"\u00e9\U0001F600", "x\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(base + static_cast<const wchar_t*>(nullptr), "x");
    EXPECT_EQ(base + L'\u20ac', "x\xE2\x82\xAC");
    EXPECT_EQ(base + static_cast<wchar_t>(0xD800), "x");
    EXPECT_EQ(base + 'y', "xy");
}

TEST(StringUtilsTest, Comparison)
{
    EXPECT_EQ(StrCompare("abc", "abc"), 0);
    EXPECT_LT(StrCompare("abc", "abd"), 0);
    EXPECT_GT(StrCompare("b", "a"), 0);
    EXPECT_EQ(StrCompare(nullptr, ""), 0);
    EXPECT_LT(StrCompare(nullptr, "a"), 0);

    struct Case {
        const char* name;
        const char* s;
        const char* c;
        int sign;
    };
    const Case cases[] = {
        { "same word, other case", "BROWSER", "browser", 0 },
        { "mixed case", "Viewer.App", "vIEWER.aPP", 0 },
        { "prefix is smaller", "brow", "BROWSER", -1 },
        { "longer is larger", "BROWSER", "brow", 1 },
        { "byte decides", "abd", "ABC", 1 },
        { "byte decides before length", "ab", "B", -1 },
        { "null is empty", "", nullptr, 0 },
        { "text against null", "a", nullptr, 1 },
        { "non-ASCII bytes are not folded", "\xC3\x84", "\xC3\xA4", -1 },
        { "high bytes compare above ASCII", "\xC3", "z", 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int got = StrCompareNoCase(c.s, c.c);
        EXPECT_EQ((got > 0) - (got < 0), c.sign);
    }
    EXPECT_EQ(StrCompareNoCase("a", "AB"), -1);
    EXPECT_EQ(StrCompareNoCase("AB", "a"), 1);

    EXPECT_TRUE(StrEquals("gr\xC3\xBC\xC3\x9F", L"gr\u00fc\u00df"));
    EXPECT_FALSE(StrEquals("gruss", L"gr\u00fc\u00df"));
    EXPECT_TRUE(StrEquals("", nullptr));
}

TEST(StringUtilsTest, CharacterClasses)
{
    const CharRangeList alnum = { { 'a', 'z' }, { 'A', 'Z' }, { '0', '9' } };
    struct Case {
        const char* name;
        const char* text;
        const char* allowed;
        CharRangeList ranges;
        const char* forbidden;
        bool valid;
        std::vector<uint32_t> bad;
    };
    const Case cases[] = {
        { "empty allowed accepts all", "any text!\xC3\xA9", "", {}, "", true, {} },
        { "empty allowed, forbidden rejected", "a;b;c", "", {}, ";", false, { 1, 3 } },
        { "allowed set, no ranges", "a-b", "-", {}, "", false, { 0, 2 } },
        { "allowed set plus ranges", "host-1.example", "-.", alnum, "", true, {} },
        { "forbidden wins over allowed", "a-b", "-", alnum, "-", false, { 1 } },
        { "forbidden wins over range", "abc", "-", alnum, "b", false, { 1 } },
        { "non-ASCII bytes are below every ASCII range", "a\xC3\xA9", "-", { { '\0', '\x7f' } }, "", false, { 1, 2 } },
        { "a signed range reaching into high bytes", "\xC3\xA9", "-", { { '\x80', '\xff' } }, "", true, {} },
        { "empty text", "", "-", {}, "", true, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsValidChars(c.text, c.allowed, c.ranges, c.forbidden), c.valid);
        std::vector<uint32_t> indexes;
        EXPECT_EQ(FindInvalidChars(c.text, c.allowed, c.ranges, c.forbidden, indexes), c.valid);
        EXPECT_EQ(indexes, c.bad);
    }
    EXPECT_TRUE(IsValidChar('7', "-", alnum, ""));
    EXPECT_FALSE(IsValidChar(' ', "-", alnum, ""));

    // Indexes are appended to what the caller already holds.
    std::vector<uint32_t> indexes = { 99 };
    EXPECT_FALSE(FindInvalidChars("a b", "", {}, " ", indexes));
    EXPECT_EQ(indexes, (std::vector<uint32_t> { 99, 1 }));
}

TEST(StringUtilsTest, Formatting)
{
    std::string s = "old";
    EXPECT_EQ(&StrFormat(s, "%s:%d/%05.1f", "host", 8080, 2.5), &s);
    EXPECT_EQ(s, "host:8080/002.5");

    const std::string big(2000, 'x');
    StrFormat(s, "%s", big.c_str());
    EXPECT_EQ(s, big.substr(0, 1023));
    StrFormat(s, "%s", std::string(1023, 'y').c_str());
    EXPECT_EQ(s, std::string(1023, 'y'));

    StrFormatW(s, L"%s=%d \u00e9", "key", 7);
    EXPECT_EQ(s, "key=7 \xC3\xA9");
    StrFormatW(s, L"%08X", 0xBEEFu);
    EXPECT_EQ(s, "0000BEEF");
}

TEST(StringUtilsTest, WideToUtf8)
{
    EXPECT_EQ(WideToString(L"plain"), "plain");
    EXPECT_EQ(WideToString(L"\u00e9\u20ac\U0010FFFF"), "\xC3\xA9\xE2\x82\xAC\xF4\x8F\xBF\xBF");
    EXPECT_EQ(WideToString(L""), "");
    EXPECT_EQ(WideToString(nullptr), "");

    // Units that are no code points read as big-endian: 'A', 'B' and U+00E9 byte-swapped.
    const wchar_t bigEndian[]
        = { static_cast<wchar_t>(0x41000000), static_cast<wchar_t>(0x42000000), static_cast<wchar_t>(0xE9000000), 0 };
    EXPECT_EQ(WideToString(bigEndian), "AB\xC3\xA9");

    // A surrogate or a value beyond U+10FFFF that no reading decodes gives "".
    const wchar_t surrogate[] = { L'a', static_cast<wchar_t>(0xD800), 0 };
    EXPECT_EQ(WideToString(surrogate), "");
    const wchar_t mixed[] = { L'a', static_cast<wchar_t>(0x41000000), 0 };
    EXPECT_EQ(WideToString(mixed), "");
}

TEST(StringUtilsTest, Utf16EncodingIsLittleEndianWithOneZeroUnit)
{
    struct Case {
        const char* name;
        std::string text;
        std::vector<uint16_t> units;
    };
    const Case cases[] = {
        { "empty gives the 0 unit only", "", { 0 } },
        { "ASCII", "Ab1", { 0x41, 0x62, 0x31, 0 } },
        { "two-byte", "\xC3\xA9", { 0x00E9, 0 } },
        { "three-byte", "\xE2\x82\xAC", { 0x20AC, 0 } },
        { "supplementary plane as a pair", "\xF0\x9F\x98\x80", { 0xD83D, 0xDE00, 0 } },
        { "highest code point", "\xF4\x8F\xBF\xBF", { 0xDBFF, 0xDFFF, 0 } },
        { "no byte-order mark added", "\xEF\xBB\xBFx", { 0xFEFF, 0x78, 0 } },
        { "embedded NUL kept", std::string("a\0b", 3), { 0x61, 0, 0x62, 0 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StringToUtf16(c.text), c.units);
    }

    // The bytes in memory are the UTF-16LE encoding, as the password encryption reads them.
    const std::vector<uint16_t> units = StringToUtf16("p\xC3\xA9\xF0\x9F\x98\x80");
    const uint8_t expected[] = { 0x70, 0x00, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0x00 };
    ASSERT_EQ(units.size() * 2, sizeof expected);
    EXPECT_EQ(std::memcmp(units.data(), expected, sizeof expected), 0);
}

TEST(StringUtilsTest, Utf16EncodingRejectsInvalidUtf8)
{
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        { "lone continuation byte", "a\x80" },
        { "truncated two-byte at the end", "a\xC3" },
        { "truncated three-byte at the end", "\xE2\x82" },
        { "truncated four-byte at the end", "\xF0\x9F\x98" },
        { "bad continuation", "\xC3\x41" },
        { "overlong slash", "\xC0\xAF" },
        { "overlong three-byte", "\xE0\x80\xAF" },
        { "overlong four-byte", "\xF0\x80\x80\xAF" },
        { "surrogate", "\xED\xA0\x80" },
        { "beyond U+10FFFF", "\xF4\x90\x80\x80" },
        { "F5 lead byte", "\xF5\x80\x80\x80" },
        { "FF byte", "\xFF" },
        { "Latin-1 text", "caf\xE9" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(StringToUtf16(c.text).empty());
    }
}

TEST(StringUtilsTest, Utf16Decoding)
{
    struct Case {
        const char* name;
        std::vector<uint16_t> units;
        bool ok;
        std::string text;
    };
    const Case cases[] = {
        { "empty", {}, true, "" },
        { "ASCII", { 0x41, 0x62 }, true, "Ab" },
        { "BMP", { 0x00E9, 0x20AC }, true, "\xC3\xA9\xE2\x82\xAC" },
        { "pair", { 0xD83D, 0xDE00 }, true, "\xF0\x9F\x98\x80" },
        { "lone high surrogate at the end", { 0x41, 0xD83D }, false, "" },
        { "high surrogate then non-surrogate", { 0xD83D, 0x41 }, false, "" },
        { "lone low surrogate", { 0xDE00, 0x41 }, false, "" },
        { "two high surrogates", { 0xD83D, 0xD83D }, false, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = "unchanged";
        EXPECT_EQ(Utf16ToString(c.units.data(), c.units.size(), out), c.ok);
        EXPECT_EQ(out, c.ok ? c.text : "unchanged");
    }

    // A count shorter than the data reads only the count: a pair cut in half fails and nothing past it is read.
    const uint16_t pair[] = { 0xD83D, 0xDE00 };
    std::string out = "unchanged";
    EXPECT_FALSE(Utf16ToString(pair, 1, out));
    EXPECT_EQ(out, "unchanged");
    EXPECT_FALSE(Utf16ToString(nullptr, 3, out));
    EXPECT_TRUE(Utf16ToString(nullptr, 0, out));
    EXPECT_EQ(out, "");

    // Round trip through the encoder, dropping its 0 unit.
    const std::string text = "Pa\xC3\x9F w\xC3\xB6rt \xF0\x9F\x94\x91";
    std::vector<uint16_t> units = StringToUtf16(text);
    ASSERT_FALSE(units.empty());
    std::string back;
    EXPECT_TRUE(Utf16ToString(units.data(), units.size() - 1, back));
    EXPECT_EQ(back, text);
}

TEST(StringUtilsTest, StrToIntAndLength)
{
    struct Case {
        const char* text;
        long value;
    };
    const Case cases[] = {
        { "42", 42 },
        { "  -17", -17 },
        { "+8", 8 },
        { "12abc", 12 },
        { "abc", 0 },
        { "", 0 },
        { nullptr, 0 },
        { "0x1F", 0 },
        { "007", 7 },
        { "99999999999999999999999", LONG_MAX },
        { "-99999999999999999999999", LONG_MIN },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "null");
        EXPECT_EQ(StrToInt(c.text), c.value);
    }
    EXPECT_EQ(SafeStrLen("abc"), 3u);
    EXPECT_EQ(SafeStrLen(nullptr), 0u);
}

TEST(StringUtilsTest, ErrnoText)
{
    for (int err : { ETIMEDOUT, ECONNREFUSED, EBADF, 0, 99999 }) {
        SCOPED_TRACE(err);
        errno = err;
        EXPECT_EQ(GetLastErrorCode(), err);
        const std::string text = GetErrnoText();
        EXPECT_EQ(text, std::to_string(err) + "(" + std::strerror(err) + ")");
        EXPECT_EQ(text.find(" ("), npos);
        EXPECT_EQ(errno, err);
    }
}

TEST(StringUtilsTest, TickCountIsWallClockMilliseconds)
{
    timeval before {};
    gettimeofday(&before, nullptr);
    const int64_t tick = GetTickCountMs();
    timeval after {};
    gettimeofday(&after, nullptr);
    EXPECT_GE(tick, static_cast<int64_t>(before.tv_sec) * 1000 + before.tv_usec / 1000);
    EXPECT_LE(tick, static_cast<int64_t>(after.tv_sec) * 1000 + after.tv_usec / 1000);
}

} // namespace
} // namespace corvantis
