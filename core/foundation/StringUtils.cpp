#include "core/foundation/StringUtils.h"

#include "platform/Utf8.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sys/time.h>

namespace corvantis {

namespace {

const char* orEmpty(const char* c)
{
    return c != nullptr ? c : "";
}

bool isScalarValue(uint32_t cp)
{
    return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

uint32_t byteSwap32(uint32_t v)
{
    return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | ((v >> 24) & 0xFFu);
}

// Encodes the units of a wide string as UTF-8, each unit optionally byte-swapped first; nothing when a unit is
// not a Unicode scalar value.
std::optional<std::string> utf32ToUtf8(const wchar_t* w, size_t len, bool swapped)
{
    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        uint32_t cp = static_cast<uint32_t>(w[i]);
        if (swapped) {
            cp = byteSwap32(cp);
        }
        if (!isScalarValue(cp)) {
            return std::nullopt;
        }
        appendUtf8(out, cp);
    }
    return out;
}

// Decodes one UTF-8 sequence starting at s[i]; advances i past it. Nothing for bytes that are not well-formed UTF-8.
std::optional<uint32_t> decodeUtf8(const std::string& s, size_t& i)
{
    uint32_t cp = 0;
    const size_t length = corvantis::decodeUtf8(s, i, cp);
    if (length == 0) {
        return std::nullopt;
    }
    i += length;
    return cp;
}

bool inSet(char c, const char* set)
{
    return std::strchr(set, c) != nullptr && c != '\0';
}

} // namespace

size_t StrFindChar(const std::string& s, char c)
{
    return s.find(c);
}

size_t StrFindCharFrom(const std::string& s, char c, size_t start)
{
    return s.find(c, start);
}

size_t StrReverseFindChar(const std::string& s, char c)
{
    return s.rfind(c);
}

size_t StrFind(const std::string& s, const std::string& needle)
{
    return s.find(needle);
}

size_t StrFindStr(const std::string& s, const std::string& needle)
{
    return s.find(needle);
}

size_t StrFindCStr(const std::string& s, const char* needle)
{
    return s.find(orEmpty(needle));
}

size_t StrFindCStrFrom(const std::string& s, const char* needle, size_t start)
{
    if (start > s.size()) {
        return npos;
    }
    return s.find(orEmpty(needle), start);
}

size_t StrFindOneOf(const std::string& s, const char* set)
{
    if (s.empty() || set == nullptr || *set == '\0') {
        return npos;
    }
    return s.find_first_of(set);
}

void StrToLower(std::string& s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

void StrReplaceChar(std::string& s, char from, char to)
{
    for (char& c : s) {
        if (c == from) {
            c = to;
        }
    }
}

void StrRemoveChar(std::string& s, char c)
{
    std::erase(s, c);
}

bool StrReplaceAll(std::string& s, const char* what, const char* with)
{
    if (what == nullptr || *what == '\0') {
        return false;
    }
    const size_t whatLen = std::strlen(what);
    const std::string replacement = orEmpty(with);
    size_t pos = 0;
    while ((pos = s.find(what, pos, whatLen)) != npos) {
        s.replace(pos, whatLen, replacement);
        pos += replacement.size();
    }
    return true;
}

void StrTrimLeftChar(std::string& s, char c)
{
    s.erase(0, s.find_first_not_of(c));
}

void StrTrimRightChar(std::string& s, char c)
{
    const size_t last = s.find_last_not_of(c);
    s.erase(last == npos ? 0 : last + 1);
}

void StrTrimChar(std::string& s, char c)
{
    StrTrimLeftChar(s, c);
    StrTrimRightChar(s, c);
}

void StrTrimLeft(std::string& s, const char* set)
{
    if (set == nullptr || *set == '\0') {
        return;
    }
    size_t first = 0;
    while (first < s.size() && inSet(s[first], set)) {
        ++first;
    }
    s.erase(0, first);
}

void StrTrimRight(std::string& s, const char* set)
{
    if (set == nullptr || *set == '\0') {
        return;
    }
    size_t end = s.size();
    while (end > 0 && inSet(s[end - 1], set)) {
        --end;
    }
    s.erase(end);
}

void StrTrim(std::string& s, const char* set)
{
    StrTrimLeft(s, set);
    StrTrimRight(s, set);
}

void StrClear(std::string& s)
{
    s.clear();
}

std::string& StrInsert(std::string& s, size_t index, const std::string& t)
{
    return s.insert(std::min(index, s.size()), t);
}

std::string& StrErase(std::string& s, size_t index, size_t count)
{
    if (index < s.size()) {
        s.erase(index, count);
    }
    return s;
}

std::string& StrAppendCStr(std::string& s, const char* t)
{
    return s.append(orEmpty(t));
}

std::string& StrAppendStr(std::string& s, const std::string& t)
{
    return s.append(t);
}

std::string& StrAppendInt(std::string& s, int n)
{
    return s.append(std::to_string(n));
}

std::string StrLeft(const std::string& s, size_t n)
{
    return s.substr(0, n);
}

std::string StrRight(const std::string& s, size_t n)
{
    return n >= s.size() ? s : s.substr(s.size() - n);
}

std::string StrMid(const std::string& s, size_t start, size_t count)
{
    return start > s.size() ? std::string() : s.substr(start, count);
}

std::string StrMidFrom(const std::string& s, size_t start)
{
    return start > s.size() ? std::string() : s.substr(start);
}

std::string operator+(const std::string& s, const wchar_t* w)
{
    std::string out = s;
    out += WideToString(w);
    return out;
}

std::string operator+(const std::string& s, wchar_t w)
{
    const wchar_t one[2] = { w, L'\0' };
    return s + one;
}

std::string operator+(const std::string& s, char c)
{
    std::string out = s;
    out.push_back(c);
    return out;
}

int StrCompare(const char* a, const char* b)
{
    return std::strcmp(orEmpty(a), orEmpty(b));
}

int StrCompareNoCase(const std::string& s, const char* c)
{
    std::string left = s;
    std::string right = orEmpty(c);
    StrToLower(left);
    StrToLower(right);
    const size_t common = std::min(left.size(), right.size());
    if (common > 0) {
        const int diff = std::memcmp(left.data(), right.data(), common);
        if (diff != 0) {
            return diff;
        }
    }
    if (left.size() == right.size()) {
        return 0;
    }
    return left.size() < right.size() ? -1 : 1;
}

bool StrEquals(const std::string& s, const wchar_t* w)
{
    return s == WideToString(w);
}

bool IsValidChar(char c, const std::string& allowed, const CharRangeList& ranges, const std::string& forbidden)
{
    if (forbidden.find(c) != npos) {
        return false;
    }
    if (allowed.empty() || allowed.find(c) != npos) {
        return true;
    }
    for (const SCharRange& range : ranges) {
        if (range.low <= c && c <= range.high) {
            return true;
        }
    }
    return false;
}

bool IsValidChars(
    const std::string& s, const std::string& allowed, const CharRangeList& ranges, const std::string& forbidden)
{
    for (char c : s) {
        if (!IsValidChar(c, allowed, ranges, forbidden)) {
            return false;
        }
    }
    return true;
}

bool FindInvalidChars(const std::string& s, const std::string& allowed, const CharRangeList& ranges,
    const std::string& forbidden, std::vector<uint32_t>& indexes)
{
    bool none = true;
    for (size_t i = 0; i < s.size(); ++i) {
        if (!IsValidChar(s[i], allowed, ranges, forbidden)) {
            indexes.push_back(static_cast<uint32_t>(i));
            none = false;
        }
    }
    return none;
}

std::string& StrFormatV(std::string& s, const char* format, va_list args)
{
    char buffer[1024];
    const int written = std::vsnprintf(buffer, sizeof buffer, orEmpty(format), args);
    if (written < 0) {
        s.clear();
    } else {
        s.assign(buffer, std::min(static_cast<size_t>(written), sizeof buffer - 1));
    }
    return s;
}

std::string& StrFormat(std::string& s, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    StrFormatV(s, format, args);
    va_end(args);
    return s;
}

std::string& StrFormatW(std::string& s, const wchar_t* wformat, ...)
{
    const std::string format = WideToString(wformat);
    va_list args;
    va_start(args, wformat);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    StrFormatV(s, format.c_str(), args);
#pragma GCC diagnostic pop
    va_end(args);
    return s;
}

std::string WideToString(const wchar_t* w)
{
    if (w == nullptr) {
        return std::string();
    }
    const size_t len = std::wcslen(w);
    if (auto text = utf32ToUtf8(w, len, false)) {
        return *text;
    }
    if (auto text = utf32ToUtf8(w, len, true)) {
        return *text;
    }
    return std::string();
}

std::vector<uint16_t> StringToUtf16(const std::string& s)
{
    std::vector<uint16_t> units;
    units.reserve(s.size() + 1);
    size_t i = 0;
    while (i < s.size()) {
        const std::optional<uint32_t> cp = decodeUtf8(s, i);
        if (!cp) {
            return {};
        }
        if (*cp < 0x10000) {
            units.push_back(static_cast<uint16_t>(*cp));
        } else {
            const uint32_t v = *cp - 0x10000;
            units.push_back(static_cast<uint16_t>(0xD800 | (v >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 | (v & 0x3FF)));
        }
    }
    units.push_back(0);
    return units;
}

bool Utf16ToString(const uint16_t* units, size_t count, std::string& out)
{
    if (units == nullptr && count != 0) {
        return false;
    }
    std::string text;
    text.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= count || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
                return false;
            }
            appendUtf8(text, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        } else {
            appendUtf8(text, unit);
        }
    }
    out = std::move(text);
    return true;
}

long StrToInt(const char* c)
{
    if (c == nullptr) {
        return 0;
    }
    const int saved = errno;
    const long value = std::strtol(c, nullptr, 10);
    errno = saved;
    return value;
}

size_t SafeStrLen(const char* c)
{
    return c != nullptr ? std::strlen(c) : 0;
}

int GetLastErrorCode()
{
    return errno;
}

std::string GetErrnoText()
{
    const int err = errno;
    char buffer[256];
    // GNU strerror_r: returns either a static message or one written into buffer; both are thread-safe.
    const char* message = strerror_r(err, buffer, sizeof buffer);
    std::string text = std::to_string(err);
    text += '(';
    text += orEmpty(message);
    text += ')';
    errno = err;
    return text;
}

int64_t GetTickCountMs()
{
    timeval now {};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000 + static_cast<int64_t>(now.tv_usec) / 1000;
}

} // namespace corvantis
