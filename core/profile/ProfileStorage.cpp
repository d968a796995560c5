#include "core/profile/ProfileStorage.h"

#include "core/foundation/DataCrypt.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/MessageBox.h"
#include "core/foundation/StringUtils.h"
#include "core/foundation/SystemUtils.h"
#include "core/foundation/XmlReader.h"
#include "core/foundation/XmlWriter.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace corvantis {

namespace {

constexpr int kQuestionFlags = 0x98; // a Yes/No question
// A proxy option: it authenticates without a stored user name and password.
constexpr uint32_t kOptionNtlmNoCredentials = 0x8;

const char* const kAccountKeyMessage
    = "Cannot decrypt profile data with current user credentials. All proxy passwords will be reset.\n\nContinue?";
const char* const kResetQuestion
    = "\n\nDo you want to reset profile master password (all proxy passwords will be lost)?";

bool IsUsableName(const std::string& name)
{
    return !name.empty() && name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string OpenErrorMessage(const std::string& where, int code, const std::string& description)
{
    return "Cannot open " + where + " to load profile.\nError: " + std::to_string(code) + " " + description;
}

ProfileLoadStatus OpenError(const std::string& where, const XmlError& error)
{
    return { ProfileLoadStatus::kError, OpenErrorMessage(where, error.code, error.description) };
}

// Reads the opened document into a fresh profile.
ProfileLoadStatus ReadOpened(CProfileData& profile, CXmlReader& reader)
{
    profile = CProfileData();
    return ReadProfileXml(profile, reader);
}

bool SetActiveProfileName(const std::string& name)
{
    if (!theApp)
        return false;
    CAppSettings settings = theApp->GetSettings();
    settings.ActiveProfile = name;
    theApp->SetSettings(settings);
    return true;
}

std::string GetProfilePassword(const std::string& name, bool fromCache, const std::string& key)
{
    return theApp ? theApp->GetProfilePassword(name, fromCache, key) : std::string();
}

bool AskYes(const std::string& question)
{
    return MessageBoxFlags(question, kQuestionFlags) == kMbAnswerYes;
}

} // namespace

std::vector<std::string> ListProfileFiles(bool allFiles)
{
    const std::string folder = GetProfilesDir();
    if (folder.empty())
        return {};
    return ListFolder(folder, allFiles ? "" : kProfileFileExtension, std::string("default.") + kProfileFileExtension);
}

std::string GetProfileFilePath(const std::string& name)
{
    const std::string folder = GetProfilesDir();
    if (folder.empty() || !IsUsableName(name))
        return {};
    const std::string fileName = name + "." + kProfileFileExtension;
    const std::string exact = folder + "/" + fileName;
    std::error_code ec;
    if (std::filesystem::exists(exact, ec))
        return exact;

    // The same name in another letter case; the smallest in byte order when there are several.
    std::string found;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string candidate = it->path().filename().string();
        if (StrCompareNoCase(candidate, fileName.c_str()) == 0 && it->is_regular_file(ec)
            && (found.empty() || candidate < found))
            found = candidate;
    }
    return found.empty() ? exact : folder + "/" + found;
}

bool SaveProfileToFile(const CProfileData& profile, const std::string& path, unsigned flags, std::string* error)
{
    CXmlWriter writer;
    writer.Initialize();
    writer.OpenFile(path);
    return WriteProfileXml(profile, writer, flags, error);
}

namespace {

bool ExportProfileOf(CCorvantisApp* app, const std::string& path, const std::optional<ProfileEncryption>& encryption,
    const std::string& name, std::string* failure = nullptr)
{
    if (!app) {
        CLogMessage(kLogError) << "Profile cannot be saved to " << path << ": no core object.";
        if (failure)
            *failure = "no core object";
        return false;
    }
    CProfileData copy;
    app->GetProfile(copy, false);
    if (encryption) {
        copy.m_EncryptionMode = encryption->mode;
        copy.m_MasterPassword = encryption->masterPassword;
        copy.m_Hash = encryption->hash;
    }
    std::string error;
    if (!SaveProfileToFile(copy, path, kProfileSilent, &error)) {
        // The save is silent, so the log is where the reason stays visible.
        CLogMessage(kLogError) << "Profile cannot be saved to " << path << ": " << error;
        if (failure)
            *failure = error;
        return false;
    }
    if (encryption)
        CLogMessage(kLogInfo) << "Profile \"" << name << "\" exported as file " << path;
    else if (!name.empty())
        CLogMessage(kLogInfo) << "Profile \"" << name << "\" saved.";
    return true;
}

bool SaveProfileByNameOf(CCorvantisApp* app, const std::string& name, bool logIt, std::string* failure = nullptr)
{
    const std::string folder = GetProfilesDir();
    const std::string path = GetProfileFilePath(name);
    if (folder.empty() || path.empty()) {
        CLogMessage(kLogError) << "Profile \"" << name << "\" cannot be saved: no such profile file name.";
        if (failure)
            *failure = "\"" + name + "\" cannot be the name of a profile file.";
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec || !std::filesystem::is_directory(folder, ec)) {
        CLogMessage(kLogError) << "Cannot create folder " << folder;
        if (failure)
            *failure = "Cannot create folder " + folder + (ec ? ": " + ec.message() : std::string());
        return false;
    }
    return ExportProfileOf(app, path, std::nullopt, logIt ? name : std::string(), failure);
}

} // namespace

bool ExportProfile(const std::string& path, const std::optional<ProfileEncryption>& encryption, const std::string& name)
{
    return ExportProfileOf(theApp, path, encryption, name);
}

bool SaveProfileByName(const std::string& name, bool logIt)
{
    return SaveProfileByNameOf(theApp, name, logIt);
}

bool SaveProfileByName(CCorvantisApp& app, const std::string& name, bool logIt, std::string* error)
{
    return SaveProfileByNameOf(&app, name, logIt, error);
}

bool SaveActiveProfile(bool logIt)
{
    return theApp && SaveActiveProfile(*theApp, logIt);
}

bool SaveActiveProfile(CCorvantisApp& app, bool logIt)
{
    return SaveProfileByNameOf(&app, app.GetSettings().ActiveProfile, logIt);
}

ProfileLoadStatus ReadProfileFile(CProfileData& profile, const std::string& path)
{
    CXmlReader reader;
    reader.Initialize();
    if (std::optional<XmlError> error = reader.OpenFile(path))
        return OpenError(path, *error);
    return ReadOpened(profile, reader);
}

ProfileLoadStatus ReadProfileUrl(CProfileData& profile, const std::string& url)
{
    CXmlReader reader;
    reader.Initialize();
    if (std::optional<XmlError> error = reader.OpenUrl(url))
        return OpenError(url, *error);
    return ReadOpened(profile, reader);
}

bool LoadProfileByName(const std::string& name, unsigned flags, bool saveToFile, bool* storedChanged)
{
    CProfileData profile;
    ProfileLoadStatus status;
    const std::string path = GetProfileFilePath(name);
    if (path.empty())
        status = { ProfileLoadStatus::kError,
            OpenErrorMessage(name + "." + kProfileFileExtension, EINVAL, std::strerror(EINVAL)) };
    else
        status = ReadProfileFile(profile, path);
    if (!LoadProfileWithPassword(profile, status, name, flags, storedChanged))
        return false;
    if (!SetActiveProfileName(name))
        return false;
    theApp->SetProfile(profile, saveToFile);
    return true;
}

bool LoadProfileFromUrl(
    CProfileData& profile, const std::string& url, const std::string& name, unsigned flags, bool checkOnly)
{
    ProfileLoadStatus status = ReadProfileUrl(profile, url);
    if (checkOnly)
        return status.ok();
    return LoadProfileWithPassword(profile, status, name, flags);
}

bool LoadProfileFromXmlText(const std::string& text, unsigned flags, bool saveToFile, std::string& error)
{
    CXmlReader reader;
    reader.Initialize();
    if (std::optional<XmlError> parseError = reader.OpenString(text)) {
        error = "Cannot load profile: " + std::to_string(parseError->code) + " " + parseError->description;
        return false;
    }
    CProfileData profile;
    ProfileLoadStatus status = ReadOpened(profile, reader);
    if (!status.ok()) {
        error = "Cannot load profile: " + status.message;
        return false;
    }
    if (!LoadProfileWithPassword(profile, status, kSettingsProfileName, flags))
        return false;
    if (!theApp)
        return false;
    theApp->SetProfile(profile, saveToFile);
    return true;
}

bool LoadProfileWithPassword(
    CProfileData& profile, ProfileLoadStatus& status, const std::string& name, unsigned flags, bool* storedChanged)
{
    if (storedChanged)
        *storedChanged = false;
    const bool silent = (flags & kProfileSilent) != 0;
    const std::string key = GetCurrentUserGUID();
    std::string password = GetProfilePassword(name, true, key);
    bool resetMaster = false;
    bool resetProxyPasswords = false;
    bool firstWrongPassword = true;

    while (status.code != ProfileLoadStatus::kError) {
        status = ApplyProfilePasswords(profile, name, key, password, resetMaster, resetProxyPasswords);
        switch (status.code) {
        case ProfileLoadStatus::kSuccess:
            if (storedChanged)
                *storedChanged = resetMaster || resetProxyPasswords;
            return true;
        case ProfileLoadStatus::kError:
            break; // reported below
        case ProfileLoadStatus::kWrongMasterPassword:
            if (firstWrongPassword) {
                // A stale cached password, or a typing slip: ask for it once more before offering the reset.
                firstWrongPassword = false;
                password = GetProfilePassword(name, false, key);
                break;
            }
            if (silent || !AskYes(status.message))
                return false;
            resetMaster = true;
            password = GetProfilePassword(name, false, key);
            break;
        case ProfileLoadStatus::kAccountKeyFailed:
            if (silent || !AskYes(status.message))
                return false;
            resetMaster = true;
            break;
        case ProfileLoadStatus::kProxyPasswordFailed:
            if (silent || !AskYes(status.message))
                return false;
            resetProxyPasswords = true;
            break;
        default:
            status = { ProfileLoadStatus::kError, "Unexpected profile load status." };
            break;
        }
    }
    if (!silent)
        MessageBoxText(status.message);
    return false;
}

ProfileLoadStatus ApplyProfilePasswords(CProfileData& profile, const std::string& name, const std::string& key,
    const std::string& password, bool resetMaster, bool resetProxyPasswords)
{
    // The key the proxy passwords are encrypted with; it becomes the profile's only when the step succeeds.
    std::string cryptKey = profile.m_MasterPassword;
    std::string cryptError;
    std::string plain;

    if (profile.m_EncryptionMode == kEncryptionAccount) {
        if (!resetMaster) {
            if (key.empty()
                || CDataCrypt(CDataCrypt::kModeAccount, key).DecryptString(profile.m_Hash, plain, cryptError) != 1)
                return { ProfileLoadStatus::kAccountKeyFailed, kAccountKeyMessage };
        }
        // After a reset the profile belongs to this user from now on.
        cryptKey = key;
    } else if (profile.m_EncryptionMode == kEncryptionMaster) {
        if (!resetMaster) {
            const int checked
                = CDataCrypt(CDataCrypt::kModeMaster, password).DecryptString(profile.m_Hash, plain, cryptError);
            if (checked == 0)
                return { ProfileLoadStatus::kWrongMasterPassword, std::string("Incorrect password.") + kResetQuestion };
            if (checked != 1)
                return { ProfileLoadStatus::kWrongMasterPassword,
                    "Cannot check profile master password.\nError: " + cryptError + kResetQuestion };
        } else if (password.empty()) {
            // Keying the reset profile with an empty password would leave it open to anyone who cancels the
            // prompt; the user has to choose a new one.
            return { ProfileLoadStatus::kWrongMasterPassword,
                std::string("The new master password is empty.") + kResetQuestion };
        }
        cryptKey = password;
    }

    std::vector<std::string> passwords;
    passwords.reserve(profile.m_Proxies.size());
    uint32_t cryptMode = 0;
    const bool encrypted = GetProfileCryptMode(profile.m_EncryptionMode, cryptMode);
    const CDataCrypt crypt(cryptMode, cryptKey);
    for (const CProxy& proxy : profile.m_Proxies) {
        passwords.push_back(proxy.m_Password);
        if (!encrypted || !proxy.m_AuthEnabled || (proxy.m_Options & kOptionNtlmNoCredentials) != 0)
            continue;
        std::string& stored = passwords.back();
        if (resetMaster) {
            stored.clear();
            continue;
        }
        if (stored.empty())
            continue; // nothing was stored, so there is nothing to decrypt
        if (crypt.DecryptString(proxy.m_Password, plain, cryptError) == 1) {
            stored = plain;
        } else if (resetProxyPasswords) {
            stored.clear();
        } else {
            return { ProfileLoadStatus::kProxyPasswordFailed,
                "Cannot decrypt password for proxy " + proxy.ToString(false) + "\nError: " + cryptError
                    + "\nThe password will be reset.\n\nContinue?" };
        }
    }

    for (size_t i = 0; i < passwords.size(); ++i)
        profile.m_Proxies[i].m_Password = std::move(passwords[i]);
    if (profile.m_EncryptionMode == kEncryptionAccount || profile.m_EncryptionMode == kEncryptionMaster)
        profile.m_MasterPassword = cryptKey;

    if (name == kSettingsProfileName)
        CLogMessage(kLogVerbose) << "Corvantis settings loaded.";
    else
        CLogMessage(kLogVerbose) << "Profile \"" << name << "\" loaded.";
    return { ProfileLoadStatus::kSuccess, {} };
}

std::string GetCurrentUserGUID()
{
    return GetUserAttribute(static_cast<uint32_t>(::getuid()), kODAttributeTypeGUID);
}

} // namespace corvantis
