#pragma once

#include <string>
#include <string_view>

namespace corvantis {

// Whole-text match of `text` against `pattern`: "*" stands for any run of characters (the empty run
// included), "?" for exactly one character, every other character for itself, byte for byte (no case
// folding: callers pass lower-case texts). An empty pattern matches only the empty text.
// Runs in O(pattern x text) at worst: user patterns are matched on every connection, so a pattern with
// many stars must not make the matcher backtrack exponentially.
bool WildcardMatch(std::string_view pattern, std::string_view text);

// True when every character of `text` lies between `low` and `high` (inclusive) or occurs in `extra`.
// An empty text gives true.
bool IsValidCharRange(std::string_view text, char low, char high, std::string_view extra);

// True when `text` holds at least one "?" or "*" and nothing but digits and ".*?".
bool IsIPv4WildcardPattern(std::string_view text);

// When `text` holds at least one "?" or "*": lower-cases it in place, then tells whether it is made of
// digits and ":*?abcdef" only. Without a wildcard: false, and the text is left as it was.
bool IsIPv6WildcardPattern(std::string& text);

} // namespace corvantis
