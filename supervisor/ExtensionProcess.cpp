#include "supervisor/ExtensionProcess.h"

#include "supervisor/Manifest.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace corvantis {

namespace {

// glibc 2.36 declares the pidfd calls without C linkage in <sys/pidfd.h>; the system calls themselves are plain.
int pidfdOpen(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
}

int pidfdSignal(int pidfd, int sig)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0U));
}

std::string errnoText(int err)
{
    return std::generic_category().message(err);
}

// The wait status waitpid would have given for what waitid reported.
int waitStatusOf(const siginfo_t& info)
{
    switch (info.si_code) {
    case CLD_EXITED:
        return (info.si_status & 0xff) << 8;
    case CLD_DUMPED:
        return (info.si_status & 0x7f) | 0x80;
    default:
        return info.si_status & 0x7f;
    }
}

// argv or envp for exec: the strings stay owned by `storage`.
std::vector<char*> pointersTo(std::vector<std::string>& storage)
{
    std::vector<char*> out;
    out.reserve(storage.size() + 1);
    for (std::string& s : storage)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra)
{
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const std::string name = nameOf(entry);
        bool replaced = false;
        for (const std::string& x : extra)
            replaced = replaced || nameOf(x) == name;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// In the child between fork and exec: only async-signal-safe calls. Never returns.
[[noreturn]] void execChild(char* const* argv, char* const* envp, int errorPipe)
{
    ::setpgid(0, 0);
    struct sigaction dfl { };
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Descriptors the supervisor opened without O_CLOEXEC (or inherited) must not leak into the daemon; the
    // error pipe is close-on-exec already and so outlives a failed exec only.
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < 65536; ++fd)
            if (fd != errorPipe)
                ::close(fd);
    }
    ::execve(argv[0], argv, envp);
    const int err = errno;
    ssize_t ignored = ::write(errorPipe, &err, sizeof err);
    (void)ignored;
    ::_exit(127);
}

} // namespace

bool FileIdentity::operator==(const FileIdentity& other) const
{
    return device == other.device && inode == other.inode && size == other.size && mtime.tv_sec == other.mtime.tv_sec
        && mtime.tv_nsec == other.mtime.tv_nsec;
}

Result<FileIdentity> FileIdentity::of(const std::filesystem::path& path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        return Status::error(err, path.string() + ": " + errnoText(err));
    }
    FileIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    return id;
}

ExtensionProcess::ExtensionProcess(DispatchQueuePtr observerQueue)
    : m_observerQueue(std::move(observerQueue))
    , m_watchQueue(DispatchQueue::create("Extension process watch"))
{
}

ExtensionProcess::~ExtensionProcess()
{
    uint64_t generation = 0;
    {
        MutexLock lock(m_mutex);
        m_childObserver = nullptr;
        if (m_pid != 0) {
            pidfdSignal(m_pidfd.get(), SIGKILL);
            generation = m_generation;
        }
    }
    if (generation != 0)
        waitFor(generation, std::chrono::milliseconds(-1));
    retireWatch();
}

void ExtensionProcess::setExitObserver(ExitObserver observer)
{
    MutexLock lock(m_mutex);
    m_observer = std::move(observer);
}

Status ExtensionProcess::start(const std::filesystem::path& binary, const std::vector<std::string>& arguments,
    const std::vector<std::string>& extraEnvironment, const std::filesystem::path& manifest)
{
    // The watch of a child that ended may still be retiring on its own queue; it goes first, without the lock
    // (its handler takes the lock), so that the new child's watch never replaces a live one under the lock.
    retireWatch();
    MutexLock lock(m_mutex);
    if (m_pid != 0 || m_watch)
        return Status::error(EBUSY, "Cannot run " + binary.string() + ": the extension process runs already");
    auto identity = FileIdentity::of(binary);
    if (!identity.ok())
        return Status::error(identity.status().errnum(), "Cannot run " + identity.status().message());
    std::string version;
    if (!manifest.empty()) {
        auto read = Manifest::readShortVersion(manifest);
        if (read.ok())
            version = read.value();
    }

    // Everything the child needs is built before fork: after it, only async-signal-safe calls are allowed.
    std::vector<std::string> argStorage { binary.string() };
    argStorage.insert(argStorage.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envStorage = mergedEnvironment(extraEnvironment);
    std::vector<char*> argv = pointersTo(argStorage);
    std::vector<char*> envp = pointersTo(envStorage);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        const int err = errno;
        return Status::error(err, "Cannot run " + binary.string() + ": pipe: " + errnoText(err));
    }
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int err = errno;
        return Status::error(err, "Cannot run " + binary.string() + ": fork: " + errnoText(err));
    }
    if (pid == 0)
        execChild(argv.data(), envp.data(), writeEnd.get());
    writeEnd.reset();
    // Nobody else reaps our children, so the pid still names the child (a zombie at worst) here.
    UniqueFd pidfd(pidfdOpen(pid));
    const int openErr = errno;

    int execErr = 0;
    const ssize_t n = retryOnEintr([&] { return ::read(readEnd.get(), &execErr, sizeof execErr); });
    if (n == static_cast<ssize_t>(sizeof execErr) || !pidfd) {
        if (n != static_cast<ssize_t>(sizeof execErr)) {
            // Without a pidfd the child cannot be watched or signalled safely: end it while its pid is ours.
            ::kill(pid, SIGKILL);
            execErr = openErr;
        }
        retryOnEintr([&] { return ::waitpid(pid, nullptr, 0); });
        return Status::error(execErr, "Cannot run " + binary.string() + ": " + errnoText(execErr));
    }

    const uint64_t generation = m_generation + 1;
    DispatchSourcePtr watch = DispatchSource::create(
        DispatchSource::Kind::Read, pidfd.get(), m_watchQueue, [this, generation] { watchFired(generation); });
    Status resumed = watch->resume();
    if (!resumed.ok()) {
        pidfdSignal(pidfd.get(), SIGKILL);
        siginfo_t info {};
        retryOnEintr([&] { return ::waitid(P_PIDFD, static_cast<id_t>(pidfd.get()), &info, WEXITED); });
        return Status::error(resumed.errnum(), "Cannot watch " + binary.string() + ": " + resumed.message());
    }
    m_generation = generation;
    m_pid = pid;
    m_pidfd = std::move(pidfd);
    m_watch = std::move(watch);
    m_binary = binary;
    m_identity = identity.value();
    m_version = version;
    m_childObserver = m_observer;
    return {};
}

pid_t ExtensionProcess::pid() const
{
    MutexLock lock(m_mutex);
    return m_pid;
}

std::filesystem::path ExtensionProcess::binary() const
{
    MutexLock lock(m_mutex);
    return m_binary;
}

std::optional<FileIdentity> ExtensionProcess::startedIdentity() const
{
    MutexLock lock(m_mutex);
    return m_identity;
}

std::string ExtensionProcess::startedVersion() const
{
    MutexLock lock(m_mutex);
    return m_version;
}

bool ExtensionProcess::identityChanged() const
{
    std::filesystem::path binary;
    std::optional<FileIdentity> started;
    {
        MutexLock lock(m_mutex);
        binary = m_binary;
        started = m_identity;
    }
    if (!started)
        return false;
    auto now = FileIdentity::of(binary);
    return !now.ok() || !(now.value() == *started);
}

bool ExtensionProcess::reapIfEnded()
{
    if (m_pid == 0)
        return false;
    siginfo_t info {};
    const int r
        = retryOnEintr([&] { return ::waitid(P_PIDFD, static_cast<id_t>(m_pidfd.get()), &info, WEXITED | WNOHANG); });
    int status = 0;
    if (r == 0 && info.si_pid == 0)
        return false; // still running
    if (r == 0) {
        status = waitStatusOf(info);
    } else {
        // ECHILD: something broke the rule that only this object reaps its child. Its status is lost; report
        // it as a failure rather than wait for an end that was already taken.
        status = 0xff << 8;
    }
    const pid_t pid = m_pid;
    m_pid = 0;
    m_reapedGeneration = m_generation;
    m_reapedStatus = status;
    if (ExitObserver observer = std::move(m_childObserver)) {
        m_childObserver = nullptr;
        m_observerQueue->async([observer = std::move(observer), pid, status] { observer(pid, status); });
    }
    return true;
}

std::optional<int> ExtensionProcess::waitFor(uint64_t generation, std::chrono::milliseconds timeout)
{
    UniqueFd watchFd;
    {
        MutexLock lock(m_mutex);
        if (m_reapedGeneration == generation)
            return m_reapedStatus;
        if (m_generation != generation || m_pid == 0)
            return std::nullopt;
        if (reapIfEnded())
            return m_reapedStatus;
        // A copy of the pidfd: the original may be closed by another thread while this one waits on it.
        watchFd.reset(::fcntl(m_pidfd.get(), F_DUPFD_CLOEXEC, 0));
    }
    if (watchFd) {
        struct pollfd p {
            watchFd.get(), POLLIN, 0
        };
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int wait = -1;
            if (timeout.count() >= 0) {
                // Rounded up: poll must not return before the deadline.
                const auto left
                    = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                wait = static_cast<int>(std::max<int64_t>(0, left.count()));
            }
            const int r = ::poll(&p, 1, wait);
            if (r >= 0 || errno != EINTR)
                break;
        }
    }
    std::optional<int> result;
    {
        MutexLock lock(m_mutex);
        if (m_generation == generation)
            reapIfEnded();
        if (m_reapedGeneration == generation)
            result = m_reapedStatus;
    }
    if (result)
        retireWatch();
    return result;
}

void ExtensionProcess::watchFired(uint64_t generation)
{
    bool ended = false;
    {
        MutexLock lock(m_mutex);
        if (m_generation == generation)
            reapIfEnded();
        ended = m_reapedGeneration >= generation;
    }
    if (ended)
        retireWatch();
}

void ExtensionProcess::retireWatch()
{
    DispatchSourcePtr watch;
    UniqueFd pidfd;
    {
        MutexLock lock(m_mutex);
        if (m_pid != 0)
            return;
        watch = std::move(m_watch);
        pidfd = std::move(m_pidfd);
    }
    // The watch borrows the pidfd: cancel it (waiting for a run on another thread) before the descriptor closes.
    if (watch)
        watch->cancel();
    watch.reset();
    pidfd.reset();
}

std::optional<int> ExtensionProcess::stop(std::chrono::milliseconds termBound)
{
    uint64_t generation = 0;
    {
        MutexLock lock(m_mutex);
        if (m_pid == 0)
            return std::nullopt;
        generation = m_generation;
        pidfdSignal(m_pidfd.get(), SIGTERM);
    }
    if (auto status = waitFor(generation, termBound))
        return status;
    {
        MutexLock lock(m_mutex);
        if (m_generation == generation && m_pid != 0)
            pidfdSignal(m_pidfd.get(), SIGKILL);
    }
    return waitFor(generation, std::chrono::milliseconds(-1));
}

std::optional<int> ExtensionProcess::waitForExit(std::chrono::milliseconds timeout)
{
    uint64_t generation = 0;
    {
        MutexLock lock(m_mutex);
        if (m_generation == 0)
            return std::nullopt;
        generation = m_generation;
    }
    return waitFor(generation, timeout);
}

Status ExtensionProcess::waitUntilAccepting(
    const std::filesystem::path& socketPath, std::chrono::milliseconds timeout, std::chrono::milliseconds pollInterval)
{
    struct sockaddr_un address { };
    address.sun_family = AF_UNIX;
    const std::string path = socketPath.string();
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return Status::error(ENAMETOOLONG, "The socket path is too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    uint64_t generation = 0;
    std::string binary;
    {
        MutexLock lock(m_mutex);
        // A child that ended since its start still counts: waitFor() reports how it ended.
        if (m_generation == 0)
            return Status::error(ECHILD, "No extension process was started to accept connections on " + path);
        generation = m_generation;
        binary = m_binary.string();
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd) {
            const int err = errno;
            return Status::error(err, "socket: " + errnoText(err));
        }
        const int r = retryOnEintr(
            [&] { return ::connect(fd.get(), reinterpret_cast<const struct sockaddr*>(&address), sizeof address); });
        if (r == 0)
            return {};
        const auto now = std::chrono::steady_clock::now();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        if (now >= deadline)
            return Status::error(ETIMEDOUT,
                path + " accepted no connection within " + std::to_string(timeout.count()) + " ms (" + errnoText(errno)
                    + ")");
        if (auto status = waitFor(generation, std::min(left, pollInterval)))
            return Status::error(
                ECHILD, binary + " ended (" + describeExit(*status) + ") before " + path + " accepted connections");
    }
}

Status ExtensionProcess::runCleanup(const std::filesystem::path& binary, std::chrono::milliseconds bound,
    const std::vector<std::string>& extraEnvironment)
{
    ExtensionProcess process(DispatchQueue::create("Extension cleanup"));
    Status started = process.start(binary, { "--cleanup" }, extraEnvironment);
    if (!started.ok())
        return started;
    const std::string what = binary.string() + " --cleanup";
    std::optional<int> status = process.waitForExit(bound);
    if (!status) {
        process.stop(std::chrono::milliseconds(0));
        return Status::error(ETIMEDOUT, what + " did not end within " + std::to_string(bound.count()) + " ms");
    }
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
        return Status::error(ECANCELED, what + " failed: " + describeExit(*status));
    return {};
}

std::string ExtensionProcess::describeExit(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return "exit status " + std::to_string(WEXITSTATUS(waitStatus));
    if (WIFSIGNALED(waitStatus)) {
        const int sig = WTERMSIG(waitStatus);
        const char* name = ::strsignal(sig);
        return "signal " + std::to_string(sig) + (name ? std::string(" (") + name + ")" : std::string());
    }
    return "wait status " + std::to_string(waitStatus);
}

} // namespace corvantis
