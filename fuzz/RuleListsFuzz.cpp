// libFuzzer target for the rule lists a user types or a profile stores: targets, ports, applications and the
// name-resolution exclusion list. A list is taken or refused with a message; a taken list is taken again from
// the text it keeps, the exclusion list from the text the editor shows, and the lookups over a taken list end
// (wildcards are matched without backtracking blow-up).

#include "core/foundation/LogContext.h"
#include "core/profile/Host.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Rule.h"
#include "core/profile/RuleLookup.h"
#include "core/profile/Wildcard.h"
#include "fuzz/FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace corvantis;
using fuzz::check;

namespace {

using Parser = bool (*)(CRule&, const std::string&, std::string&);

// Parses `text` with `parse`; a refusal leaves the rule as it was and says why.
bool parseList(Parser parse, CRule& rule, const std::string& text)
{
    const CRule before = rule;
    std::string message;
    if (!parse(rule, text, message)) {
        check(!message.empty());
        check(rule.m_Targets.size() == before.m_Targets.size() && rule.m_Ports == before.m_Ports
            && rule.m_Apps == before.m_Apps);
        return false;
    }
    return true;
}

std::vector<std::string> withoutPresets(std::vector<std::string> entries)
{
    std::erase_if(entries, [](const std::string& entry) {
        return entry == "localhost" || entry == "%simplehostnames%" || entry == "%computername%" || entry == "*.local";
    });
    return entries;
}

void exclusionList(const std::string& text)
{
    CProfileData profile;
    std::string message;
    if (!NormalizeLocalHostList(profile, text, message)) {
        check(!message.empty());
        return;
    }
    const std::string shown = ExclusionListToText(profile);
    CProfileData again;
    check(NormalizeLocalHostList(again, shown, message));
    // A preset written twice is cut once per reading, so its duplicates may go; the other entries stay.
    check(withoutPresets(again.m_ExclusionList) == withoutPresets(profile.m_ExclusionList));
    check(again.m_ExcludeLocalhost == profile.m_ExcludeLocalhost);
    check(again.m_ExcludeSimpleHostnames == profile.m_ExcludeSimpleHostnames);
    check(again.m_ExcludeSelfHostname == profile.m_ExcludeSelfHostname);
    check(again.m_ExcludeLocalDomain == profile.m_ExcludeLocalDomain);
    for (const char* host : { "www.example.com", "intranet", "localhost", "printer.local" })
        IsHostExcludedFromDns(profile, host, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    CRule rule("fuzz");
    rule.m_Action = kActionProxy;
    rule.m_ProxyId = 100;
    const bool targets = parseList(ParseHostList, rule, text);
    const bool ports = parseList(ParsePortList, rule, text);
    const bool apps = parseList(ParseAppList, rule, text);
    if (targets) {
        CRule again("again");
        check(parseList(ParseHostList, again, rule.m_TargetsText));
        check(again.m_Targets.size() == rule.m_Targets.size());
    }
    if (ports) {
        for (const PortRange& range : rule.m_Ports)
            check(range.first >= 1 && range.first <= range.second && range.second <= 65535);
        CRule again("again");
        check(parseList(ParsePortList, again, rule.m_PortsText));
        check(again.m_Ports == rule.m_Ports);
    }
    if (apps) {
        check(rule.m_Apps.size() == rule.m_AppsLower.size());
        CRule again("again");
        check(parseList(ParseAppList, again, rule.m_AppsText));
        check(again.m_Apps == rule.m_Apps);
    }

    // The lookups over whatever was taken, with the text as the connection's host and application as well.
    CLogContext app;
    app.bsdName = text;
    app.fullPath = "/usr/bin/" + text;
    CProfileData profile;
    profile.m_Rules = { rule };
    for (const std::string& host : { std::string("www.example.com"), std::string("10.1.2.3"), text }) {
        const CHost target(host, 443, false);
        FindRule(profile, LowerCaseContext(app), target, nullptr);
        RulesNeedFakeIp(profile, LowerCaseContext(app), host.c_str(), nullptr);
    }
    RulesNeedDnsForApp(profile, LowerCaseContext(app));
    WildcardMatch(text, "www.example.com");
    WildcardMatch("*a*b*c*d*e*", text);

    exclusionList(text);
    return 0;
}
