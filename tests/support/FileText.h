#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <system_error>
#include <vector>

namespace corvantis::test {

// The whole content of the file at `path`, byte for byte; empty when it cannot be read (a folder included: the
// stream takes the read error instead of throwing it).
inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The pids of the processes running `program` (their first argument), read from /proc.
inline std::vector<pid_t> ProcessesOf(const std::filesystem::path& program)
{
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string cmdline = ReadFile(entry.path() / "cmdline");
        if (cmdline.substr(0, cmdline.find('\0')) == program.string())
            pids.push_back(std::stoi(name));
    }
    return pids;
}

} // namespace corvantis::test
