#include "Wildcard.h"

namespace corvantis {

bool WildcardMatch(std::string_view pattern, std::string_view text)
{
    // Greedy scan that remembers the last star: on a mismatch the star swallows one more character and the
    // scan resumes right behind it. Earlier stars never need revisiting, since the last star can already
    // absorb anything they could, which keeps the work at O(pattern x text).
    size_t p = 0;
    size_t t = 0;
    size_t starPattern = std::string_view::npos;
    size_t starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starPattern = p++;
            starText = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (starPattern != std::string_view::npos) {
            p = starPattern + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
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
