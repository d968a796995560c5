#include "app/CommandHelpers.h"

#include "platform/UniqueFd.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fts.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace corvantis {

namespace {

constexpr size_t kReadPiece = 500;

// Writes all of `text` to `fd`; for the child between fork and exec, so nothing here allocates.
void writeAll(int fd, const char* text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

// The child's side: its end of the pair becomes standard input, output and error, then the command replaces the
// process. Only async-signal-safe calls: the parent may have had other threads holding locks when it forked.
[[noreturn]] void runChild(int fd, char* const* argv)
{
    // The parent ignores SIGPIPE and may block signals on its thread; the command starts with the defaults.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int target = 0; target <= 2; ++target) {
        // dup2 onto itself would keep close-on-exec, which the pair was made with.
        const bool ok = fd == target ? ::fcntl(fd, F_SETFD, 0) == 0 : ::dup2(fd, target) == target;
        if (!ok) {
            writeAll(fd, argv[0]);
            writeAll(fd, ": could not duplicate sockets\nExit_Code: 1\n");
            ::_exit(1);
        }
    }
    ::execvp(argv[0], argv);
    const char* reason = strerrordesc_np(errno);
    writeAll(STDOUT_FILENO, argv[0]);
    writeAll(STDOUT_FILENO, ": could not execute command (");
    writeAll(STDOUT_FILENO, reason ? reason : "Unknown error");
    writeAll(STDOUT_FILENO, ")\nExit_Code: 2\n");
    ::_exit(2);
}

int pollMilliseconds(std::chrono::milliseconds wait)
{
    return static_cast<int>(
        std::min<std::chrono::milliseconds::rep>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0), INT_MAX));
}

// The child of one RunCommand: waited for at most once, so its status is kept and a pid the system may already
// have given to another process is never signalled.
class Child final {
public:
    explicit Child(pid_t pid)
        : m_pid(pid)
    {
    }

    // Looks for the child's end; with `block` waits for it. True once it has ended.
    bool reap(bool block)
    {
        if (m_reaped)
            return true;
        pid_t result = 0;
        do
            result = ::waitpid(m_pid, &m_status, block ? 0 : WNOHANG);
        while (result < 0 && errno == EINTR);
        if (result == m_pid)
            m_reaped = true;
        // Someone else waited for it: nothing is left to wait for or to signal, and its status is unknown.
        if (result < 0 && errno == ECHILD)
            m_reaped = m_lost = true;
        return m_reaped;
    }

    void kill()
    {
        if (!m_reaped)
            ::kill(m_pid, SIGKILL);
    }

    bool lost() const { return m_lost; }
    int status() const { return m_status; }

private:
    pid_t m_pid;
    int m_status = 0;
    bool m_reaped = false;
    bool m_lost = false;
};

} // namespace

int32_t GetFileSecurityFlags(const char* path)
{
    struct stat st { };
    if (!path || ::stat(path, &st) != 0)
        return -1;
    int32_t flags = 0;
    if (st.st_uid == 0)
        flags |= kFileOwnerRoot;
    if (st.st_uid == ::getuid())
        flags |= kFileOwnerCaller;
    if (st.st_gid == 0)
        flags |= kFileGroupRoot;
    if ((st.st_mode & 04755) == 04755)
        flags |= kFileModeRootSetuid;
    if (st.st_mode & S_IXUSR)
        flags |= kFileOwnerExecute;
    if (st.st_mode & S_ISUID)
        flags |= kFileSetuid;
    return flags;
}

int MakeRootSetuid(const char* path)
{
    // O_NONBLOCK: a FIFO planted at the path must not hang the open.
    UniqueFd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid())
        return -1;
    struct stat st { };
    if (::fstat(fd.get(), &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    // The owner first: changing it clears the set-user-ID bit.
    if (::fchown(fd.get(), 0, 0) != 0)
        return -1;
    return ::fchmod(fd.get(), 04755);
}

int MakeExecutable(const char* path)
{
    return ::chmod(path, 0755);
}

int FixTreeOwnerAndMode(const char* path, mode_t mode)
{
    if (!path)
        return -1;
    std::string root(path);
    char* roots[] = { root.data(), nullptr };
    FTS* walk = ::fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, nullptr);
    if (!walk)
        return -1;
    const mode_t wanted = mode & 0777;
    int result = 0;
    while (FTSENT* entry = ::fts_read(walk)) {
        switch (entry->fts_info) {
        case FTS_D: // handled on the way up, after its contents
        case FTS_DNR:
        case FTS_ERR:
        case FTS_NS:
        case FTS_NSOK:
            continue;
        default:
            break;
        }
        const struct stat& st = *entry->fts_statp;
        const bool link = entry->fts_info == FTS_SL || entry->fts_info == FTS_SLNONE;
        // Neither call follows a link: one planted in the tree must not hand its target to root.
        if ((st.st_uid != 0 || st.st_gid != 0) && ::lchown(entry->fts_accpath, 0, 0) != 0)
            result = 1;
        if (!link && (st.st_mode & 0777) != wanted
            && ::fchmodat(AT_FDCWD, entry->fts_accpath, wanted, AT_SYMLINK_NOFOLLOW) != 0)
            result = 1;
    }
    ::fts_close(walk);
    return result;
}

int RunCommand(
    const std::vector<std::string>& arguments, const RunCommandCallback& callback, const RunCommandTimings& timings)
{
    const auto report = [&](const std::string& text) {
        const std::string status = "RunCommand" + text;
        return callback(kRunCommandStatus, status.data(), status.size());
    };
    if (arguments.empty() || arguments.front().empty()) {
        report(": no command given\nExit_Code: 1\n");
        return 0;
    }
    int ends[2] = { -1, -1 };
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        report(": socketpair return error " + std::to_string(errno) + "\n");
        return 0;
    }
    UniqueFd parentEnd(ends[0]);
    UniqueFd childEnd(ends[1]);

    // Built before the fork: the child may not allocate.
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        report(": fork return error\n");
        return 0;
    }
    if (pid == 0)
        runChild(childEnd.get(), argv.data());
    childEnd.reset();

    Child child(pid);
    bool stopped = false;
    for (;;) {
        child.reap(false);
        pollfd watch { parentEnd.get(), POLLIN, 0 };
        const int ready = ::poll(&watch, 1, pollMilliseconds(timings.idleWait));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            if (callback(kRunCommandIdle, nullptr, 0) == 1) {
                report(": timeout while wait child.\nExit_Code: 1\n");
                child.kill();
                break;
            }
            continue;
        }
        if (ready > 0 && (watch.revents & (POLLIN | POLLHUP))) {
            char piece[kReadPiece];
            const ssize_t n = ::read(parentEnd.get(), piece, sizeof piece);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n == 0)
                break;
            if (n > 0) {
                if (callback(kRunCommandOutput, piece, static_cast<size_t>(n)) == 1) {
                    stopped = true;
                    child.kill();
                    break;
                }
                continue;
            }
        }
        report(": error while read from child.\nExit_Code: 1\n");
        child.kill();
        break;
    }
    parentEnd.reset();

    if (stopped) {
        child.reap(true);
        return 0;
    }
    bool ended = child.reap(false);
    for (int check = 1; !ended && check < timings.exitChecks; ++check) {
        std::this_thread::sleep_for(timings.exitCheckInterval);
        ended = child.reap(false);
    }
    if (!ended) {
        child.kill();
        report(": timeout while wait child process to exit");
        child.reap(true);
    }
    if (child.lost())
        return 0;
    const int status = child.status();
    if (WIFSIGNALED(status))
        report(": child exit abnormal\n");
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        report(": child exit with error\n");
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
}

int ExtractExitCode(std::string& text)
{
    static const std::string marker = "Exit_Code: ";
    int code = -1;
    const size_t start = text.find(marker);
    if (start != std::string::npos) {
        const size_t numberStart = start + marker.size();
        const size_t lineEnd = text.find('\n', numberStart);
        const size_t end = lineEnd == std::string::npos ? text.size() : lineEnd;
        size_t i = numberStart;
        bool negative = false;
        if (i < end && (text[i] == '-' || text[i] == '+'))
            negative = text[i++] == '-';
        long long value = 0;
        bool digits = false;
        for (; i < end && text[i] >= '0' && text[i] <= '9'; ++i) {
            digits = true;
            value = std::min<long long>(value * 10 + (text[i] - '0'), static_cast<long long>(INT_MAX) + 1);
        }
        if (digits)
            code = static_cast<int>(
                negative ? std::max<long long>(-value, INT_MIN) : std::min<long long>(value, INT_MAX));
        text.erase(start, end - start);
    }
    StrReplaceAll(text, "\n\n", "\n");
    const size_t first = text.find_first_not_of('\n');
    if (first == std::string::npos) {
        text.clear();
        return code;
    }
    text.erase(0, first);
    text.erase(text.find_last_not_of('\n') + 1);
    return code;
}

void StrReplaceAll(std::string& text, const std::string& search, const std::string& replacement)
{
    if (search.empty())
        return;
    for (size_t at = text.find(search); at != std::string::npos; at = text.find(search, at + replacement.size())) {
        text.replace(at, search.size(), replacement);
    }
}

} // namespace corvantis
