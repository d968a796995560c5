#include "tests/peers/ProxyPeers.h"

namespace corvantis::test {

PeerProcessPtr startMicrosocks(const std::string& user, const std::string& password)
{
    return PeerProcess::start([&](uint16_t port, const std::filesystem::path&) {
        PeerCommand command;
        command.name = "microsocks";
        command.argv = { "/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(port) };
        if (!user.empty())
            command.argv.insert(command.argv.end(), { "-u", user, "-P", password });
        return command;
    });
}

PeerProcessPtr startDante(const DanteOptions& options)
{
    PeerStartOptions start;
    start.port = options.port;
    return PeerProcess::start(
        [options](uint16_t port, const std::filesystem::path& dir) {
            PeerCommand command;
            command.name = "danted";
            const std::string config = "logoutput: " + (dir / "danted.log").string() + "\n"
                + (options.debug ? "debug: 1\n" : "") + "internal: 127.0.0.1 port = " + std::to_string(port)
                + "\n"
                  "external: 127.0.0.1\n"
                  "clientmethod: none\n"
                  "socksmethod: none\n"
                  "user.privileged: root\n"
                  "user.unprivileged: nobody\n"
                  "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                  "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
            command.files = { { "danted.conf", config } };
            command.argv = { "/usr/sbin/danted", "-f", (dir / "danted.conf").string(), "-N", "1", "-p",
                (dir / "danted.pid").string() };
            return command;
        },
        start);
}

PeerProcessPtr startSocks4aServer()
{
    return PeerProcess::start([](uint16_t port, const std::filesystem::path& dir) {
        PeerCommand command;
        command.name = "socks4a";
        command.argv = { "/usr/bin/python3", std::string(CORVANTIS_PEERS_DIR) + "/socks4a_server.py",
            std::to_string(port), (dir / "requests.log").string() };
        return command;
    });
}

} // namespace corvantis::test
