#pragma once

#include "core/profile/Chain.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

// Password encryption of a profile file; the values are stored in profile files.
enum EncryptionMode : int {
    kEncryptionDisabled = 0,
    kEncryptionBasic = 1,
    kEncryptionAccount = 2,
    kEncryptionMaster = 3,
};

// One profile in memory: proxies, chains, the ordered rules, the name-resolution options and the advanced
// options. A plain value: the core object keeps the active one and hands out copies; the editor, the
// profile files and the connection engine each work on their own copy.
class CProfileData {
public:
    // Empty lists, the options at their defaults, the change stamp taken from the wall clock.
    CProfileData();

    // For a new profile: an empty exclusion list, the four exclusion presets on, encryption "basic".
    void InitNewProfileOptions();
    // Appends the catch-all rule "Default" (action Direct, empty lists).
    void AddDefaultRule();
    // Puts the rule "Localhost" (action Direct; localhost, 127.0.0.1, ::1 and this machine's own names and
    // addresses) in front of all rules.
    void AddLocalhostRule();
    // The largest proxy or chain id, at least 1.
    int32_t GetHighestId() const;

    // Copies of the proxy or chain with that id; nothing when there is none, including for ids of 0 and
    // below, which never name a stored proxy or chain. Ids come from files and other processes, so a
    // missing one is that caller's failure, never a reason to stop.
    std::optional<CProxy> FindProxy(int64_t id) const;
    std::optional<CChain> FindChain(int64_t id) const;

    std::vector<CProxy> m_Proxies;
    std::vector<CChain> m_Chains;
    std::vector<CRule> m_Rules; // in the order in which they are matched

    // Name resolution. The names are those the profile file stores them under.
    bool m_AutoModeDetection = true; // detect whether local name resolution works
    bool m_ViaProxy = true; // resolve host names through the proxy
    bool m_TryLocalDnsFirst = false;
    bool m_OnlyFromListMode = false; // the exclusion list alone decides; the presets are not applied
    bool m_ExcludeLocalhost = true; // presets resolved locally: "localhost",
    bool m_ExcludeSimpleHostnames = true; // names without a dot,
    bool m_ExcludeSelfHostname = true; // this machine's own names,
    bool m_ExcludeLocalDomain = true; // and "*.local"
    std::string m_ExclusionText; // the user's further entries as typed
    std::vector<std::string> m_ExclusionList; // the same, parsed, lower case

    // Advanced options.
    bool m_HttpProxiesSupport = false;
    bool m_HandleDirectConnections = false;
    bool m_ProcessServices = true;
    bool m_ProcessOtherUsers = true;
    bool m_ConnectionLoopDetection = true;
    bool m_BlockUDP443 = false;

    int m_EncryptionMode = kEncryptionDisabled;
    std::string m_MasterPassword; // data of the password encryption, kept by the profile files
    std::string m_Hash;

    // Not saved in the profile file. The DNS-changed mark, which the core object clears when it installs a
    // profile (the user's TryLocalDnsFirst is a different thing and is never cleared by it); and the change
    // stamp (wall-clock milliseconds when the profile object was built), which tells the core object whether
    // an installed profile is a new one.
    bool m_DnsChanged = false;
    int64_t m_ChangeStamp = 0;
};

// Positions in the list, or -1 when no entry has that id.
int GetProxyIndexById(const std::vector<CProxy>& proxies, int64_t id);
int GetChainIndexById(const std::vector<CChain>& chains, int64_t id);
// Whether an entry (enabled or not) names that proxy.
bool ChainHasProxy(const CChain& chain, int32_t proxyId);
bool AnyChainHasProxy(const std::vector<CChain>& chains, int32_t proxyId);
// Each flag adds a condition; names compare by their lower-case copies.
bool ProxiesEqual(const CProxy& a, const CProxy& b, bool compareNames, bool compareTypes, bool comparePorts);

// The editor's proxy list, by position: host name and port text (empty past the end), type name (nullptr
// past the end), and the number of proxies.
std::string GetProxyNameByIndex(const CProfileData& profile, int index);
std::string GetProxyPortTextByIndex(const CProfileData& profile, int index);
const char* GetProxyTypeNameByIndex(const CProfileData& profile, int index);
int GetProxyCount(const CProfileData& profile);

} // namespace corvantis
