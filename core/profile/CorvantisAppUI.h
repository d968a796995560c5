#pragma once

#include "core/profile/CorvantisApp.h"

#include <string>

namespace corvantis {

// The application's core object. It answers the profile loader's password query from the application's
// per-profile password cache or by asking the user (through the application delegate's services, CoreHooks.h),
// and stores the active profile in the profile files when SetProfile is asked to save.
//
// Thread-safety: as CCorvantisApp. GetProfilePassword may be called on any thread but the main thread, whose
// prompt it waits for.
class CCorvantisAppUI : public CCorvantisApp {
public:
    CCorvantisAppUI() = default;
    ~CCorvantisAppUI() override;

    // With `fromCache`: the cached text for the profile (empty when none), decrypted with `key` when `key` is not
    // empty and the text decrypts, else as cached; nobody is asked. Without: the password the user types (empty
    // when cancelled); when the user leaves the choice to remember it on and `key` is not empty, the password is
    // cached for the profile, encrypted under `key`.
    std::string GetProfilePassword(const std::string& profileName, bool fromCache, const std::string& key) override;

protected:
    // The active profile into its file in the Profiles folder (SaveActiveProfile of ProfileStorage.h).
    bool SaveActiveProfile() override;
};

// The application's single core object, or null in a program that has none (the extension) and before the
// application registered it.
CCorvantisAppUI* GetAppUI();
// Registers the application's core object, which lives as long as the program (not owned); null unregisters.
// Called by the application at start, before its other threads run.
void SetAppUI(CCorvantisAppUI* app);

} // namespace corvantis
