#pragma once

// The extension daemon as a program, started by a test.

#include "platform/UniqueFd.h"
#include "tests/support/Loopback.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace corvantis::test {

inline const std::filesystem::path kBuildTree = std::filesystem::path(CORVANTIS_BUILD_DIR);
inline const std::filesystem::path kDaemon = kBuildTree / "libexec" / "corvantis" / "CorvantisExtension";

// A daemon started for a test, with its own home and runtime folder, its standard error in a file.
class Daemon final {
public:
    // `prefix`: a command the program runs under (prlimit, setpriv); `arguments`: the program's own, after
    // "-AllowedUid".
    explicit Daemon(std::vector<std::string> prefix = {}, std::filesystem::path program = kDaemon,
        std::optional<uid_t> allowedUid = ::getuid(), std::vector<std::string> arguments = {})
        : m_arguments(std::move(arguments))
    {
        ::chmod(m_runtime.path().c_str(), 0755);
        m_log = UniqueFd(::open((m_home / "daemon.log").c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600));
        spawn(std::move(prefix), program, allowedUid);
    }
    ~Daemon() { stop(); }

    int stop()
    {
        const int code = m_pid > 0 ? stopChild(m_pid, false) : -1;
        m_pid = -1;
        return code;
    }
    // Ends the program by SIGKILL, with no chance to clean up, and reaps it.
    void kill()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }
    // Starts the program again with the same home and runtime folder.
    void restart(std::optional<uid_t> allowedUid)
    {
        stop();
        spawn({}, kDaemon, allowedUid);
    }
    // Waits until the service `name` of the runtime folder takes connections.
    bool waitForSocket(const std::string& name = "com.velmar.corvantis.v3.macos.CorvantisExtension") const
    {
        return waitUntil([&] { return canConnectLocal((m_runtime / name).string()); });
    }
    bool exited() const { return m_pid > 0 && hasExited(m_pid); }
    std::string log() const
    {
        std::ifstream in(m_home / "daemon.log");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool waitForLine(const std::string& part) const
    {
        return waitUntil([&] { return log().find(part) != std::string::npos; });
    }
    const TempDir& runtime() const { return m_runtime; }
    std::filesystem::path home() const { return m_home / "home"; }
    pid_t pid() const { return m_pid; }

private:
    void spawn(std::vector<std::string> argv, const std::filesystem::path& program, std::optional<uid_t> allowedUid)
    {
        argv.push_back(program.string());
        if (allowedUid) {
            argv.push_back("-AllowedUid");
            argv.push_back(std::to_string(*allowedUid));
        }
        argv.insert(argv.end(), m_arguments.begin(), m_arguments.end());
        SpawnOptions options;
        options.argv = argv;
        options.env = { { "CORVANTIS_EXTENSION_HOME", (m_home / "home").string() },
            { "CORVANTIS_RUNTIME_DIR", m_runtime.str() } };
        options.out = m_log.get();
        options.err = m_log.get();
        m_pid = spawnChild(options);
    }

    const std::vector<std::string> m_arguments;
    TempDir m_home;
    TempDir m_runtime;
    UniqueFd m_log;
    pid_t m_pid = -1;
};

} // namespace corvantis::test
