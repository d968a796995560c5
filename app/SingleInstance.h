#pragma once

#include "platform/Result.h"
#include "platform/UniqueFd.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace corvantis {

// One running copy of the application per user.
//
// The first copy holds an exclusive flock on "<folder>/Corvantis.instance.lock" for its life and listens on the
// local socket "<folder>/Corvantis.instance". A later copy finds the lock taken, connects, hands over its file
// arguments and waits for the running copy's acknowledgement; the running copy then calls the files handler
// (if any paths came) and the activate handler, in that order, on its own thread. Since the lock decides who runs,
// a socket left by a copy that died is stale and is replaced. The lock also keeps two copies started at the same
// moment from both listening.
//
// The hand-over waits in a local event loop, so a running copy served by the same thread (tests) still answers.
// Peers that send anything but a well-formed hand-over, or too much, or too slowly, or run as another user, are
// dropped. GUI thread (or any thread with an event loop); not thread-safe.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        Running, // this is the running copy: it holds the lock and listens
        HandedOver, // another copy runs and acknowledged our paths
        NoAnswer, // another copy holds the lock but did not take our paths within the time-out
    };
    struct Options {
        std::string folder; // empty: defaultFolder()
        std::chrono::milliseconds timeout { 5000 }; // hand-over wait, and a peer's time to send its paths
    };

    explicit SingleInstance(Options options, QObject* parent = nullptr);
    explicit SingleInstance(QObject* parent = nullptr)
        : SingleInstance(Options {}, parent)
    {
    }
    // A running copy stops listening, removes its socket and releases the lock.
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // $XDG_RUNTIME_DIR when set to an absolute path, else the application's home (programHomeDir); never the
    // shared runtime folder of the services. Empty when neither can be found.
    static std::string defaultFolder();

    // Becomes the running copy, or hands `paths` (made absolute against the current folder) to the running one.
    // Creates the folder (0700) when missing. Errors: no folder, a socket path longer than a socket address
    // holds, or the lock or socket cannot be made; the message names the path. Call once.
    Result<Outcome> start(const std::vector<std::string>& paths);

    // Handlers of the running copy; set them before the event loop runs. Paths arrive byte for byte as sent.
    void setFilesHandler(std::function<void(const std::vector<std::string>& paths)> handler);
    void setActivateHandler(std::function<void()> handler);

    // The hand-over message: "CVSI", the number of paths (32 bits, big-endian), then each path as its length
    // (32 bits, big-endian) and its bytes. At most kMaxPaths paths of 1 to kMaxPathBytes bytes, none holding a NUL.
    // The running copy answers kAcknowledgement.
    static constexpr uint32_t kMaxPaths = 256;
    static constexpr uint32_t kMaxPathBytes = 4096;
    static constexpr std::string_view kAcknowledgement = "CVOK";
    static std::string encodeHandOver(const std::vector<std::string>& paths);
    enum class Decoded { NeedMore, Complete, Invalid };
    // Reads a hand-over from the start of `bytes`; on Complete fills `paths`. Never reads past `bytes`.
    static Decoded decodeHandOver(std::string_view bytes, std::vector<std::string>& paths);

    // The socket's path ("<folder>/Corvantis.instance"), known after construction.
    const std::string& socketPath() const { return m_socketPath; }

private:
    struct Peer;
    void acceptPeers();
    void readPeer(QLocalSocket* socket, Peer& peer);
    void deliver(const std::vector<std::string>& paths);
    Result<Outcome> becomeRunning();
    Result<Outcome> handOver(const std::vector<std::string>& paths);

    Options m_options;
    std::string m_folder;
    std::string m_socketPath;
    std::string m_lockPath;
    UniqueFd m_lock;
    QLocalServer* m_server = nullptr; // owned as a child
    std::function<void(const std::vector<std::string>&)> m_filesHandler;
    std::function<void()> m_activateHandler;
};

} // namespace corvantis
