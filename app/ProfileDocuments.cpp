#include "app/ProfileDocuments.h"

#include "core/foundation/AppSettings.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/MessageBox.h"
#include "core/foundation/StringUtils.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/CoreStartup.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileData.h"
#include "platform/DefaultsStore.h"
#include "platform/Mutex.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QPointer>
#include <QStringList>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <thread>

namespace corvantis {

namespace {

namespace fs = std::filesystem;

// The defaults key of the password cache: a dictionary from profile name to password text.
constexpr const char* kPasswordCacheKey = "Profiles";
// The command-line option that takes an opened file as a profile of the Profiles folder, without copying.
constexpr const char* kSilentLoadKey = "SilentLoad";
constexpr const char* kProfileExtensionWithDot = ".ppx";

// The object whose password window answers getPassword. Main thread only.
ProfileDocuments* g_passwordServer = nullptr;
// Serialises the read-change-write of the cache dictionary between threads.
Mutex g_cacheMutex;

bool EqualNoCase(const std::string& a, const std::string& b)
{
    return StrCompareNoCase(a, b.c_str()) == 0;
}

// A defaults value read as a switch: true for a true boolean, a non-zero number, or a text whose first
// character after blanks and an optional sign and leading zeros is "Y", "T" (any case) or a digit 1 to 9.
bool SwitchValue(const PlistValue& value)
{
    if (const bool* flag = value.boolean())
        return *flag;
    const std::string* text = value.string();
    if (!text)
        return value.integerValue() != 0;
    std::size_t i = 0;
    while (i < text->size() && std::isspace(static_cast<unsigned char>((*text)[i])))
        ++i;
    if (i < text->size() && ((*text)[i] == '+' || (*text)[i] == '-'))
        ++i;
    while (i < text->size() && (*text)[i] == '0')
        ++i;
    if (i == text->size())
        return false;
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>((*text)[i])));
    return c == 'y' || c == 't' || (c >= '1' && c <= '9');
}

std::string CutProfileExtension(std::string name)
{
    const std::size_t length = std::char_traits<char>::length(kProfileExtensionWithDot);
    if (name.size() >= length && name.compare(name.size() - length, length, kProfileExtensionWithDot) == 0)
        name.resize(name.size() - length);
    return name;
}

QString NameFilter(const FilePanelRequest& request)
{
    QStringList patterns;
    for (const std::string& type : request.types)
        patterns << QStringLiteral("*.") + QString::fromStdString(type);
    return patterns.isEmpty() ? QString() : QStringLiteral("Profiles (%1)").arg(patterns.join(QLatin1Char(' ')));
}

std::optional<std::string> DefaultNameSheet(const std::string& initialName)
{
    QInputDialog sheet;
    sheet.setWindowTitle(QStringLiteral("Save Profile"));
    sheet.setLabelText(QStringLiteral("Profile name:"));
    sheet.setTextValue(QString::fromStdString(initialName));
    if (sheet.exec() != QDialog::Accepted)
        return std::nullopt;
    return sheet.textValue().toStdString();
}

std::vector<std::string> DefaultOpenPanel(const FilePanelRequest& request)
{
    QFileDialog panel(nullptr, QString::fromStdString(request.title), QString::fromStdString(request.folder));
    panel.setAcceptMode(QFileDialog::AcceptOpen);
    panel.setFileMode(request.multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    if (const QString filter = NameFilter(request); !filter.isEmpty())
        panel.setNameFilter(filter);
    std::vector<std::string> chosen;
    if (panel.exec() == QDialog::Accepted) {
        for (const QString& file : panel.selectedFiles())
            chosen.push_back(file.toStdString());
    }
    return chosen;
}

std::optional<std::string> DefaultSavePanel(const FilePanelRequest& request)
{
    QFileDialog panel(nullptr, QString::fromStdString(request.title), QString::fromStdString(request.folder));
    panel.setAcceptMode(QFileDialog::AcceptSave);
    panel.setFileMode(QFileDialog::AnyFile);
    if (const QString filter = NameFilter(request); !filter.isEmpty())
        panel.setNameFilter(filter);
    if (!request.types.empty())
        panel.setDefaultSuffix(QString::fromStdString(request.types.front()));
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return std::nullopt;
    return panel.selectedFiles().front().toStdString();
}

bool DefaultOpenFolder(const std::string& folder)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
}

// Sets the active profile name of the core object's settings.
void SetActiveProfileName(CCorvantisApp& app, const std::string& name)
{
    CAppSettings settings = app.GetSettings();
    settings.ActiveProfile = name;
    app.SetSettings(settings);
}

} // namespace

std::optional<std::string> CheckProfileName(const std::string& name)
{
    if (name.empty())
        return kEmptyProfileNameMessage;
    if (name.find_first_of(kProfileNameSymbols) != std::string::npos)
        return kBadProfileNameSymbolsMessage;
    if (EqualNoCase(name, "default") || EqualNoCase(name, "untitled"))
        return kReservedProfileNameMessage;
    return std::nullopt;
}

bool CallOnMainThread(const std::function<void()>& task)
{
    QCoreApplication* application = QCoreApplication::instance();
    if (!application)
        return false;
    if (QThread::currentThread() == application->thread()) {
        task();
        return true;
    }
    // The flag is written on the main thread before the blocking call releases this one.
    bool ran = false;
    QMetaObject::invokeMethod(
        application,
        [&task, &ran] {
            task();
            ran = true;
        },
        Qt::BlockingQueuedConnection);
    return ran;
}

ProfileDocuments::ProfileDocuments(Seams seams)
    : m_seams(std::move(seams))
{
    if (!m_seams.nameSheet)
        m_seams.nameSheet = DefaultNameSheet;
    if (!m_seams.openPanel)
        m_seams.openPanel = DefaultOpenPanel;
    if (!m_seams.savePanel)
        m_seams.savePanel = DefaultSavePanel;
    if (!m_seams.openFolder)
        m_seams.openFolder = DefaultOpenFolder;
}

ProfileDocuments::~ProfileDocuments()
{
    if (g_passwordServer == this)
        g_passwordServer = nullptr;
}

void ProfileDocuments::addCoreHooks(CoreHooks& hooks)
{
    hooks.getPassword
        = [](bool wantNew, bool& wantToSave) { return ProfileDocuments::getPassword(wantNew, &wantToSave); };
    hooks.passwordFromCasheForProfile = &ProfileDocuments::passwordFromCasheForProfile;
    hooks.setPasswordToCasheForProfile = &ProfileDocuments::setPasswordToCasheForProfile;
}

void ProfileDocuments::installCoreHooks()
{
    g_passwordServer = this;
    CoreHooks hooks = *CurrentCoreHooks();
    addCoreHooks(hooks);
    SetCoreHooks(std::move(hooks));
}

void ProfileDocuments::writeGlobalSettings()
{
    if (m_seams.writeGlobalSettings)
        m_seams.writeGlobalSettings(0);
    else
        CorvantisAppServices::writeGlobalSettings(0);
}

void ProfileDocuments::updateSettings()
{
    if (m_seams.updateSettings)
        m_seams.updateSettings();
}

bool ProfileDocuments::silentLoad() const
{
    const std::optional<PlistValue> value = DefaultsStore::standard().object(kSilentLoadKey);
    return value && SwitchValue(*value);
}

bool ProfileDocuments::isInProfilesFolder(const std::string& folder) const
{
    const std::string profiles = GetProfilesDir();
    if (profiles.empty())
        return false;
    std::error_code error;
    const fs::path a = fs::weakly_canonical(fs::absolute(folder, error), error);
    const fs::path b = fs::weakly_canonical(fs::absolute(profiles, error), error);
    return !error && a == b;
}

void ProfileDocuments::newDocument()
{
    if (theApp && ConfirmDiscardUnnamedProfile())
        theApp->LoadDefaultProfile();
    updateSettings();
}

std::string ProfileDocuments::saveProfileDlg(const std::string& initialName)
{
    std::string field = EqualNoCase(initialName, kDefaultProfileName) ? std::string() : initialName;
    for (;;) {
        const std::optional<std::string> entered = m_seams.nameSheet(field);
        if (!entered)
            return {};
        const std::optional<std::string> refusal = CheckProfileName(*entered);
        if (!refusal)
            return *entered;
        MessageBoxText(*refusal);
        field = *entered;
    }
}

void ProfileDocuments::saveDocument()
{
    if (theApp) {
        const std::string name = saveProfileDlg(theApp->GetSettings().ActiveProfile);
        if (!name.empty())
            theApp->SaveProfileAs(name);
    }
    updateSettings();
}

void ProfileDocuments::manageProfiles()
{
    const std::string folder = GetProfilesDir();
    if (folder.empty())
        return;
    std::error_code error;
    fs::create_directories(folder, error);
    if (!m_seams.openFolder(folder))
        CLogMessage(kLogError) << "Cannot open the folder " << folder;
}

void ProfileDocuments::selectProfile(int tag, const std::string& title)
{
    switch (tag) {
    case 0:
        if (theApp && ConfirmDiscardUnnamedProfile()) {
            // The file is written back only when the password step changed what it must store.
            bool storedChanged = false;
            if (LoadProfileByName(title, 0, false, &storedChanged) && storedChanged && !SaveActiveProfile(false))
                CLogMessage(kLogError) << "The active profile cannot be saved to its file.";
        }
        break;
    case 1:
        newDocument();
        break;
    case 2:
        saveDocument();
        break;
    default:
        break;
    }
    updateSettings();
}

bool ProfileDocuments::openFile(const std::string& path)
{
    if (!m_isLoaded)
        m_noSystemProfile = true;
    if (!theApp || path.empty())
        return false;

    const fs::path file(path);
    std::string name = file.stem().string();
    const bool direct = isInProfilesFolder(file.parent_path().string()) || silentLoad();

    if (!direct) {
        if (m_isLoaded && !ConfirmDiscardUnnamedProfile())
            return false;
        const std::vector<std::string> existing = ListProfileFiles(true);
        const auto exists = [&existing](const std::string& candidate) {
            const std::string fileName = candidate + kProfileExtensionWithDot;
            return std::any_of(existing.begin(), existing.end(),
                [&fileName](const std::string& entry) { return EqualNoCase(entry, fileName); });
        };
        while (exists(name)) {
            // Yes overwrites that profile: the question is not asked again for the same name.
            if (MessageBoxFlags(kOverwriteProfileQuestion, kMbYesNo) == kMbAnswerYes)
                break;
            // A typed extension is cut before the check, so that "office.ppx" is found as "office".
            name = CutProfileExtension(saveProfileDlg(name));
            if (name.empty())
                return false;
        }
    }
    name = CutProfileExtension(name);
    if (name.empty())
        return false;

    if (m_isLoaded) {
        CProfileData profile;
        ProfileLoadStatus status = ReadProfileFile(profile, path);
        if (!LoadProfileWithPassword(profile, status, name, 0))
            return false;
        SetActiveProfileName(*theApp, name);
        theApp->SetProfile(std::move(profile), true);
        updateSettings();
        if (m_seams.updateProfileUI)
            m_seams.updateProfileUI();
        return true;
    }

    // During launch the core is not started yet: it loads the profile itself.
    if (direct) {
        SetActiveProfileName(*theApp, name);
        writeGlobalSettings();
    } else {
        m_loadExtProfile = true;
        m_extProfilePath = path;
        m_extProfileName = name;
    }
    return true;
}

void ProfileDocuments::openDocument()
{
    const std::vector<std::string> chosen = m_seams.openPanel({ "Open Profile", { "ppx", "prx" }, {}, false });
    if (!chosen.empty())
        openFile(chosen.front());
}

void ProfileDocuments::importV2Profiles()
{
    // No older version keeps profiles on this system: the panel starts in the user's home folder.
    const FilePanelRequest request { "Import Profiles", { "ppx", "prx" }, QDir::homePath().toStdString(), true };
    for (const std::string& path : m_seams.openPanel(request))
        openFile(path);
}

void ProfileDocuments::exportDocument()
{
    if (!theApp)
        return;
    const std::optional<std::string> path = m_seams.savePanel({ "Export Profile", { "ppx" }, {}, false });
    if (!path)
        return;
    CProfileData copy;
    theApp->GetProfile(copy, false);
    ProfileEncryption encryption { copy.m_EncryptionMode, copy.m_MasterPassword, copy.m_Hash };
    if (m_seams.encryptionForSave && !m_seams.encryptionForSave(encryption))
        return;
    const std::string name = m_seams.currentProfileName ? m_seams.currentProfileName() : std::string();
    if (!ExportProfile(*path, encryption, name))
        MessageBox("The profile cannot be written to " + *path + ".", "Cannot export profile.", kMbCritical);
}

void ProfileDocuments::profileAutoUpdate()
{
    if (!theApp || !m_seams.autoUpdateDialog)
        return;
    CAppSettings settings = theApp->GetSettings();
    ProfileAutoUpdateValues values { settings.ProfileAutoUpdate, settings.ProfileAutoUpdateUrl,
        settings.ProfileAutoUpdateUrlIsFolder, settings.KeepCredOnProfileUpdate };
    if (!m_seams.autoUpdateDialog(values))
        return;
    settings = theApp->GetSettings();
    settings.ProfileAutoUpdate = values.enabled;
    settings.ProfileAutoUpdateUrl = values.url;
    settings.ProfileAutoUpdateUrlIsFolder = values.urlIsFolder;
    settings.KeepCredOnProfileUpdate = values.keepCred;
    theApp->SetSettings(settings);
    writeGlobalSettings();
}

bool ProfileDocuments::profileAutoUpdateNow(const ProfileAutoUpdateValues& values)
{
    CCorvantisApp* app = theApp;
    if (!app || m_updateRunning->exchange(true))
        return false;
    // The download and the password prompt it may need must not stall the windows: the update runs on a
    // thread of its own, which asks the user through the main thread. It is not joined: it may be waiting for
    // the main thread when this object goes, and it touches only the core object and the shared flag.
    std::shared_ptr<std::atomic<bool>> running = m_updateRunning;
    try {
        std::thread([app, values, running] {
            app->ProfileAutoUpdate(values.url, values.urlIsFolder, values.keepCred);
            running->store(false);
        }).detach();
    } catch (const std::system_error& error) {
        CLogMessage(kLogError) << "The profile update cannot start: " << error.what();
        running->store(false);
        return false;
    }
    return true;
}

std::optional<std::string> ProfileDocuments::passwordFromCasheForProfile(const std::string& profile)
{
    const std::optional<PlistValue> cache = DefaultsStore::standard().object(kPasswordCacheKey);
    if (!cache || !cache->dict())
        return std::nullopt;
    const auto entry = cache->dict()->find(profile);
    if (entry == cache->dict()->end())
        return std::nullopt;
    return entry->second.textValue();
}

void ProfileDocuments::setPasswordToCasheForProfile(const std::string& password, const std::string& profile)
{
    MutexLock lock(g_cacheMutex);
    DefaultsStore& store = DefaultsStore::standard();
    // From the stored dictionary: a "-Profiles" of the command line must not replace the stored entries.
    PlistDict cache;
    const PlistDict stored = store.persistentDomain();
    if (const auto found = stored.find(kPasswordCacheKey); found != stored.end() && found->second.dict())
        cache = *found->second.dict();
    cache[profile] = PlistValue(password);
    if (!store.setObject(kPasswordCacheKey, PlistValue(std::move(cache))))
        CLogMessage(kLogError) << "The password of the profile " << profile << " cannot be cached.";
}

std::optional<std::string> ProfileDocuments::getPassword(bool wantNew, bool* wantToSave)
{
    bool save = wantToSave ? *wantToSave : false;
    std::optional<std::string> password;
    CallOnMainThread([&] {
        if (g_passwordServer && g_passwordServer->m_seams.passwordWindow)
            password = g_passwordServer->m_seams.passwordWindow(wantNew, save);
    });
    if (wantToSave)
        *wantToSave = save;
    return password;
}

} // namespace corvantis
