// The main window's menus: profiles, the editors and sheets, the settings, the views and help.

#include "app/CorvantisAppDelegate.h"
#include "app/ui/ActionRemoval.h"
#include "app/ui/GlobalSettings.h"
#include "app/ui/MainWindow.h"
#include "app/ui/MenuFileDelegate.h"
#include "app/ui/NSProfileUI.h"
#include "app/ui/ProfileEncryption.h"
#include "app/ui/SystemRulesDelegate.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisAppUI.h"
#include "platform/NotificationCenter.h"

#include <QMenuBar>

namespace corvantis {

namespace {

// What the menus keep for the window's life: the settings object they show, and the observers that keep the
// quit item's title and the settings current.
class MenuState final : public QObject {
public:
    explicit MenuState(QObject* parent)
        : QObject(parent)
    {
        m_globalUpdated = NotificationCenter::defaultCenter().addObserver(
            kGlobalUpdatedNotification, [this](const Notification&) { settings.updateSettings(); });
    }
    ~MenuState() override
    {
        NotificationCenter::defaultCenter().removeObserver(m_globalUpdated);
        settings.announcer().remove(m_titleObserver);
    }
    MenuState(const MenuState&) = delete;
    MenuState& operator=(const MenuState&) = delete;

    void followQuitTitle(QAction* quit)
    {
        const auto update = [this, quit] { quit->setText(QString::fromStdString(settings.quitMenuTitle())); };
        m_titleObserver = settings.announcer().observe([update](const std::string& property) {
            if (property == GlobalSettings::kQuitMenuTitle)
                update();
        });
        update();
    }

    GlobalSettings settings;

private:
    NotificationCenter::ObserverId m_globalUpdated {};
    PropertyAnnouncer::ObserverId m_titleObserver {};
};

// The profile editor with the removal and password windows it asks through.
void ShowEditor()
{
    CCorvantisAppUI* app = GetAppUI();
    if (!app)
        return;
    static ActionRemoval* removal = new ActionRemoval();
    static ProfileEncryptionDialogs* passwords = new ProfileEncryptionDialogs();
    NSProfileSeams seams;
    seams.requestNewAction = removal->seam();
    seams.getPassword
        = [](const std::string& prefill, bool confirm) { return passwords->askPassword(prefill, confirm); };
    ShowProfileEditor(*app, std::move(seams));
}

} // namespace

void AddMainMenus(QMainWindow& window, CorvantisAppDelegate& delegate)
{
    auto* state = new MenuState(&window);
    state->settings.updateSettings();
    const auto selectProfile
        = [&delegate](int tag, const std::string& title) { delegate.documents().selectProfile(tag, title); };
    auto* profiles = new MenuFileDelegate(selectProfile, state);
    QMenuBar* bar = window.menuBar();
    const auto add = [](QMenu* menu, const char* text, auto action) {
        QObject::connect(menu->addAction(QString::fromUtf8(text)), &QAction::triggered, menu, action);
    };

    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    profiles->attach(file->addMenu(QStringLiteral("Profiles")), true);
    add(file, "New Profile", [&delegate] { delegate.documents().newDocument(); });
    add(file, "Open Profile...", [&delegate] { delegate.documents().openDocument(); });
    add(file, "Save Profile As...", [&delegate] { delegate.documents().saveDocument(); });
    add(file, "Import Profiles...", [&delegate] { delegate.documents().importV2Profiles(); });
    add(file, "Export Profile...", [&delegate] { delegate.documents().exportDocument(); });
    add(file, "Manage Profiles...", [&delegate] { delegate.documents().manageProfiles(); });
    file->addSeparator();
    QAction* quit = file->addAction(QString());
    quit->setMenuRole(QAction::QuitRole);
    QObject::connect(quit, &QAction::triggered, &delegate, &CorvantisAppDelegate::quit);
    state->followQuitTitle(quit);

    QMenu* profile = bar->addMenu(QStringLiteral("&Profile"));
    add(profile, "Proxies and Rules...", [] { ShowEditor(); });
    add(profile, "System Rules...", [&window] { SystemRulesDelegate(&window).editRules(); });
    add(profile, "Excluded Ports...", [&delegate] { delegate.showExcludedPorts(); });
    add(profile, "Profile Auto Update...", [&delegate] { delegate.documents().profileAutoUpdate(); });

    QMenu* view = bar->addMenu(QStringLiteral("&View"));
    add(view, "Traffic Graph", [&delegate] { delegate.setGraphShown(true); });
    add(view, "Connections", [&delegate] { delegate.setConnectionsShown(true); });
    add(view, "Statistics", [&delegate] { delegate.setStatisticsShown(true); });
    view->addSeparator();
    add(view, "Settings...", [&window, state, selectProfile] {
        GlobalSettingsDialog dialog(state->settings, selectProfile, &window);
        dialog.exec();
    });

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    add(help, "Documentation", [&delegate] { delegate.openDocumentation(); });
    add(help, "Support", [&delegate] { delegate.openSupport(); });
    add(help, "About Corvantis", [] { PostShowAbout(); });
}

} // namespace corvantis
