#include "platform/PlistValue.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace corvantis {

namespace {

int64_t leadingInteger(const std::string& text)
{
    // Blanks, an optional sign and the digits that follow; strtoll saturates on overflow as we want.
    const char* p = text.c_str();
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f')
        ++p;
    const char* digits = p + ((*p == '+' || *p == '-') ? 1 : 0);
    if (*digits < '0' || *digits > '9')
        return 0;
    errno = 0;
    long long v = std::strtoll(p, nullptr, 10);
    return static_cast<int64_t>(v);
}

int64_t truncateReal(double d)
{
    if (std::isnan(d))
        return 0;
    if (d >= 9223372036854775807.0)
        return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0)
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}

} // namespace

int64_t PlistValue::integerValue() const
{
    switch (type()) {
    case Type::Integer:
        return *integer();
    case Type::Bool:
        return *boolean() ? 1 : 0;
    case Type::Real:
        return truncateReal(*real());
    case Type::String:
        return leadingInteger(*string());
    default:
        return 0;
    }
}

std::optional<std::string> PlistValue::textValue() const
{
    switch (type()) {
    case Type::Integer:
        return std::to_string(*integer());
    case Type::Bool:
        return std::string(*boolean() ? "1" : "0");
    case Type::Real: {
        char buf[64];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *real());
        return std::string(buf, ec == std::errc() ? end : buf);
    }
    case Type::String:
        return *string();
    default:
        return std::nullopt;
    }
}

} // namespace corvantis
