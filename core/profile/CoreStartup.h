#pragma once

#include <cstdint>
#include <string>

namespace corvantis {

// The free parts of the application's start of the core and of its profile documents; the rest are members of
// CCorvantisApp (Start, LoadDefaultProfile, SaveProfileAs).

// The name of the unnamed profile: the one the application falls back to, kept in "default.ppx".
inline constexpr const char* kDefaultProfileName = "default";

// At start the user is offered to switch traffic dumping off once the dump folder holds more than this many
// bytes, or more than this many files.
inline constexpr std::int64_t kTrafficDumpMaxBytes = 524288000; // 500 MiB
inline constexpr std::uint64_t kTrafficDumpMaxFiles = 1000;

// The release label of a version text: "RC" when it contains "fc"; otherwise "Dev ", "Alpha " or "Beta "
// followed by what comes after the first "d", "a" or "b" (tried in that order); empty for a release.
// "3.13b4" gives "Beta 4", "3.12.2" an empty text.
std::string MakeVersionSuffix(const std::string& version);

// Before the unnamed profile is replaced (a new profile, another profile selected, a profile file opened): when
// the active profile name is "default" in any letter case, asks whether its settings may be lost and returns
// whether the user agreed; for any other name returns true without asking.
bool ConfirmDiscardUnnamedProfile();

} // namespace corvantis
