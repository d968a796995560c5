#include "tests/peers/Dnsmasq.h"

#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tests/support/Loopback.h"

namespace corvantis::test {

namespace {

std::optional<std::vector<uint8_t>> askAt(
    const std::string& host, uint16_t port, const std::vector<uint8_t>& query, Deadline deadline)
{
    LoopbackUdp client(host.find(':') == std::string::npos ? AF_INET : AF_INET6);
    if (!client.sendTo(query, host, port))
        return std::nullopt;
    return client.receive(deadline);
}

} // namespace

Dnsmasq::Dnsmasq(const std::vector<std::string>& records)
    : Dnsmasq(Where {}, records)
{
}

Dnsmasq::Dnsmasq(const Where& where, const std::vector<std::string>& records)
    : m_host(where.address)
{
    const auto builder = [&](uint16_t port, const std::filesystem::path& dir) {
        PeerCommand command;
        command.name = "dnsmasq";
        command.argv
            = { "dnsmasq", "--no-daemon", "--port=" + std::to_string(port), "--listen-address=" + where.address,
                  "--bind-interfaces", "--no-resolv", "--no-hosts", "--conf-file=/dev/null",
                  "--pid-file=" + (dir / "dnsmasq.pid").string(), "--log-facility=" + (dir / "log").string() };
        if (getuid() == 0)
            command.argv.push_back("--user=root");
        command.argv.insert(command.argv.end(), records.begin(), records.end());
        // A root query: any answer at all means dnsmasq listens.
        command.ready = [host = where.address](uint16_t port) {
            const std::vector<uint8_t> probe { 0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1 };
            return askAt(host, port, probe, deadlineIn(std::chrono::milliseconds(200))).has_value();
        };
        return command;
    };
    PeerStartOptions options;
    options.port = where.port;
    try {
        m_peer = PeerProcess::start(builder, options);
    } catch (const std::runtime_error& e) {
        m_startError = e.what();
    }
}

std::optional<std::vector<uint8_t>> Dnsmasq::ask(const std::vector<uint8_t>& query, Deadline deadline) const
{
    return askAt(m_host, port(), query, deadline);
}

} // namespace corvantis::test
