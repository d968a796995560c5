#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvantis {

// Where login items live inside the program tree, and the key of a login item's entry that holds its identifier.
inline constexpr const char* kLoginItemsFolder = "share/corvantis/LoginItems";
inline constexpr const char* kLoginItemIdentifierKey = "X-Corvantis-Identifier";

// Why a login item could not be installed. The code is always EINVAL; `reason` is one of the fixed texts
// ("failed to load bundle", "bundle has no identifier", "bundle identifier does not match file name",
// "SMLoginItemSetEnabled() failed"); `description` says more where there is more to say, else it is empty;
// `url` is the item's entry.
struct LoginItemError {
    int code = 0;
    std::string reason;
    std::string description;
    std::filesystem::path url;
};

// The folder the desktop session starts entries from: $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when
// that variable is unset, empty or not absolute.
std::filesystem::path AutostartFolder();

// Turns the login item `identifier`, whose desktop entry is `entry`, on (a copy of the entry named
// "<identifier>.desktop" in `autostart`, the folder made when missing, the file replaced atomically) or off
// (that copy removed; a missing copy is already off). On failure returns false with `*detail` (when given)
// saying what failed.
bool SetLoginItemEnabled(const std::filesystem::path& entry, const std::string& identifier, bool enabled,
    const std::filesystem::path& autostart, std::string* detail = nullptr);

// The folders a LoginItemInstaller works on.
struct LoginItemOptions {
    // The program tree (the folder holding bin/). Default: the tree of this process's executable.
    std::filesystem::path programTree;
    // Default: AutostartFolder().
    std::filesystem::path autostart;
};

// The login item: a desktop entry "NAME.desktop" in the program tree's kLoginItemsFolder whose
// kLoginItemIdentifierKey names it NAME, started with the user's desktop session once installed.
//
// Nothing in the program installs one today. A plain object over two folders; not thread-safe.
class LoginItemInstaller final {
public:
    using Options = LoginItemOptions;

    explicit LoginItemInstaller(Options options = {});

    // Installs the login item `name` of the program tree (installLoginItemWithURL on its entry).
    std::optional<bool> installLoginItemWithName(const std::string& name, LoginItemError* error);

    // Installs the login item whose desktop entry is `url`: the entry must be a readable desktop entry with a
    // non-empty identifier equal to its file name without the extension. The item is switched off and then on
    // again. Returns true when it is on; nothing when the entry is refused or cannot be switched on, with the
    // error in `*error` (when given). A failure to switch it off first is reported in `*error` but does not
    // stop the installation.
    std::optional<bool> installLoginItemWithURL(const std::filesystem::path& url, LoginItemError* error);

    const std::filesystem::path& autostart() const { return m_options.autostart; }

private:
    Options m_options;
};

} // namespace corvantis
