#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvantis {

// How a program a user picked for a rule is named: the file name, that name without its extension, and the
// program's identity, which is its executable's name.
struct ApplicationIdentity {
    std::string name;
    std::string base;
    std::string identifier;
};

// The identity of the program at `path`. For a desktop entry (a ".desktop" file) it is the program its
// "Exec=" line runs (see ProgramOfExecLine), which gives name, base and identifier alike; nothing when the file
// cannot be read or runs no program. For any other file it is the file itself.
std::optional<ApplicationIdentity> ReadApplicationIdentity(const std::filesystem::path& path);

// The base name of the program an "Exec=" value starts: the first word that is neither "env" nor a
// "VAR=value" assignment, with the value's quoting and escapes undone and field codes (%u, %F, ...) dropped.
// Nothing when no such word is left.
std::optional<std::string> ProgramOfExecLine(std::string_view exec);

} // namespace corvantis
