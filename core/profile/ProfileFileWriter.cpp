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

bool ProfileToXmlString(const CProfileData& profile, std::string& text, std::string* error)
{
    CXmlWriter writer;
    if (!WriteProfileXml(profile, writer, kProfileSilent, error))
        return false;
    text = writer.GetXmlText();
    return true;
}

} // namespace corvantis
