#pragma once

#include "platform/Mutex.h"
#include "platform/Result.h"

#include <filesystem>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvantis {

// The users besides root who may use the supervisor, kept in a file of the supervisor's state folder: one
// decimal uid a line, 0600, replaced atomically. Root is always allowed and never stored.
//
// Two processes write the file: the running supervisor and `corvantis-supervisor allow USER`. Each add() takes
// the state folder's lock and rereads the file before writing, so neither loses the other's users; the running
// supervisor sees another process's additions after reload().
//
// Thread-safety: every member may be called from any thread.
class AllowList final {
public:
    // The file's name inside the state folder.
    static constexpr const char* kFileName = "allowed-users";

    // A list kept in `file`. Reads nothing yet: call reload().
    explicit AllowList(std::filesystem::path file);
    AllowList(const AllowList&) = delete;
    AllowList& operator=(const AllowList&) = delete;

    // Rereads the file. A missing file is an empty list. A line that is not a uid makes the whole file
    // unreadable: the error names the file and the line, and the list keeps what it held before.
    [[nodiscard]] Status reload();

    // Adds the user `text` names, a login name or a decimal uid, and stores the list. Returns the uid.
    // An unknown login name fails with "No such user: <text>" (ENOENT); a uid need not have an account.
    // Adding root, or a user already there, changes nothing and succeeds.
    [[nodiscard]] Result<uid_t> add(const std::string& text);

    // Whether `uid` may use the supervisor: root, or a uid on the list as last read or added.
    bool contains(uid_t uid) const;

    // The stored uids, ascending (root not among them).
    std::vector<uid_t> uids() const;

    const std::filesystem::path& file() const { return m_file; }

    // The uid `text` names: a decimal number below the invalid uid (uid_t)-1, else a login name looked up with
    // getpwnam_r. Fails with "No such user: <text>" (ENOENT) for an unknown name, EINVAL for an empty text.
    [[nodiscard]] static Result<uid_t> resolveUser(const std::string& text);

private:
    // Reads the file as it is now; a missing file is an empty set.
    Result<std::set<uid_t>> readFile() const;

    const std::filesystem::path m_file;
    mutable Mutex m_mutex;
    std::set<uid_t> m_uids GUARDED_BY(m_mutex);
};

} // namespace corvantis
