#include "core/proxy/TargetHostName.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace corvantis {

namespace {

constexpr size_t kMaxTargetHostName = 255;

bool isNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
        || c == '_';
}

bool isBracketedIPv6(std::string_view name)
{
    if (name.size() < 3 || name.front() != '[' || name.back() != ']')
        return false;
    const std::string inner(name.substr(1, name.size() - 2));
    in6_addr address {};
    return inet_pton(AF_INET6, inner.c_str(), &address) == 1;
}

} // namespace

std::string CheckTargetHostName(std::string_view name)
{
    if (name.size() > kMaxTargetHostName)
        return "Target host name is too long.";
    if (isBracketedIPv6(name))
        return {};
    if (name.empty())
        return "Target host name is empty.";
    for (char c : name) {
        if (!isNameChar(c))
            return "Target host name contains characters that are not allowed.";
    }
    return {};
}

} // namespace corvantis
