#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace corvantis {

class CConnRecord;
class CSafeSocket;
class CTrafficStatistics;
struct CLogContext;

// Closes a dump file's stream.
struct DumpFileCloser {
    void operator()(std::FILE* file) const;
};
using DumpFilePtr = std::unique_ptr<std::FILE, DumpFileCloser>;

// The two dump files of one connection. A stream that could not be created is null and its path empty.
struct TrafficDumpFiles {
    DumpFilePtr from; // bytes that come from the target
    DumpFilePtr to; // bytes that go to the target
    std::string fromPath;
    std::string toPath;
};

// The time stamp both dump files of a connection carry: "%d_%02d_%02d %02d_%02d_%02d_%03d" with the local date
// and time to the second, then the process's processor time in milliseconds modulo 1000.
std::string MakeTrafficDumpStamp();

// The application part of a dump file name: the context's best name, or "unknown" when it has none.
std::string GetTrafficDumpApplication(const CLogContext& context);

// Creates the pair "<application> FROM <target> AT <stamp>.dmp" and "... TO ..." inside `folder`, each new,
// mode 0600. The names come from other programs and from the network, so ":", "/", NUL and control bytes
// become "_" and overlong parts are cut: a name never leaves the folder and always fits the file system.
// Files are never reused or overwritten: when either name exists already (another connection's dump, or
// anything else), the pair gets the next free " (N)" before ".dmp", so the two directions still pair up by
// name. A file that cannot be created stays null and its direction is not dumped; a missing folder gives none.
TrafficDumpFiles OpenTrafficDumpFiles(
    const std::string& folder, const std::string& application, const std::string& target, const std::string& stamp);

// Relays one established connection between its application-side (local) socket and its target-side socket
// until the connection ends, counting the bytes in the connection record and the traffic statistics and, when
// given a Traffic folder, writing each direction's raw bytes to a dump file of its own.
//
// An end of data from one side shuts down the sending side of the other socket and the other direction goes
// on, so a client that half-closes after its request still gets the whole reply. While both directions are open
// the relay waits for data without limit: an ssh session, an IMAP IDLE or a pooled database connection may stay
// silent for hours and must live. Once one side has ended its stream, the other direction ends after
// `halfClosedIdleTimeout` without data (from the half-close or the last byte moved, whichever is later), so a peer
// that never finishes cannot hold the connection forever. The relay also ends when both directions have ended,
// when a receive or send fails, or when the connection is closed (CConnRecord::Close from any thread wakes it at
// once). When it ends it shuts both sockets down, so no peer waits on a connection nobody relays any more.
//
// Thread safety: RelayLoop runs on one thread, the connection's own. Other threads end it only through the
// connection record's Close (or the sockets' Shutdown); the sockets' descriptors must stay open until
// RelayLoop has returned, which is the engine's rule anyway (it closes them in MarkClosed after the relay).
class CPortForwarder final {
public:
    static constexpr std::size_t kBufferSize = 20000;
    // How long a half-closed connection may stay without data.
    static constexpr std::chrono::milliseconds kDefaultHalfClosedIdleTimeout { 60000 };

    // Borrows `connection` (and `statistics` when not null) for the object's lifetime; both sockets of the
    // record must be set (asserted: a record without them is a programming error). With a folder, both dump
    // files are created there at once; without one nothing is dumped.
    CPortForwarder(CConnRecord& connection, const std::optional<std::string>& folder,
        CTrafficStatistics* statistics = nullptr,
        std::chrono::milliseconds halfClosedIdleTimeout = kDefaultHalfClosedIdleTimeout);
    // Closes the dump files.
    ~CPortForwarder();
    CPortForwarder(const CPortForwarder&) = delete;
    CPortForwarder& operator=(const CPortForwarder&) = delete;

    // Relays until the connection ends (true) or waiting on the sockets fails (false, with the error text).
    // The dump files are flushed before it returns.
    bool RelayLoop();
    std::string GetErrorText() const { return m_ErrorText; }

    // Where the dumps go; empty for a direction that is not dumped.
    const std::string& GetFromPath() const { return m_Dumps.fromPath; }
    const std::string& GetToPath() const { return m_Dumps.toPath; }

private:
    enum class Step { moved, again, ended, failed };
    Step relayOnce(CSafeSocket& from, CSafeSocket& to, bool towardsTarget, char* buffer);
    bool sendAll(CSafeSocket& to, const char* data, std::size_t length, bool towardsTarget);
    // How long the next wait may last: -1 (no limit) while both directions are open; once one has ended, the
    // milliseconds left before the half-closed idle time-out, at least 1, or 0 once it has passed.
    int idleMsLeft() const;

    CConnRecord& m_Connection;
    std::shared_ptr<CSafeSocket> m_LocalSock;
    std::shared_ptr<CSafeSocket> m_TargetSock;
    CTrafficStatistics* const m_Statistics;
    const std::chrono::milliseconds m_HalfClosedIdleTimeout;
    bool m_HalfClosed = false; // one direction has ended; the idle time-out applies from now on
    std::chrono::steady_clock::time_point m_LastActivity;
    std::string m_ErrorText;
    TrafficDumpFiles m_Dumps;
};

} // namespace corvantis
