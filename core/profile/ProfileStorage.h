#pragma once

#include "core/profile/ProfileLoadStatus.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

class CCorvantisApp;
class CProfileData;

// Profiles on disk and their way into the core object: the profile files in the Profiles folder of the
// program's home (GetProfilesDir in SystemUtils.h), saving the current profile, loading a profile by name, from
// a URL or from document text, and the password step every load ends with.
//
// The operations that read or change the active profile or the active profile's name go through `theApp`; they
// fail (false, or a code-1 status) while it is null. Every operation runs on the caller's thread, holds no lock
// while it asks the user, and may be called from any thread but the main thread of the application (its
// questions wait for the main thread). The flags are those of the profile writer: kProfileSilent (ProfileFile.h)
// means no message boxes and no questions.

// The file extension of profile files, without the dot.
inline constexpr const char* kProfileFileExtension = "ppx";
// The profile the extension installs from the document text the application sends; its loads log
// "Corvantis settings loaded." instead of naming the profile.
inline constexpr const char* kSettingsProfileName = "Default";

// The three encryption fields of a profile, to store a profile under other encryption than its own.
struct ProfileEncryption {
    int mode = 0; // EncryptionMode (ProfileData.h)
    std::string masterPassword; // the key text: the master password, or the user's GUID in account mode
    std::string hash; // the check value
};

// The names of the profile files in the Profiles folder and below it, sorted by bytes without duplicates:
// names of "*.ppx" files without the extension, leaving out "default.ppx" in any letter case. With `allFiles`
// every file counts, with its extension. Empty when the folder cannot be read.
std::vector<std::string> ListProfileFiles(bool allFiles);

// The file of the profile `name`: Profiles folder + "/" + name + ".ppx". When that file does not exist but the
// folder holds one whose name differs only in letter case, that file: profile names do not distinguish case, so
// "Default" finds "default.ppx" and saving "Office" replaces "office.ppx". Empty when the program has no home
// folder or the name cannot be a file name (empty, or holding "/" or a NUL byte).
std::string GetProfileFilePath(const std::string& name);

// Writes the profile document of `profile` to `path` (replacing the file as a whole; a failed write leaves the
// old file as it was). Returns false when the document or the file could not be written, with the reason in
// `error` when given; unless `flags` has kProfileSilent the reason is also shown to the user.
bool SaveProfileToFile(
    const CProfileData& profile, const std::string& path, unsigned flags, std::string* error = nullptr);

// Saves a copy of the core object's current profile (without extra rules) to `path`, silently, with its
// encryption fields replaced by `encryption` when given. On success logs at level 2 "Profile "<name>" exported as
// file <path>" (with `encryption`) or "Profile "<name>" saved." (without, when `name` is not empty). A failure is
// logged at level 1 with its reason and returns false; the old file is kept.
bool ExportProfile(
    const std::string& path, const std::optional<ProfileEncryption>& encryption, const std::string& name);

// Creates the Profiles folder (with the folders above it) and saves the current profile as the file of `name`
// (GetProfileFilePath). `logIt` chooses whether the save is logged. False when the folder or the file cannot be
// made.
bool SaveProfileByName(const std::string& name, bool logIt);
// The same for the core object `app`, with the reason of a failure in `error` when given.
bool SaveProfileByName(CCorvantisApp& app, const std::string& name, bool logIt, std::string* error);
// SaveProfileByName with the core object's active profile name (ActiveProfile of its settings).
bool SaveActiveProfile(bool logIt);
// The same for the core object `app` (the object's own save of its active profile).
bool SaveActiveProfile(CCorvantisApp& app, bool logIt);

// Reads the profile document at `path` (or downloaded from `url`, http or https) into `profile`, which is reset
// first. Code 1 "Cannot open <path> to load profile.\nError: <code> <description>" when it cannot be opened;
// otherwise the result of ReadProfileXml. Stored passwords stay as stored.
ProfileLoadStatus ReadProfileFile(CProfileData& profile, const std::string& path);
ProfileLoadStatus ReadProfileUrl(CProfileData& profile, const std::string& url);

// Reads the profile file of `name`, runs the password step and, when both succeed, makes `name` the active
// profile name and installs the profile (CCorvantisApp::SetProfile with `saveToFile`). A failure leaves the
// core object as it was; its message is shown unless silent. `storedChanged`, when given, is set as
// LoadProfileWithPassword sets it.
bool LoadProfileByName(const std::string& name, unsigned flags, bool saveToFile, bool* storedChanged = nullptr);

// Reads the document at `url` into `profile`. With `checkOnly`, returns whether it reads without error, asking
// and showing nothing. Otherwise runs the password step for the profile `name`. Installs nothing.
bool LoadProfileFromUrl(
    CProfileData& profile, const std::string& url, const std::string& name, unsigned flags, bool checkOnly);

// Reads document text (the profile the application sends to the extension) as the profile "Default", runs the
// password step and installs the profile (SetProfile with `saveToFile`). On a read error returns false with
// "Cannot load profile: ..." in `error` and shows nothing; a failed password step returns false as
// LoadProfileWithPassword does.
bool LoadProfileFromXmlText(const std::string& text, unsigned flags, bool saveToFile, std::string& error);

// The password step after a read: takes the password of the profile `name` from the core object (cache first,
// then by asking), checks it, decrypts the proxy passwords, and asks the user (Yes/No) whether to reset the
// master password or the proxy passwords that cannot be decrypted. `status` is the read's result on entry and
// the last step's on return. True when the profile is ready to install; false after a read error (shown unless
// silent), a declined question, or any question in silent mode. `storedChanged`, when given, is set to whether
// the profile is ready and the user accepted a reset, so that what its file stores (the key, or proxy passwords
// that could not be decrypted) must change: only then does a load need to write the file back.
bool LoadProfileWithPassword(CProfileData& profile, ProfileLoadStatus& status, const std::string& name, unsigned flags,
    bool* storedChanged = nullptr);

// One pass of the password step over a profile as read (its proxy passwords hold the stored texts). `key` is the
// user's GUID (the key of account mode), `password` the master password entered. With `resetMaster` the check
// value is not consulted, every stored proxy password is emptied, and the profile is keyed afresh: by `key` in
// account mode, by `password` in master mode (an empty new master password is refused with code 2). With
// `resetProxyPasswords` a proxy password that cannot be decrypted is emptied instead of failing with code 4.
// Returns code 0 (decrypted passwords and the key now in the profile; logged at level 3), or code 2, 3 or 4 with
// the question to ask, leaving the profile as it was.
ProfileLoadStatus ApplyProfilePasswords(CProfileData& profile, const std::string& name, const std::string& key,
    const std::string& password, bool resetMaster, bool resetProxyPasswords);

// The current user's GUID on this machine (see MakeUserGuid); empty when it cannot be found.
std::string GetCurrentUserGUID();

} // namespace corvantis
