#include "tests/peers/HttpProxyPeers.h"

#include <pwd.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/support/Subprocess.h"

namespace corvantis::test {

namespace {

// htpasswd-style line "user:$apr1$..." for basic_ncsa_auth.
std::string passwordLine(const std::string& user, const std::string& password)
{
    const CommandResult result = runCommand({ "openssl", "passwd", "-apr1", "-stdin" }, password + "\n");
    std::string hash = result.out;
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r'))
        hash.pop_back();
    if (result.exitCode != 0 || hash.empty())
        throw std::runtime_error("openssl passwd failed: " + result.err);
    return user + ":" + hash + "\n";
}

// Squid's workers and helpers run as "proxy" when started by root: they must read and write the folder.
void handToSquidUser(const std::filesystem::path& dir)
{
    if (geteuid() != 0)
        return;
    if (const passwd* pw = getpwnam("proxy")) {
        if (chown(dir.c_str(), pw->pw_uid, pw->pw_gid) != 0)
            throw std::runtime_error("cannot hand the squid folder to user proxy");
    }
}

} // namespace

PeerProcessPtr startSquid(const SquidOptions& options)
{
    std::string passwords;
    for (const auto& [user, password] : options.users)
        passwords += passwordLine(user, password);

    return PeerProcess::start([&](uint16_t port, const std::filesystem::path& dir) {
        handToSquidUser(dir);
        const std::string d = dir.string();
        std::string config = "http_port 127.0.0.1:" + std::to_string(port)
            + "\n"
              "pid_filename "
            + d
            + "/squid.pid\n"
              "access_log stdio:"
            + d
            + "/access.log\n"
              "cache_log "
            + d
            + "/cache.log\n"
              "cache_store_log none\n"
              "coredump_dir "
            + d
            + "\n"
              "cache deny all\n"
              "cache_mem 8 MB\n"
              "shutdown_lifetime 0 seconds\n"
              "acl loopback src 127.0.0.0/8\n";
        if (geteuid() == 0)
            config += "cache_effective_user proxy\n";
        PeerCommand spec;
        spec.name = "squid";
        spec.env = options.env;
        switch (options.auth) {
        case SquidOptions::Auth::None:
            config += "http_access allow loopback\n";
            break;
        case SquidOptions::Auth::Basic:
            spec.files.emplace_back("passwd", passwords);
            config += "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + d
                + "/passwd\n"
                  "auth_param basic children 2 startup=1\n"
                  "auth_param basic realm corvantis-test\n"
                  "acl authed proxy_auth REQUIRED\n"
                  "http_access allow loopback authed\n";
            break;
        case SquidOptions::Auth::Negotiate:
            config += "auth_param negotiate program /usr/lib/squid/negotiate_kerberos_auth -s "
                + options.servicePrincipal + " -k " + options.keytab
                + "\n"
                  "auth_param negotiate children 2 startup=1\n"
                  "auth_param negotiate keep_alive on\n"
                  "acl authed proxy_auth REQUIRED\n"
                  "http_access allow loopback authed\n";
            break;
        }
        config += "http_access deny all\n";
        spec.files.emplace_back("squid.conf", config);
        spec.argv = { "/usr/sbin/squid", "-N", "-f", d + "/squid.conf" };
        return spec;
    });
}

PeerProcessPtr startTinyproxy(const std::string& user, const std::string& password)
{
    return PeerProcess::start([&](uint16_t port, const std::filesystem::path& dir) {
        const std::string d = dir.string();
        std::string config = "Port " + std::to_string(port)
            + "\n"
              "Listen 127.0.0.1\n"
              "Timeout 60\n"
              "LogLevel Info\n"
              "LogFile \""
            + d
            + "/tinyproxy.log\"\n"
              "PidFile \""
            + d
            + "/tinyproxy.pid\"\n"
              "MaxClients 20\n"
              "Allow 127.0.0.1\n";
        if (!user.empty())
            config += "BasicAuth " + user + " " + password + "\n";
        if (geteuid() == 0) {
            config += "User nobody\nGroup nogroup\n";
            if (const passwd* pw = getpwnam("nobody"))
                static_cast<void>(chown(dir.c_str(), pw->pw_uid, pw->pw_gid));
        }
        PeerCommand spec;
        spec.name = "tinyproxy";
        spec.files.emplace_back("tinyproxy.conf", config);
        spec.argv = { "/usr/bin/tinyproxy", "-d", "-c", d + "/tinyproxy.conf" };
        return spec;
    });
}

} // namespace corvantis::test
