#include "platform/SystemIdentity.h"

#include <cerrno>
#include <fstream>
#include <pwd.h>
#include <vector>

namespace corvantis {

std::optional<UserAccount> lookupUser(uid_t uid)
{
    std::vector<char> buffer(16384);
    for (;;) {
        passwd entry {};
        passwd* found = nullptr;
        int err = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (err == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (err != 0 || !found)
            return std::nullopt;
        UserAccount account;
        account.name = found->pw_name ? found->pw_name : "";
        std::string gecos = found->pw_gecos ? found->pw_gecos : "";
        account.realName = gecos.substr(0, gecos.find(','));
        account.home = found->pw_dir ? found->pw_dir : "";
        account.shell = found->pw_shell ? found->pw_shell : "";
        account.uid = found->pw_uid;
        account.gid = found->pw_gid;
        return account;
    }
}

std::string machineId()
{
    for (const char* path : { "/etc/machine-id", "/var/lib/dbus/machine-id" }) {
        std::ifstream file(path);
        std::string line;
        if (!file || !std::getline(file, line))
            continue;
        const char* blanks = " \t\r\n";
        std::size_t first = line.find_first_not_of(blanks);
        if (first == std::string::npos)
            continue;
        return line.substr(first, line.find_last_not_of(blanks) - first + 1);
    }
    return {};
}

} // namespace corvantis
