#pragma once

#include "app/ExtensionClient.h"
#include "platform/PlistValue.h"
#include "platform/xpc/XpcEndpoint.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvantis {

class AppProxyConnection;
class CCorvantisApp;
class DefaultsStore;
struct CAppSettings;

// The beginning of the message the user sees when the profile cannot be written for the extension; the
// reason follows.
inline constexpr const char* kProfileNotSentMessage = "Could not send the profile to the Network Extension: ";

// Sends the application's settings and the active profile to the extension.
//
// Create with std::make_shared. Thread-safety: every member may be called from any thread holding the object;
// the replies run on the clients' threads and keep the object alive until they have run.
class ExtensionSettingsSender final : public std::enable_shared_from_this<ExtensionSettingsSender> {
public:
    struct Options {
        // A fresh client of the bring-up's pool (getNewXpcConnection). Required.
        std::function<ExtensionClientPtr()> newClient;
        // The transparent proxy's connection, null while there is none. Default: always null.
        std::function<std::shared_ptr<AppProxyConnection>()> connection;
        // The endpoint of the application's token listener. Default: GssHelperServer::listenerEndpoint. When
        // there is none, no endpoint is sent.
        std::function<std::optional<XpcEndpoint>()> gssEndpoint;
        // The core object whose settings record and profile are sent. Default: GetAppUI().
        std::function<CCorvantisApp*()> core;
        // The defaults whose whole dictionary is sent. Default: DefaultsStore::standard().
        DefaultsStore* defaults = nullptr;
        // Stores the settings record. Default: SaveSettings (core).
        std::function<bool(const CAppSettings&)> saveSettings;
        // (informative text, main text, flags). Default: MessageBox (core).
        std::function<long(const std::string& message, const std::string& caption, int flags)> messageBox;
        // With restart: stops and starts the transparent proxy after the extension took the settings. Default:
        // stopVpn then startVPN on connection().
        std::function<void(const std::shared_ptr<AppProxyConnection>&)> restart;
    };

    explicit ExtensionSettingsSender(Options options);
    ExtensionSettingsSender(const ExtensionSettingsSender&) = delete;
    ExtensionSettingsSender& operator=(const ExtensionSettingsSender&) = delete;

    // Stores the core object's settings record; then, when the transparent proxy's connection exists, sends
    // the settings to the extension with `restart` and no interest in the outcome. Nothing without a core
    // object.
    void writeGlobalSettings(bool restart);

    // The copy of the active profile (without the rules of this run) in encryption mode "basic", written as
    // profile text; when that fails the user is told (kProfileNotSentMessage + reason, logged at level 1 too),
    // `result` gets false and nothing is sent. Otherwise the token listener's endpoint goes on one client (its
    // reply closes it and logs "GSS connection updated" at level 4), and the settings dictionary and the profile
    // on another. A non-empty answer logs "Settings in Extension module cannot be updated: " + answer at level
    // 1 and gives false, restart or not; an empty one restarts the proxy when `restart` is set and gives true.
    // `result` may be empty; it runs on the client's thread.
    void writeGlobalSettingsToExtension(bool restart, std::function<void(bool ok)> result);

    // What the settings message carries: every entry the defaults show (the stored ones with the command
    // line's over them) plus "TrafficDump" (1 or 0, the settings record's dump switch, which is never stored).
    PlistDict settingsDictionary() const;

private:
    CCorvantisApp* core() const;

    const Options m_options;
};

using ExtensionSettingsSenderPtr = std::shared_ptr<ExtensionSettingsSender>;

// Makes `sender` serve CoreHooks::writeGlobalSettings (a non-zero argument asks for the restart), keeping the
// other hooks as they are. The application calls it once at launch, before its other threads start.
void RegisterWriteGlobalSettingsHook(ExtensionSettingsSenderPtr sender);

} // namespace corvantis
