#include "platform/xpc/XpcListener.h"

#include "platform/xpc/XpcLog.h"
#include "platform/xpc/XpcSocketAddress.h"

#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace corvantis {

namespace {

Status errnoStatus(int err, const std::string& what)
{
    return Status::error(err, what + ": " + std::system_category().message(err));
}

// Whether some process still accepts on the socket file at `address`.
bool someoneListens(const XpcSocketAddress& address)
{
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe)
        return true; // cannot tell: leave the file alone
    if (::connect(probe.get(), address.get(), address.length()) == 0)
        return true;
    return errno != ECONNREFUSED;
}

} // namespace

XpcListener::XpcListener(PrivateTag, UniqueFd fd, std::string description, Options options)
    : m_description(std::move(description))
    , m_options(std::move(options))
    , m_queue(DispatchQueue::create("XPC listener"))
    , m_fd(std::move(fd))
{
}

Result<XpcListenerPtr> XpcListener::createForService(const std::string& serviceName, Options options)
{
    auto address = XpcSocketAddress::forService(serviceName);
    if (!address.ok())
        return address.status();
    const std::string& path = address->name();
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return errnoStatus(errno, "socket");
    // The file takes the socket's mode when bind creates it, so it is never open wider than asked, not even
    // for the moment before the chmod below.
    ::fchmod(fd.get(), options.socketMode);
    if (::bind(fd.get(), address->get(), address->length()) != 0) {
        int err = errno;
        struct stat st { };
        if (err == EADDRINUSE && ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && !someoneListens(*address)) {
            ::unlink(path.c_str());
            err = ::bind(fd.get(), address->get(), address->length()) == 0 ? 0 : errno;
        }
        if (err == EADDRINUSE)
            return Status::error(err, "the socket " + path + " is in use");
        if (err != 0)
            return errnoStatus(err, "bind " + path);
    }
    auto removeOnError = [&path](Status st) {
        ::unlink(path.c_str());
        return st;
    };
    if (::chmod(path.c_str(), options.socketMode) != 0)
        return removeOnError(errnoStatus(errno, "chmod " + path));
    if (options.socketOwner && ::lchown(path.c_str(), *options.socketOwner, static_cast<gid_t>(-1)) != 0)
        return removeOnError(errnoStatus(errno, "chown " + path));
    struct stat st { };
    if (::lstat(path.c_str(), &st) != 0)
        return removeOnError(errnoStatus(errno, "stat " + path));
    if (::listen(fd.get(), SOMAXCONN) != 0)
        return removeOnError(errnoStatus(errno, "listen " + path));
    auto listener = std::make_shared<XpcListener>(PrivateTag {}, std::move(fd), path, std::move(options));
    listener->m_path = path;
    listener->m_device = st.st_dev;
    listener->m_inode = st.st_ino;
    return listener;
}

Result<XpcListenerPtr> XpcListener::createAnonymous(Options options)
{
    for (int attempt = 0;; ++attempt) {
        const std::string name = XpcSocketAddress::randomAbstractName();
        auto address = XpcSocketAddress::forAbstractName(name);
        if (!address.ok())
            return address.status();
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd)
            return errnoStatus(errno, "socket");
        if (::bind(fd.get(), address->get(), address->length()) != 0) {
            if (errno == EADDRINUSE && attempt < 3)
                continue;
            return errnoStatus(errno, "bind " + address->description());
        }
        if (::listen(fd.get(), SOMAXCONN) != 0)
            return errnoStatus(errno, "listen " + address->description());
        auto listener
            = std::make_shared<XpcListener>(PrivateTag {}, std::move(fd), address->description(), std::move(options));
        listener->m_abstractName = name;
        return listener;
    }
}

XpcListener::~XpcListener()
{
    invalidate();
}

void XpcListener::setDelegate(Delegate delegate)
{
    MutexLock lock(m_mutex);
    if (!m_invalidated)
        std::swap(m_delegate, delegate);
}

Status XpcListener::resume()
{
    MutexLock lock(m_mutex);
    if (m_invalidated || m_source)
        return {};
    m_source = DispatchSource::create(DispatchSource::Kind::Read, m_fd.get(), m_queue, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->onAcceptable();
    });
    Status st = m_source->resume();
    if (!st.ok())
        m_source.reset();
    return st;
}

void XpcListener::invalidate()
{
    DispatchSourcePtr source;
    UniqueFd fd;
    Delegate delegate;
    {
        MutexLock lock(m_mutex);
        if (m_invalidated)
            return;
        m_invalidated = true;
        source = std::move(m_source);
        fd = std::move(m_fd);
        delegate = std::move(m_delegate);
    }
    if (source)
        source->cancel();
    fd.reset();
    struct stat st { };
    if (!m_path.empty() && ::lstat(m_path.c_str(), &st) == 0 && st.st_dev == m_device && st.st_ino == m_inode)
        ::unlink(m_path.c_str());
}

std::optional<XpcEndpoint> XpcListener::endpoint() const
{
    if (!m_abstractName)
        return std::nullopt;
    return XpcEndpoint { *m_abstractName, ::geteuid() };
}

void XpcListener::onAcceptable()
{
    int listening = -1;
    {
        MutexLock lock(m_mutex);
        if (m_invalidated)
            return;
        listening = m_fd.get();
    }
    // The descriptor stays open while this runs: invalidate() cancels the source, which waits for this run,
    // before it closes the descriptor.
    for (;;) {
        UniqueFd fd(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            const int err = errno;
            if (err == EINTR || err == ECONNABORTED)
                continue;
            if (err == EAGAIN || err == EWOULDBLOCK)
                return;
            XpcLog::error("Accepting on " + m_description + " failed: " + std::system_category().message(err));
            // Out of descriptors or memory: the socket stays readable, so pause instead of spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return;
        }
        ucred peer {};
        socklen_t length = sizeof peer;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            XpcLog::error("Refused a connection to " + m_description + ": no peer credentials");
            continue;
        }
        if (!m_options.allowedUids.count(peer.uid)) {
            XpcLog::error("Refused a connection to " + m_description + " from uid " + std::to_string(peer.uid)
                + " (pid " + std::to_string(peer.pid) + ")");
            continue;
        }
        XpcConnectionPtr connection = XpcConnection::createAccepted(std::move(fd), peer, m_options.limits);
        Delegate delegate;
        {
            MutexLock lock(m_mutex);
            if (m_invalidated)
                return;
            delegate = m_delegate;
        }
        bool kept = false;
        try {
            kept = delegate && delegate(connection);
        } catch (const std::exception& e) {
            XpcLog::error("The delegate of " + m_description + " failed: " + e.what());
        } catch (...) {
            XpcLog::error("The delegate of " + m_description + " failed");
        }
        if (!kept)
            connection->invalidate();
        // A delegate that invalidated this listener closed the descriptor under our feet.
        MutexLock lock(m_mutex);
        if (m_invalidated)
            return;
    }
}

} // namespace corvantis
