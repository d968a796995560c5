#include "core/profile/Wildcard.h"

namespace corvantis {

namespace {

bool CharMatches(char patternChar, char textChar)
{
    return patternChar == '?' || patternChar == textChar;
}

} // namespace

bool WildcardMatch(std::string_view pattern, std::string_view text)
{
    // Up to the first star, pattern and text go in step; most mismatches show within the first characters.
    size_t p = 0;
    while (p < pattern.size() && pattern[p] != '*') {
        if (p >= text.size() || !CharMatches(pattern[p], text[p]))
            return false;
        ++p;
    }
    if (p == pattern.size())
        return p == text.size();

    // After the last star, the pattern can only match the end of the text: test that from the back before
    // scanning ("*.corp.lan" against a name elsewhere fails here at once).
    size_t patternEnd = pattern.size();
    size_t textEnd = text.size();
    while (pattern[patternEnd - 1] != '*') {
        if (textEnd == p || !CharMatches(pattern[patternEnd - 1], text[textEnd - 1]))
            return false;
        --patternEnd;
        --textEnd;
    }

    // Between the first and the last star: a greedy scan that remembers the last star seen. On a mismatch
    // that star swallows one more character and the scan resumes right behind it. Earlier stars never need
    // revisiting, since the last star can absorb anything they could, which keeps the work at
    // O(pattern x text) where trying every split among the stars would be exponential.
    size_t t = p;
    size_t starPattern = p;
    size_t starText = t;
    while (t < textEnd) {
        if (p < patternEnd && pattern[p] == '*') {
            starPattern = p++;
            starText = t;
        } else if (p < patternEnd && CharMatches(pattern[p], text[t])) {
            ++p;
            ++t;
        } else {
            p = starPattern + 1;
            t = ++starText;
        }
    }
    while (p < patternEnd && pattern[p] == '*')
        ++p;
    return p == patternEnd;
}

bool IsValidCharRange(std::string_view text, char low, char high, std::string_view extra)
{
    for (char c : text) {
        if ((c < low || c > high) && extra.find(c) == std::string_view::npos)
            return false;
    }
    return true;
}

namespace {

bool HasWildcard(std::string_view text)
{
    return text.find_first_of("*?") != std::string_view::npos;
}

} // namespace

bool IsIPv4WildcardPattern(std::string_view text)
{
    return HasWildcard(text) && IsValidCharRange(text, '0', '9', ".*?");
}

bool IsIPv6WildcardPattern(std::string& text)
{
    if (!HasWildcard(text))
        return false;
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return IsValidCharRange(text, '0', '9', ":*?abcdef");
}

} // namespace corvantis
