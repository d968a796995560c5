#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"
#include "tests/support/Loopback.h"

namespace corvantis::test {

// A fake proxy inside the test process that plays a fixed script on the first connection it accepts on
// 127.0.0.1 (port chosen by the system). It reads what the client sends by exact counts and writes the bytes
// it is given, so tests can send replies in pieces, cut short or with any code. After the last step it keeps
// reading (and recording) until the client closes, unless the script ends with closeConnection().
// Public members are called from the test's thread; the script runs on a thread of its own.
class ScriptedProxy final {
public:
    struct Step {
        enum class Kind { Read, Write, WaitDrained, Close };
        Kind kind;
        size_t count = 0; // Read: bytes to read
        std::vector<uint8_t> bytes; // Write: bytes to write

        // Reads exactly `count` bytes from the client (fewer only if the client closes first).
        static Step read(size_t count);
        static Step write(std::vector<uint8_t> bytes);
        // Waits until the client has taken every byte written so far out of its socket (see watchClient), so
        // that the next write reaches it as a separate piece.
        static Step waitDrained();
        // Closes the connection at once.
        static Step closeConnection();
    };

    explicit ScriptedProxy(std::vector<Step> script);
    ~ScriptedProxy();
    ScriptedProxy(const ScriptedProxy&) = delete;
    ScriptedProxy& operator=(const ScriptedProxy&) = delete;

    uint16_t port() const { return m_listener.port(); }
    // The client's end of the connection, for waitDrained(). Borrowed; must stay open while the script runs.
    void watchClient(int clientFd) { m_clientFd = clientFd; }

    // Waits until the script has ended and the client has closed (or the proxy closed), then returns every
    // byte the client sent. Close the client's socket first unless the script closes the connection.
    std::vector<uint8_t> finish();
    // Every byte received so far.
    std::vector<uint8_t> received() const;

private:
    void run();
    bool readSome(int fd, size_t wanted);
    bool waitDrained(int fd);

    std::vector<Step> m_script;
    LoopbackListener m_listener { "127.0.0.1", 4 };
    UniqueFd m_wakeRead;
    UniqueFd m_wakeWrite;
    std::atomic<int> m_clientFd { -1 };
    mutable std::mutex m_mutex;
    std::vector<uint8_t> m_received; // GUARDED_BY(m_mutex)
    std::thread m_thread;
};

} // namespace corvantis::test
