#include "tests/peers/PeerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/UniqueFd.h"

extern char** environ;

namespace corvantis::test {

namespace {

using Clock = std::chrono::steady_clock;

// Polling interval of the waits below; they end as soon as their condition holds.
constexpr auto kPollInterval = std::chrono::milliseconds(10);

std::string readWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// True once `pid` has ended; it is left a zombie (not reaped) so that its id, and the group id it leads,
// cannot be handed to another process while we still signal the group.
bool hasExited(pid_t pid)
{
    siginfo_t info {};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;
    return info.si_pid == pid;
}

bool waitExited(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!hasExited(pid)) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

// Ends the group led by `pid` and reaps the leader.
void terminateGroup(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGTERM);
    if (!waitExited(pid, std::chrono::seconds(5)))
        kill(-pid, SIGKILL);
    waitExited(pid, std::chrono::seconds(30));
    // The leader is a zombie now, so the group id is still ours: clean up any children it left behind.
    kill(-pid, SIGKILL);
    int status = 0;
    retryOnEintr([&] { return waitpid(pid, &status, 0); });
    // Killed members linger for a moment until their new parent reaps them; callers expect them gone. The group
    // id cannot be reused while any of them exists, so probing it is safe.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (kill(-pid, 0) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(kPollInterval);
}

pid_t spawn(const PeerCommand& command, const std::filesystem::path& outFile)
{
    std::vector<char*> argv;
    for (const auto& arg : command.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : { SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD })
        sigaddset(&defaults, sig);
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &noMask);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    // The test's own environment, with the command's variables in place of any of the same name.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& [key, value] : command.env)
            replaced = replaced || key == name;
        if (!replaced)
            envStrings.push_back(entry);
    }
    for (const auto& [key, value] : command.env)
        envStrings.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + command.argv[0] + ": " + std::strerror(rc));
    return pid;
}

} // namespace

std::unique_ptr<PeerProcess> PeerProcess::start(
    const PeerCommandBuilder& builder, int attempts, std::chrono::milliseconds readyTimeout)
{
    std::string failures;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        auto dir = std::make_unique<TempDir>();
        const uint16_t port = freeLoopbackPort();
        const PeerCommand command = builder(port, dir->path());
        for (const auto& [fileName, text] : command.files) {
            std::ofstream out(dir->path() / fileName, std::ios::binary);
            out << text;
        }
        const auto outFile = dir->path() / (command.name + ".out");
        const pid_t pid = spawn(command, outFile);
        std::unique_ptr<PeerProcess> peer(new PeerProcess(std::move(dir), command.name, pid, port));

        const auto deadline = Clock::now() + readyTimeout;
        for (;;) {
            if (canConnect(command.listenHost, port))
                return peer;
            if (hasExited(pid) || Clock::now() >= deadline)
                break;
            std::this_thread::sleep_for(kPollInterval);
        }
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
    terminateGroup(std::exchange(m_pid, -1));
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
