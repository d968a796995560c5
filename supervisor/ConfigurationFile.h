#pragma once

#include "platform/PlistValue.h"
#include "platform/Result.h"
#include "platform/sysext/NEConfigurationStore.h"

#include <filesystem>
#include <string>
#include <vector>

namespace corvantis {

// The network configurations the supervisor keeps: one XML property list in its state folder, 0600, replaced
// atomically. The list's order is kept as it is given, so transparent proxies stay in the order they were first
// saved; it holds at most one DNS proxy and at most one content filter. Every field of NEConfiguration is
// stored, protocols included.
//
// A file that exists but cannot be read as such a list (broken XML, a wrong type, an unknown kind, two DNS
// proxies...) is never replaced silently: load() fails with its path, and so does every save() while the file
// stays damaged, so the configurations in it are not lost to the next save. Whoever runs the supervisor repairs
// or removes the file.
//
// Holds only its path: any number of objects may share a file; writers take the state folder's lock around the
// check and the write. Safe from any thread.
class ConfigurationFile final {
public:
    // The file's name inside the state folder.
    static constexpr const char* kFileName = "configurations.plist";

    explicit ConfigurationFile(std::filesystem::path file);

    // The stored configurations in their order; a missing file is an empty list. Errors name the file:
    // "<path>: <reason>".
    [[nodiscard]] Result<std::vector<NEConfiguration>> load() const;

    // Replaces the stored list with `configurations`. Fails, storing nothing, when the list breaks the rules
    // (an empty or repeated identifier, more than one DNS proxy or content filter, text XML cannot carry), when
    // the file on disk is damaged (see the class comment), or when the write fails.
    [[nodiscard]] Status save(const std::vector<NEConfiguration>& configurations) const;

    const std::filesystem::path& file() const { return m_file; }

    // Puts `configuration` into `list` as the store's save does: the entry with the same identifier is replaced
    // in place; a DNS proxy or content filter otherwise replaces the one of its kind, taking over its identifier
    // and place; anything else is appended with a new identifier (its own, empty or unknown, is dropped).
    // Returns the configuration as stored. Assumes a list that follows the rules; leaves the file alone.
    static NEConfiguration put(std::vector<NEConfiguration>& list, NEConfiguration configuration);

    // A new identifier: 128 random bits (getrandom) in the 8-4-4-4-12 upper-case hex form of a UUID (version 4).
    static std::string newIdentifier();

    // The property list of `configurations` and back, as the file holds it. decode() refuses what load() would.
    static PlistValue encode(const std::vector<NEConfiguration>& configurations);
    [[nodiscard]] static Result<std::vector<NEConfiguration>> decode(const PlistValue& plist);

private:
    const std::filesystem::path m_file;
};

} // namespace corvantis
