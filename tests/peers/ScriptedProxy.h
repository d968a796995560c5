#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"
#include "tests/support/Loopback.h"

namespace corvantis::test {

// A fake proxy inside the test process that plays a fixed script on the first connection it accepts on
// 127.0.0.1, or ::1 (port chosen by the system). It reads what the client sends by exact counts and writes the bytes
// it is given, so tests can send replies in pieces, cut short or with any code. After the last step it keeps
// reading (and recording) until the client closes, unless the script ends with closeConnection().
// Public members are called from the test's thread; the script runs on a thread of its own.
class ScriptedProxy final {
public:
    struct Step {
        enum class Kind { Read, Write, WriteRepeatedly, WaitDrained, Close, Dribble };
        Kind kind;
        size_t count = 0; // Read: bytes to read; WriteRepeatedly: most bytes to write
        std::vector<uint8_t> bytes; // Write, WriteRepeatedly, Dribble: bytes to write
        std::chrono::milliseconds interval {}; // Dribble: the pause before each byte

        // Reads exactly `count` bytes from the client (fewer only if the client closes first).
        static Step read(size_t count);
        static Step write(std::vector<uint8_t> bytes);
        // Writes `bytes` over and over, a stream without end as far as the client can tell, until the client
        // closes or `upTo` bytes have gone; then the script goes on. The cap only keeps a client that never stops
        // reading from holding the test for ever.
        static Step writeRepeatedly(std::vector<uint8_t> bytes, size_t upTo);
        // Waits until the client has taken every byte written so far out of its socket (see watchClient), so
        // that the next write reaches it as a separate piece.
        static Step waitDrained();
        // Closes the connection at once.
        static Step closeConnection();
        // Writes `bytes` one at a time, each after a pause of `interval`: a proxy that answers, but too slowly.
        static Step dribble(std::vector<uint8_t> bytes, std::chrono::milliseconds interval);
    };

    // Listens on 127.0.0.1, or on ::1 with `ipv6` (throws when it cannot).
    explicit ScriptedProxy(std::vector<Step> script, bool ipv6 = false);
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
    bool dribble(int fd, const Step& step);

    std::vector<Step> m_script;
    LoopbackListener m_listener;
    UniqueFd m_wakeRead;
    UniqueFd m_wakeWrite;
    std::atomic<int> m_clientFd { -1 };
    mutable std::mutex m_mutex;
    std::vector<uint8_t> m_received; // GUARDED_BY(m_mutex)
    std::thread m_thread;
};

} // namespace corvantis::test
