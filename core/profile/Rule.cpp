#include "core/profile/Rule.h"

#include "core/profile/Chain.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Proxy.h"

#include <netinet/in.h>

namespace corvantis {

const char* GetRuleActionName(int action)
{
    static constexpr const char* kNames[] = { "Block", "Direct", "Proxy", "Chain" };
    if (action < 0 || action > 3)
        return nullptr;
    return kNames[action];
}

CRule::CRule(const std::string& name)
    : m_Name(name)
{
}

CRule::~CRule() = default;

int GetActiveActionIndex(const CRule& rule, const std::vector<CProxy>& proxies, const std::vector<CChain>& chains)
{
    const int chainCount = static_cast<int>(chains.size());
    const int size = chainCount + static_cast<int>(proxies.size()) + 2;
    switch (rule.m_Action) {
    case kActionChain:
        return GetChainIndexById(chains, rule.m_ProxyId);
    case kActionProxy: {
        const int index = GetProxyIndexById(proxies, rule.m_ProxyId);
        return index < 0 ? -1 : chainCount + index;
    }
    case kActionDirect:
        return size - 2;
    case kActionBlock:
        return size - 1;
    default:
        return -1;
    }
}

void SetActionByListIndex(CRule& rule, int index, const std::vector<CProxy>& proxies, const std::vector<CChain>& chains)
{
    const int chainCount = static_cast<int>(chains.size());
    const int proxyCount = static_cast<int>(proxies.size());
    if (index >= 0 && index < chainCount) {
        rule.m_Action = kActionChain;
        rule.m_ProxyId = chains[index].m_Id;
    } else if (index >= chainCount && index < chainCount + proxyCount) {
        rule.m_Action = kActionProxy;
        rule.m_ProxyId = proxies[index - chainCount].m_Id;
    } else if (index == chainCount + proxyCount) {
        rule.m_Action = kActionDirect;
    } else {
        rule.m_Action = kActionBlock;
    }
}

std::vector<std::string> ListRuleActionNames(
    const std::vector<CProxy>& proxies, const std::vector<CChain>& chains, bool twoLines)
{
    const char* separator = twoLines ? "\r\n" : " ";
    std::vector<std::string> names;
    for (const CChain& chain : chains) {
        std::string text = std::string("Chain") + separator + chain.m_Name;
        if (chain.m_Entries.empty())
            text += " [empty]";
        names.push_back(std::move(text));
    }
    for (const CProxy& proxy : proxies) {
        bool ambiguous = false;
        for (const CProxy& other : proxies) {
            if (&other != &proxy && ProxiesEqual(proxy, other, true, true, false))
                ambiguous = true;
        }
        const char* typeName = GetProxyTypeName(proxy.m_Type);
        names.push_back(std::string("Proxy ") + (typeName ? typeName : "") + separator
            + (ambiguous ? proxy.ToString(false) : proxy.GetHostName()));
    }
    names.emplace_back("Direct");
    names.emplace_back("Block");
    return names;
}

namespace {

std::string Join(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items) {
        if (!text.empty())
            text += "; ";
        text += item;
    }
    return text;
}

} // namespace

std::string AppListToText(const CRule& rule)
{
    std::vector<std::string> items;
    for (const std::string& app : rule.m_Apps)
        items.push_back(app.find(' ') == std::string::npos ? app : "\"" + app + "\"");
    return Join(items);
}

std::string HostListToText(const CRule& rule)
{
    std::vector<std::string> items;
    for (const CRuleTarget& target : rule.m_Targets) {
        if (target.m_Kind == kTargetIPv4Range) {
            std::string text = IPv4ToString(target.FirstIPv4());
            if (target.FirstIPv4() != target.LastIPv4()) {
                text += '-';
                text += IPv4ToString(target.LastIPv4());
            }
            items.push_back(std::move(text));
        } else if (target.m_Kind == kTargetIPv6Range) {
            std::string text = IPv6ToString(target.m_First);
            if (target.m_First != target.m_Last) {
                text += '-';
                text += IPv6ToString(target.m_Last);
            }
            items.push_back(std::move(text));
        } else {
            items.push_back(target.m_Text);
        }
    }
    return Join(items);
}

std::string PortListToText(const CRule& rule)
{
    std::vector<std::string> items;
    for (const auto& [first, last] : rule.m_Ports)
        items.push_back(first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last));
    return Join(items);
}

} // namespace corvantis
