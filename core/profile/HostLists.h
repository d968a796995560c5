#pragma once

#include <string>

namespace corvantis {

class CCorvantisApp;
class CProfileData;
class CRule;

// Parsers of the semicolon-separated lists a user types into rules and into the DNS exclusion list. Each
// returns true and fills its lists and the stored text (the text as given), or returns false with a message
// that the editor shows unchanged, leaving the rule or profile as it was. An empty text is valid and clears
// the list. Line breaks separate entries like ";"; blanks are allowed around ";" only.

// Targets: host name patterns, IPv4/IPv6 addresses, ranges and patterns, "%ComputerName%" and
// "%SimpleHostnames%"; entries keep their order.
bool ParseHostList(CRule& rule, const std::string& text, std::string& message);
// Ports and port ranges ("80", "8000-8100"), each port 1-65535.
bool ParsePortList(CRule& rule, const std::string& text, std::string& message);
// Application names; a name with blanks is written in double quotes (typographic quotes count as plain).
bool ParseAppList(CRule& rule, const std::string& text, std::string& message);

// The DNS exclusion list of a profile. The presets "localhost", "%SimpleHostnames%", "%ComputerName%" and
// "*.local" are recognised as whole entries (any case), switch on their options and are cut from the stored
// text (which keeps the user's case); the entries are kept in lower case.
bool NormalizeLocalHostList(CProfileData& profile, const std::string& text, std::string& message);
// The text the editor shows: unless the list alone decides, the switched-on presets and a line feed, then
// the stored text.
std::string ExclusionListToText(const CProfileData& profile);
// Whether a host name is resolved locally rather than through the proxy: by the presets (unless the list
// alone decides; `app`, which may be null, knows this machine's own names) and then by the list's patterns.
bool IsHostExcludedFromDns(const CProfileData& profile, const std::string& hostName, const CCorvantisApp* app);

// `text` with every run of blanks directly before or after `separator` removed.
std::string CollapseBlanksAround(const std::string& text, char separator);

} // namespace corvantis
