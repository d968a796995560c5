#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvantis {

// Decodes the UTF-8 sequence that starts at text[i]. Returns its length (1 to 4) and stores its code point, or
// returns 0 when the bytes there are not well-formed UTF-8: a truncated sequence, a bad continuation byte, an
// overlong form, a surrogate or a value above U+10FFFF. Never reads past the end of `text`; `i` must be inside it.
size_t decodeUtf8(std::string_view text, size_t i, uint32_t& codePoint);

// Whether all of `text` is well-formed UTF-8 (as decodeUtf8 reads it).
bool isValidUtf8(std::string_view text);

// Appends the UTF-8 form of a Unicode scalar value.
void appendUtf8(std::string& out, uint32_t codePoint);

// Whether XML 1.0 allows the character in a document (tab, line feed, carriage return and the ranges from U+0020,
// without surrogates, U+FFFE and U+FFFF).
bool isXmlChar(uint32_t codePoint);

} // namespace corvantis
