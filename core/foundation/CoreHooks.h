#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvantis {

// Capacity of each buffer a caller hands to GssGetTokenForProxyHost.
inline constexpr size_t kGssBufferCapacity = 20480;

// The calls the core makes into the program it runs in. Each program fills the members it serves once at start
// (SetCoreHooks), before its other threads start; a member left empty keeps its inert default, noted below.
// Tests register fakes.
struct CoreHooks {
    // Starts the update check on a thread of its own and returns at once. Default: does nothing.
    std::function<void(int mode)> startUpdateCheckThread;
    // Stores the core object's settings record (SaveSettings) and sends it to the extension when linked; the
    // argument is passed on to the sending step. Default: does nothing.
    std::function<void(int sendArgument)> writeGlobalSettings;
    // Asks the user for the profile password on the main thread (waiting when called from another thread).
    // Nothing when the user cancels; `wantToSave` carries the user's choice back. Default: nothing.
    std::function<std::optional<std::string>(bool wantNew, bool& wantToSave)> getPassword;
    // The cached password text of a profile, or nothing. Default: nothing.
    std::function<std::optional<std::string>(const std::string& profile)> passwordFromCasheForProfile;
    // Caches a password text for a profile. Default: does nothing.
    std::function<void(const std::string& text, const std::string& profile)> setPasswordToCasheForProfile;
    // Gets a Negotiate token for a proxy host; the contract of GssGetTokenForProxyHost. Default: false with
    // both lengths 0 and the buffers untouched (the application computes its tokens itself).
    std::function<bool(
        const char* host, size_t* errorLength, char* errorBuffer, size_t* tokenLength, unsigned char* tokenBuffer)>
        gssGetTokenForProxyHost;
    // Shows a message box on the main thread and returns the answer (see MessageBoxUI). Default: 0, nothing
    // shown.
    std::function<long(const std::string& message, const std::string& caption, int flags, const char* suppressTitle,
        bool* suppressResult, const char* const* buttonsName, int accessoryWidth)>
        messageBoxUI;
};

// Replaces the registered hooks. Thread-safe, but meant for program start: a call already running in another
// thread finishes with the hooks it started with.
void SetCoreHooks(CoreHooks hooks);

// The hooks now registered (never null; members may be empty).
std::shared_ptr<const CoreHooks> CurrentCoreHooks();

// Asks the program to start its update check; returns at once.
void StartUpdateCheckThread(int mode);

// Writes a Negotiate (GSS-API) token for `host` into `tokenBuffer`. On entry `*errorLength` and `*tokenLength`
// hold the two buffers' capacities (kGssBufferCapacity); on return they hold the bytes written: on true
// `*tokenLength` is the token's length, on false `*errorLength` is the length of the error text in `errorBuffer`
// (0 when there is none, as when no token source is registered).
bool GssGetTokenForProxyHost(
    const char* host, size_t* errorLength, char* errorBuffer, size_t* tokenLength, unsigned char* tokenBuffer);

// The application delegate's services to the core.
class CorvantisAppServices final {
public:
    CorvantisAppServices() = delete;

    // Stores the settings and sends them to the extension. The core calls it with 0 on the main thread.
    static void writeGlobalSettings(int sendArgument);
    // The profile password typed by the user, or nothing when cancelled. `wantToSave` is in/out.
    static std::optional<std::string> getPassword(bool wantNew, bool* wantToSave);
    // The cached text for `profile`, or nothing.
    static std::optional<std::string> passwordFromCasheForProfile(const std::string& profile);
    // Caches `text` for `profile`.
    static void setPassword(const std::string& text, const std::string& profile);
};

// Assigns a C string to `target` and returns it; a null pointer leaves the target empty.
std::string& AssignCString(std::string& target, const char* text);

// The items of the "ShowTiming" command-line option. Each switches on the timing trace lines of one area.
enum class TimingItem { Connect, Ntlm, Kipc, Autod, Sysev, Uiupd };

// The item named by a keyword of the option ("connect", "ntlm", "kipc", "autod", "sysev", "uiupd"; exact
// comparison), or nothing.
std::optional<TimingItem> TimingItemFromKeyword(const std::string& keyword);
// Process-wide switches, all off at start; read from any thread without a lock.
bool IsTimingOn(TimingItem item);
void SetTimingOn(TimingItem item, bool on);

} // namespace corvantis
