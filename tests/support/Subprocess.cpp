#include "tests/support/Subprocess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/UniqueFd.h"
#include "tests/support/Wait.h"

extern char** environ;

namespace corvantis::test {

namespace {

// The test's own environment with `env`'s variables in place of any of the same name.
std::vector<std::string> childEnvironment(const Environment& env)
{
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& [key, value] : env)
            replaced = replaced || key == name;
        if (!replaced)
            entries.push_back(entry);
    }
    for (const auto& [key, value] : env)
        entries.push_back(key + "=" + value);
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

int exitCodeOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
    Pipe()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        read.reset(fds[0]);
        write.reset(fds[1]);
    }
};

} // namespace

pid_t spawnChild(const SpawnOptions& options)
{
    if (options.argv.empty())
        throw std::runtime_error("no program to start");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int streams[3] = { options.in, options.out, options.err };
    for (int target = 0; target < 3; ++target) {
        if (streams[target] >= 0)
            posix_spawn_file_actions_adddup2(&actions, streams[target], target);
        else
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
    }

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : { SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD })
        sigaddset(&defaults, sig);
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &noMask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (options.ownGroup) {
        posix_spawnattr_setpgroup(&attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);

    std::vector<std::string> argvTexts = options.argv;
    std::vector<std::string> envTexts = childEnvironment(options.env);
    const std::vector<char*> argv = pointersTo(argvTexts);
    const std::vector<char*> envp = pointersTo(envTexts);
    const std::string& program = options.path.empty() ? options.argv[0] : options.path;
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    return pid;
}

bool hasExited(pid_t pid)
{
    siginfo_t info {};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;
    return info.si_pid == pid;
}

int stopChild(pid_t pid, bool group, std::chrono::milliseconds grace)
{
    if (pid <= 0)
        return -1;
    const pid_t target = group ? -pid : pid;
    // An ended child is a zombie until reaped below, so the signal cannot reach another process.
    ::kill(target, SIGTERM);
    if (!waitUntil([&] { return hasExited(pid); }, deadlineIn(grace)))
        ::kill(target, SIGKILL);
    if (group) {
        waitUntil([&] { return hasExited(pid); }, deadlineIn(std::chrono::seconds(30)));
        // The leader is a zombie now, so the group id is still ours: end whatever it left behind.
        ::kill(-pid, SIGKILL);
    }
    int status = 0;
    const int code = retryOnEintr([&] { return ::waitpid(pid, &status, 0); }) == pid ? exitCodeOf(status) : -1;
    // Killed members linger until their new parent reaps them; callers expect them gone. The group id cannot
    // be reused while any of them exists, so probing it is safe.
    if (group)
        waitUntil([&] { return ::kill(-pid, 0) != 0; }, deadlineIn(std::chrono::seconds(10)));
    return code;
}

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input, const Environment& env)
{
    // A command that exits before reading all its input must not kill the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    Pipe in, out, err;
    SpawnOptions options;
    options.argv = argv;
    options.env = env;
    options.in = in.read.get();
    options.out = out.write.get();
    options.err = err.write.get();
    const pid_t pid = spawnChild(options);
    in.read.reset();
    out.write.reset();
    err.write.reset();

    CommandResult result;
    size_t written = 0;
    if (input.empty())
        in.write.reset();
    while (out.read || err.read) {
        pollfd fds[3]
            = { { out.read.get(), POLLIN, 0 }, { err.read.get(), POLLIN, 0 }, { in.write.get(), POLLOUT, 0 } };
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[2].revents) {
            const ssize_t n = ::write(in.write.get(), input.data() + written, input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n < 0 || written == input.size())
                in.write.reset();
        }
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            Pipe& pipe = i == 0 ? out : err;
            if (n <= 0)
                pipe.read.reset();
            else
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
        }
    }
    in.write.reset();
    int status = 0;
    if (retryOnEintr([&] { return ::waitpid(pid, &status, 0); }) == pid)
        result.exitCode = exitCodeOf(status);
    return result;
}

int runInChild(const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int code = 125;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    return retryOnEintr([&] { return ::waitpid(pid, &status, 0); }) == pid ? exitCodeOf(status) : -1;
}

LineReadingChild::LineReadingChild(const std::vector<std::string>& argv)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    SpawnOptions options;
    options.argv = argv;
    options.out = fds[1];
    try {
        m_pid = spawnChild(options);
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw;
    }
    ::close(fds[1]);
    m_out = fds[0];
}

LineReadingChild::~LineReadingChild()
{
    stop();
}

std::optional<std::string> LineReadingChild::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t newline = m_buffer.find('\n');
        if (newline != std::string::npos) {
            std::string line = m_buffer.substr(0, newline);
            m_buffer.erase(0, newline + 1);
            return line;
        }
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (m_out < 0 || left.count() <= 0)
            return std::nullopt;
        pollfd fd { m_out, POLLIN, 0 };
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::read(m_out, buffer, sizeof buffer);
        if (n <= 0)
            return std::nullopt;
        m_buffer.append(buffer, static_cast<size_t>(n));
    }
}

void LineReadingChild::stop()
{
    if (m_pid > 0)
        stopChild(m_pid, false);
    m_pid = -1;
    if (m_out >= 0)
        ::close(m_out);
    m_out = -1;
}

} // namespace corvantis::test
