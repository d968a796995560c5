#pragma once

#include <sstream>
#include <string>

// CORVANTIS_ASSERT(condition, message...) stops the program when `condition` is false: it writes one line to
// stderr, "<file>:<line>: <function>: Assertion failed: (<condition>): <message>", and aborts. The message parts
// are streamed one after the other, and only when the condition fails. It is active in every build (NDEBUG
// does not turn it off), so it guards invariants whose breach would corrupt state if the program went on.
//
// Only for the program's own mistakes: bytes, ids, lengths and counts that come from files, peers or the
// network never reach an assert; they fail their one operation with a message instead.
#define CORVANTIS_ASSERT(condition, ...)                                                                               \
    do {                                                                                                               \
        if (!(condition)) [[unlikely]]                                                                                 \
            ::corvantis::assert_detail::fail(                                                                          \
                __FILE__, __LINE__, __func__, #condition, ::corvantis::assert_detail::join(__VA_ARGS__));              \
    } while (false)

namespace corvantis::assert_detail {

// Writes the line described above and aborts.
[[noreturn]] void fail(
    const char* file, int line, const char* function, const char* condition, const std::string& message) noexcept;

template <typename... Parts> std::string join(const Parts&... parts)
{
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

} // namespace corvantis::assert_detail
