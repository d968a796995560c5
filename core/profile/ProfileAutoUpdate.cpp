#include "core/profile/CorvantisApp.h"

#include "core/foundation/LogMessage.h"
#include "core/foundation/MessageBox.h"
#include "core/foundation/StringUtils.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileStorage.h"

#include <string>

namespace corvantis {

namespace {

const char* const kUpdatePrefix = "(Profile Auto Update) - ";

bool IsUnreservedUrlByte(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
        || c == '_' || c == '~';
}

// A profile name as one path segment of a URL: names may hold blanks, "#", "?" or "%", which would otherwise
// fetch another resource.
std::string EncodeUrlSegment(const std::string& text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (IsUnreservedUrlByte(c)) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0xF];
        }
    }
    return encoded;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The inverse, for the profile name that a file URL names: "My%20Office.ppx" is the profile "My Office". A "%"
// that starts no escape stays as it is.
std::string DecodeUrlSegment(const std::string& text)
{
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

// Keeps the user's own login details for the proxies the new profile has too (same host text and type).
void KeepCredentials(const CProfileData& current, CProfileData& fresh)
{
    for (const CProxy& old : current.m_Proxies) {
        for (CProxy& proxy : fresh.m_Proxies) {
            if (!proxy.m_AuthEnabled || proxy.ToString(false) != old.ToString(false) || proxy.m_Type != old.m_Type)
                continue;
            if (proxy.m_UserName == old.m_UserName && proxy.m_Password == old.m_Password)
                continue;
            proxy.m_UserName = old.m_UserName;
            proxy.m_Password = old.m_Password;
            CLogMessage(kLogVerbose) << kUpdatePrefix << "Saving login details for proxy " << proxy.ToString(false);
        }
    }
}

// A profile the user protected with the account key or a master password stays protected after an update that
// comes with weaker encryption.
void KeepEncryption(const CProfileData& current, CProfileData& fresh, bool keepCredentials)
{
    const bool currentProtected
        = current.m_EncryptionMode == kEncryptionAccount || current.m_EncryptionMode == kEncryptionMaster;
    if (fresh.m_EncryptionMode < kEncryptionAccount && currentProtected) {
        fresh.m_EncryptionMode = current.m_EncryptionMode;
        fresh.m_MasterPassword = current.m_MasterPassword;
        fresh.m_Hash = current.m_Hash;
    }
    if (fresh.m_EncryptionMode == kEncryptionAccount)
        fresh.m_MasterPassword = GetCurrentUserGUID();
    else if (fresh.m_EncryptionMode == kEncryptionMaster && keepCredentials
        && current.m_EncryptionMode == kEncryptionMaster)
        fresh.m_MasterPassword = current.m_MasterPassword;
}

} // namespace

bool CCorvantisApp::StartProfileAutoUpdate()
{
    const CAppSettings settings = GetSettings();
    const std::string url = settings.ProfileAutoUpdateUrl;
    const bool urlIsFolder = settings.ProfileAutoUpdateUrlIsFolder;
    const bool keepCredentials = settings.KeepCredOnProfileUpdate;
    return StartBackgroundThread("ProfileUpdate",
        [this, url, urlIsFolder, keepCredentials] { ProfileAutoUpdate(url, urlIsFolder, keepCredentials); });
}

bool CCorvantisApp::ProfileAutoUpdate(const std::string& url, bool urlIsFolder, bool keepCredentials)
{
    CLogMessage(kLogInfo) << kUpdatePrefix << "Update started.";

    const std::string name = GetSettings().ActiveProfile;
    std::string address = url;
    if (urlIsFolder) {
        address += EncodeUrlSegment(name) + "." + kProfileFileExtension;
    } else if (StrCompareNoCase(DecodeUrlSegment(GetNameFromPath(url)), name.c_str()) != 0) {
        // Profile names do not distinguish letter case, here as everywhere else.
        CLogMessage(kLogNone) << kUpdatePrefix << "Current profile name does not match the update. Update skipped.";
        return false;
    }

    CProfileData fresh;
    if (!LoadProfileFromUrl(fresh, address, name, 0, false)) {
        CLogMessage(kLogInfo) << kUpdatePrefix << "Current profile was not found on the web server. Update skipped.";
        return false;
    }
    CLogMessage(kLogVerbose) << kUpdatePrefix << "New profile has been downloaded.";

    // The update is saved under the active name: had the user picked another profile meanwhile, that
    // profile's file would be overwritten with this one.
    if (StrCompareNoCase(GetSettings().ActiveProfile, name.c_str()) != 0) {
        CLogMessage(kLogNone) << kUpdatePrefix << "Active profile changed during the update. Update skipped.";
        return false;
    }

    CProfileData current;
    GetProfile(current, false);
    if (keepCredentials)
        KeepCredentials(current, fresh);
    KeepEncryption(current, fresh, keepCredentials);

    SetProfile(std::move(fresh), true);
    CLogMessage(kLogNone) << kUpdatePrefix << "Profile " << name
                          << " has been successfully updated from the remote server.";
    return true;
}

void CCorvantisApp::CreateLoopPreventionRule(const std::string& application, bool quietReport, bool blockRule)
{
    const std::string name = application.find(' ') != std::string::npos ? "\"" + application + "\"" : application;

    CProfileData updated;
    GetProfile(updated, false);
    CRule rule(name + " [auto-created]");
    rule.m_Action = blockRule ? kActionBlock : kActionDirect;
    std::string error;
    bool parsed = ParseAppList(rule, name, error);
    // The rule must take exactly this application: an empty list would take every application, and a ";" in
    // the name would split it into several.
    if (parsed && rule.m_Apps.size() != 1) {
        parsed = false;
        error = "The application name \"" + application + "\" cannot be used in a rule.";
    }
    if (!parsed) {
        CLogMessage(kLogError) << name << " - Infinite loop prevention rule cannot be created. Error: " << error;
        if (!quietReport)
            MessageBox("Error: " + error, "Cannot create a rule", kMbCritical);
        else
            ShowNotice("Corvantis", "Cannot create a rule.\nError: " + error);
        return;
    }

    if (!updated.m_Rules.empty() && updated.m_Rules.front().m_Name == rule.m_Name)
        updated.m_Rules.erase(updated.m_Rules.begin());
    updated.m_Rules.insert(updated.m_Rules.begin(), rule);
    SetProfile(std::move(updated), true);
    CLogMessage(kLogError) << name << " - Infinite loop prevention rule created";
}

} // namespace corvantis
