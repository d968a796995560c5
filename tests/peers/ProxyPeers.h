#pragma once

#include <string>

#include "tests/peers/PeerProcess.h"

namespace corvantis::test {

// Real SOCKS servers for the protocol tests, each started on a free loopback port (127.0.0.1) by
// PeerProcess and stopped by its process id when the returned object goes.

// microsocks, SOCKS5 only. With a non-empty user name it asks for user name and password authentication
// and refuses clients that offer only "no authentication".
PeerProcessPtr startMicrosocks(const std::string& user = {}, const std::string& password = {});

// dante-server (danted) without authentication, serving SOCKS4 and SOCKS5 to clients on 127.0.0.0/8. It
// refuses SOCKS4A requests (reply code 91). Its log is the file "danted.log" of the peer's folder.
struct DanteOptions {
    uint16_t port = 0; // a fixed port (in a network namespace of the test's own); 0: a free one
    bool debug = false; // the log shows each request ("ATYP: 3 address: name.port")
};
PeerProcessPtr startDante(const DanteOptions& options = {});

// The small SOCKS4/SOCKS4A server of this folder (socks4a_server.py): it resolves the names of SOCKS4A
// requests itself. Each request leaves a line "user=<id> host=<name> port=<n> result=<code>" in the file
// "requests.log" of the peer's folder.
PeerProcessPtr startSocks4aServer();

} // namespace corvantis::test
