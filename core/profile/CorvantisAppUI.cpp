#include "core/profile/CorvantisAppUI.h"

#include <atomic>

#include "core/foundation/CoreHooks.h"
#include "core/foundation/DataCrypt.h"
#include "core/profile/ProfileStorage.h"

#include <optional>

namespace corvantis {

namespace {
std::atomic<CCorvantisAppUI*> g_appUI { nullptr };
} // namespace

CCorvantisAppUI* GetAppUI()
{
    return g_appUI.load();
}

void SetAppUI(CCorvantisAppUI* app)
{
    g_appUI.store(app);
}

CCorvantisAppUI::~CCorvantisAppUI()
{
    StopBackgroundThreads();
}

std::string CCorvantisAppUI::GetProfilePassword(const std::string& profileName, bool fromCache, const std::string& key)
{
    if (fromCache) {
        std::optional<std::string> cached = CorvantisAppServices::passwordFromCasheForProfile(profileName);
        if (!cached)
            return {};
        if (key.empty())
            return *cached;
        // An entry that does not decrypt was cached without a key; it is the password itself.
        std::string plain;
        std::string error;
        if (CDataCrypt(CDataCrypt::kModeAccount, key).DecryptString(*cached, plain, error) > 0)
            return plain;
        return *cached;
    }

    bool wantToSave = true;
    std::optional<std::string> typed = CorvantisAppServices::getPassword(false, &wantToSave);
    if (!typed)
        return {};
    if (wantToSave && !key.empty()) {
        std::string encrypted;
        std::string error;
        if (CDataCrypt(CDataCrypt::kModeAccount, key).EncryptString(*typed, encrypted, error))
            CorvantisAppServices::setPassword(encrypted, profileName);
    }
    return *typed;
}

bool CCorvantisAppUI::SaveActiveProfile()
{
    return corvantis::SaveActiveProfile(*this, false);
}

} // namespace corvantis
