// The program's windows behind the delegate's seams.

#include "app/CorvantisAppDelegate.h"
#include "app/ui/AboutWindow.h"
#include "app/ui/LoopDetectController.h"
#include "app/ui/NSProfileUI.h"
#include "app/ui/NetworkLoadWindow.h"
#include "app/ui/ProfileAutoUpdateWindow.h"
#include "app/ui/ProfileEncryption.h"
#include "core/profile/CorvantisAppUI.h"

#include <memory>

namespace corvantis {

void AddWindowSeams(CorvantisAppDelegate::Seams& seams)
{
    seams.makeMainWindow = &CreateMainWindow;
    seams.runExcludedPortsSheet = &RunExcludedPortsSheet;
    seams.loadDialog = std::make_shared<NetworkLoadWindow>();

    // The password and encryption-mode windows are made once and live as long as the program.
    const auto encryption = std::make_shared<ProfileEncryptionDialogs>();
    seams.documents.passwordWindow
        = [encryption](bool wantNew, bool& wantToSave) { return encryption->getPassword(wantNew, wantToSave); };
    seams.documents.encryptionForSave
        = [encryption](ProfileEncryption& mode) { return encryption->getEncForSavedProfile(mode); };
    seams.documents.autoUpdateDialog = [](ProfileAutoUpdateValues& values) {
        ProfileAutoUpdateWindow window;
        window.setUpdateEnabled(values.enabled);
        window.setUpdateUrl(values.url);
        window.setUrlIsFolder(values.urlIsFolder);
        window.setKeepCred(values.keepCred);
        if (!window.doModal())
            return false;
        values = { window.updateEnabled(), window.updateUrl(), window.urlIsFolder(), window.keepCred() };
        return true;
    };

    seams.showLoopDetection = [](const std::string& application) {
        CCorvantisAppUI* app = GetAppUI();
        if (!app)
            return false;
        static LoopDetectController* controller = new LoopDetectController(*app);
        return controller->showLoopDetection(application) == LoopRuleChange::Inserted;
    };
    seams.ruleAdded = [] {
        if (NSProfileUI* editor = OpenedProfileEditor())
            editor->profile().ruleAdded(0);
    };
    seams.updateProfileUI = [] {
        if (NSProfileUI* editor = OpenedProfileEditor())
            editor->updateProfileUI();
    };
    seams.showAbout = [] {
        if (CCorvantisAppUI* app = GetAppUI()) {
            AboutWindow about(*app);
            about.doModal();
        }
    };
}

} // namespace corvantis
