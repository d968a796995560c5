#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace corvantis {

// The list fields of the profile editor, each with the characters a user may type into it.
enum class ListField {
    Applications, // everything but \ : < > | ,
    Hosts, // ASCII letters, digits and ";?*-.% \n\r\t:"
    Ports, // digits and ";- "
    DnsExclusion, // the host characters without the colon
};

// The positions, counted in code points of the UTF-8 text, of the characters the field refuses, in order. A
// byte that does not start a well-formed UTF-8 sequence counts as one code point of its own; in the fields
// limited to ASCII every non-ASCII code point is one refused character. The windows turn the positions into
// their own (UTF-16) positions to paint them.
std::vector<std::size_t> RefusedCharacterPositions(std::string_view text, ListField field);

// Whether the text holds any character the field refuses.
bool HasRefusedCharacter(std::string_view text, ListField field);

} // namespace corvantis
