#include "platform/Utf8.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

TEST(Utf8Test, DecodesWellFormedSequencesAndRefusesTheRest)
{
    struct Case {
        const char* name;
        std::string text;
        size_t length;
        uint32_t codePoint;
    };
    const Case cases[] = {
        { "ASCII", "A", 1, 0x41 },
        { "two bytes", "\xC3\xA9", 2, 0xE9 },
        { "three bytes", "\xE2\x82\xAC", 3, 0x20AC },
        { "four bytes", "\xF0\x9F\x98\x80", 4, 0x1F600 },
        { "truncated", "\xE2\x82", 0, 0 },
        { "bad continuation", "\xC3\x41", 0, 0 },
        { "overlong C0", "\xC0\xAF", 0, 0 },
        { "overlong three bytes", "\xE0\x80\xAF", 0, 0 },
        { "surrogate", "\xED\xA0\x80", 0, 0 },
        { "above U+10FFFF", "\xF4\x90\x80\x80", 0, 0 },
        { "lone continuation", "\x80", 0, 0 },
        { "F5", "\xF5\x80\x80\x80", 0, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t cp = 0;
        EXPECT_EQ(decodeUtf8(c.text, 0, cp), c.length);
        if (c.length != 0) {
            EXPECT_EQ(cp, c.codePoint);
            std::string back;
            appendUtf8(back, cp);
            EXPECT_EQ(back, c.text);
        }
    }
}

TEST(Utf8Test, XmlCharacters)
{
    for (uint32_t c : { 0x9u, 0xAu, 0xDu, 0x20u, 0xD7FFu, 0xE000u, 0xFFFDu, 0x10000u, 0x10FFFFu })
        EXPECT_TRUE(isXmlChar(c)) << c;
    for (uint32_t c : { 0x0u, 0x1u, 0x1Fu, 0xD800u, 0xFFFEu, 0xFFFFu, 0x110000u })
        EXPECT_FALSE(isXmlChar(c)) << c;
}

} // namespace
} // namespace corvantis
