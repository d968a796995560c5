// The rule side of the editor model: the rules table, the action list, the rule dialog and its checks.

#include "app/ui/ApplicationIdentity.h"
#include "app/ui/NSProfile.h"

#include "core/foundation/MessageBox.h"
#include "core/foundation/StringUtils.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Rule.h"

#include <algorithm>

namespace corvantis {

namespace {

constexpr const char* kRulesCaption = "Proxying Rules";
constexpr const char* kRuleCaption = "Proxying Rule";
constexpr int kDefaultRuleFlags = 5;
constexpr int kRuleCheckFlags = 129;

constexpr const char* kCannotEditDefault
    = "You cannot edit the Default rule.\nCorvantis uses it when all other rules do not match the connection "
      "parameters.\nYou can only change the Action for this rule.";
constexpr const char* kCannotCloneDefault
    = "You cannot clone the Default rule.\nCorvantis uses it when all other rules do not match the connection "
      "parameters.\nYou can only change the Action for this rule.";
constexpr const char* kCannotRemoveDefault = "The Default rule cannot be removed.\nCorvantis uses it when all other "
                                             "rules do not match the connection parameters.";
constexpr const char* kCannotMoveDefault
    = "You cannot move Default rule.\nCorvantis uses it when all other rules do not match the connection parameters "
      "so it must be the last in the list.";
constexpr const char* kCannotPassDefault
    = "You cannot move this rule. Rule cannot be located after Default rule.\nCorvantis uses Default rule when all "
      "other rules do not match the connection parameters so it must be the last in the list.";

bool inRange(int64_t index, std::size_t size)
{
    return index >= 0 && static_cast<uint64_t>(index) < size;
}

bool isLast(int64_t index, std::size_t size)
{
    return size > 0 && index == static_cast<int64_t>(size) - 1;
}

// The three lists parsed into `rule` in the editor's order; false with the text to show and the parser's own
// message.
bool parseLists(CRule& rule, const std::string& apps, const std::string& hosts, const std::string& ports,
    std::string& shown, std::string& message)
{
    if (!ParseAppList(rule, apps, message)) {
        shown = "Error in application list:\n" + message;
        return false;
    }
    if (!ParseHostList(rule, hosts, message)) {
        shown = "Error in target list:\n" + message;
        return false;
    }
    if (!ParsePortList(rule, ports, message)) {
        shown = "Error in port list:\n" + message;
        return false;
    }
    return true;
}

struct Companions {
    const char* identifier;
    std::vector<const char*> programs;
};

const std::vector<Companions>& companionTable()
{
    static const std::vector<Companions> table = {
        { "com.apple.safari",
            { "WebProcess", "\"Safari Webpage Preview Fetcher\"", "SafariSyncClient", "PubSubAgent",
                "PluginProcess" } },
        { "com.apple.appstore", { "storeagent" } },
        { "com.apple.dashboardlauncher", { "DashboardClient" } },
        { "org.mozilla.firefox", { "firefox-bin", "plugin-container", "XUL" } },
        { "com.apple.iTunes", { "iTunesASUHelper", "iTunesHelper" } },
        { "com.apple.iTunes_Producer", { "iTMSTransporter" } },
        { "com.apple.iPhoto", { "PhotoStreamAgent", "\"iPhoto Library Upgrader\"", "photocd" } },
    };
    return table;
}

} // namespace

// ---- Rules table ----

int64_t NSProfile::rulesCount() const
{
    return static_cast<int64_t>(copyProfile().m_Rules.size());
}

std::optional<int> NSProfile::ruleAllow(int64_t index) const
{
    const CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Rules.size()))
        return std::nullopt;
    if (isLast(index, profile.m_Rules.size()))
        return 3;
    return profile.m_Rules[static_cast<std::size_t>(index)].m_Enabled ? 1 : 0;
}

std::optional<std::string> NSProfile::ruleName(int64_t index) const
{
    const CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Rules.size()))
        return std::nullopt;
    return profile.m_Rules[static_cast<std::size_t>(index)].m_Name;
}

std::optional<std::string> NSProfile::ruleApp(int64_t index) const
{
    const CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Rules.size()))
        return std::nullopt;
    return AppListToText(profile.m_Rules[static_cast<std::size_t>(index)]);
}

std::optional<std::string> NSProfile::ruleHosts(int64_t index) const
{
    const CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Rules.size()))
        return std::nullopt;
    return HostListToText(profile.m_Rules[static_cast<std::size_t>(index)]);
}

std::optional<std::string> NSProfile::rulePorts(int64_t index) const
{
    const CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Rules.size()))
        return std::nullopt;
    return PortListToText(profile.m_Rules[static_cast<std::size_t>(index)]);
}

std::optional<int> NSProfile::ruleTarget(int64_t index) const
{
    const CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Rules.size()))
        return std::nullopt;
    // A proxy or chain id that no list holds shows no action (-1) rather than a neighbour's.
    return GetActiveActionIndex(profile.m_Rules[static_cast<std::size_t>(index)], profile.m_Proxies, profile.m_Chains);
}

void NSProfile::setRuleAllow(int64_t index, bool allow)
{
    CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Rules.size()) || isLast(index, profile.m_Rules.size()))
        return;
    profile.m_Rules[static_cast<std::size_t>(index)].m_Enabled = allow;
    writeBack(profile);
}

void NSProfile::setRuleTargetAction(int64_t index, int64_t actionIndex)
{
    CProfileData profile = copyProfile();
    const auto actions = static_cast<int64_t>(profile.m_Chains.size() + profile.m_Proxies.size() + 2);
    if (!inRange(index, profile.m_Rules.size()) || actionIndex < 0 || actionIndex >= actions)
        return;
    SetActionByListIndex(profile.m_Rules[static_cast<std::size_t>(index)], static_cast<int>(actionIndex),
        profile.m_Proxies, profile.m_Chains);
    writeBack(profile);
}

bool NSProfile::setRuleTargetActionId(int64_t index, int32_t id)
{
    CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Rules.size()))
        return false;
    CRule& rule = profile.m_Rules[static_cast<std::size_t>(index)];
    if (profile.FindChain(id))
        rule.m_Action = kActionChain;
    else if (profile.FindProxy(id))
        rule.m_Action = kActionProxy;
    else
        return false;
    rule.m_ProxyId = id;
    writeBack(profile);
    return true;
}

void NSProfile::setRuleName(int64_t index, const std::optional<std::string>& name)
{
    CProfileData profile = copyProfile();
    if (!name || !inRange(index, profile.m_Rules.size()))
        return;
    profile.m_Rules[static_cast<std::size_t>(index)].m_Name = *name;
    writeBack(profile);
}

bool NSProfile::ruleUp(int64_t index)
{
    CProfileData profile = copyProfile();
    if (index == 0)
        return false;
    if (index < 0 || index >= static_cast<int64_t>(profile.m_Rules.size()) - 1) {
        MessageBox(kCannotMoveDefault, kRulesCaption, kDefaultRuleFlags);
        return false;
    }
    std::swap(profile.m_Rules[static_cast<std::size_t>(index)], profile.m_Rules[static_cast<std::size_t>(index - 1)]);
    writeBack(profile);
    return true;
}

bool NSProfile::ruleDown(int64_t index)
{
    CProfileData profile = copyProfile();
    const auto last = static_cast<int64_t>(profile.m_Rules.size()) - 1;
    if (index < 0 || index >= last) {
        MessageBox(kCannotMoveDefault, kRulesCaption, kDefaultRuleFlags);
        return false;
    }
    if (index == last - 1) {
        MessageBox(kCannotPassDefault, kRulesCaption, kDefaultRuleFlags);
        return false;
    }
    std::swap(profile.m_Rules[static_cast<std::size_t>(index)], profile.m_Rules[static_cast<std::size_t>(index + 1)]);
    writeBack(profile);
    return true;
}

void NSProfile::ruleAdded(int64_t index)
{
    if (m_curRuleNum != -1 && index <= m_curRuleNum)
        ++m_curRuleNum;
}

std::vector<std::string> NSProfile::ruleTargetNamesList() const
{
    const CProfileData profile = copyProfile();
    std::vector<std::string> names;
    for (const CChain& chain : profile.m_Chains)
        names.push_back("Chain " + chain.m_Name);
    for (const CProxy& proxy : profile.m_Proxies) {
        const char* type = GetProxyTypeName(proxy.m_Type);
        names.push_back(std::string("Proxy ") + (type ? type : "") + " " + proxy.ToString(false));
    }
    names.emplace_back("Direct");
    names.emplace_back("Block");
    return names;
}

void NSProfile::setRuleTargetNamesList()
{
    m_properties.announce("ruleTargetNamesList");
}

// ---- Rule dialog ----

bool NSProfile::refuseDefaultRule(const CProfileData& profile, int64_t index, const char* text) const
{
    if (!isLast(index, profile.m_Rules.size()))
        return false;
    MessageBox(text, kRulesCaption, kDefaultRuleFlags);
    return true;
}

bool NSProfile::editRule(int64_t index)
{
    const CProfileData profile = copyProfile();
    if (refuseDefaultRule(profile, index, kCannotEditDefault))
        return false;
    if (!inRange(index, profile.m_Rules.size()))
        return false;
    const CRule& rule = profile.m_Rules[static_cast<std::size_t>(index)];
    m_curRuleNum = index;
    setCurRuleName(rule.m_Name);
    setCurRuleApp(rule.m_AppsText);
    setCurRuleHosts(rule.m_TargetsText);
    setCurRulePorts(rule.m_PortsText);
    setCurRuleTarget(GetActiveActionIndex(rule, profile.m_Proxies, profile.m_Chains));
    setCurRuleEnabled(rule.m_Enabled);
    setCurRuleAppAttr(std::nullopt);
    setCurRuleHostsAttr(std::nullopt);
    setCurRulePortsAttr(std::nullopt);
    return true;
}

void NSProfile::createRule()
{
    m_curRuleNum = -1;
    setCurRuleName(std::string("New"));
    setCurRuleApp(std::nullopt);
    setCurRuleHosts(std::nullopt);
    setCurRulePorts(std::nullopt);
    setCurRuleTarget(std::nullopt);
    setCurRuleAppAttr(std::nullopt);
    setCurRuleHostsAttr(std::nullopt);
    setCurRulePortsAttr(std::nullopt);
    setCurRuleEnabled(true);
}

bool NSProfile::cloneRule(int64_t index)
{
    CProfileData profile = copyProfile();
    if (refuseDefaultRule(profile, index, kCannotCloneDefault))
        return false;
    if (!inRange(index, profile.m_Rules.size()))
        return false;
    CRule copy = profile.m_Rules[static_cast<std::size_t>(index)];
    copy.m_Name = "Copy of " + copy.m_Name;
    profile.m_Rules.insert(profile.m_Rules.begin() + index + 1, copy);
    writeBack(profile);
    return true;
}

bool NSProfile::deleteRule(int64_t index)
{
    CProfileData profile = copyProfile();
    if (refuseDefaultRule(profile, index, kCannotRemoveDefault))
        return false;
    if (!inRange(index, profile.m_Rules.size()))
        return false;
    profile.m_Rules.erase(profile.m_Rules.begin() + index);
    writeBack(profile);
    return true;
}

bool NSProfile::validateRule()
{
    const std::string name = m_curRuleName.value_or("");
    const std::string apps = m_curRuleApp.value_or("");
    const std::string hosts = m_curRuleHosts.value_or("");
    const std::string ports = m_curRulePorts.value_or("");
    auto refuse = [](const std::string& text) {
        MessageBox(text, kRuleCaption, kRuleCheckFlags);
        return false;
    };
    if (name.empty())
        return refuse("Please specify the Name of the rule.");
    if (HasRefusedCharacter(apps, ListField::Applications))
        return refuse("Application list contains incorrect character(s).\n");
    if (HasRefusedCharacter(hosts, ListField::Hosts))
        return refuse("Target host list contains incorrect character(s).\n");
    if (HasRefusedCharacter(ports, ListField::Ports))
        return refuse("Port list contains incorrect character(s).\n");
    if (m_curRuleTarget.value_or(-1) == -1)
        return refuse("Please specify the Action for the rule.");
    CRule rule(name);
    std::string shown;
    std::string message;
    if (!parseLists(rule, apps, hosts, ports, shown, message))
        return refuse(shown);
    return true;
}

std::optional<std::string> NSProfile::saveRule()
{
    CProfileData profile = copyProfile();
    CRule rule(m_curRuleName.value_or(""));
    std::string shown;
    std::string message;
    if (!parseLists(rule, m_curRuleApp.value_or(""), m_curRuleHosts.value_or(""), m_curRulePorts.value_or(""), shown,
            message)) {
        MessageBox(shown, std::string(), 0);
        return message;
    }
    SetActionByListIndex(rule, m_curRuleTarget.value_or(-1), profile.m_Proxies, profile.m_Chains);
    rule.m_Enabled = m_curRuleEnabled.value_or(false);
    const std::size_t count = profile.m_Rules.size();
    if (m_curRuleNum == -1) {
        profile.m_Rules.insert(profile.m_Rules.begin() + static_cast<std::ptrdiff_t>(count > 0 ? count - 1 : 0), rule);
    } else if (inRange(m_curRuleNum, count) && !isLast(m_curRuleNum, count)) {
        profile.m_Rules[static_cast<std::size_t>(m_curRuleNum)] = rule;
    } else {
        // The edited rule is gone, or rules removed above it made its index name the Default rule: overwriting
        // that would lose the rule every unmatched connection follows.
        MessageBox("Internal error.", std::string(), 0);
        return std::string("Internall error.");
    }
    writeBack(profile);
    return std::nullopt;
}

bool NSProfile::addAppToRule(const std::optional<std::filesystem::path>& file)
{
    if (!file)
        return false;
    const std::optional<ApplicationIdentity> identity = ReadApplicationIdentity(*file);
    if (!identity) {
        MessageBox("\"" + file->filename().string() + "\" does not name a program to run.", kRuleCaption, 0);
        return false;
    }
    std::string entry = "\"" + identity->name + "\"";
    if (identity->name != identity->base)
        entry += "; \"" + identity->base + "\"";
    if (!identity->identifier.empty() && identity->identifier != identity->name)
        entry += "; " + identity->identifier;
    const std::string current = m_curRuleApp.value_or("");
    if (current.empty())
        setCurRuleApp(entry);
    else if (current.back() == '\n' || current.back() == ';')
        setCurRuleApp(current + entry);
    else
        setCurRuleApp(current + "; " + entry);
    return true;
}

std::string NSProfile::getFulListNamesForAppName(
    const std::string& appName, const std::optional<std::string>& identifier, const std::string& execName)
{
    std::string result = execName.find(' ') == std::string::npos ? execName : "\"" + execName + "\"";
    if (!identifier)
        return result;
    for (const Companions& companions : companionTable()) {
        if (StrCompareNoCase(*identifier, companions.identifier) != 0)
            continue;
        const long answer = MessageBox("Application " + appName + " (ID=" + *identifier
                + ") may use additional programs/modules to work over the network.\n\nDo you want them to be "
                  "added to the rule? (recommended)",
            kRuleCaption, kMbYesNo);
        if (answer == kMbAnswerYes) {
            for (const char* program : companions.programs)
                result += std::string("; ") + program;
        }
        break;
    }
    return result;
}

void NSProfile::initDefaultRule()
{
    CProfileData profile = copyProfile();
    profile.AddLocalhostRule();
    profile.AddDefaultRule();
    profile.InitNewProfileOptions();
    writeBack(profile);
}

void NSProfile::setCurRuleName(std::optional<std::string> value)
{
    m_curRuleName = std::move(value);
    m_properties.announce("curRuleName");
}

void NSProfile::setCurRuleApp(std::optional<std::string> value)
{
    m_curRuleApp = std::move(value);
    m_properties.announce("curRuleApp");
}

void NSProfile::setCurRuleHosts(std::optional<std::string> value)
{
    m_curRuleHosts = std::move(value);
    m_properties.announce("curRuleHosts");
}

void NSProfile::setCurRulePorts(std::optional<std::string> value)
{
    m_curRulePorts = std::move(value);
    m_properties.announce("curRulePorts");
}

void NSProfile::setCurRuleTarget(std::optional<int> value)
{
    m_curRuleTarget = value;
    m_properties.announce("curRuleTarget");
}

void NSProfile::setCurRuleEnabled(std::optional<bool> value)
{
    m_curRuleEnabled = value;
    m_properties.announce("curRuleEnabled");
}

std::optional<MarkedText> NSProfile::marked(const std::optional<std::string>& text, ListField field) const
{
    if (!text)
        return std::nullopt;
    return validateListText(*text, field);
}

std::optional<MarkedText> NSProfile::curRuleAppAttr() const
{
    return marked(m_curRuleApp, ListField::Applications);
}

std::optional<MarkedText> NSProfile::curRuleHostsAttr() const
{
    return marked(m_curRuleHosts, ListField::Hosts);
}

std::optional<MarkedText> NSProfile::curRulePortsAttr() const
{
    return marked(m_curRulePorts, ListField::Ports);
}

void NSProfile::setCurRuleAppAttr(const std::optional<std::string>& value)
{
    if (value) {
        setCurRuleApp(*value);
        if (m_seams.relayoutApplicationView)
            m_seams.relayoutApplicationView();
    }
    m_properties.announce("curRuleAppAttr");
}

void NSProfile::setCurRuleHostsAttr(const std::optional<std::string>& value)
{
    if (value)
        setCurRuleHosts(*value);
    m_properties.announce("curRuleHostsAttr");
}

void NSProfile::setCurRulePortsAttr(const std::optional<std::string>& value)
{
    if (value)
        setCurRulePorts(*value);
    m_properties.announce("curRulePortsAttr");
}

MarkedText NSProfile::validateListText(const std::string& proposed, ListField field)
{
    return { proposed, RefusedCharacterPositions(proposed, field) };
}

} // namespace corvantis
