#include "tests/peers/PeerProcess.h"

#include <fcntl.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/UniqueFd.h"
#include "tests/support/Wait.h"

namespace corvantis::test {

namespace {

std::string readWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::unique_ptr<PeerProcess> PeerProcess::start(const PeerCommandBuilder& builder, const PeerStartOptions& options)
{
    std::string failures;
    const int attempts = options.port == 0 ? options.attempts : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        auto dir = std::make_unique<TempDir>();
        const uint16_t port = options.port == 0 ? freeLoopbackPort() : options.port;
        const PeerCommand command = builder(port, dir->path());
        for (const auto& [fileName, text] : command.files) {
            std::ofstream out(dir->path() / fileName, std::ios::binary);
            out << text;
        }
        const UniqueFd output(
            ::open((dir->path() / (command.name + ".out")).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        SpawnOptions spawn;
        spawn.argv = command.argv;
        spawn.env = command.env;
        spawn.out = output.get();
        spawn.err = output.get();
        spawn.ownGroup = true;
        const pid_t pid = spawnChild(spawn);
        std::unique_ptr<PeerProcess> peer(new PeerProcess(std::move(dir), command.name, pid, port));

        bool ready = false;
        waitUntil(
            [&] {
                ready = command.ready ? command.ready(port) : canConnect(command.listenHost, port);
                return ready || hasExited(pid);
            },
            deadlineIn(options.readyTimeout));
        if (ready)
            return peer;
        peer->stop();
        failures += "\n--- attempt " + std::to_string(attempt + 1) + " on port " + std::to_string(port) + ":\n"
            + peer->output();
    }
    throw std::runtime_error("peer did not start: " + failures);
}

PeerProcess::PeerProcess(std::unique_ptr<TempDir> dir, std::string name, pid_t pid, uint16_t port)
    : m_dir(std::move(dir))
    , m_name(std::move(name))
    , m_pid(pid)
    , m_port(port)
{
}

PeerProcess::~PeerProcess()
{
    stop();
}

void PeerProcess::stop()
{
    stopChild(std::exchange(m_pid, -1), true);
}

std::string PeerProcess::output() const
{
    return readWholeFile(m_dir->path() / (m_name + ".out"));
}

std::string PeerProcess::readFile(const std::string& fileName) const
{
    return readWholeFile(m_dir->path() / fileName);
}

} // namespace corvantis::test
