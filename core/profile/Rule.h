#pragma once

#include "core/profile/RuleTarget.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvantis {

class CChain;
class CProxy;

// What a rule does with the connections it takes; the values are stored in profile files.
enum RuleAction : int {
    kActionBlock = 0,
    kActionDirect = 1,
    kActionProxy = 2,
    kActionChain = 3,
};

// "Block", "Direct", "Proxy" or "Chain"; nullptr for a number outside 0-3.
const char* GetRuleActionName(int action);

using PortRange = std::pair<int32_t, int32_t>; // first and last port, both inclusive

// One rule of a profile: which applications, targets and ports it takes, and what it does with them. The
// lists are kept twice: as the user typed them (the texts, for display and the profile file) and parsed
// (lower-case entries for matching). A plain value.
class CRule {
public:
    // Enabled, action Direct, no proxy or chain, empty lists and texts.
    explicit CRule(const std::string& name = std::string());
    CRule(const CRule&) = default;
    CRule& operator=(const CRule&) = default;
    virtual ~CRule();

    std::string m_Name;
    bool m_Enabled = true;
    std::vector<std::string> m_Apps; // as entered, quotes removed
    std::vector<std::string> m_AppsLower; // the lookup matches these
    std::vector<PortRange> m_Ports;
    std::vector<CRuleTarget> m_Targets;
    std::string m_AppsText;
    std::string m_PortsText;
    std::string m_TargetsText;
    int m_Action = kActionDirect;
    int64_t m_ProxyId = -1; // the proxy (action Proxy) or chain (action Chain); -1 when none
};

// The editor's combined action list is every chain, then every proxy, then "Direct", then "Block".

// The rule's position in that list; -1 for an unknown action, or a proxy or chain that does not exist.
int GetActiveActionIndex(const CRule& rule, const std::vector<CProxy>& proxies, const std::vector<CChain>& chains);
// The inverse: sets the rule's action (and id) from a position in that list; positions past "Direct" give
// Block.
void SetActionByListIndex(
    CRule& rule, int index, const std::vector<CProxy>& proxies, const std::vector<CChain>& chains);
// The texts of that list. Entries are "Chain <name>" (" [empty]" appended for a chain without entries) and
// "Proxy <type> <host>", where the host shows its port when another proxy has the same host and type. With
// `twoLines` the separator after "Chain" and after the proxy type is "\r\n" instead of a blank.
std::vector<std::string> ListRuleActionNames(
    const std::vector<CProxy>& proxies, const std::vector<CChain>& chains, bool twoLines = false);

// The lists written back as text, entries joined by "; ". Applications with a blank are put in double
// quotes; ranges of one address are written as that address; ports as "80" or "8000-8100".
std::string AppListToText(const CRule& rule);
std::string HostListToText(const CRule& rule);
std::string PortListToText(const CRule& rule);

} // namespace corvantis
