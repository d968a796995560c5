#include "platform/Utf8.h"

namespace corvantis {

size_t decodeUtf8(std::string_view text, size_t i, uint32_t& codePoint)
{
    const auto byteAt = [&text](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byteAt(i);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    size_t extra = 0;
    uint32_t cp = 0;
    uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, cp = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, cp = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, cp = lead & 0x07u, minimum = 0x10000;
    } else {
        return 0; // a continuation byte, C0/C1 (always overlong) or F5-FF
    }
    if (text.size() - i - 1 < extra)
        return 0;
    for (size_t k = 1; k <= extra; ++k) {
        const unsigned char b = byteAt(i + k);
        if ((b & 0xC0u) != 0x80u)
            return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    codePoint = cp;
    return extra + 1;
}

void appendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isXmlChar(uint32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
        || (c >= 0x10000 && c <= 0x10FFFF);
}

bool isValidUtf8(std::string_view text)
{
    uint32_t codePoint = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t n = decodeUtf8(text, i, codePoint);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

} // namespace corvantis
