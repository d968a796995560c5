#include "app/ExtensionSettings.h"

#include "app/AppProxyConnection.h"
#include "core/foundation/AppSettings.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/Log.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisAppUI.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileFile.h"
#include "ipc/GssHelperServer.h"
#include "platform/DefaultsStore.h"

#include <utility>

namespace corvantis {

namespace {

ExtensionSettingsSender::Options WithDefaults(ExtensionSettingsSender::Options options)
{
    if (!options.connection)
        options.connection = [] { return std::shared_ptr<AppProxyConnection>(); };
    if (!options.gssEndpoint)
        options.gssEndpoint = [] { return GssHelperServer::listenerEndpoint(); };
    if (!options.core)
        options.core = []() -> CCorvantisApp* { return GetAppUI(); };
    if (!options.defaults)
        options.defaults = &DefaultsStore::standard();
    if (!options.saveSettings)
        options.saveSettings = [](const CAppSettings& settings) { return SaveSettings(settings); };
    if (!options.messageBox) {
        options.messageBox = [](const std::string& message, const std::string& caption, int flags) {
            return MessageBox(message, caption, flags);
        };
    }
    if (!options.restart) {
        options.restart = [](const std::shared_ptr<AppProxyConnection>& connection) {
            if (!connection)
                return;
            connection->stopVpn();
            connection->startVPN();
        };
    }
    return options;
}

} // namespace

ExtensionSettingsSender::ExtensionSettingsSender(Options options)
    : m_options(WithDefaults(std::move(options)))
{
}

CCorvantisApp* ExtensionSettingsSender::core() const
{
    return m_options.core();
}

void ExtensionSettingsSender::writeGlobalSettings(bool restart)
{
    CCorvantisApp* app = core();
    if (!app)
        return;
    m_options.saveSettings(app->GetSettings());
    if (!m_options.connection())
        return;
    writeGlobalSettingsToExtension(restart, nullptr);
}

PlistDict ExtensionSettingsSender::settingsDictionary() const
{
    PlistDict settings = m_options.defaults->dictionaryRepresentation();
    const CCorvantisApp* app = core();
    const bool dump = app && app->GetSettings().TrafficLogEnabled;
    settings["TrafficDump"] = PlistValue(dump ? 1 : 0);
    return settings;
}

void ExtensionSettingsSender::writeGlobalSettingsToExtension(bool restart, std::function<void(bool ok)> result)
{
    auto finish = [result](bool ok) {
        if (result)
            result(ok);
    };
    CCorvantisApp* app = core();
    if (!app || !m_options.newClient) {
        finish(false);
        return;
    }

    // The extension has neither the master password nor the user's identity, so the passwords it gets are
    // encrypted with the built-in key, whatever the profile's own mode.
    CProfileData profile;
    app->GetProfile(profile, false);
    profile.m_EncryptionMode = kEncryptionBasic;
    profile.m_MasterPassword.clear();
    profile.m_Hash.clear();
    std::string profileText;
    std::string error;
    if (!ProfileToXmlString(profile, profileText, &error)) {
        const std::string text = kProfileNotSentMessage + error;
        CLogMessage(kLogError) << text;
        m_options.messageBox(std::string(), text, kMbCritical);
        finish(false);
        return;
    }

    if (const std::optional<XpcEndpoint> endpoint = m_options.gssEndpoint()) {
        if (ExtensionClientPtr gssClient = m_options.newClient()) {
            std::weak_ptr<ExtensionClient> weakClient = gssClient;
            gssClient->setGssServerEndpointWithGssServerEndpoint(*endpoint, [weakClient](bool) {
                if (ExtensionClientPtr client = weakClient.lock())
                    client->closeConnection();
                CLogMessage(kLogDebug) << "GSS connection updated";
            });
        }
    }

    ExtensionClientPtr client = m_options.newClient();
    if (!client) {
        finish(false);
        return;
    }
    std::weak_ptr<ExtensionClient> weakClient = client;
    auto self = shared_from_this();
    client->updateSettingWithSettings(
        settingsDictionary(), profileText, [self, weakClient, restart, finish](std::string answer) {
            if (ExtensionClientPtr replied = weakClient.lock())
                replied->closeConnection();
            if (!answer.empty()) {
                CLogMessage(kLogError) << "Settings in Extension module cannot be updated: " << answer;
                finish(false);
                return;
            }
            if (restart)
                self->m_options.restart(self->m_options.connection());
            finish(true);
        });
}

void RegisterWriteGlobalSettingsHook(ExtensionSettingsSenderPtr sender)
{
    CoreHooks hooks = *CurrentCoreHooks();
    hooks.writeGlobalSettings
        = [sender = std::move(sender)](int sendArgument) { sender->writeGlobalSettings(sendArgument != 0); };
    SetCoreHooks(std::move(hooks));
}

} // namespace corvantis
