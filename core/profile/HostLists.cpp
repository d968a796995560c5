#include "core/profile/HostLists.h"

#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileText.h"
#include "core/profile/Wildcard.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace corvantis {

namespace {

constexpr const char* kIncorrectSymbols = "Incorrect symbol(s) found.";
constexpr const char* kOnlyConstants
    = "Unexpected symbol (%) found. %ComputerName% and %SimpleHostnames% are the only available constants.";

constexpr const char* kHostBlank
    = "Unexpected blank space found.\nPlease make sure that you use semicolon (;) to separate hosts.";
constexpr const char* kHostHyphen = "Unexpected hyphen found.";
constexpr const char* kHostFormat = "Incorrect target host format.";
constexpr const char* kHostIncorrect = "Incorrect IP address or hostname found.";
constexpr const char* kHostIPv4Range = "Incorrect IPv4 range.";
constexpr const char* kHostIPv6Range = "Incorrect IPv6 range.";
constexpr const char* kHostRangeOrder = "The second IP in the range cannot be less than the first one.";
constexpr const char* kHostRange = "Incorrect target host range.";

constexpr const char* kPortBlank = "Unexpected blank space found.\nPlease make sure that you use semicolon (;) to "
                                   "separate the ports or port ranges.";
constexpr const char* kPortDoubleHyphen
    = "Unexpected hyphen found.\nPlease make sure that you use the correct format for the port ranges.";
constexpr const char* kPortZero
    = "Port number cannot be zero. A correct port number is an unsigned integer ranging from 1 to 65535.";
constexpr const char* kPortFormat
    = "Unexpected port format. Please make sure that you use the correct format for the ports.";
constexpr const char* kPortFirstMissing = "The first port in the range is not properly specified. Please make sure "
                                          "that you use the correct format for the port ranges.";
constexpr const char* kPortSecondMissing = "The second port in the range is not properly specified. Please make "
                                           "sure that you use the correct format for the port ranges.";
constexpr const char* kPortRangeFormat
    = "Unexpected port range format. Please make sure that you use the correct format for the port ranges.";
constexpr const char* kPortRangeSide = "Unexpected port format within the port range. Please make sure that you use "
                                       "the correct format for the port range.";
constexpr const char* kPortTooBig = "Port number cannot be greater than 65535. A correct port number is an unsigned "
                                    "integer ranging from 1 to 65535.";
constexpr const char* kPortOrder = "The first port number in the range cannot be greater than the last port number.";

constexpr const char* kAppDoubleQuotes = "Unexpected double quotes found.\nPlease make sure that you use the correct "
                                         "format for file names containing spaces.";
constexpr const char* kAppBlank = "Unexpected blank space found.\nPlease use semicolon (;) to separate filenames and "
                                  "double quotes (\") to mark beginning and end of filenames containing spaces.";
constexpr const char* kAppOpenQuote = "Not closed quotation mark (\") found.";

constexpr const char* kExclusionBlank
    = "Unexpected blank space found. Please make sure that you use semicolon (;) to separate the hostnames.";
constexpr const char* kExclusionDigit = "Incorrect hostname or mask. The first character cannot be a number.";

// The preparation every list text gets before it is checked: tabs become blanks, line feeds separate entries
// like ";", carriage returns go, outer blanks go, and blanks around the separators go.
std::string PrepareListText(const std::string& input, bool typographicQuotes, std::initializer_list<char> separators)
{
    std::string text;
    text.reserve(input.size());
    for (char c : input) {
        if (c == '\t')
            text += ' ';
        else if (c == '\n')
            text += ';';
        else if (c != '\r')
            text += c;
    }
    if (typographicQuotes) {
        // The UTF-8 forms of the typographic double quotes.
        StrReplaceAll(text, "\xE2\x80\x9C", "\"");
        StrReplaceAll(text, "\xE2\x80\x9D", "\"");
    }
    StrTrimChar(text, ' ');
    for (char separator : separators)
        text = CollapseBlanksAround(text, separator);
    return text;
}

// The non-empty entries between semicolons.
std::vector<std::string> SplitEntries(const std::string& text)
{
    std::vector<std::string> entries;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            entries.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

bool Fail(std::string& message, const char* text)
{
    message = text;
    return false;
}

bool IsLetterOrDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool ParseHostEntry(const std::string& entry, std::vector<CRuleTarget>& targets, std::string& message)
{
    const bool hasColon = entry.find(':') != std::string::npos;
    const bool hasDot = entry.find('.') != std::string::npos;
    if (entry.find('%') != std::string::npos) {
        const std::string lower = profile_text::ToLower(entry);
        if (lower != "%computername%" && lower != "%simplehostnames%")
            return Fail(message, kOnlyConstants);
        targets.emplace_back(entry, kTargetMacro);
        return true;
    }
    if (entry.front() == '-' || entry.back() == '-')
        return Fail(message, kHostHyphen);

    uint32_t ipv4First;
    uint32_t ipv4Last;
    IPv6Addr ipv6First;
    IPv6Addr ipv6Last;
    const size_t hyphen = entry.find('-');
    if (hyphen == std::string::npos) {
        if (hasColon && hasDot)
            return Fail(message, kHostFormat);
        if (ParseIPv4(entry, ipv4First)) {
            targets.push_back(CRuleTarget::IPv4Range(ipv4First, ipv4First));
        } else if (ParseIPv6(entry, ipv6First)) {
            targets.push_back(CRuleTarget::IPv6Range(ipv6First, ipv6First));
        } else if (!hasColon) {
            targets.emplace_back(entry, IsIPv4WildcardPattern(entry) ? kTargetIPv4Pattern : kTargetHostPattern);
        } else {
            std::string pattern = entry;
            if (!IsIPv6WildcardPattern(pattern))
                return Fail(message, kHostIncorrect);
            targets.emplace_back(entry, kTargetIPv6Pattern);
        }
        return true;
    }

    const std::string first = entry.substr(0, hyphen);
    const std::string last = entry.substr(hyphen + 1);
    if (first.find(':') != std::string::npos && first.find('.') != std::string::npos)
        return Fail(message, kHostFormat);
    if (first.find('.') != std::string::npos && ParseIPv4(first, ipv4First)) {
        if (!ParseIPv4(last, ipv4Last))
            return Fail(message, kHostIPv4Range);
        if (IsIPv4Greater(ipv4First, ipv4Last))
            return Fail(message, kHostRangeOrder);
        targets.push_back(CRuleTarget::IPv4Range(ipv4First, ipv4Last));
    } else if (ParseIPv6(first, ipv6First)) {
        if (!ParseIPv6(last, ipv6Last))
            return Fail(message, kHostIPv6Range);
        if (IsIPv6Greater(ipv6First, ipv6Last))
            return Fail(message, kHostRangeOrder);
        targets.push_back(CRuleTarget::IPv6Range(ipv6First, ipv6Last));
    } else if (!hasColon) {
        targets.emplace_back(entry, kTargetHostPattern);
    } else {
        return Fail(message, kHostRange);
    }
    return true;
}

enum class PortRead { kNumber, kZeroText, kNotANumber, kTooBig };

// Reads one side of a port entry (digits only by now). A value is judged before it is narrowed, so a number
// too big for 32 bits is refused as too big instead of wrapping into the port range.
PortRead ReadPort(const std::string& text, int32_t& port)
{
    if (text == "0")
        return PortRead::kZeroText;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str())
        return PortRead::kNotANumber;
    if (errno == ERANGE || value > 65535)
        return PortRead::kTooBig;
    if (value <= 0)
        return PortRead::kNotANumber;
    port = static_cast<int32_t>(value);
    return PortRead::kNumber;
}

bool ParsePortEntry(const std::string& entry, std::vector<PortRange>& ports, std::string& message)
{
    const size_t hyphen = entry.find('-');
    int32_t first = 0;
    if (hyphen == std::string::npos) {
        switch (ReadPort(entry, first)) {
        case PortRead::kZeroText:
            return Fail(message, kPortZero);
        case PortRead::kNotANumber:
            return Fail(message, kPortFormat);
        case PortRead::kTooBig:
            return Fail(message, kPortTooBig);
        case PortRead::kNumber:
            break;
        }
        ports.emplace_back(first, first);
        return true;
    }
    if (hyphen == 0)
        return Fail(message, kPortFirstMissing);
    if (hyphen == entry.size() - 1)
        return Fail(message, kPortSecondMissing);
    if (entry.find('-', hyphen + 1) != std::string::npos)
        return Fail(message, kPortRangeFormat);
    int32_t last = 0;
    const PortRead readFirst = ReadPort(entry.substr(0, hyphen), first);
    const PortRead readLast = ReadPort(entry.substr(hyphen + 1), last);
    if (readFirst == PortRead::kNotANumber || readLast == PortRead::kNotANumber)
        return Fail(message, kPortRangeSide);
    for (PortRead read : { readFirst, readLast }) {
        if (read == PortRead::kZeroText)
            return Fail(message, kPortZero);
        if (read == PortRead::kTooBig)
            return Fail(message, kPortTooBig);
    }
    if (first > last)
        return Fail(message, kPortOrder);
    ports.emplace_back(first, last);
    return true;
}

struct Preset {
    const char* entry;
    bool CProfileData::*option;
};

constexpr Preset kPresets[] = {
    { "localhost", &CProfileData::m_ExcludeLocalhost },
    { "%simplehostnames%", &CProfileData::m_ExcludeSimpleHostnames },
    { "%computername%", &CProfileData::m_ExcludeSelfHostname },
    { "*.local", &CProfileData::m_ExcludeLocalDomain },
};

bool IsInnerBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

bool IsEntryEnd(char c)
{
    return c == ';' || c == '\n';
}

// Cuts the first occurrence of `token` that forms a whole entry of the raw list text (bounded by the text's
// ends, ";" or line breaks, blanks aside), with the ";" that ends it. A name that merely contains the token
// ("mylocalhost.corp") stays as typed.
bool CutWholeEntry(std::string& text, const std::string& token)
{
    const std::string lower = profile_text::ToLower(text);
    for (size_t pos = lower.find(token); pos != std::string::npos; pos = lower.find(token, pos + 1)) {
        size_t before = pos;
        while (before > 0 && IsInnerBlank(lower[before - 1]))
            --before;
        if (before > 0 && !IsEntryEnd(lower[before - 1]))
            continue;
        size_t after = pos + token.size();
        while (after < lower.size() && IsInnerBlank(lower[after]))
            ++after;
        if (after < lower.size() && !IsEntryEnd(lower[after]))
            continue;
        const size_t end = after < lower.size() && lower[after] == ';' ? after + 1 : pos + token.size();
        text.erase(pos, end - pos);
        return true;
    }
    return false;
}

std::string StripTrailingDots(std::string name)
{
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    return name;
}

} // namespace

std::string CollapseBlanksAround(const std::string& text, char separator)
{
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == separator) {
            while (!result.empty() && result.back() == ' ')
                result.pop_back();
            result += separator;
            while (i + 1 < text.size() && text[i + 1] == ' ')
                ++i;
        } else {
            result += text[i];
        }
    }
    return result;
}

bool ParseHostList(CRule& rule, const std::string& input, std::string& message)
{
    const std::string text = PrepareListText(input, false, { ';', '-' });
    for (char c : text) {
        if (!IsLetterOrDigit(c) && std::string_view(":;?*-.% ").find(c) == std::string_view::npos)
            return Fail(message, kIncorrectSymbols);
    }
    if (text.find(' ') != std::string::npos)
        return Fail(message, kHostBlank);
    std::vector<CRuleTarget> targets;
    for (const std::string& entry : SplitEntries(text)) {
        if (!ParseHostEntry(entry, targets, message))
            return false;
    }
    rule.m_Targets = std::move(targets);
    rule.m_TargetsText = input;
    return true;
}

bool ParsePortList(CRule& rule, const std::string& input, std::string& message)
{
    const std::string text = PrepareListText(input, false, { ';', '-' });
    if (!IsValidCharRange(text, '0', '9', ";- "))
        return Fail(message, kIncorrectSymbols);
    if (text.find(' ') != std::string::npos)
        return Fail(message, kPortBlank);
    if (text.find("--") != std::string::npos)
        return Fail(message, kPortDoubleHyphen);
    std::vector<PortRange> ports;
    for (const std::string& entry : SplitEntries(text)) {
        if (!ParsePortEntry(entry, ports, message))
            return false;
    }
    rule.m_Ports = std::move(ports);
    rule.m_PortsText = input;
    return true;
}

bool ParseAppList(CRule& rule, const std::string& input, std::string& message)
{
    // Blanks next to a quote are only dropped inside the quotes: collapsing them on the outside as well would
    // silently join `"my app" other` into one name instead of reporting the missing separator.
    std::string text = PrepareListText(input, true, { ';' });
    if (text.find_first_of("\\:<>|,") != std::string::npos)
        return Fail(message, kIncorrectSymbols);
    if (CollapseBlanksAround(text, '"').find("\"\"") != std::string::npos)
        return Fail(message, kAppDoubleQuotes);
    bool quoted = false;
    for (char c : text) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ' ' && !quoted)
            return Fail(message, kAppBlank);
    }
    if (quoted)
        return Fail(message, kAppOpenQuote);
    std::erase(text, '"');
    std::vector<std::string> apps;
    std::vector<std::string> appsLower;
    for (std::string entry : SplitEntries(text)) {
        StrTrimChar(entry, ' ');
        if (entry.empty())
            continue;
        appsLower.push_back(profile_text::ToLower(entry));
        apps.push_back(std::move(entry));
    }
    rule.m_Apps = std::move(apps);
    rule.m_AppsLower = std::move(appsLower);
    rule.m_AppsText = input;
    return true;
}

bool NormalizeLocalHostList(CProfileData& profile, const std::string& input, std::string& message)
{
    // Work on copies of the switches, so that a refused text changes nothing.
    CProfileData updated;
    for (const Preset& preset : kPresets)
        updated.*preset.option = profile.*preset.option;

    // The editor shows the switched-on presets in front of the user's entries; take them off again.
    std::string text = input;
    for (const Preset& preset : kPresets) {
        const std::string withSeparator = std::string(preset.entry) + ";";
        if (updated.*preset.option && profile_text::ToLower(text).starts_with(withSeparator))
            text.erase(0, withSeparator.size());
    }
    if (!text.empty() && text.front() == '\n')
        text.erase(0, 1);
    for (const Preset& preset : kPresets) {
        if (CutWholeEntry(text, preset.entry))
            updated.*preset.option = true;
    }

    const std::string prepared = PrepareListText(profile_text::ToLower(text), false, { ';' });
    if (prepared.find(' ') != std::string::npos)
        return Fail(message, kExclusionBlank);
    std::vector<std::string> entries;
    if (!prepared.empty()) {
        if (!IsValidCharRange(prepared, 'a', 'z', "0123456789.;*?-%/"))
            return Fail(message, kIncorrectSymbols);
        for (const std::string& entry : SplitEntries(prepared)) {
            if (entry.find('%') == std::string::npos) {
                if (entry.front() >= '0' && entry.front() <= '9')
                    return Fail(message, kExclusionDigit);
                if (entry == "localhost")
                    updated.m_ExcludeLocalhost = true;
                else if (entry == "*.local")
                    updated.m_ExcludeLocalDomain = true;
            } else if (entry == "%computername%") {
                updated.m_ExcludeSelfHostname = true;
            } else if (entry == "%simplehostnames%") {
                updated.m_ExcludeSimpleHostnames = true;
            } else {
                return Fail(message, kOnlyConstants);
            }
            entries.push_back(entry);
        }
    } else {
        text.clear();
    }

    for (const Preset& preset : kPresets)
        profile.*preset.option = updated.*preset.option;
    profile.m_ExclusionText = text;
    profile.m_ExclusionList = std::move(entries);
    return true;
}

std::string ExclusionListToText(const CProfileData& profile)
{
    if (profile.m_OnlyFromListMode)
        return profile.m_ExclusionText;
    std::string text;
    if (profile.m_ExcludeLocalhost)
        text += "localhost;";
    if (profile.m_ExcludeSimpleHostnames)
        text += "%SimpleHostnames%;";
    if (profile.m_ExcludeSelfHostname)
        text += "%ComputerName%;";
    if (profile.m_ExcludeLocalDomain)
        text += "*.local;";
    if (!text.empty())
        text += "\n";
    return text + profile.m_ExclusionText;
}

bool IsHostExcludedFromDns(const CProfileData& profile, const std::string& hostName, const CCorvantisApp* app)
{
    const std::string lower = profile_text::ToLower(hostName);
    if (!profile.m_OnlyFromListMode) {
        const std::string name = StripTrailingDots(lower);
        if (profile.m_ExcludeLocalhost && name == "localhost")
            return true;
        if (profile.m_ExcludeSimpleHostnames && name.find('.') == std::string::npos)
            return true;
        if (profile.m_ExcludeSelfHostname && app != nullptr && app->IsOwnHostName(name))
            return true;
        if (profile.m_ExcludeLocalDomain && (WildcardMatch("*.local", name) || WildcardMatch("*.local", "." + name)))
            return true;
    }
    for (const std::string& entry : profile.m_ExclusionList) {
        const std::string name = !entry.empty() && entry.back() == '.' ? lower : StripTrailingDots(lower);
        if (WildcardMatch(entry, name) || WildcardMatch(entry, "." + name))
            return true;
    }
    return false;
}

} // namespace corvantis
