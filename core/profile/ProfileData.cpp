#include "core/profile/ProfileData.h"

#include "core/profile/HostLists.h"

#include <chrono>

namespace corvantis {

CProfileData::CProfileData()
    : m_ChangeStamp(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count())
{
}

void CProfileData::InitNewProfileOptions()
{
    m_ExclusionText.clear();
    m_ExclusionList.clear();
    m_ExcludeLocalhost = true;
    m_ExcludeSimpleHostnames = true;
    m_ExcludeSelfHostname = true;
    m_ExcludeLocalDomain = true;
    m_EncryptionMode = kEncryptionBasic;
}

void CProfileData::AddDefaultRule()
{
    m_Rules.emplace_back("Default");
}

void CProfileData::AddLocalhostRule()
{
    CRule rule("Localhost");
    std::string text = "localhost; 127.0.0.1; ::1; %ComputerName%";
    std::string message;
    if (ParseHostList(rule, text, message))
        m_Rules.insert(m_Rules.begin(), std::move(rule));
}

int32_t CProfileData::GetHighestId() const
{
    int32_t highest = 1;
    for (const CProxy& proxy : m_Proxies)
        highest = std::max(highest, proxy.m_Id);
    for (const CChain& chain : m_Chains)
        highest = std::max(highest, chain.m_Id);
    return highest;
}

std::optional<CProxy> CProfileData::FindProxy(int64_t id) const
{
    const int index = id > 0 ? GetProxyIndexById(m_Proxies, id) : -1;
    if (index < 0)
        return std::nullopt;
    return m_Proxies[index];
}

std::optional<CChain> CProfileData::FindChain(int64_t id) const
{
    const int index = id > 0 ? GetChainIndexById(m_Chains, id) : -1;
    if (index < 0)
        return std::nullopt;
    return m_Chains[index];
}

int GetProxyIndexById(const std::vector<CProxy>& proxies, int64_t id)
{
    for (size_t i = 0; i < proxies.size(); ++i) {
        if (proxies[i].m_Id == id)
            return static_cast<int>(i);
    }
    return -1;
}

int GetChainIndexById(const std::vector<CChain>& chains, int64_t id)
{
    for (size_t i = 0; i < chains.size(); ++i) {
        if (chains[i].m_Id == id)
            return static_cast<int>(i);
    }
    return -1;
}

bool ChainHasProxy(const CChain& chain, int32_t proxyId)
{
    for (const CChainEntry& entry : chain.m_Entries) {
        if (entry.m_ProxyId == proxyId)
            return true;
    }
    return false;
}

bool AnyChainHasProxy(const std::vector<CChain>& chains, int32_t proxyId)
{
    for (const CChain& chain : chains) {
        if (ChainHasProxy(chain, proxyId))
            return true;
    }
    return false;
}

bool ProxiesEqual(const CProxy& a, const CProxy& b, bool compareNames, bool compareTypes, bool comparePorts)
{
    if (compareNames && a.m_NameLow != b.m_NameLow)
        return false;
    if (compareTypes && a.m_Type != b.m_Type)
        return false;
    if (comparePorts && a.m_Port != b.m_Port)
        return false;
    return true;
}

namespace {

const CProxy* ProxyAt(const CProfileData& profile, int index)
{
    if (index < 0 || index >= static_cast<int>(profile.m_Proxies.size()))
        return nullptr;
    return &profile.m_Proxies[index];
}

} // namespace

std::string GetProxyNameByIndex(const CProfileData& profile, int index)
{
    const CProxy* proxy = ProxyAt(profile, index);
    return proxy ? proxy->GetHostName() : std::string();
}

std::string GetProxyPortTextByIndex(const CProfileData& profile, int index)
{
    const CProxy* proxy = ProxyAt(profile, index);
    return proxy ? std::to_string(proxy->m_Port) : std::string();
}

const char* GetProxyTypeNameByIndex(const CProfileData& profile, int index)
{
    const CProxy* proxy = ProxyAt(profile, index);
    return proxy ? GetProxyTypeName(proxy->m_Type) : nullptr;
}

int GetProxyCount(const CProfileData& profile)
{
    return static_cast<int>(profile.m_Proxies.size());
}

} // namespace corvantis
