#pragma once

#include "platform/Result.h"

#include <filesystem>
#include <string>

namespace corvantis {

// Where the programs of one tree are: the tree is the stand-in for the application bundle, and the supervisor
// runs only the extension of its own tree. A plain value; safe to copy between threads.
//
//   <root>/libexec/corvantis/corvantis-supervisor
//   <root>/libexec/corvantis/CorvantisExtension
//   <root>/share/corvantis/SystemExtensions/CorvantisExtension/Info.plist
class ExtensionTree final {
public:
    // The tree the supervisor executable `supervisorPath` sits in (made absolute; symbolic links are not
    // resolved, so a tree reached through a link stays that tree). Fails, naming the path, unless the executable
    // sits in a libexec/corvantis folder.
    [[nodiscard]] static Result<ExtensionTree> fromSupervisor(const std::filesystem::path& supervisorPath);
    // The tree of this process's own executable (/proc/self/exe).
    [[nodiscard]] static Result<ExtensionTree> ofThisProcess();

    // A tree rooted at `root`; checks nothing.
    explicit ExtensionTree(std::filesystem::path root);

    const std::filesystem::path& root() const { return m_root; }
    std::filesystem::path supervisor() const;
    std::filesystem::path extensionBinary() const;
    std::filesystem::path manifest() const;

private:
    std::filesystem::path m_root;
};

// The extension's manifest: an XML property list. Stateless; safe from any thread.
class Manifest final {
public:
    Manifest() = delete;

    // "CFBundleShortVersionString" of the manifest at `path`. Fails with the path and the reason when the file
    // cannot be read or parsed, or the entry is missing or not a string.
    [[nodiscard]] static Result<std::string> readShortVersion(const std::filesystem::path& path);

    // "NetworkExtension" → "NEMachServiceName": the name of the extension's service socket in the runtime
    // folder. Fails with "Mach service name is missing from the Info.plist" (the extension's own words).
    [[nodiscard]] static Result<std::string> readServiceName(const std::filesystem::path& path);
};

} // namespace corvantis
