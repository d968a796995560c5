#include "core/profile/Wildcard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace corvantis {
namespace {

TEST(WildcardMatch, MatchesWholeTextByTable)
{
    struct Case {
        const char* pattern;
        const char* text;
        bool match;
    };
    const Case cases[] = {
        { "*", "", true },
        { "", "", true },
        { "", "a", false },
        { "a*b?c", "axxbyc", true },
        { "a?", "a", false },
        { "**", "anything", true },
        { "abc", "abc", true },
        { "abc", "abcd", false },
        { "abc", "ab", false },
        { "ABC", "abc", false }, // no case folding
        { "*.corp.lan", "mail.corp.lan", true },
        { "*.corp.lan", "corp.lan", false },
        { "*.corp.lan", ".corp.lan", true },
        { "192.168.1.*", "192.168.10.7", false },
        { "192.168.1*", "192.168.10.7", true },
        { "a*", "a", true },
        { "a***", "a", true },
        { "*a", "bbba", true },
        { "*a", "bbab", false },
        { "?", "", false },
        { "*?", "", false },
        { "*?", "x", true },
        { "a*b*c", "abxbxc", true },
        { "a*b*c", "abxbxcx", false },
        { "*ab*ab", "xabyabab", true },
        { "mis*is*ip*i", "mississippi", true },
        { "mis*is*ip*x", "mississippi", false },
        { "*a*", "a", true },
        { "a*a", "a", false }, // the head and the tail may not share a character
        { "a*a", "aa", true },
        { "*b*b", "bb", true },
        { "a*b*", "ab", true },
        { "?*?", "a", false },
        { "*x*", "aaa", false },
        { "*.*", "a.b", true },
        { "*?b", "ab", true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " / " + c.text);
        EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.match);
    }
}

// The plain definition, by dynamic programming over (pattern position, text position).
bool ReferenceMatch(const std::string& pattern, const std::string& text)
{
    std::vector<std::vector<char>> match(pattern.size() + 1, std::vector<char>(text.size() + 1, 0));
    match[pattern.size()][text.size()] = 1;
    for (size_t p = pattern.size(); p-- > 0;) {
        for (size_t t = text.size() + 1; t-- > 0;) {
            if (pattern[p] == '*')
                match[p][t] = match[p + 1][t] || (t < text.size() && match[p][t + 1]);
            else
                match[p][t] = t < text.size() && (pattern[p] == '?' || pattern[p] == text[t]) && match[p + 1][t + 1];
        }
    }
    return match[0][0];
}

TEST(WildcardMatch, AgreesWithThePlainDefinition)
{
    // Short texts over a small alphabet hit every overlap of head, tail and middle.
    std::mt19937 random(12345);
    const auto make = [&](const char* alphabet, size_t maxLength) {
        std::string text(random() % (maxLength + 1), ' ');
        for (char& c : text)
            c = alphabet[random() % std::strlen(alphabet)];
        return text;
    };
    for (int i = 0; i < 20000; ++i) {
        const std::string pattern = make("ab*?", 6);
        const std::string text = make("ab", 7);
        ASSERT_EQ(WildcardMatch(pattern, text), ReferenceMatch(pattern, text)) << pattern << " / " << text;
    }
}

TEST(WildcardMatch, ManyStarsDoNotBacktrackExponentially)
{
    // A recursive matcher tries every split of the text among the stars: with 40 stars over 200 characters
    // that never finishes. The linear scan answers at once.
    std::string pattern;
    for (int i = 0; i < 40; ++i)
        pattern += "a*";
    pattern += "b";
    const std::string text(200, 'a');
    EXPECT_FALSE(WildcardMatch(pattern, text));
    EXPECT_TRUE(WildcardMatch(pattern, text + "b"));
}

TEST(WildcardPatterns, RecogniseAddressPatterns)
{
    EXPECT_TRUE(IsIPv4WildcardPattern("10.*.*.1"));
    EXPECT_TRUE(IsIPv4WildcardPattern("10.0.0.?"));
    EXPECT_FALSE(IsIPv4WildcardPattern("10.0.0.1")); // no wildcard
    EXPECT_FALSE(IsIPv4WildcardPattern("10.a.*"));
    EXPECT_FALSE(IsIPv4WildcardPattern(""));

    std::string upper = "FE80::*";
    EXPECT_TRUE(IsIPv6WildcardPattern(upper));
    EXPECT_EQ(upper, "fe80::*"); // lower-cased in place
    std::string plain = "FE80::1";
    EXPECT_FALSE(IsIPv6WildcardPattern(plain));
    EXPECT_EQ(plain, "FE80::1"); // untouched without a wildcard
    std::string bad = "fe80::g*";
    EXPECT_FALSE(IsIPv6WildcardPattern(bad));

    EXPECT_TRUE(IsValidCharRange("", 'a', 'z', ""));
    EXPECT_TRUE(IsValidCharRange("abc.d", 'a', 'z', "."));
    EXPECT_FALSE(IsValidCharRange("abc_d", 'a', 'z', "."));
}

} // namespace
} // namespace corvantis
