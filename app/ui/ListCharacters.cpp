#include "app/ui/ListCharacters.h"

#include <cstdint>
#include <string_view>

namespace corvantis {

namespace {

bool isAsciiLetterOrDigit(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool allowed(uint32_t codePoint, ListField field)
{
    if (field == ListField::Applications)
        return codePoint >= 0x80
            || std::string_view("\\:<>|,").find(static_cast<char>(codePoint)) == std::string_view::npos;
    if (codePoint >= 0x80)
        return false;
    const auto c = static_cast<unsigned char>(codePoint);
    switch (field) {
    case ListField::Hosts:
        return isAsciiLetterOrDigit(c)
            || std::string_view(";?*-.% \n\r\t:").find(static_cast<char>(c)) != std::string_view::npos;
    case ListField::DnsExclusion:
        return isAsciiLetterOrDigit(c)
            || std::string_view(";?*-.% \n\r\t").find(static_cast<char>(c)) != std::string_view::npos;
    case ListField::Ports:
        return std::string_view("0123456789;- ").find(static_cast<char>(c)) != std::string_view::npos;
    case ListField::Applications:
        break;
    }
    return true;
}

// The length of the well-formed UTF-8 sequence at the start of `rest` and its code point; a malformed start
// byte, a cut-off sequence or an overlong form is one byte of its own (code point 0xFFFD).
std::size_t decodeOne(std::string_view rest, uint32_t& codePoint)
{
    const auto lead = static_cast<unsigned char>(rest[0]);
    codePoint = 0xFFFD;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t length = 0;
    uint32_t value = 0;
    uint32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 1;
    }
    if (rest.size() < length)
        return 1;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(rest[i]);
        if ((next & 0xC0) != 0x80)
            return 1;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 1;
    codePoint = value;
    return length;
}

} // namespace

std::vector<std::size_t> RefusedCharacterPositions(std::string_view text, ListField field)
{
    std::vector<std::size_t> positions;
    std::size_t index = 0;
    while (!text.empty()) {
        uint32_t codePoint = 0;
        const std::size_t length = decodeOne(text, codePoint);
        if (!allowed(codePoint, field))
            positions.push_back(index);
        text.remove_prefix(length);
        ++index;
    }
    return positions;
}

bool HasRefusedCharacter(std::string_view text, ListField field)
{
    return !RefusedCharacterPositions(text, field).empty();
}

} // namespace corvantis
