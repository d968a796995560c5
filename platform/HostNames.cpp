#include "platform/HostNames.h"

#include <array>
#include <fstream>
#include <unistd.h>

namespace corvantis {

std::string kernelHostName()
{
    // One byte more than the kernel's limit, so the text always ends in a NUL.
    std::array<char, 257> buffer {};
    if (::gethostname(buffer.data(), buffer.size() - 1) != 0)
        return {};
    return std::string(buffer.data());
}

std::string shortHostName(const std::string& hostName)
{
    return hostName.substr(0, hostName.find('.'));
}

namespace {

// Undoes the quoting of a value in an environment-style file: one pair of surrounding quotes, and backslash
// escapes inside double quotes or outside quotes.
std::string unquote(const std::string& raw)
{
    std::string value;
    char quote = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                value += c;
        } else if (c == '\\' && i + 1 < raw.size()) {
            value += raw[++i];
        } else if (quote == '"' && c == '"') {
            quote = 0;
        } else if (quote == 0 && (c == '"' || c == '\'')) {
            quote = c;
        } else {
            value += c;
        }
    }
    return value;
}

} // namespace

std::string prettyHostName(const std::string& machineInfoPath)
{
    std::ifstream file(machineInfoPath);
    std::string line;
    const std::string key = "PRETTY_HOSTNAME=";
    while (std::getline(file, line)) {
        if (line.starts_with(key))
            return unquote(line.substr(key.size()));
    }
    return {};
}

} // namespace corvantis
