#pragma once

#include "platform/Result.h"
#include "platform/UniqueFd.h"

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace corvantis {

// Whole-file replacement for small files that must never be seen half-written.
class AtomicFile final {
public:
    AtomicFile() = delete;

    // Writes `contents` to a temporary file beside `path` with the given mode, flushes it to disk and renames
    // it over `path`. On failure `path` is unchanged and the temporary file is gone. `written`, when given,
    // receives the new file's status.
    static Status replace(
        const std::filesystem::path& path, const std::string& contents, mode_t mode, struct stat* written = nullptr);

    // An exclusive flock on a folder, held while the object lives. Writers of the files in a folder take it
    // around read-modify-write; the lock is on the folder because each write replaces the file itself.
    class FolderLock final {
    public:
        // Blocks until the lock is held; check ok() afterwards.
        explicit FolderLock(const std::filesystem::path& folder);
        bool ok() const { return m_status.ok(); }
        const Status& status() const { return m_status; }

    private:
        UniqueFd m_fd;
        Status m_status;
    };
};

} // namespace corvantis
