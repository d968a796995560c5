#include "core/profile/CoreStartup.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/MessageBox.h"
#include "core/foundation/StringUtils.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileStorage.h"
#include "platform/NotificationCenter.h"

#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <system_error>

namespace corvantis {

namespace {

constexpr int kTrafficQuestionFlags = 136;
constexpr int kOverwriteQuestionFlags = 8;
constexpr int kDiscardQuestionFlags = 88;

const char* const kLastProfileWarning
    = "Warning: Corvantis cannot load the last active profile. Default settings will be loaded.";
const char* const kTrafficSizeQuestion = "Warning! The size of the directory with traffic dumps is more than 500 "
                                         "Mb.\nDo you want to disable traffic logging?";
const char* const kTrafficFilesQuestion = "Warning! The directory size with traffic dumps contains more than 1000 "
                                          "files.\nDo you want to disable traffic logging?";
const char* const kOverwriteQuestion = "Profile with this name already exists.\nDo you want to overwrite it?";
const char* const kDiscardQuestion
    = "You didn't save active profile with a name. All current settings will be lost. Do you want to continue?";

std::once_flag versionsOnce;

// Has the application store the settings (and send them to the extension) on its main thread, and waits until it
// has: the caller may change the settings again right after.
void WriteGlobalSettingsOnMainThread()
{
    std::shared_ptr<MainThreadExecutor> executor = NotificationCenter::defaultCenter().mainThreadExecutor();
    if (!executor || executor->isMainThread()) {
        CorvantisAppServices::writeGlobalSettings(0);
        return;
    }
    // A main thread that shuts down destroys the task unrun; the broken promise then releases the wait.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    executor->post([done] {
        CorvantisAppServices::writeGlobalSettings(0);
        done->set_value();
    });
    finished.wait();
}

bool IsDefaultProfileName(const std::string& name)
{
    return StrCompareNoCase(name, kDefaultProfileName) == 0;
}

bool ProfileFileExists(const std::string& name)
{
    const std::string path = GetProfileFilePath(name);
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

} // namespace

std::string MakeVersionSuffix(const std::string& version)
{
    if (version.find("fc") != std::string::npos)
        return "RC";
    static const struct {
        char marker;
        const char* label;
    } kLabels[] = { { 'd', "Dev " }, { 'a', "Alpha " }, { 'b', "Beta " } };
    for (const auto& label : kLabels) {
        const size_t at = version.find(label.marker);
        if (at != std::string::npos)
            return label.label + version.substr(at + 1);
    }
    return {};
}

std::string CCorvantisApp::GetVersionSuffix() const
{
    return MakeVersionSuffix(kVersion);
}

int CCorvantisApp::Start()
{
    std::call_once(versionsOnce, [] { SetLogFolder(GetLogsDir()); });

    CLogMessage(kLogNone) << "\t\tWelcome to Corvantis v" << GetShortVersion() << " " << GetVersionSuffix();
    CLogMessage(kLogNone) << " ";

    CAppSettings settings = GetSettings();
    if (GetLog().GetScreenLevel() >= kLogVerbose)
        CLogMessage(kLogNone) << "Verbose output enabled.";
    if (GetLog().GetFileLevel() >= kLogError)
        CLogMessage(kLogNone) << "Log file enabled ";
    if (settings.TrafficLogEnabled)
        CLogMessage(kLogNone) << "Traffic log enabled " << GetTrafficDir();

    if (settings.TrafficLogEnabled) {
        uint64_t files = 0;
        const int64_t bytes = GetFolderSize(GetTrafficDir(), files);
        const char* question = nullptr;
        if (bytes > kTrafficDumpMaxBytes)
            question = kTrafficSizeQuestion;
        else if (files > kTrafficDumpMaxFiles)
            question = kTrafficFilesQuestion;
        if (question && MessageBoxFlags(question, kTrafficQuestionFlags) == kMbAnswerYes) {
            settings = GetSettings();
            settings.TrafficLogEnabled = false;
            SetSettings(settings);
            WriteGlobalSettingsOnMainThread();
        }
    }

    // A missing file is what a first start finds; only a file that exists is read, so that its errors and
    // password questions reach the user. A start never rewrites a file the user or another program wrote (its
    // comments, its order and elements this version does not know stay): the file is written back only when the
    // user accepted a password reset, which changes what it must store.
    const std::string name = GetSettings().ActiveProfile;
    bool storedChanged = false;
    const bool loaded = ProfileFileExists(name) && LoadProfileByName(name, 0, false, &storedChanged);
    if (loaded && storedChanged && !SaveActiveProfile())
        CLogMessage(kLogError) << "The active profile cannot be saved to its file.";
    if (!loaded) {
        if (!IsDefaultProfileName(name))
            MessageBoxFlags(kLastProfileWarning, 0);
        // The new default profile is written only where there is no file yet: a "default.ppx" that could not be
        // loaded is kept for the user to mend, as any other profile file is.
        InstallDefaultProfile(!ProfileFileExists(kDefaultProfileName));
    }

    PostProfileUpdated();
    PostGlobalUpdated();
    if (GetSettings().UpdateCheck)
        StartUpdateCheckThread(0);
    if (GetSettings().ProfileAutoUpdate)
        StartProfileAutoUpdate();
    return -1;
}

int CCorvantisApp::LoadDefaultProfile()
{
    return InstallDefaultProfile(true);
}

int CCorvantisApp::InstallDefaultProfile(bool saveToFile)
{
    CAppSettings settings = GetSettings();
    settings.ActiveProfile = kDefaultProfileName;
    SetSettings(settings);
    SetProfile(NewProfileData(), saveToFile);
    WriteGlobalSettingsOnMainThread();
    CLogMessage(kLogInfo) << "New default profile loaded.";
    return 1;
}

bool CCorvantisApp::SaveProfileAs(const std::string& name)
{
    // Profile names do not distinguish letter case (saving "office" replaces "Office.ppx"), so neither does the
    // test for a file the save would replace.
    const std::string fileName = name + "." + kProfileFileExtension;
    for (const std::string& existing : ListProfileFiles(true)) {
        if (StrCompareNoCase(existing, fileName.c_str()) == 0) {
            if (MessageBoxFlags(kOverwriteQuestion, kOverwriteQuestionFlags) != kMbAnswerYes)
                return false;
            break;
        }
    }

    std::string error;
    if (!SaveProfileByName(*this, name, true, &error)) {
        MessageBox("Error: " + error, "Cannot save profile \"" + name + "\".", kMbCritical);
        return false;
    }
    CAppSettings settings = GetSettings();
    settings.ActiveProfile = name;
    SetSettings(settings);
    WriteGlobalSettingsOnMainThread();
    return true;
}

bool ConfirmDiscardUnnamedProfile()
{
    if (!theApp || !IsDefaultProfileName(theApp->GetSettings().ActiveProfile))
        return true;
    return MessageBoxFlags(kDiscardQuestion, kDiscardQuestionFlags) == kMbAnswerYes;
}

} // namespace corvantis
