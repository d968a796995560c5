#include "peers/ProxyPeers.h"

namespace corvantis::test {

PeerProcessPtr startMicrosocks(const std::string& user, const std::string& password)
{
    return PeerProcess::start([&](uint16_t port, const std::filesystem::path&) {
        PeerSpec spec;
        spec.name = "microsocks";
        spec.argv = { "/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(port) };
        if (!user.empty())
            spec.argv.insert(spec.argv.end(), { "-u", user, "-P", password });
        return spec;
    });
}

PeerProcessPtr startDante()
{
    return PeerProcess::start([](uint16_t port, const std::filesystem::path& dir) {
        PeerSpec spec;
        spec.name = "danted";
        const std::string config = "logoutput: " + (dir / "danted.log").string()
            + "\n"
              "internal: 127.0.0.1 port = "
            + std::to_string(port)
            + "\n"
              "external: 127.0.0.1\n"
              "clientmethod: none\n"
              "socksmethod: none\n"
              "user.privileged: root\n"
              "user.unprivileged: nobody\n"
              "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
              "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
        spec.files = { { "danted.conf", config } };
        spec.argv = { "/usr/sbin/danted", "-f", (dir / "danted.conf").string(), "-N", "1", "-p",
            (dir / "danted.pid").string() };
        return spec;
    });
}

PeerProcessPtr startSocks4aServer()
{
    return PeerProcess::start([](uint16_t port, const std::filesystem::path& dir) {
        PeerSpec spec;
        spec.name = "socks4a";
        spec.argv = { "/usr/bin/python3", std::string(CORVANTIS_PEERS_DIR) + "/socks4a_server.py", std::to_string(port),
            (dir / "requests.log").string() };
        return spec;
    });
}

} // namespace corvantis::test
