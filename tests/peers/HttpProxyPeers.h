#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/peers/PeerProcess.h"

namespace corvantis::test {

// Real HTTP proxies for the CONNECT and forwarding tests, each on a free loopback port (127.0.0.1) and stopped
// by its process id when the returned object goes.

struct SquidOptions {
    enum class Auth { None, Basic, Negotiate };
    Auth auth = Auth::None;
    // Basic: the accounts of the password file the peer writes (crypted with openssl passwd -apr1).
    std::vector<std::pair<std::string, std::string>> users;
    // Negotiate: the service keytab, the service principal name and the Kerberos environment (KRB5_CONFIG ...)
    // the helper runs with.
    std::string keytab;
    std::string servicePrincipal;
    std::vector<std::pair<std::string, std::string>> env;
};

// squid in the foreground (-N) with no cache, allowing CONNECT to any port from loopback clients, behind the
// authentication `options` ask for. It drops to the user "proxy", so its folder is handed to that user. Its
// access log is "access.log" and its own log "cache.log" in the peer's folder.
PeerProcessPtr startSquid(const SquidOptions& options = {});

// tinyproxy in the foreground; with a non-empty user it asks for Basic authentication.
PeerProcessPtr startTinyproxy(const std::string& user = {}, const std::string& password = {});

} // namespace corvantis::test
