#pragma once

#include <string>

namespace corvantis {

class CProfileData;

// Whether the profile's cross-references hold: every Proxy or Chain rule names one that exists (ids of 0 and
// below never do), proxy ids and chain ids are unique, every chain entry names an existing proxy, and within a
// chain an enabled HTTP proxy comes after every other enabled entry. Returns false with the first problem found,
// in that order, as a message for the user. The profile is not changed.
bool CheckProfileConsistency(const CProfileData& profile, std::string& message);

// The content of a new profile: default options, then the new-profile options, with the rules "Localhost"
// first and "Default" last, both direct.
CProfileData NewProfileData();

} // namespace corvantis
