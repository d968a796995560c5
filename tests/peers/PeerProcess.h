#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Loopback.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace corvantis::test {

// How to run one server: everything a start attempt needs, given the port it is to listen on and the
// temporary folder that belongs to the peer.
struct PeerCommand {
    std::string name; // for messages and the output file name
    std::vector<std::string> argv; // argv[0] is the program: a path, or a name looked up in PATH
    std::vector<std::pair<std::string, std::string>> files; // (file name in the folder, text) written first
    std::string listenHost = "127.0.0.1"; // where readiness is probed
    Environment env; // variables set (or replaced) for the server
    // True once the server answers on `port`; when not set, once a TCP connection to listenHost:port is
    // accepted. Called over and over until it holds or the start gives up.
    std::function<bool(uint16_t port)> ready;
};

// Builds the command of one attempt for a port and the peer's folder.
using PeerCommandBuilder = std::function<PeerCommand(uint16_t port, const std::filesystem::path& dir)>;

// How PeerProcess::start tries.
struct PeerStartOptions {
    int attempts = 5; // each on another free port
    std::chrono::milliseconds readyTimeout = std::chrono::seconds(10); // for one attempt
    uint16_t port = 0; // a fixed port (tried once) in place of free ones, in a network namespace of the test's own
};

// One real server process started for a test. It runs in a process group of its own; stop() (or the
// destructor) sends SIGTERM to that group by its id, waits for the server to end and falls back to SIGKILL.
// Its standard output and error go to "<name>.out" in its folder, which is removed with the object.
// Not thread-safe: owned and stopped by the test that started it.
class PeerProcess final {
public:
    // Starts the server on a free loopback port and waits until it is ready (see PeerCommand::ready). A start
    // that fails (the process ends, or it is not ready within `readyTimeout`) is retried on another port up to
    // `attempts` times. Throws std::runtime_error with the server's output when every attempt failed.
    static std::unique_ptr<PeerProcess> start(const PeerCommandBuilder& builder, const PeerStartOptions& options = {});

    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    uint16_t port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    const std::filesystem::path& dir() const { return m_dir->path(); }
    const std::string& name() const { return m_name; }
    // What the server wrote to its standard output and error so far.
    std::string output() const;
    // Text of a file in the peer's folder (for example a log file named in its configuration); empty if absent.
    std::string readFile(const std::string& fileName) const;

    // Ends the server (idempotent).
    void stop();

private:
    PeerProcess(std::unique_ptr<TempDir> dir, std::string name, pid_t pid, uint16_t port);

    std::unique_ptr<TempDir> m_dir;
    std::string m_name;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

using PeerProcessPtr = std::unique_ptr<PeerProcess>;

} // namespace corvantis::test
