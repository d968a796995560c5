#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Free functions over std::string (bytes, in practice UTF-8) shared by the whole core library. All of them are
// pure functions of their arguments (no locale, no global state) and safe to call from any thread, except the
// errno readers, which read the calling thread's errno.

namespace corvantis {

inline constexpr size_t npos = std::string::npos;

// ---- Search. Bytes are compared exactly (no case folding). Each returns an index or npos. ----

// First `c` in `s`.
size_t StrFindChar(const std::string& s, char c);
// First `c` at or after `start` (npos when `start` lies beyond the end).
size_t StrFindCharFrom(const std::string& s, char c, size_t start);
// Last `c` in `s`.
size_t StrReverseFindChar(const std::string& s, char c);
// First occurrence of `needle`; 0 for an empty needle.
size_t StrFind(const std::string& s, const std::string& needle);
size_t StrFindStr(const std::string& s, const std::string& needle);
// First occurrence of the C string `needle` (null counts as empty); 0 for an empty needle.
size_t StrFindCStr(const std::string& s, const char* needle);
// First occurrence at or after `start`. npos when `start` > length, even for an empty needle; otherwise an empty
// (or null) needle is found at `start`.
size_t StrFindCStrFrom(const std::string& s, const char* needle, size_t start);
// Index of the first byte of `s` that occurs in the C string `set`; npos when either is empty or `set` is null.
size_t StrFindOneOf(const std::string& s, const char* set);

// ---- Editing in place. ----

// Folds ASCII 'A'-'Z' to 'a'-'z' and leaves every other byte alone. Deliberately not locale-dependent: rule
// matching lower-cases application and host names, and the two programs must fold them identically whatever
// locale each runs in.
void StrToLower(std::string& s);
// Every `from` becomes `to`.
void StrReplaceChar(std::string& s, char from, char to);
// Every `c` is erased.
void StrRemoveChar(std::string& s, char c);
// Replaces every occurrence of `what` with `with` (null counts as empty), scanning left to right and resuming
// right behind each inserted text, so a `with` that contains `what` is not replaced again. Returns true; returns
// false and leaves `s` unchanged when `what` is null or empty (there is nothing to search for).
bool StrReplaceAll(std::string& s, const char* what, const char* with);
// Remove leading, trailing, or both (leading first) runs of `c`.
void StrTrimLeftChar(std::string& s, char c);
void StrTrimRightChar(std::string& s, char c);
void StrTrimChar(std::string& s, char c);
// Remove leading, trailing, or both (leading first) bytes that occur in the C string `set`; a null or empty `set`
// removes nothing.
void StrTrimLeft(std::string& s, const char* set);
void StrTrimRight(std::string& s, const char* set);
void StrTrim(std::string& s, const char* set);
// Empties `s`.
void StrClear(std::string& s);
// Inserts `t` at `index` (at the end when `index` lies beyond it); returns `s`.
std::string& StrInsert(std::string& s, size_t index, const std::string& t);
// Erases up to `count` bytes at `index` (nothing when `index` lies beyond the end); returns `s`.
std::string& StrErase(std::string& s, size_t index, size_t count);
// Append a C string (null appends nothing), a string, or `n` formatted with "%d"; return `s` so calls chain.
std::string& StrAppendCStr(std::string& s, const char* t);
std::string& StrAppendStr(std::string& s, const std::string& t);
std::string& StrAppendInt(std::string& s, int n);

// ---- Cutting (new strings). ----

// The first min(n, length) bytes.
std::string StrLeft(const std::string& s, size_t n);
// The last n bytes; the whole string when n >= length.
std::string StrRight(const std::string& s, size_t n);
// Up to `count` bytes from `start`, cut at the end of the string; empty when `start` > length.
std::string StrMid(const std::string& s, size_t start, size_t count);
// From `start` to the end; empty when `start` > length.
std::string StrMidFrom(const std::string& s, size_t start);

// `s` followed by the UTF-8 form of the wide string (null or undecodable appends nothing), of one wide character
// (an invalid code point appends nothing), or one byte.
std::string operator+(const std::string& s, const wchar_t* w);
std::string operator+(const std::string& s, wchar_t w);
std::string operator+(const std::string& s, char c);

// ---- Comparison. ----

// strcmp of two C strings; a null pointer counts as "".
int StrCompare(const char* a, const char* b);
// Compares `s` with the C string `c` (null counts as "") after ASCII lower-casing both (see StrToLower): the byte
// comparison of the common length decides (its sign); with an equal common part the shorter is smaller (-1 or 1);
// 0 when equal.
int StrCompareNoCase(const std::string& s, const char* c);
// Whether `s` equals the UTF-8 form of the wide string `w` (a null or undecodable `w` reads as "").
bool StrEquals(const std::string& s, const wchar_t* w);

// ---- Character-class validation of user input. ----

// An inclusive range of allowed characters. Bounds and characters compare as signed bytes, so the bytes of
// non-ASCII characters (negative) never fall inside an ASCII range.
struct SCharRange {
    char low;
    char high;
};
using CharRangeList = std::vector<SCharRange>;

// The rule for one character: a character in `forbidden` is never allowed; otherwise every character is allowed
// when `allowed` is empty, else it must occur in `allowed` or lie inside one of `ranges`.
bool IsValidChar(char c, const std::string& allowed, const CharRangeList& ranges, const std::string& forbidden);
// True when every character of `s` passes IsValidChar.
bool IsValidChars(
    const std::string& s, const std::string& allowed, const CharRangeList& ranges, const std::string& forbidden);
// Appends to `indexes` the index of every character of `s` that fails IsValidChar; returns true when none failed.
bool FindInvalidChars(const std::string& s, const std::string& allowed, const CharRangeList& ranges,
    const std::string& forbidden, std::vector<uint32_t>& indexes);

// ---- Formatting and conversion. ----

// printf-style formatting into `s` through a 1,024-byte buffer: output beyond 1,023 bytes is cut (never use it
// for texts that may be long). A format error leaves `s` empty. Returns `s`.
std::string& StrFormat(std::string& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string& StrFormatV(std::string& s, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
// The same with a wide format string, converted with WideToString first (so "%s" takes a narrow char*).
std::string& StrFormatW(std::string& s, const wchar_t* wformat, ...);

// The UTF-8 form of a wide (UTF-32) string. When a unit is not a Unicode scalar value the string is tried again
// with every unit byte-swapped (big-endian UTF-32). A null pointer, or a string that neither reading decodes,
// gives "".
std::string WideToString(const wchar_t* w);
// The UTF-16 code units of `s` followed by one 0 unit; an empty `s` gives only the 0 unit. The units hold their
// values, so on this little-endian platform the vector's bytes are exactly the UTF-16LE encoding (no byte-order
// mark); the password encryption depends on that. Text that is not valid UTF-8 (bad or truncated sequences,
// overlong forms, surrogates, values above U+10FFFF) gives an empty vector, without the 0 unit.
std::vector<uint16_t> StringToUtf16(const std::string& s);
// Decodes `count` UTF-16 units from `units` (borrowed for the call) into `out` as UTF-8 and returns true. Returns
// false and leaves `out` unchanged when the units are not valid UTF-16 (an unpaired surrogate) or `units` is null
// with a non-zero count.
bool Utf16ToString(const uint16_t* units, size_t count, std::string& out);
// strtol in base 10: leading blanks and a sign are accepted, the number stops at the first other character;
// 0 when there is none or `c` is null; saturates at the limits of long on overflow.
long StrToInt(const char* c);
// strlen, 0 for a null pointer.
size_t SafeStrLen(const char* c);

// ---- Errors and time. ----

// The calling thread's errno.
int GetLastErrorCode();
// The calling thread's errno in decimal, "(", the system's message for it, ")" with no blank, e.g. "110(Connection
// timed out)". Thread-safe; errno is left unchanged.
std::string GetErrnoText();
// Wall-clock milliseconds since the epoch (seconds * 1000 + microseconds / 1000). Not monotonic: for trace lines
// only, never for time-outs.
int64_t GetTickCountMs();

} // namespace corvantis
