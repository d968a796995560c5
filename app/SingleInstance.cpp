#include "app/SingleInstance.h"

#include "core/foundation/LogMessage.h"
#include "platform/ProgramHome.h"

#include <QEventLoop>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvantis {

namespace {

constexpr std::string_view kMagic = "CVSI";
constexpr const char* kSocketName = "Corvantis.instance";
constexpr const char* kLockName = "Corvantis.instance.lock";
// How long a starter waits before trying again to reach a copy that holds the lock but does not listen yet.
constexpr int kRetryMs = 50;

void appendU32(std::string& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xff));
}

// Reads a big-endian 32-bit number at `pos`; false when fewer than 4 bytes remain.
bool readU32(std::string_view bytes, size_t& pos, uint32_t& v)
{
    if (bytes.size() - pos < 4)
        return false;
    v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(bytes[pos + i]);
    pos += 4;
    return true;
}

// Creates `folder` and its missing parents, each 0700.
Status makeFolder(const std::string& folder)
{
    std::string prefix;
    for (const auto& part : std::filesystem::path(folder)) {
        prefix = (std::filesystem::path(prefix) / part).string();
        if (prefix == "/")
            continue;
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return Status::error(errno, "cannot create " + prefix + ": " + std::strerror(errno));
    }
    struct stat st { };
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Status::error(ENOTDIR, folder + " is not a folder");
    return {};
}

bool peerIsSameUser(QLocalSocket* socket)
{
    ucred cred {};
    socklen_t length = sizeof cred;
    int fd = static_cast<int>(socket->socketDescriptor());
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred)
        return false;
    return cred.uid == ::geteuid();
}

// Runs the thread's events until `done()` holds or `deadline` passes (then false). `wake` is quit by whoever
// makes `done()` true.
bool waitFor(QEventLoop& wake, const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline)
{
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &wake, &QEventLoop::quit);
        timer.start(left);
        wake.exec();
    }
    return true;
}

} // namespace

struct SingleInstance::Peer {
    QByteArray bytes;
    QTimer* deadline = nullptr; // a child of the peer's socket
};

SingleInstance::SingleInstance(Options options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    m_folder = m_options.folder.empty() ? defaultFolder() : m_options.folder;
    if (!m_folder.empty()) {
        m_socketPath = (std::filesystem::path(m_folder) / kSocketName).string();
        m_lockPath = (std::filesystem::path(m_folder) / kLockName).string();
    }
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close(); // also removes the socket, which is ours while we hold the lock
    m_lock.reset();
}

std::string SingleInstance::defaultFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return runtime;
    return programHomeDir(Program::Application);
}

std::string SingleInstance::encodeHandOver(const std::vector<std::string>& paths)
{
    std::string out(kMagic);
    appendU32(out, static_cast<uint32_t>(paths.size()));
    for (const auto& path : paths) {
        appendU32(out, static_cast<uint32_t>(path.size()));
        out += path;
    }
    return out;
}

SingleInstance::Decoded SingleInstance::decodeHandOver(std::string_view bytes, std::vector<std::string>& paths)
{
    size_t pos = 0;
    size_t magic = std::min(bytes.size(), kMagic.size());
    if (bytes.substr(0, magic) != kMagic.substr(0, magic))
        return Decoded::Invalid;
    if (bytes.size() < kMagic.size())
        return Decoded::NeedMore;
    pos = kMagic.size();
    uint32_t count = 0;
    if (!readU32(bytes, pos, count))
        return Decoded::NeedMore;
    if (count > kMaxPaths)
        return Decoded::Invalid;
    std::vector<std::string> found;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        if (!readU32(bytes, pos, length))
            return Decoded::NeedMore;
        if (length == 0 || length > kMaxPathBytes)
            return Decoded::Invalid;
        if (bytes.size() - pos < length)
            return Decoded::NeedMore;
        std::string_view path = bytes.substr(pos, length);
        if (path.find('\0') != std::string_view::npos)
            return Decoded::Invalid;
        found.emplace_back(path);
        pos += length;
    }
    paths = std::move(found);
    return Decoded::Complete;
}

void SingleInstance::setFilesHandler(std::function<void(const std::vector<std::string>&)> handler)
{
    m_filesHandler = std::move(handler);
}

void SingleInstance::setActivateHandler(std::function<void()> handler)
{
    m_activateHandler = std::move(handler);
}

Result<SingleInstance::Outcome> SingleInstance::start(const std::vector<std::string>& paths)
{
    if (m_folder.empty())
        return Status::error(ENOENT, "no folder for the single-instance lock: neither XDG_RUNTIME_DIR nor a home");
    if (m_socketPath.size() >= sizeof(sockaddr_un::sun_path))
        return Status::error(ENAMETOOLONG, "single-instance socket path too long: " + m_socketPath);
    if (Status made = makeFolder(m_folder); !made.ok())
        return made;

    UniqueFd lock(::open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock)
        return Status::error(errno, "cannot open " + m_lockPath + ": " + std::strerror(errno));
    if (retryOnEintr([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0) {
        if (errno != EWOULDBLOCK)
            return Status::error(errno, "cannot lock " + m_lockPath + ": " + std::strerror(errno));
        return handOver(paths);
    }
    m_lock = std::move(lock);
    return becomeRunning();
}

Result<SingleInstance::Outcome> SingleInstance::becomeRunning()
{
    // Holding the lock, any socket already there was left by a copy that is gone.
    QLocalServer::removeServer(QString::fromStdString(m_socketPath));
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(QString::fromStdString(m_socketPath))) {
        std::string error = m_server->errorString().toStdString();
        delete m_server;
        m_server = nullptr;
        m_lock.reset();
        return Status::error(EADDRINUSE, "cannot listen on " + m_socketPath + ": " + error);
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptPeers);
    return Outcome::Running;
}

void SingleInstance::acceptPeers()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (!peerIsSameUser(socket)) {
            CLogMessage(kLogInfo) << "Single instance: refused a peer of another user";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto peer = std::make_shared<Peer>();
        auto* timer = new QTimer(socket);
        peer->deadline = timer;
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, socket, [socket] {
            CLogMessage(kLogInfo) << "Single instance: a peer sent no complete hand-over in time";
            socket->abort();
            socket->deleteLater();
        });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, peer] { readPeer(socket, *peer); });
        timer->start(m_options.timeout);
        if (socket->bytesAvailable() > 0)
            readPeer(socket, *peer);
    }
}

void SingleInstance::readPeer(QLocalSocket* socket, Peer& peer)
{
    peer.bytes += socket->readAll();
    std::vector<std::string> paths;
    switch (decodeHandOver(std::string_view(peer.bytes.constData(), static_cast<size_t>(peer.bytes.size())), paths)) {
    case Decoded::NeedMore:
        return;
    case Decoded::Invalid:
        CLogMessage(kLogInfo) << "Single instance: dropped a peer that sent no valid hand-over";
        socket->abort();
        socket->deleteLater();
        return;
    case Decoded::Complete:
        break;
    }
    // Acknowledge before acting, so the starter is not kept waiting by the files being opened.
    socket->disconnect(this);
    peer.deadline->stop();
    socket->write(kAcknowledgement.data(), static_cast<qint64>(kAcknowledgement.size()));
    socket->disconnectFromServer();
    deliver(paths);
}

void SingleInstance::deliver(const std::vector<std::string>& paths)
{
    try {
        if (!paths.empty() && m_filesHandler)
            m_filesHandler(paths);
        if (m_activateHandler)
            m_activateHandler();
    } catch (const std::exception& e) {
        CLogMessage(kLogError) << "Single instance: handling a hand-over failed: " << e.what();
    }
}

Result<SingleInstance::Outcome> SingleInstance::handOver(const std::vector<std::string>& paths)
{
    std::vector<std::string> absolute;
    for (const auto& path : paths) {
        if (path.empty() || path.size() > kMaxPathBytes || path.find('\0') != std::string::npos)
            continue; // cannot name a file; the running copy would refuse the whole hand-over
        std::error_code ignored;
        std::string full = std::filesystem::absolute(path, ignored).string();
        absolute.push_back(full.empty() || full.size() > kMaxPathBytes ? path : full);
        if (absolute.size() == kMaxPaths)
            break;
    }
    const std::string message = encodeHandOver(absolute);
    const auto deadline = std::chrono::steady_clock::now() + m_options.timeout;

    for (;;) {
        QEventLoop wake;
        QLocalSocket socket;
        QByteArray reply;
        bool connected = false;
        bool failed = false;
        connect(&socket, &QLocalSocket::connected, &wake, [&] {
            connected = true;
            socket.write(message.data(), static_cast<qint64>(message.size()));
        });
        connect(&socket, &QLocalSocket::readyRead, &wake, [&] {
            reply += socket.readAll();
            if (static_cast<size_t>(reply.size()) >= kAcknowledgement.size())
                wake.quit();
        });
        connect(&socket, &QLocalSocket::errorOccurred, &wake, [&] {
            failed = true;
            wake.quit();
        });
        socket.connectToServer(QString::fromStdString(m_socketPath));
        waitFor(
            wake, [&] { return failed || static_cast<size_t>(reply.size()) >= kAcknowledgement.size(); }, deadline);
        if (socket.isOpen())
            reply += socket.readAll(); // what arrived with the closing of the connection
        if (reply.startsWith(QByteArray(kAcknowledgement.data(), static_cast<qsizetype>(kAcknowledgement.size()))))
            return Outcome::HandedOver;
        if (connected || std::chrono::steady_clock::now() >= deadline)
            return Outcome::NoAnswer;
        // The copy holding the lock does not listen yet: try again shortly.
        QEventLoop pause;
        waitFor(
            pause, [] { return false; },
            std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryMs)));
    }
}

} // namespace corvantis
