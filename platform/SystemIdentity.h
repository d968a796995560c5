#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace corvantis {

// One account of the password database.
struct UserAccount {
    std::string name;
    std::string realName; // the first field of the GECOS text
    std::string home;
    std::string shell;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The account with this user id, or nothing when there is none (or the database cannot be read).
// Thread-safe.
std::optional<UserAccount> lookupUser(uid_t uid);

// The machine's identity: the first line of /etc/machine-id (else of /var/lib/dbus/machine-id), without
// surrounding blanks. Empty when neither can be read.
std::string machineId();

} // namespace corvantis
