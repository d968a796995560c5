// The option side of the editor model: name resolution, the DNS exclusion list, password encryption and the
// advanced switches.

#include "app/ui/NSProfile.h"

#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileData.h"

namespace corvantis {

namespace {

constexpr const char* kDnsListCaption = "DNS Exclusion List";
constexpr int kDnsListFlags = 129;

constexpr NSProfile::Switch kAllSwitches[] = {
    NSProfile::Switch::DnsAutomatic,
    NSProfile::Switch::DnsResolveThroughProxy,
    NSProfile::Switch::DnsTryLocalFirst,
    NSProfile::Switch::DnsOnlyFromListMode,
    NSProfile::Switch::DnsExclusionLocalhost,
    NSProfile::Switch::DnsExclusionSimple,
    NSProfile::Switch::DnsExclusionSelf,
    NSProfile::Switch::DnsExclusionLocalDomain,
    NSProfile::Switch::HandleDirectConnections,
    NSProfile::Switch::AllowHttpProxy,
    NSProfile::Switch::SystemConnections,
    NSProfile::Switch::OtherUserConnections,
    NSProfile::Switch::InfiniteLoopDetection,
    NSProfile::Switch::BlockUdp443,
};

constexpr const char* kEncryptionModeNames[] = { "encModeDisabled", "encModeBasic", "encModeProfile", "encModeMaster" };

bool& field(CProfileData& profile, NSProfile::Switch which)
{
    using S = NSProfile::Switch;
    switch (which) {
    case S::DnsAutomatic:
        return profile.m_AutoModeDetection;
    case S::DnsResolveThroughProxy:
        return profile.m_ViaProxy;
    case S::DnsTryLocalFirst:
        return profile.m_TryLocalDnsFirst;
    case S::DnsOnlyFromListMode:
        return profile.m_OnlyFromListMode;
    case S::DnsExclusionLocalhost:
        return profile.m_ExcludeLocalhost;
    case S::DnsExclusionSimple:
        return profile.m_ExcludeSimpleHostnames;
    case S::DnsExclusionSelf:
        return profile.m_ExcludeSelfHostname;
    case S::DnsExclusionLocalDomain:
        return profile.m_ExcludeLocalDomain;
    case S::HandleDirectConnections:
        return profile.m_HandleDirectConnections;
    case S::AllowHttpProxy:
        return profile.m_HttpProxiesSupport;
    case S::SystemConnections:
        return profile.m_ProcessServices;
    case S::OtherUserConnections:
        return profile.m_ProcessOtherUsers;
    case S::InfiniteLoopDetection:
        return profile.m_ConnectionLoopDetection;
    case S::BlockUdp443:
        return profile.m_BlockUDP443;
    }
    return profile.m_BlockUDP443; // not reached: every switch is listed
}

} // namespace

const char* NSProfile::switchName(Switch which)
{
    switch (which) {
    case Switch::DnsAutomatic:
        return "dnsAutomatic";
    case Switch::DnsResolveThroughProxy:
        return "dnsResolveThroughProxy";
    case Switch::DnsTryLocalFirst:
        return "dnsTryLocalFirst";
    case Switch::DnsOnlyFromListMode:
        return "dnsOnlyFromListMode";
    case Switch::DnsExclusionLocalhost:
        return "dnsExclusionLocalhost";
    case Switch::DnsExclusionSimple:
        return "dnsExclusionSimple";
    case Switch::DnsExclusionSelf:
        return "dnsExclusionSelf";
    case Switch::DnsExclusionLocalDomain:
        return "dnsExclusionLocalDomain";
    case Switch::HandleDirectConnections:
        return "handleDirectConnections";
    case Switch::AllowHttpProxy:
        return "allowHttpProxy";
    case Switch::SystemConnections:
        return "systemConnections";
    case Switch::OtherUserConnections:
        return "otherUserConnections";
    case Switch::InfiniteLoopDetection:
        return "infiniteLoopDetection";
    case Switch::BlockUdp443:
        return "blockUdp443";
    }
    return "";
}

bool NSProfile::switchValue(Switch which) const
{
    CProfileData profile = copyProfile();
    return field(profile, which);
}

void NSProfile::setSwitch(Switch which, std::optional<bool> value)
{
    if (value) {
        CProfileData profile = copyProfile();
        bool& stored = field(profile, which);
        if (which != Switch::AllowHttpProxy || stored != *value) {
            stored = *value;
            writeBack(profile);
        }
    }
    m_properties.announce(switchName(which));
    if (value && which == Switch::BlockUdp443)
        MessageBox(std::string(), "Please restart Corvantis for the change to take effect.", 0);
}

void NSProfile::setDnsExclusionList(std::optional<std::string> value)
{
    m_dnsExclusionList = std::move(value);
    m_properties.announce("dnsExclusionList");
}

void NSProfile::setDnsOnlyFromListModeDV(std::optional<bool> value)
{
    m_dnsOnlyFromListModeDV = value;
    m_properties.announce("dnsOnlyFromListModeDV");
}

int64_t NSProfile::excludeHostnamesCount() const
{
    return static_cast<int64_t>(copyProfile().m_ExclusionList.size());
}

void NSProfile::initDns()
{
    const CProfileData profile = copyProfile();
    setDnsExclusionList(profile.m_ExclusionText);
    setDnsOnlyFromListModeDV(profile.m_OnlyFromListMode);
}

bool NSProfile::validateDnsAndSave()
{
    const std::string text = m_dnsExclusionList.value_or("");
    if (HasRefusedCharacter(text, ListField::DnsExclusion)) {
        MessageBox("Target host list contains incorrect character(s).\n", kDnsListCaption, kDnsListFlags);
        return false;
    }
    CProfileData profile = copyProfile();
    std::string message;
    if (!NormalizeLocalHostList(profile, text, message)) {
        MessageBox("Error in DNS Exclusion List:\n" + message, kDnsListCaption, kDnsListFlags);
        return false;
    }
    profile.m_OnlyFromListMode = m_dnsOnlyFromListModeDV.value_or(false);
    writeBack(profile);
    m_properties.announce("dnsOnlyFromListMode");
    return true;
}

void NSProfile::updateProfile()
{
    for (Switch which : kAllSwitches)
        m_properties.announce(switchName(which));
    for (const char* name : kEncryptionModeNames)
        m_properties.announce(name);
    setRuleTargetNamesList();
    updateProxyList(copyProfile());
    m_properties.announce("excludeHostnamesCount");
}

// ---- Password encryption ----

void NSProfile::announceEncryptionModes()
{
    for (const char* name : kEncryptionModeNames)
        m_properties.announce(name);
}

void NSProfile::flipMasterPasswSwitchHide()
{
    setMasterPasswSwitchHide(m_masterPasswSwitchHide ? !*m_masterPasswSwitchHide : true);
}

bool NSProfile::encModeDisabled()
{
    m_properties.announce("encModeMaster");
    return copyProfile().m_EncryptionMode == kEncryptionDisabled;
}

bool NSProfile::encModeBasic()
{
    m_properties.announce("encModeMaster");
    return copyProfile().m_EncryptionMode == kEncryptionBasic;
}

bool NSProfile::encModeProfile()
{
    m_properties.announce("encModeMaster");
    return copyProfile().m_EncryptionMode == kEncryptionAccount;
}

bool NSProfile::encModeMaster() const
{
    return copyProfile().m_EncryptionMode == kEncryptionMaster;
}

void NSProfile::setEncModeDisabled(std::optional<bool> value)
{
    chooseSimpleMode(value, kEncryptionDisabled, "encModeDisabled");
}

void NSProfile::setEncModeBasic(std::optional<bool> value)
{
    chooseSimpleMode(value, kEncryptionBasic, "encModeBasic");
}

void NSProfile::chooseSimpleMode(std::optional<bool> value, int mode, const char* property)
{
    if (!value) {
        m_properties.announce(property);
        return;
    }
    // The key text stays: switching back to the master mode asks for a new one anyway.
    if (*value) {
        CProfileData profile = copyProfile();
        profile.m_EncryptionMode = mode;
        writeBack(profile);
    }
    announceEncryptionModes();
}

void NSProfile::setEncModeProfile(std::optional<bool> value)
{
    if (!value) {
        m_properties.announce("encModeProfile");
        return;
    }
    if (*value) {
        const std::string guid = userGuid();
        if (!guid.empty()) {
            CProfileData profile = copyProfile();
            profile.m_EncryptionMode = kEncryptionAccount;
            profile.m_MasterPassword = guid;
            writeBack(profile);
        }
    }
    flipMasterPasswSwitchHide();
    announceEncryptionModes();
}

void NSProfile::setEncModeMaster(std::optional<bool> value)
{
    if (!value) {
        m_properties.announce("encModeMaster");
        return;
    }
    if (*value) {
        const std::optional<std::string> password
            = m_seams.getPassword ? m_seams.getPassword(std::string(), true) : std::nullopt;
        if (password) {
            CProfileData profile = copyProfile();
            profile.m_EncryptionMode = kEncryptionMaster;
            profile.m_MasterPassword = *password;
            writeBack(profile);
        }
    }
    flipMasterPasswSwitchHide();
    announceEncryptionModes();
}

void NSProfile::changeMasterPassword()
{
    const CProfileData current = copyProfile();
    if (current.m_EncryptionMode != kEncryptionMaster)
        return;
    const std::optional<std::string> password
        = m_seams.getPassword ? m_seams.getPassword(current.m_MasterPassword, true) : std::nullopt;
    if (!password)
        return;
    CProfileData profile = copyProfile();
    profile.m_EncryptionMode = kEncryptionMaster;
    profile.m_MasterPassword = *password;
    writeBack(profile);
}

void NSProfile::setMasterPasswSwitchHide(std::optional<bool> value)
{
    m_masterPasswSwitchHide = value;
    m_properties.announce("masterPasswSwitchHide");
}

void NSProfile::setHideMasterPassSwitch(std::optional<bool> value)
{
    m_hideMasterPassSwitch = value;
    m_properties.announce("hideMasterPassSwitch");
}

} // namespace corvantis
