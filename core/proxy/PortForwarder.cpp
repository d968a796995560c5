#include "core/proxy/PortForwarder.h"

#include "core/foundation/LogContext.h"
#include "core/foundation/SafeSocket.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/Host.h"
#include "core/profile/TrafficStatistics.h"
#include "platform/Assert.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvantis {

namespace {

// Room for the fixed parts of a dump name (" FROM ", " AT ", the stamp, a " (N)" and ".dmp") within the
// 255 bytes a Linux file name may have.
constexpr std::size_t kMaxApplicationBytes = 64;
constexpr std::size_t kMaxTargetBytes = 140;
// Pairs tried before giving up on a name; only a folder filled on purpose gets near it.
constexpr int kMaxNameAttempts = 1000;

// ":" (host and port, IPv6 addresses), "/" (a folder step), NUL and control bytes all become "_", so the text
// is one harmless name inside the folder; a "../" turns into ".._".
std::string safeNamePart(const std::string& text, std::size_t maxBytes)
{
    std::string name;
    name.reserve(std::min(text.size(), maxBytes));
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        name += (c == ':' || c == '/' || byte < 0x20 || byte == 0x7f) ? '_' : c;
    }
    if (name.size() > maxBytes) {
        std::size_t cut = maxBytes;
        // Cut before a character, never inside a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80)
            --cut;
        name.resize(cut);
    }
    return name;
}

int openNew(int folder, const std::string& name)
{
    int fd;
    do
        fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    while (fd == -1 && errno == EINTR);
    return fd;
}

DumpFilePtr streamFor(int fd)
{
    if (fd == -1)
        return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file)
        ::close(fd);
    return DumpFilePtr(file);
}

} // namespace

void DumpFileCloser::operator()(std::FILE* file) const
{
    if (file)
        std::fclose(file);
}

std::string MakeTrafficDumpStamp()
{
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    const long cpuMs = static_cast<long>(std::clock() / (CLOCKS_PER_SEC / 1000));
    char text[64];
    std::snprintf(text, sizeof text, "%d_%02d_%02d %02d_%02d_%02d_%03ld", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, cpuMs % 1000);
    return text;
}

std::string GetTrafficDumpApplication(const CLogContext& context)
{
    const std::string& name = context.BestName();
    return name.empty() ? "unknown" : name;
}

TrafficDumpFiles OpenTrafficDumpFiles(
    const std::string& folder, const std::string& application, const std::string& target, const std::string& stamp)
{
    TrafficDumpFiles files;
    int dir;
    do
        dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (dir == -1 && errno == EINTR);
    if (dir == -1)
        return files;

    const std::string app = safeNamePart(application, kMaxApplicationBytes);
    const std::string host = safeNamePart(target, kMaxTargetBytes);
    const std::string at = " AT " + safeNamePart(stamp, kMaxTargetBytes);
    for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
        const std::string tail = (attempt == 1 ? std::string() : " (" + std::to_string(attempt) + ")") + ".dmp";
        const std::string fromName = app + " FROM " + host + at + tail;
        const std::string toName = app + " TO " + host + at + tail;
        int fromFd = openNew(dir, fromName);
        if (fromFd == -1 && errno == EEXIST)
            continue;
        int toFd = openNew(dir, toName);
        if (toFd == -1 && errno == EEXIST) {
            // The pair must share its number; give back the name just taken and try the next one.
            if (fromFd != -1) {
                ::close(fromFd);
                ::unlinkat(dir, fromName.c_str(), 0);
            }
            continue;
        }
        files.from = streamFor(fromFd);
        files.to = streamFor(toFd);
        if (files.from)
            files.fromPath = folder + "/" + fromName;
        if (files.to)
            files.toPath = folder + "/" + toName;
        break;
    }
    ::close(dir);
    return files;
}

CPortForwarder::CPortForwarder(CConnRecord& connection, const std::optional<std::string>& folder,
    CTrafficStatistics* statistics, std::chrono::milliseconds halfClosedIdleTimeout)
    : m_Connection(connection)
    , m_LocalSock(connection.GetClientSocket())
    , m_TargetSock(connection.GetRemoteSocket())
    , m_Statistics(statistics)
    , m_HalfClosedIdleTimeout(halfClosedIdleTimeout)
{
    CORVANTIS_ASSERT(m_LocalSock != nullptr, "m_Connection.m_pLocalSock is not set");
    CORVANTIS_ASSERT(m_TargetSock != nullptr, "m_Connection.m_pTargetSock is not set");
    if (folder) {
        m_Dumps = OpenTrafficDumpFiles(*folder, GetTrafficDumpApplication(connection.GetContext()),
            connection.GetTarget().ToString(false), MakeTrafficDumpStamp());
    }
}

CPortForwarder::~CPortForwarder() = default;

int CPortForwarder::idleMsLeft() const
{
    if (!m_HalfClosed)
        return -1;
    const auto left = m_HalfClosedIdleTimeout - (std::chrono::steady_clock::now() - m_LastActivity);
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    // Round up, so a wait never ends just before the time-out and spins.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 1 << 30));
}

bool CPortForwarder::RelayLoop()
{
    // Urgent data stays in the stream, so its byte is relayed like any other and never taken for an end.
    const int on = 1;
    m_LocalSock->SetSockOpt(SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    m_TargetSock->SetSockOpt(SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);

    char buffer[kBufferSize];
    bool readLocal = true; // towards the target
    bool readTarget = true; // from the target
    bool result = true;
    m_HalfClosed = false;
    m_LastActivity = std::chrono::steady_clock::now();
    while (readLocal || readTarget) {
        if (m_Connection.IsCanceled() || m_Connection.IsClosed() || m_LocalSock->IsClosed() || m_TargetSock->IsClosed())
            break;
        const int waitMs = idleMsLeft();
        if (waitMs == 0)
            break;

        pollfd fds[2];
        nfds_t count = 0;
        int localIndex = -1;
        int targetIndex = -1;
        if (readLocal) {
            localIndex = static_cast<int>(count);
            fds[count++] = pollfd { m_LocalSock->GetSocket(), POLLIN, 0 };
        }
        if (readTarget) {
            targetIndex = static_cast<int>(count);
            fds[count++] = pollfd { m_TargetSock->GetSocket(), POLLIN, 0 };
        }
        const int ready = ::poll(fds, count, waitMs);
        if (ready == -1) {
            if (errno == EINTR)
                continue;
            char text[64];
            std::snprintf(text, sizeof text, "Select() failed with error %d", errno);
            m_ErrorText = text;
            result = false;
            break;
        }

        bool finished = false;
        struct Side {
            int index;
            bool& reading;
            CSafeSocket& from;
            CSafeSocket& to;
            bool towardsTarget;
        };
        Side sides[] = { { localIndex, readLocal, *m_LocalSock, *m_TargetSock, true },
            { targetIndex, readTarget, *m_TargetSock, *m_LocalSock, false } };
        for (Side& side : sides) {
            if (finished || side.index < 0 || fds[side.index].revents == 0)
                continue;
            if (fds[side.index].revents & POLLNVAL) {
                finished = true;
                continue;
            }
            switch (relayOnce(side.from, side.to, side.towardsTarget, buffer)) {
            case Step::moved:
            case Step::again:
                break;
            case Step::ended:
                // This side has no more to say; pass the end on and keep relaying the other way, now within
                // the idle bound, counted from here.
                side.reading = false;
                side.to.ShutdownSend();
                m_HalfClosed = true;
                m_LastActivity = std::chrono::steady_clock::now();
                break;
            case Step::failed:
                finished = true;
                break;
            }
        }
        if (finished)
            break;
    }

    m_LocalSock->Shutdown();
    m_TargetSock->Shutdown();
    if (m_Dumps.from)
        std::fflush(m_Dumps.from.get());
    if (m_Dumps.to)
        std::fflush(m_Dumps.to.get());
    return result;
}

CPortForwarder::Step CPortForwarder::relayOnce(CSafeSocket& from, CSafeSocket& to, bool towardsTarget, char* buffer)
{
    int error = 0;
    const ssize_t received = from.Recv(buffer, kBufferSize, MSG_DONTWAIT, error);
    if (received == 0)
        return Step::ended;
    if (received < 0)
        return (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) ? Step::again : Step::failed;
    m_LastActivity = std::chrono::steady_clock::now();

    // Written before the bytes go on, so a dump holds everything that reached the other side.
    std::FILE* dump = towardsTarget ? m_Dumps.to.get() : m_Dumps.from.get();
    if (dump)
        std::fwrite(buffer, 1, static_cast<std::size_t>(received), dump);

    if (!sendAll(to, buffer, static_cast<std::size_t>(received), towardsTarget))
        return Step::failed;
    return Step::moved;
}

bool CPortForwarder::sendAll(CSafeSocket& to, const char* data, std::size_t length, bool towardsTarget)
{
    // Sends never block in the kernel: a peer that stops reading is waited for with poll, which a shutdown from
    // another thread wakes and, once the connection is half-closed, the idle time-out bounds.
    while (length > 0) {
        int error = 0;
        const ssize_t sent = to.Send(data, length, MSG_DONTWAIT, error);
        if (sent > 0) {
            // The record and the statistics count what reached the other side, piece by piece, so a relay cut
            // off in the middle of a send leaves both with the same figures.
            if (towardsTarget)
                m_Connection.AddBytesSent(static_cast<uint64_t>(sent));
            else
                m_Connection.AddBytesReceived(static_cast<uint64_t>(sent));
            if (m_Statistics) {
                if (towardsTarget)
                    m_Statistics->AddSent(static_cast<uint64_t>(sent));
                else
                    m_Statistics->AddReceived(static_cast<uint64_t>(sent));
            }
            data += sent;
            length -= static_cast<std::size_t>(sent);
            m_LastActivity = std::chrono::steady_clock::now();
            continue;
        }
        if (sent < 0 && error == EINTR)
            continue;
        if (sent < 0 && error != EAGAIN && error != EWOULDBLOCK)
            return false;
        if (m_Connection.IsCanceled())
            return false;
        const int waitMs = idleMsLeft();
        if (waitMs == 0)
            return false;
        short revents = 0;
        if (to.Poll(POLLOUT, waitMs, revents) == -1 && errno != EINTR)
            return false;
    }
    return true;
}

} // namespace corvantis
