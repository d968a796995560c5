#pragma once

#include "core/profile/ProfileStorage.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

struct CoreHooks;

// The settings the auto-update dialog edits ("ProfileAutoUpdate", "ProfileAutoUpdateUrl",
// "ProfileAutoUpdateUrlIsFolder", "KeepCredOnProfileUpdate").
struct ProfileAutoUpdateValues {
    bool enabled = false;
    std::string url; // empty when the dialog holds no address
    bool urlIsFolder = false;
    bool keepCred = false;
};

// What a file panel is asked to show.
struct FilePanelRequest {
    std::string title;
    std::vector<std::string> types; // extensions without the dot; empty: any file
    std::string folder; // where the panel starts; empty: the panel's own choice
    bool multiple = false; // an open panel may return several files
};

// The name sheet's messages, in the order its checks run.
inline constexpr const char* kEmptyProfileNameMessage = "Profile name cannot be empty.";
inline constexpr const char* kProfileNameSymbols = "\\/:<>|,\"*?";
inline constexpr const char* kBadProfileNameSymbolsMessage
    = "Incorrect symbol(s) found. Profile name cannot contain the following symbols:\n\\/:<>|,\"*?";
inline constexpr const char* kReservedProfileNameMessage = "This name is reserved, please choose another one.";
inline constexpr const char* kOverwriteProfileQuestion
    = "Profile with this name already exists.\nDo you want to overwrite it?";

// The message the name sheet shows for `name`, or nothing when the name is acceptable: empty; holding one of the
// ten characters of kProfileNameSymbols; "default" or "untitled" in any letter case.
std::optional<std::string> CheckProfileName(const std::string& name);

// Runs `task` on the application's main (GUI) thread and returns when it has run: at once when called there,
// otherwise through a blocking queued call, which needs the main thread to run its event loop. False (and
// `task` not run) when no application object exists or it went away before running the task.
bool CallOnMainThread(const std::function<void()>& task);

// The profile document commands of the application: new, save under a name, open (from the command line, from a
// second copy, from the open panel), import, export, select from the menu, open the Profiles folder, the
// auto-update settings and "update now"; plus the per-profile password cache in the standard defaults and the
// password prompt the core asks for from any thread.
//
// Works on `theApp` (the application's core object) and the standard defaults; the commands do nothing useful
// while `theApp` is null. The windows it needs come through Seams, so that the delegate wires the real ones and
// tests script them.
//
// Thread-safety: main thread only, except the static password members, which any thread may call.
class ProfileDocuments final {
public:
    struct Seams {
        // The name sheet showing `initialName`: the text entered, nothing when cancelled. Default: an input
        // dialog.
        std::function<std::optional<std::string>(const std::string& initialName)> nameSheet;
        // An open panel: the chosen files in order, empty when cancelled. Default: a file dialog.
        std::function<std::vector<std::string>(const FilePanelRequest&)> openPanel;
        // A save panel: the chosen path, nothing when cancelled. Default: a file dialog that adds the first type
        // as extension when none is typed.
        std::function<std::optional<std::string>(const FilePanelRequest&)> savePanel;
        // Shows a folder in the file browser; false when it could not. Default: the desktop's handler for it.
        std::function<bool(const std::string& folder)> openFolder;
        // The password window on the main thread: the typed password, nothing when cancelled; `wantToSave` in:
        // show the save check box, out: its state. Default: cancelled.
        std::function<std::optional<std::string>(bool wantNew, bool& wantToSave)> passwordWindow;
        // The encryption-mode window for a profile being exported: edits `encryption` and answers true when
        // accepted, false (leaving it as it was) when cancelled. Default: accepted unchanged.
        std::function<bool(ProfileEncryption& encryption)> encryptionForSave;
        // The auto-update dialog's modal run over `values`: true (with the values as edited) when accepted.
        // Default: cancelled.
        std::function<bool(ProfileAutoUpdateValues& values)> autoUpdateDialog;
        // The profile editor's current profile name; empty without an editor. Default: empty.
        std::function<std::string()> currentProfileName;
        // The settings window re-reads the settings. Default: nothing.
        std::function<void()> updateSettings;
        // The profile editor re-reads the active profile. Default: nothing.
        std::function<void()> updateProfileUI;
        // Stores the settings (and sends them to the extension). Default: CorvantisAppServices.
        std::function<void(int sendArgument)> writeGlobalSettings;
    };

    explicit ProfileDocuments(Seams seams = {});
    // Leaves the process-wide password prompt if this object served it. An update started by
    // profileAutoUpdateNow goes on.
    ~ProfileDocuments();
    ProfileDocuments(const ProfileDocuments&) = delete;
    ProfileDocuments& operator=(const ProfileDocuments&) = delete;

    // Makes this object serve the password prompt (getPassword) and puts the password prompt and the password
    // cache into the core's hooks, keeping every other hook as registered.
    void installCoreHooks();
    // The same three members set in `hooks`, for a program that registers all hooks at once.
    static void addCoreHooks(CoreHooks& hooks);

    // ---- Launch state ----

    // Set by the delegate once launch has finished; before that, opened files are only recorded.
    void setLoaded(bool loaded) { m_isLoaded = loaded; }
    bool isLoaded() const { return m_isLoaded; }
    // A file was opened before launch finished: the launch must not pick the profile of the settings itself.
    bool noSystemProfile() const { return m_noSystemProfile; }
    // A file from outside the Profiles folder was opened during launch: the launch loads `extProfilePath` as the
    // profile `extProfileName` once the core runs.
    bool loadExtProfile() const { return m_loadExtProfile; }
    const std::string& extProfilePath() const { return m_extProfilePath; }
    const std::string& extProfileName() const { return m_extProfileName; }

    // ---- Commands ----

    // Installs a new default profile, unless the user keeps an unsaved unnamed one.
    void newDocument();
    // The name sheet over `initialName` ("default" in any case shows an empty field). A refused name shows its
    // message and the sheet comes back. Returns the accepted name as typed, empty when cancelled.
    std::string saveProfileDlg(const std::string& initialName);
    // Saves the active profile under a name from the sheet (the core asks before overwriting).
    void saveDocument();
    // Shows the Profiles folder (created when missing) in the file browser.
    void manageProfiles();
    // The profiles menu: tag 0 loads the profile `title`, 1 is newDocument, 2 saveDocument.
    void selectProfile(int tag, const std::string& title);
    // Opens the profile file at `path` (from the command line, a second copy or the open panel). A file outside
    // the Profiles folder is copied there under its name, after asking whether to overwrite a profile of that
    // name (Yes overwrites, No asks for another name). Before launch finishes the file is only recorded. False
    // when the user declined or the file cannot be loaded; the active profile is then unchanged.
    bool openFile(const std::string& path);
    // The open panel for "ppx" and "prx" files, then openFile.
    void openDocument();
    // An open panel of several files starting in the home folder; each chosen file goes through openFile.
    void importV2Profiles();
    // A save panel, then the encryption-mode window; writes a copy of the active profile to the chosen file.
    // Nothing is written when either is cancelled.
    void exportDocument();
    // The auto-update dialog over the settings; accepted values are stored in the settings.
    void profileAutoUpdate();
    // Starts one profile auto-update of `theApp` with `values` (the dialog's) on a thread of its own, which the
    // core object must outlive (the program never destroys its object; tests wait for autoUpdateRunning() to
    // turn false). False when none could start (no core object, or one still runs).
    bool profileAutoUpdateNow(const ProfileAutoUpdateValues& values);
    // Whether an update started here still runs.
    bool autoUpdateRunning() const { return m_updateRunning->load(); }

    // ---- Password cache and prompt (any thread) ----

    // The cached password text of `profile` in the defaults dictionary "Profiles"; nothing without one.
    static std::optional<std::string> passwordFromCasheForProfile(const std::string& profile);
    // Stores `password` for `profile` in the "Profiles" dictionary, keeping its other entries.
    static void setPasswordToCasheForProfile(const std::string& password, const std::string& profile);
    // Asks the user through the password window of the object that installed the hooks: inline on the main
    // thread, otherwise through a blocking queued call to it (the caller waits until the user answered).
    // `wantToSave` in and out as for Seams::passwordWindow. Nothing when cancelled or when no object serves it.
    static std::optional<std::string> getPassword(bool wantNew, bool* wantToSave);

private:
    void writeGlobalSettings();
    void updateSettings();
    bool silentLoad() const;
    bool isInProfilesFolder(const std::string& folder) const;

    Seams m_seams;
    bool m_isLoaded = false;
    bool m_noSystemProfile = false;
    bool m_loadExtProfile = false;
    std::string m_extProfilePath;
    std::string m_extProfileName;
    // Shared with the update thread, which may outlive this object.
    std::shared_ptr<std::atomic<bool>> m_updateRunning = std::make_shared<std::atomic<bool>>(false);
};

} // namespace corvantis
