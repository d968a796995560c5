#include "app/AppUI.h"

#include "core/profile/CorvantisApp.h"
#include "core/profile/CorvantisAppUI.h"

namespace corvantis {

CCorvantisAppUI& InstallAppUI()
{
    static CCorvantisAppUI* const app = [] {
        auto* made = new CCorvantisAppUI();
        theApp = made;
        SetAppUI(made);
        return made;
    }();
    return *app;
}

} // namespace corvantis
