#include "core/profile/ProfileFile.h"
#include "core/profile/ProfileFileWords.h"

#include "core/foundation/DataCrypt.h"
#include "core/foundation/MessageBox.h"
#include "core/foundation/StringUtils.h"
#include "core/foundation/XmlException.h"
#include "core/foundation/XmlReader.h"
#include "core/foundation/XmlWriter.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileData.h"

#include <atomic>
#include <climits>
#include <iterator>
#include <optional>
#include <utility>

namespace corvantis {

using namespace profile_file;

namespace {

// Ends a read with code 1 and the message; caught at the edge of ReadProfileXml.
struct ReadFailure {
    std::string message;
};

[[noreturn]] void Refuse(std::string message)
{
    throw ReadFailure { std::move(message) };
}

// Calls `visit(name)` with the reader on each child of the current node in turn, and leaves the reader on that
// node again. `visit` must leave the reader where it found it.
template <typename Visit> void ForEachChild(CXmlReader& reader, Visit&& visit)
{
    std::string name;
    if (!reader.FirstChild(name))
        return;
    do {
        visit(name);
    } while (reader.NextSibling(name));
}

// A number that the document must hold exactly: a malformed or out-of-range text ends the read as a format
// error rather than being wrapped into some other value.
int64_t RequireNumber(std::optional<int64_t> value)
{
    if (!value)
        throw CXmlException("Incorrect number format.");
    return *value;
}

int32_t ReadIdText(const CXmlReader& reader)
{
    return static_cast<int32_t>(RequireNumber(reader.GetTextInt64(kMinId, kMaxId)));
}

// An absent id reads as 0 (which no rule or chain may refer to); a present one must be a number in range.
int32_t ReadIdAttribute(const CXmlReader& reader)
{
    if (reader.GetAttribute("id").empty())
        return 0;
    return static_cast<int32_t>(RequireNumber(reader.GetAttributeInt64("id", kMinId, kMaxId)));
}

template <size_t N> std::optional<int> LookUpWord(const std::string& word, const char* const (&words)[N])
{
    for (size_t i = 0; i < N; ++i) {
        if (word == words[i])
            return static_cast<int>(i);
    }
    return std::nullopt;
}

class ProfileXmlReader {
public:
    ProfileXmlReader(CProfileData& profile, CXmlReader& reader)
        : m_profile(profile)
        , m_reader(reader)
    {
    }

    // Steps up to the consistency check; returns the warnings.
    std::string Read()
    {
        // A document the parser had to repair is most often a file cut short, and a repaired one holds whatever
        // came before the cut: loading it would quietly drop the proxies and rules that followed.
        if (const std::optional<XmlError>& repaired = m_reader.GetRepairedError())
            throw CXmlException("The document is not well-formed XML.", *repaired);
        if (!m_reader.FindElement("CorvantisProfile"))
            Refuse("Cannot load Corvantis profile - wrong file format.\n");
        m_version = m_reader.GetAttributeInt("version");
        if (m_version < kOldestVersion || m_version > kNewestVersion) {
            std::string text;
            Refuse(StrFormat(text,
                "Cannot load Corvantis profile.\nIncorrect file format version - %d (should be %d).\nPlease make "
                "sure that you are using the latest version of Corvantis.",
                m_version, kNewestVersion));
        }
        std::string warnings = VersionWarnings();

        ForEachChild(m_reader, [this](const std::string& name) {
            if (name == "Options")
                ReadOptions();
            else if (name == "ProxyList")
                ReadProxies();
            else if (name == "ChainList")
                ReadChains();
            else if (name == "RuleList")
                ReadRules();
        });

        std::string problem;
        if (!CheckProfileConsistency(m_profile, problem))
            Refuse("Cannot load Corvantis profile.\nError found:\n" + problem);
        EndWithDefaultRule();
        return warnings;
    }

private:
    std::string VersionWarnings() const
    {
        int product = 0;
        int minVersion = 300;
        if (m_version >= 101) {
            product = m_reader.GetAttributeInt("product_id");
            minVersion = m_reader.GetAttributeInt("product_minver");
        }
        // The extension reads what the application wrote; the user has been warned there already.
        if (theApp && theApp->GetExtensionMode())
            return {};
        if (product == kOwnProductId && minVersion >= kNewerProductVersion)
            return "Warning: You are loading profile made with a newer version of Corvantis.\nSome version specific "
                   "settings will not be loaded.\n";
        if (product != kOwnProductId)
            return "Warning: You are loading profile made with another edition of Corvantis.\nSome version specific "
                   "settings will not be loaded.\n";
        return {};
    }

    void ReadOptions()
    {
        ForEachChild(m_reader, [this](const std::string& name) {
            if (name == "Resolve")
                ReadResolve();
            else if (name == "Encryption")
                ReadEncryption();
            else if (name == "HttpProxiesSupport")
                m_profile.m_HttpProxiesSupport = m_reader.GetAttributeBool("enabled");
            else if (name == "HandleDirectConnections")
                m_profile.m_HandleDirectConnections = m_reader.GetAttributeBool("enabled");
            else if (name == "ConnectionLoopDetection")
                m_profile.m_ConnectionLoopDetection = m_reader.GetAttributeBool("enabled");
            else if (name == "ProcessServices")
                m_profile.m_ProcessServices = m_reader.GetAttributeBool("enabled");
            else if (name == "ProcessOtherUsers")
                m_profile.m_ProcessOtherUsers = m_reader.GetAttributeBool("enabled");
            else if (name == "BlockUDP443")
                m_profile.m_BlockUDP443 = m_reader.GetAttributeBool("enabled");
        });
    }

    void ReadResolve()
    {
        ForEachChild(m_reader, [this](const std::string& name) {
            if (name == "AutoModeDetection") {
                m_profile.m_AutoModeDetection = m_reader.GetAttributeBool("enabled");
            } else if (name == "ViaProxy") {
                m_profile.m_ViaProxy = m_reader.GetAttributeBool("enabled");
                bool seen = false;
                ForEachChild(m_reader, [this, &seen](const std::string& child) {
                    if (!seen && child == "TryLocalDnsFirst") {
                        m_profile.m_TryLocalDnsFirst = m_reader.GetAttributeBool("enabled");
                        seen = true;
                    }
                });
            } else if (name == "ExclusionList") {
                ReadExclusionList();
            }
        });
    }

    void ReadExclusionList()
    {
        if (m_version >= 102)
            m_profile.m_OnlyFromListMode = m_reader.GetAttributeBool("OnlyFromListMode");
        m_profile.m_ExcludeSimpleHostnames = m_reader.GetAttributeBool("ExcludeSimpleHostnames");
        // Both spellings of these two names occur in stored files.
        m_profile.m_ExcludeLocalhost
            = m_reader.GetAttributeBool("ExcludeLocalhost") || m_reader.GetAttributeBool("ExcludeLocalHost");
        m_profile.m_ExcludeSelfHostname
            = m_reader.GetAttributeBool("ExcludeSelfHostname") || m_reader.GetAttributeBool("ExcludeSelfHostName");
        m_profile.m_ExcludeLocalDomain = m_reader.GetAttributeBool("ExcludeLocalDomain");
        std::string problem;
        if (!NormalizeLocalHostList(m_profile, m_reader.GetText(), problem))
            Refuse("Cannot load DNS exlcusion list.\nError: " + problem);
    }

    void ReadEncryption()
    {
        if (std::optional<int> mode = LookUpWord(m_reader.GetAttribute("mode"), kEncryptionWords))
            m_profile.m_EncryptionMode = *mode;
        ForEachChild(m_reader, [this](const std::string& name) {
            if (name == "Hash")
                m_profile.m_Hash = m_reader.GetText();
        });
    }

    void ReadProxies()
    {
        ForEachChild(m_reader, [this](const std::string& name) {
            if (name == "Proxy")
                ReadProxy();
        });
    }

    void ReadProxy()
    {
        const int32_t id = ReadIdAttribute(m_reader);
        const std::optional<int> type = LookUpWord(m_reader.GetAttribute("type"), kProxyTypeWords);
        if (!type)
            Refuse("Cannot load Corvantis profile.\nIncorrect proxy server type.");
        std::string address;
        int64_t port = 0;
        int64_t options = 0;
        bool authEnabled = false;
        std::string userName;
        std::string password;
        ForEachChild(m_reader, [&](const std::string& name) {
            if (name == "Address") {
                address = m_reader.GetText();
            } else if (name == "Port") {
                port = RequireNumber(m_reader.GetTextInt64());
            } else if (name == "Options") {
                // Stored as the unsigned value of the bits.
                options = RequireNumber(m_reader.GetTextInt64(INT32_MIN, UINT32_MAX));
            } else if (name == "Authentication") {
                authEnabled = m_reader.GetAttributeBool("enabled");
                ForEachChild(m_reader, [&](const std::string& child) {
                    if (child == "Username")
                        userName = m_reader.GetText();
                    else if (child == "Password")
                        password = m_reader.GetText();
                });
            }
        });
        if (address.empty())
            Refuse("Cannot load Corvantis profile.\nIncorrect proxy server address.");
        if (port < 1 || port > 65535)
            Refuse("Cannot load Corvantis profile.\nIncorrect port number.");
        CProxy proxy(address, static_cast<uint16_t>(port), *type, id);
        proxy.m_Options = static_cast<uint32_t>(options) & ~kOptionNtlmNoCredentials;
        proxy.m_AuthEnabled = authEnabled;
        proxy.m_UserName = std::move(userName);
        proxy.m_Password = std::move(password);
        m_profile.m_Proxies.push_back(std::move(proxy));
    }

    void ReadChains()
    {
        ForEachChild(m_reader, [this](const std::string& name) {
            if (name == "Chain")
                ReadChain();
        });
    }

    void ReadChain()
    {
        CChain chain;
        chain.m_Id = ReadIdAttribute(m_reader);
        ForEachChild(m_reader, [&](const std::string& name) {
            if (name == "Name")
                chain.m_Name = m_reader.GetText();
            else if (name == "Proxy")
                chain.m_Entries.push_back({ ReadIdText(m_reader), m_reader.GetAttributeBool("enabled") });
        });
        if (chain.m_Name.empty())
            Refuse("Cannot load Corvantis profile.\nChain name missing.");
        m_profile.m_Chains.push_back(std::move(chain));
    }

    void ReadRules()
    {
        ForEachChild(m_reader, [this](const std::string& name) {
            if (name == "Rule")
                ReadRule();
        });
    }

    void ReadRule()
    {
        const bool enabled = m_reader.GetAttributeBool("enabled");
        std::string name;
        std::string apps;
        std::string targets;
        std::string ports;
        // A rule that names no action connects directly, as a new rule does.
        int action = kActionDirect;
        int64_t id = 0;
        ForEachChild(m_reader, [&](const std::string& child) {
            if (child == "Name") {
                name = m_reader.GetText();
            } else if (child == "Applications") {
                apps = m_reader.GetText();
            } else if (child == "Targets") {
                targets = m_reader.GetText();
            } else if (child == "Ports") {
                ports = m_reader.GetText();
            } else if (child == "Action") {
                const std::optional<int> type = LookUpWord(m_reader.GetAttribute("type"), kRuleActionWords);
                if (!type)
                    Refuse("Cannot load Corvantis profile.\nIncorrect rule action type.");
                action = *type;
                id = (action == kActionProxy || action == kActionChain) ? ReadIdText(m_reader) : 0;
            }
        });
        if (name.empty())
            Refuse("Cannot load Corvantis profile.\nRule name missing.");

        CRule rule(name);
        std::string problem;
        if (!ParseAppList(rule, apps, problem))
            Refuse("Cannot load Corvantis profile. Error in application list:\n" + problem);
        if (!ParseHostList(rule, targets, problem))
            Refuse("Cannot load Corvantis profile. Error in target list:\n" + problem);
        if (!ParsePortList(rule, ports, problem))
            Refuse("Cannot load Corvantis profile. Error in port list:\n" + problem);
        rule.m_Enabled = enabled;
        rule.m_Action = action;
        rule.m_ProxyId = id;
        m_profile.m_Rules.push_back(std::move(rule));
    }

    // The catch-all rule is always last. A last rule named "Default" is that rule: only its action is kept.
    void EndWithDefaultRule()
    {
        std::vector<CRule>& rules = m_profile.m_Rules;
        if (!rules.empty() && rules.back().m_Name == "Default") {
            CRule fresh("Default");
            fresh.m_Action = rules.back().m_Action;
            fresh.m_ProxyId = rules.back().m_ProxyId;
            rules.back() = std::move(fresh);
        } else {
            m_profile.AddDefaultRule();
        }
    }

    CProfileData& m_profile;
    CXmlReader& m_reader;
    int m_version = 0;
};

} // namespace

ProfileLoadStatus ReadProfileXml(CProfileData& profile, CXmlReader& reader)
{
    ProfileLoadStatus status;
    try {
        status.message = ProfileXmlReader(profile, reader).Read();
    } catch (const ReadFailure& failure) {
        return { ProfileLoadStatus::kError, failure.message };
    } catch (const CXmlException& e) {
        return { ProfileLoadStatus::kError,
            "Cannot load Corvantis profile. Unexpected file format.\n" + e.GetMessage() };
    }
    // These two are always on in this build, whatever the document says.
    profile.m_ProcessServices = true;
    profile.m_ProcessOtherUsers = true;
    return status;
}

} // namespace corvantis
