#include "app/ui/NSProfile.h"

#include "core/foundation/MessageBox.h"
#include "core/foundation/StringUtils.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileStorage.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <string_view>

namespace corvantis {

namespace {

constexpr int kAskYesNo = 72; // "No" and "Yes"; only "Yes" consents

// The option word's bit of each switch, in the order of NSProfile::ProxySwitch.
constexpr uint32_t kSwitchBits[] = { 0x01, 0x02, 0x04, 0x08, 0x10, 0x100 };
constexpr const char* kSwitchNames[]
    = { "curProxyNtlm", "curProxyAsIE", "curProxyExt4A", "CurUserLogin", "curProxyNegotiation", "curProxyUseHostname" };

bool yes(long answer)
{
    return answer == kMbAnswerYes;
}

bool inRange(int64_t index, std::size_t size)
{
    return index >= 0 && static_cast<uint64_t>(index) < size;
}

// The entries of the chain at `chainIndex`; null when out of range.
std::vector<CChainEntry>* chainEntries(CProfileData& profile, int64_t chainIndex)
{
    return inRange(chainIndex, profile.m_Chains.size())
        ? &profile.m_Chains[static_cast<std::size_t>(chainIndex)].m_Entries
        : nullptr;
}

// Where an insertion at `position` goes in a list of `size`: the end when the position is at or past it (a
// negative position is a huge unsigned one).
std::size_t insertionPoint(int64_t position, std::size_t size)
{
    return position < 0 || static_cast<uint64_t>(position) >= size ? size : static_cast<std::size_t>(position);
}

// The integer value of a text as a number field reads it: leading blanks, an optional sign, the digits up to the
// first other character; 0 without digits, and the 64-bit limits when it does not fit.
int64_t integerValue(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    uint64_t value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (value > (static_cast<uint64_t>(INT64_MAX) - digit) / 10)
            overflow = true;
        else
            value = value * 10 + digit;
    }
    if (overflow)
        return negative ? INT64_MIN : INT64_MAX;
    return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
}

constexpr const char* kBlanks = " \t\r\n";

bool isBlank(char c)
{
    return std::string_view(kBlanks).find(c) != std::string_view::npos;
}

bool onlyDigitsAndDots(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

bool ruleUsesTarget(const CProfileData& profile, int action, int32_t id)
{
    return std::any_of(profile.m_Rules.begin(), profile.m_Rules.end(),
        [&](const CRule& rule) { return rule.m_Action == action && rule.m_ProxyId == id; });
}

} // namespace

NSProfile::NSProfile(CCorvantisApp& app, NSProfileSeams seams)
    : m_app(app)
    , m_seams(std::move(seams))
{
}

CProfileData NSProfile::copyProfile() const
{
    CProfileData profile;
    m_app.GetProfile(profile, false);
    return profile;
}

void NSProfile::writeBack(const CProfileData& profile)
{
    // The copy keeps the change stamp of the profile it was taken from, so the core object sees an edit of the
    // active profile, not a new one.
    m_app.SetProfile(profile, true);
}

bool NSProfile::writeBackChecked(const CProfileData& profile, const char* caption)
{
    std::string message;
    if (!CheckProfileConsistency(profile, message)) {
        MessageBox(message, caption, 0);
        return false;
    }
    writeBack(profile);
    return true;
}

std::string NSProfile::userGuid() const
{
    return m_seams.userGuid ? m_seams.userGuid() : GetCurrentUserGUID();
}

// ---- Proxy list ----

int64_t NSProfile::proxyCount() const
{
    return static_cast<int64_t>(copyProfile().m_Proxies.size());
}

int32_t NSProfile::proxyId(int64_t index) const
{
    const CProfileData profile = copyProfile();
    return inRange(index, profile.m_Proxies.size()) ? profile.m_Proxies[static_cast<std::size_t>(index)].m_Id : 0;
}

std::string NSProfile::proxyName(int64_t index) const
{
    const CProfileData profile = copyProfile();
    return inRange(index, profile.m_Proxies.size()) ? profile.m_Proxies[static_cast<std::size_t>(index)].GetHostName()
                                                    : std::string();
}

std::string NSProfile::proxyPort(int64_t index) const
{
    const CProfileData profile = copyProfile();
    return inRange(index, profile.m_Proxies.size())
        ? std::to_string(profile.m_Proxies[static_cast<std::size_t>(index)].m_Port)
        : std::string();
}

std::string NSProfile::proxyType(int64_t index) const
{
    const CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Proxies.size()))
        return {};
    const char* name = GetProxyTypeName(profile.m_Proxies[static_cast<std::size_t>(index)].m_Type);
    return name ? name : "";
}

std::string NSProfile::proxyFullNameForId(int32_t id) const
{
    return proxyNameForId(id);
}

std::string NSProfile::proxyNameForId(int32_t id) const
{
    const std::optional<CProxy> proxy = copyProfile().FindProxy(id);
    return proxy ? proxy->ToString(false) : std::string();
}

void NSProfile::setProxyListArray(std::vector<ProxyRow> rows)
{
    m_proxyListArray = std::move(rows);
    m_properties.announce("proxyListArray");
}

void NSProfile::updateProxyList(const CProfileData& profile)
{
    std::vector<ProxyRow> rows;
    int64_t num = 0;
    for (const CProxy& proxy : profile.m_Proxies) {
        const char* type = GetProxyTypeName(proxy.m_Type);
        rows.push_back({ proxy.GetHostName(), proxy.m_Port, type ? type : "", proxy.m_Id, num++ });
    }
    setProxyListArray(std::move(rows));
}

void NSProfile::deleteProxy(int64_t index)
{
    CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Proxies.size()))
        return;
    const CProxy proxy = profile.m_Proxies[static_cast<std::size_t>(index)];
    for (const CChain& chain : profile.m_Chains) {
        if (ChainHasProxy(chain, proxy.m_Id)) {
            MessageBox("Proxy server " + proxy.ToString(false) + " cannot be removed because it is a member of \""
                    + chain.m_Name + "\" proxy chain.\nTo remove the proxy, remove it from the chain first.",
                std::string(), 0);
            return;
        }
    }
    if (ruleUsesTarget(profile, kActionProxy, proxy.m_Id)) {
        if (m_seams.requestNewAction && m_seams.requestNewAction(profile, proxy.m_Id))
            writeBack(profile);
        return;
    }
    profile.m_Proxies.erase(profile.m_Proxies.begin() + index);
    writeBack(profile);
}

// ---- Proxy dialog ----

void NSProfile::editProxy(int64_t index)
{
    const CProfileData profile = copyProfile();
    if (!inRange(index, profile.m_Proxies.size())) {
        createProxy();
        return;
    }
    const CProxy proxy = profile.m_Proxies[static_cast<std::size_t>(index)];
    m_curProxyNum = index;
    m_curProxyId = proxy.m_Id;
    setCurProxyAddr(proxy.GetHostName());
    setCurProxyPort(std::to_string(proxy.m_Port));
    setCurProxyType(proxy.m_Type);
    setCurProxyAuth(proxy.m_AuthEnabled);
    setCurProxyUser(proxy.m_UserName);
    setCurProxyPass(proxy.m_Password);
    for (int i = 0; i < 6; ++i)
        setCurProxySwitch(static_cast<ProxySwitch>(i), (proxy.m_Options & kSwitchBits[i]) != 0);
    curProxyUpdate();
}

void NSProfile::createProxy()
{
    m_curProxyNum = -1;
    setCurProxyAddr(std::nullopt);
    setCurProxyPort("0");
    setCurProxyType(-1);
    setCurProxyAuth(std::nullopt);
    setCurProxyUser(std::nullopt);
    setCurProxyPass(std::nullopt);
    for (int i = 0; i < 6; ++i)
        setCurProxySwitch(static_cast<ProxySwitch>(i), false);
    curProxyUpdate();
}

void NSProfile::curProxyUpdate()
{
    const int type = m_curProxyType.value_or(0);
    m_curProxyIsHttp = type == kProxyHttp;
    m_curProxyIsHttps = type == kProxyHttps;
    m_curProxyIsSocks4 = type == kProxySocks4;
    m_curProxyIsSocks5 = type == kProxySocks5;
    for (const char* name : { "curProxyIsHttp", "curProxyIsHttps", "curProxyIsSocks4", "curProxyIsSocks5" })
        m_properties.announce(name);
    if (type != kProxyHttps)
        setCurProxySwitch(ProxySwitch::Negotiation, false);
    m_curProxyShowHttp = type == kProxyHttp || copyProfile().m_HttpProxiesSupport;
    m_properties.announce("curProxyShowHttp");
    if (m_seams.advancedBoxVisible && m_seams.advancedBoxVisible() && m_seams.foldAdvancedBox)
        m_seams.foldAdvancedBox();
}

void NSProfile::curProxyAdvanced()
{
    const bool visible = m_seams.advancedBoxVisible && m_seams.advancedBoxVisible();
    if (!visible && m_seams.unfoldAdvancedBox)
        m_seams.unfoldAdvancedBox();
}

CProxy NSProfile::getCurProxyWithId(int32_t id) const
{
    CProxy proxy(m_curProxyAddr.value_or(""), static_cast<uint16_t>(m_curProxyPort), m_curProxyType.value_or(-1), id);
    proxy.m_AuthEnabled = m_curProxyAuth.value_or(false);
    if (proxy.m_AuthEnabled) {
        proxy.m_UserName = m_curProxyUser.value_or("");
        proxy.m_Password = m_curProxyPass.value_or("");
    }
    for (int i = 0; i < 6; ++i) {
        if (m_curProxySwitches[i].value_or(false))
            proxy.m_Options |= kSwitchBits[i];
    }
    return proxy;
}

bool NSProfile::curProxySave()
{
    CProxy proxy = getCurProxyWithId(0);
    std::string address = m_curProxyAddr.value_or("");
    StrTrim(address, kBlanks);
    if (address.empty()) {
        MessageBox("Please specify the proxy server Address.", std::string(), 0);
        return false;
    }
    if (std::any_of(address.begin(), address.end(), isBlank)) {
        MessageBox("Proxy server address cannot contain a space.", "Proxy Server", 0);
        return false;
    }
    proxy.SetHostName(address);
    setCurProxyAddr(address);
    // The port is checked as typed: the proxy holds it in 16 bits, where 65537 would pass as port 1.
    if (m_curProxyPort < 1 || m_curProxyPort > 65535) {
        MessageBox("Invalid Port number.", std::string(), 0);
        return false;
    }
    const int type = m_curProxyType.value_or(-1);
    if (type < kProxySocks5 || type > kProxyHttp) {
        MessageBox("Please specify the proxy server Protocol.", std::string(), 0);
        return false;
    }
    if (m_curProxyAuth.value_or(false)) {
        if (curProxySwitch(ProxySwitch::Negotiation).value_or(false)) {
            if (onlyDigitsAndDots(address)
                && !yes(
                    MessageBox("Negotiation authentication may not work as expected when proxy server is specified "
                               "as IP address. It is recommended to specify the hostname.\nContinue with IP address?",
                        std::string(), kAskYesNo)))
                return false;
            setCurProxyUser(std::string());
            setCurProxyPass(std::string());
        } else if ((m_curProxyUser.value_or("").empty() || m_curProxyPass.value_or("").empty())
            && !yes(
                MessageBox("You have checked \"Use authentication\" option, but you have not specified username and "
                           "password.\nIs this intended?",
                    std::string(), kAskYesNo))) {
            return false;
        }
    }
    if (!saveProxy())
        return false;
    if (m_curProxyNum == -1) {
        const CProfileData profile = copyProfile();
        if (profile.m_Proxies.size() == 1) {
            const CProxy& only = profile.m_Proxies.front();
            if (yes(MessageBox("Do you want Corvantis to use this proxy by default?\nYou can change this later at "
                               "menu:\n\tProfile->Proxying Rules",
                    "Proxy Servers", kAskYesNo))) {
                if (setRuleTargetActionId(rulesCount() - 1, only.m_Id))
                    MessageBox(
                        "Proxy " + only.ToString(false) + " has been set as the Action for the Default Proxying Rule",
                        "Proxy Servers", 5);
                else
                    MessageBox("Unexpected error. Default Proxying Rule was not changed. You should open menu "
                               "Profile->Proxying_Rules and change it manually.",
                        "Proxy Servers Error", 3);
            }
        }
    }
    if (m_seams.endProxyDialog)
        m_seams.endProxyDialog(1);
    return true;
}

bool NSProfile::saveProxy()
{
    CProfileData profile = copyProfile();
    const bool isNew = m_curProxyNum < 0;
    if (!isNew && static_cast<uint64_t>(m_curProxyNum) >= profile.m_Proxies.size()) {
        // Another writer shrank the list while the dialog was open: the edit has nowhere to go, and saying it
        // was saved would drop it silently. The dialog stays open with the user's fields.
        MessageBox("Internal error.", "Could not save proxy", 0);
        return false;
    }
    if (isNew)
        m_curProxyId = m_app.AllocateId();
    const CProxy proxy = getCurProxyWithId(m_curProxyId);
    if (isNew)
        profile.m_Proxies.push_back(proxy);
    else
        profile.m_Proxies[static_cast<std::size_t>(m_curProxyNum)] = proxy;
    return writeBackChecked(profile, "Could not save proxy");
}

void NSProfile::setCurProxyAddr(std::optional<std::string> value)
{
    m_curProxyAddr = std::move(value);
    m_properties.announce("curProxyAddr");
}

std::optional<std::string> NSProfile::curProxyPort() const
{
    if (m_curProxyPort == 0)
        return std::nullopt;
    // Shown as a signed number, as typed: "-5" stays "-5" rather than a 20-digit unsigned value.
    return std::to_string(static_cast<int64_t>(m_curProxyPort));
}

void NSProfile::setCurProxyPort(const std::optional<std::string>& value)
{
    if (value)
        m_curProxyPort = static_cast<uint64_t>(integerValue(*value));
    m_properties.announce("curProxyPort");
}

void NSProfile::setCurProxyType(std::optional<int> value)
{
    m_curProxyType = value;
    m_properties.announce("curProxyType");
}

void NSProfile::setCurProxyAuth(std::optional<bool> value)
{
    m_curProxyAuth = value;
    m_properties.announce("curProxyAuth");
}

void NSProfile::setCurProxyUser(std::optional<std::string> value)
{
    m_curProxyUser = std::move(value);
    m_properties.announce("curProxyUser");
}

void NSProfile::setCurProxyPass(std::optional<std::string> value)
{
    m_curProxyPass = std::move(value);
    m_properties.announce("curProxyPass");
}

std::optional<bool> NSProfile::curProxySwitch(ProxySwitch which) const
{
    return m_curProxySwitches[static_cast<int>(which)];
}

void NSProfile::setCurProxySwitch(ProxySwitch which, std::optional<bool> value)
{
    m_curProxySwitches[static_cast<int>(which)] = value;
    m_properties.announce(kSwitchNames[static_cast<int>(which)]);
}

// ---- Chains ----

void NSProfile::addChain()
{
    CProfileData profile = copyProfile();
    profile.m_Chains.emplace_back("New Chain", m_app.AllocateId());
    writeBack(profile);
}

void NSProfile::delChain(int64_t chainIndex)
{
    CProfileData profile = copyProfile();
    if (!inRange(chainIndex, profile.m_Chains.size()))
        return;
    const int32_t id = profile.m_Chains[static_cast<std::size_t>(chainIndex)].m_Id;
    if (ruleUsesTarget(profile, kActionChain, id)) {
        if (m_seams.requestNewAction && m_seams.requestNewAction(profile, id))
            writeBack(profile);
        return;
    }
    profile.m_Chains.erase(profile.m_Chains.begin() + chainIndex);
    writeBack(profile);
}

int64_t NSProfile::chainsCount() const
{
    return static_cast<int64_t>(copyProfile().m_Chains.size());
}

int64_t NSProfile::proxysCountInChain(int64_t chainIndex) const
{
    const CProfileData profile = copyProfile();
    return inRange(chainIndex, profile.m_Chains.size())
        ? static_cast<int64_t>(profile.m_Chains[static_cast<std::size_t>(chainIndex)].m_Entries.size())
        : 0;
}

CChainEntry NSProfile::proxyWithNum(int64_t position, int64_t chainIndex) const
{
    const CProfileData profile = copyProfile();
    if (!inRange(chainIndex, profile.m_Chains.size()))
        return { -1, false };
    const CChain& chain = profile.m_Chains[static_cast<std::size_t>(chainIndex)];
    return inRange(position, chain.m_Entries.size()) ? chain.m_Entries[static_cast<std::size_t>(position)]
                                                     : CChainEntry { -1, false };
}

std::string NSProfile::chainName(int64_t chainIndex) const
{
    const CProfileData profile = copyProfile();
    return inRange(chainIndex, profile.m_Chains.size()) ? profile.m_Chains[static_cast<std::size_t>(chainIndex)].m_Name
                                                        : std::string();
}

void NSProfile::setNameForChain(const std::string& name, int64_t chainIndex)
{
    CProfileData profile = copyProfile();
    if (!inRange(chainIndex, profile.m_Chains.size()))
        return;
    profile.m_Chains[static_cast<std::size_t>(chainIndex)].m_Name = name;
    writeBack(profile);
}

void NSProfile::addProxyToChain(int32_t proxyId, int64_t chainIndex, int64_t position)
{
    CProfileData profile = copyProfile();
    std::vector<CChainEntry>* list = chainEntries(profile, chainIndex);
    if (!list || !profile.FindProxy(proxyId))
        return;
    auto& entries = *list;
    entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(insertionPoint(position, entries.size())),
        CChainEntry { proxyId, true });
    (void)writeBackChecked(profile, "Could not add proxy to chain.");
}

void NSProfile::setEnabledForProxyInChain(bool enabled, int64_t position, int64_t chainIndex)
{
    CProfileData profile = copyProfile();
    std::vector<CChainEntry>* entries = chainEntries(profile, chainIndex);
    if (!entries || !inRange(position, entries->size()))
        return;
    (*entries)[static_cast<std::size_t>(position)].m_Enabled = enabled;
    writeBack(profile);
}

bool NSProfile::chainHaveProxy(int64_t chainIndex, int32_t proxyId) const
{
    const CProfileData profile = copyProfile();
    return inRange(chainIndex, profile.m_Chains.size())
        && ChainHasProxy(profile.m_Chains[static_cast<std::size_t>(chainIndex)], proxyId);
}

void NSProfile::delProxyFromChain(int64_t position, int64_t chainIndex)
{
    CProfileData profile = copyProfile();
    std::vector<CChainEntry>* entries = chainEntries(profile, chainIndex);
    if (!entries || !inRange(position, entries->size()))
        return;
    entries->erase(entries->begin() + position);
    writeBack(profile);
}

void NSProfile::moveProxyInChain(int64_t from, int64_t to, int64_t chainIndex)
{
    CProfileData profile = copyProfile();
    std::vector<CChainEntry>* list = chainEntries(profile, chainIndex);
    if (!list || !inRange(from, list->size()))
        return;
    auto& entries = *list;
    const CChainEntry entry = entries[static_cast<std::size_t>(from)];
    entries.erase(entries.begin() + from);
    // A drop below the entry's old place counts positions of the list that still held it.
    const int64_t target = to >= 0 && to > from ? to - 1 : to;
    entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(insertionPoint(target, entries.size())), entry);
    (void)writeBackChecked(profile, "Could not move proxy in chain.");
}

} // namespace corvantis
