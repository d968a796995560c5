#include "core/profile/ProfileFile.h"

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

namespace {

// A proxy with this option bit authenticates without stored credentials: the document keeps none for it.
constexpr uint32_t kOptionNtlmNoCredentials = 0x8;

constexpr int kOldestVersion = 100;
constexpr int kNewestVersion = 104;
constexpr int kOwnProductId = 2;
// Documents of this product from a version at or above this one may hold settings this build does not know.
constexpr int kNewerProductVersion = 301;

// Proxy and chain ids: 32-bit, and below the top value so that ids counted up from the highest stay positive.
constexpr int64_t kMinId = INT32_MIN;
constexpr int64_t kMaxId = INT32_MAX - 1;

// ---- Writing ----

bool WriteFailure(unsigned flags, std::string* error, std::string text)
{
    if (!(flags & kProfileSilent))
        MessageBoxText(text);
    if (error)
        *error = std::move(text);
    return false;
}

void AddEnabledElement(CXmlWriter& writer, const char* name, bool enabled)
{
    writer.StartElement(name);
    writer.AddAttributeBool("enabled", enabled);
    writer.EndElement();
}

void AddTextElement(CXmlWriter& writer, const char* name, const std::string& text)
{
    writer.StartElement(name);
    writer.AddText(text);
    writer.EndElement();
}

void AddNumberElement(CXmlWriter& writer, const char* name, int64_t value)
{
    writer.StartElement(name);
    writer.AddTextInt(value);
    writer.EndElement();
}

void WriteResolveOptions(const CProfileData& profile, CXmlWriter& writer)
{
    writer.StartElement("Resolve");
    AddEnabledElement(writer, "AutoModeDetection", profile.m_AutoModeDetection);
    writer.StartElement("ViaProxy");
    writer.AddAttributeBool("enabled", profile.m_ViaProxy);
    AddEnabledElement(writer, "TryLocalDnsFirst", profile.m_TryLocalDnsFirst);
    writer.EndElement();
    writer.StartElement("ExclusionList");
    if (profile.m_OnlyFromListMode)
        writer.AddAttributeBool("OnlyFromListMode", true);
    writer.AddAttributeBool("ExcludeSimpleHostnames", profile.m_ExcludeSimpleHostnames);
    writer.AddAttributeBool("ExcludeLocalhost", profile.m_ExcludeLocalhost);
    writer.AddAttributeBool("ExcludeSelfHostname", profile.m_ExcludeSelfHostname);
    writer.AddAttributeBool("ExcludeLocalDomain", profile.m_ExcludeLocalDomain);
    writer.AddText(ExclusionListToText(profile));
    writer.EndElement();
    writer.EndElement();
}

bool WriteOptions(const CProfileData& profile, CXmlWriter& writer, unsigned flags, std::string* error)
{
    writer.StartElement("Options");
    WriteResolveOptions(profile, writer);

    writer.StartElement("Encryption");
    writer.AddAttribute("mode", GetEncryptionModeName(profile.m_EncryptionMode));
    if (profile.m_EncryptionMode == kEncryptionAccount || profile.m_EncryptionMode == kEncryptionMaster) {
        uint32_t cryptMode = 0;
        GetProfileCryptMode(profile.m_EncryptionMode, cryptMode);
        std::string hash;
        std::string cryptError;
        if (!CDataCrypt(cryptMode, profile.m_MasterPassword).EncryptString("A", hash, cryptError))
            return WriteFailure(flags, error, "Cannot encrypt master password.\nError: " + cryptError);
        AddTextElement(writer, "Hash", hash);
    }
    writer.EndElement();

    AddEnabledElement(writer, "HttpProxiesSupport", profile.m_HttpProxiesSupport);
    AddEnabledElement(writer, "HandleDirectConnections", profile.m_HandleDirectConnections);
    AddEnabledElement(writer, "ConnectionLoopDetection", profile.m_ConnectionLoopDetection);
    AddEnabledElement(writer, "ProcessServices", profile.m_ProcessServices);
    AddEnabledElement(writer, "ProcessOtherUsers", profile.m_ProcessOtherUsers);
    AddEnabledElement(writer, "BlockUDP443", profile.m_BlockUDP443);
    writer.EndElement();
    return true;
}

// The stored form of a proxy password. A password that cannot be encrypted fails the whole write: storing it
// empty would lose it without notice. An empty password stays empty in every mode (there is nothing to protect,
// and the loader leaves an empty stored password alone).
bool StoredPassword(const CProfileData& profile, const CProxy& proxy, std::string& stored, std::string& cryptError)
{
    uint32_t cryptMode = 0;
    if (!GetProfileCryptMode(profile.m_EncryptionMode, cryptMode) || proxy.m_Password.empty()) {
        stored = proxy.m_Password;
        return true;
    }
    return CDataCrypt(cryptMode, profile.m_MasterPassword).EncryptString(proxy.m_Password, stored, cryptError);
}

bool WriteProxies(const CProfileData& profile, CXmlWriter& writer, unsigned flags, std::string* error)
{
    writer.StartElement("ProxyList");
    for (const CProxy& proxy : profile.m_Proxies) {
        const char* type = GetProxyTypeName(proxy.m_Type);
        if (!type)
            return WriteFailure(
                flags, error, "Cannot write profile:\nUnknown type of proxy server " + proxy.GetHostName() + ".");
        writer.StartElement("Proxy");
        writer.AddAttributeInt("id", proxy.m_Id);
        writer.AddAttribute("type", type);
        AddTextElement(writer, "Address", proxy.GetHostName());
        AddNumberElement(writer, "Port", proxy.m_Port);
        AddNumberElement(writer, "Options", proxy.m_Options);
        if (proxy.m_AuthEnabled) {
            writer.StartElement("Authentication");
            writer.AddAttributeBool("enabled", true);
            if (!(proxy.m_Options & kOptionNtlmNoCredentials)) {
                std::string stored;
                std::string cryptError;
                if (!StoredPassword(profile, proxy, stored, cryptError))
                    return WriteFailure(flags, error,
                        "Cannot encrypt password for proxy " + proxy.GetHostName() + ".\nError: " + cryptError);
                AddTextElement(writer, "Username", proxy.m_UserName);
                AddTextElement(writer, "Password", stored);
            }
            writer.EndElement();
        }
        writer.EndElement();
    }
    writer.EndElement();
    return true;
}

void WriteChains(const CProfileData& profile, CXmlWriter& writer)
{
    writer.StartElement("ChainList");
    for (const CChain& chain : profile.m_Chains) {
        writer.StartElement("Chain");
        writer.AddAttributeInt("id", chain.m_Id);
        AddTextElement(writer, "Name", chain.m_Name);
        for (const CChainEntry& entry : chain.m_Entries) {
            writer.StartElement("Proxy");
            writer.AddAttributeBool("enabled", entry.m_Enabled);
            writer.AddTextInt(entry.m_ProxyId);
            writer.EndElement();
        }
        writer.EndElement();
    }
    writer.EndElement();
}

bool WriteRules(const CProfileData& profile, CXmlWriter& writer, unsigned flags, std::string* error)
{
    writer.StartElement("RuleList");
    for (const CRule& rule : profile.m_Rules) {
        const char* action = GetRuleActionName(rule.m_Action);
        if (!action)
            return WriteFailure(flags, error, "Cannot write profile:\nUnknown action of rule \"" + rule.m_Name + "\".");
        writer.StartElement("Rule");
        writer.AddAttributeBool("enabled", rule.m_Enabled);
        AddTextElement(writer, "Name", rule.m_Name);
        if (!rule.m_AppsText.empty())
            AddTextElement(writer, "Applications", rule.m_AppsText);
        if (!rule.m_TargetsText.empty())
            AddTextElement(writer, "Targets", rule.m_TargetsText);
        if (!rule.m_PortsText.empty())
            AddTextElement(writer, "Ports", rule.m_PortsText);
        writer.StartElement("Action");
        writer.AddAttribute("type", action);
        if (rule.m_Action == kActionProxy || rule.m_Action == kActionChain)
            writer.AddTextInt(rule.m_ProxyId);
        writer.EndElement();
        writer.EndElement();
    }
    writer.EndElement();
    return true;
}

bool BuildDocument(const CProfileData& profile, CXmlWriter& writer, unsigned flags, std::string* error)
{
    if (!GetEncryptionModeName(profile.m_EncryptionMode))
        return WriteFailure(flags, error, "Cannot write profile:\nUnknown password encryption mode.");

    writer.StartDocument();
    writer.StartElement("CorvantisProfile");
    writer.AddAttributeInt("version", profile.m_OnlyFromListMode ? 102 : 101);
    writer.AddAttribute("platform", "MacOSX");
    writer.AddAttributeInt("product_id", kOwnProductId);
    writer.AddAttributeInt("product_minver", profile.m_OnlyFromListMode ? 212 : 200);
    if (!WriteOptions(profile, writer, flags, error) || !WriteProxies(profile, writer, flags, error))
        return false;
    WriteChains(profile, writer);
    if (!WriteRules(profile, writer, flags, error))
        return false;
    writer.EndElement();

    const Status written = writer.Close();
    writer.EndDocument();
    if (!written.ok())
        return WriteFailure(flags, error, "Cannot write profile:\n" + written.message());
    return true;
}

// ---- Reading ----

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

constexpr const char* kProxyTypeWords[] = { "SOCKS5", "SOCKS4", "HTTPS", "HTTP" };
constexpr const char* kEncryptionWords[] = { "disabled", "basic", "account", "master" };
constexpr const char* kRuleActionWords[] = { "Block", "Direct", "Proxy", "Chain" };

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

bool GetProfileCryptMode(int encryptionMode, uint32_t& cryptMode)
{
    switch (encryptionMode) {
    case kEncryptionBasic:
        cryptMode = CDataCrypt::kModeBasic;
        return true;
    case kEncryptionAccount:
        cryptMode = CDataCrypt::kModeAccount;
        return true;
    case kEncryptionMaster:
        cryptMode = CDataCrypt::kModeMaster;
        return true;
    default:
        return false;
    }
}

const char* GetEncryptionModeName(int encryptionMode)
{
    if (encryptionMode < 0 || encryptionMode >= static_cast<int>(std::size(kEncryptionWords)))
        return nullptr;
    return kEncryptionWords[encryptionMode];
}

bool WriteProfileXml(const CProfileData& profile, CXmlWriter& writer, unsigned flags, std::string* error)
{
    try {
        return BuildDocument(profile, writer, flags, error);
    } catch (const CXmlException& e) {
        return WriteFailure(flags, error, "Cannot write profile:\n" + e.GetMessage());
    }
}

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

bool ProfileToXmlString(const CProfileData& profile, std::string& text, std::string* error)
{
    CXmlWriter writer;
    if (!WriteProfileXml(profile, writer, kProfileSilent, error))
        return false;
    text = writer.GetXmlText();
    return true;
}

} // namespace corvantis
