#include "app/PortList.h"

#include <cstdint>
#include <cstring>

namespace corvantis {

namespace {

constexpr const char* kSeparators = ",;\n ";
constexpr int64_t kHighestPort = 65535;

bool IsSeparator(char c)
{
    return c != '\0' && std::strchr(kSeparators, c) != nullptr;
}

} // namespace

bool ValidatePorts(const std::string& text, std::string& error, const char* invalidCharacter)
{
    for (char c : text) {
        if (!IsSeparator(c) && (c < '0' || c > '9')) {
            error = invalidCharacter;
            return false;
        }
    }
    size_t i = 0;
    while (i < text.size()) {
        if (IsSeparator(text[i])) {
            ++i;
            continue;
        }
        // Anything past the highest port is too big however long it goes on, so the value stops growing there
        // instead of overflowing.
        int64_t value = 0;
        for (; i < text.size() && !IsSeparator(text[i]); ++i) {
            if (value <= kHighestPort)
                value = value * 10 + (text[i] - '0');
        }
        if (value < 1) {
            error = "port number must be grater than 0";
            return false;
        }
        if (value > kHighestPort) {
            error = "port number is too big";
            return false;
        }
    }
    return true;
}

} // namespace corvantis
