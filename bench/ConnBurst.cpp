// conn_burst: a burst of concurrent connections through the connection facade, and the memory the process keeps
// once they have ended.
//
//   conn_burst [--flows N] [--rounds R] [--limit L] [--bytes B] [--apps one|many] [--wait SECONDS] [--openers T]
//
// An echo server runs in a child process on 127.0.0.1. Each round opens N flows at once through the engine test
// driver (which plays the flow code: rule decision, connect on the facade's connect thread, the bytes both ways),
// one application (--apps one) or one application per flow (default), all Direct to the echo server; once every
// flow has reported its connect, each sends B bytes and reads them back, all at once; then every flow is closed
// and dropped, and the closed records are left to the clean-up. The flows are opened by T threads at once
// (--openers, default 1). Prints the counts of each round (taken,
// connected, exchanges finished within --wait seconds) and VmRSS and VmHWM from /proc/self/status: before the
// first round, and after each round once the connections have ended.
// --limit sets the engine's limit of open connections (default: the engine's default, 1500, raised to N when
// smaller unless --limit is given). Exits 1 when an exchange did not finish in time.
//
// Run it from a Release build (-DCORVANTIS_BUILD_BENCH=ON) with an open-file limit of at least 4 N + 100.

#include "core/foundation/Log.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Rule.h"
#include "extension/engine/AppNameWrapper.h"
#include "extension/engine/ClientProcessor.h"
#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "platform/UniqueFd.h"
#include "tests/driver/EngineDriver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

struct Options {
    int flows = 2000;
    int rounds = 1;
    std::optional<uint64_t> limit;
    size_t bytes = 1000;
    bool oneApp = false;
    int waitSeconds = 60;
    int openers = 1;
};

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    if (argc % 2 == 0)
        return std::nullopt;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        char* end = nullptr;
        const unsigned long long number = std::strtoull(value.c_str(), &end, 10);
        const bool isNumber = !value.empty() && *end == '\0';
        if (name == "--flows" && isNumber && number > 0 && number <= 100000)
            options.flows = static_cast<int>(number);
        else if (name == "--rounds" && isNumber && number > 0 && number <= 1000)
            options.rounds = static_cast<int>(number);
        else if (name == "--limit" && isNumber)
            options.limit = number;
        else if (name == "--bytes" && isNumber && number > 0 && number <= (1u << 24))
            options.bytes = number;
        else if (name == "--apps" && (value == "one" || value == "many"))
            options.oneApp = value == "one";
        else if (name == "--wait" && isNumber && number > 0 && number <= 3600)
            options.waitSeconds = static_cast<int>(number);
        else if (name == "--openers" && isNumber && number > 0 && number <= 10000)
            options.openers = static_cast<int>(number);
        else
            return std::nullopt;
    }
    return options;
}

// VmRSS and VmHWM of this process, in kB.
std::map<std::string, long> Memory()
{
    std::map<std::string, long> values;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        for (const char* key : { "VmRSS:", "VmHWM:" }) {
            if (line.rfind(key, 0) == 0)
                values[std::string(key, std::strlen(key) - 1)]
                    = std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
        }
    }
    return values;
}

void PrintMemory(const char* when)
{
    auto memory = Memory();
    std::printf("%-28s VmRSS %7ld kB   VmHWM %7ld kB\n", when, memory["VmRSS"], memory["VmHWM"]);
    std::fflush(stdout);
}

// The echo server of the child process: one epoll loop, every byte back, each side ended when the client ends.
[[noreturn]] void ServeEcho(int listener)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    std::vector<epoll_event> events(256);
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        const int n = ::epoll_wait(poller, events.data(), static_cast<int>(events.size()), -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[static_cast<size_t>(i)].data.fd;
            if (fd == listener) {
                for (;;) {
                    const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                    if (connection < 0)
                        break;
                    epoll_event added {};
                    added.events = EPOLLIN;
                    added.data.fd = connection;
                    ::epoll_ctl(poller, EPOLL_CTL_ADD, connection, &added);
                }
                continue;
            }
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (got <= 0) {
                ::close(fd); // also leaves the epoll set
                continue;
            }
            // Small pieces on loopback: a blocking send of what came is enough here.
            size_t offset = 0;
            while (offset < static_cast<size_t>(got)) {
                const ssize_t sent
                    = ::send(fd, buffer.data() + offset, static_cast<size_t>(got) - offset, MSG_NOSIGNAL);
                if (sent <= 0)
                    break;
                offset += static_cast<size_t>(sent);
            }
        }
    }
}

CProfileData DirectProfile()
{
    CProfileData profile;
    CRule rule("Burst");
    rule.m_Action = kActionDirect;
    profile.m_Rules = { rule };
    profile.m_HandleDirectConnections = true;
    return profile;
}

struct RoundResult {
    int taken = 0;
    int refused = 0;
    int notTaken = 0;
    int connected = 0;
    int exchanged = 0;
};

// Sends `bytes` on every application socket and reads them back, all at once, for up to `wait`.
int ExchangeAll(const std::vector<int>& sockets, size_t bytes, std::chrono::seconds wait)
{
    const std::vector<uint8_t> request(bytes, 0x5A);
    std::vector<size_t> sent(sockets.size(), 0);
    std::vector<size_t> received(sockets.size(), 0);
    std::vector<uint8_t> buffer(65536);
    int done = 0;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::vector<pollfd> polls;
    std::vector<size_t> index;
    while (done < static_cast<int>(sockets.size()) && std::chrono::steady_clock::now() < deadline) {
        polls.clear();
        index.clear();
        for (size_t i = 0; i < sockets.size(); ++i) {
            if (received[i] >= bytes)
                continue;
            polls.push_back({ sockets[i], static_cast<short>(POLLIN | (sent[i] < bytes ? POLLOUT : 0)), 0 });
            index.push_back(i);
        }
        if (::poll(polls.data(), polls.size(), 200) <= 0)
            continue;
        for (size_t p = 0; p < polls.size(); ++p) {
            const size_t i = index[p];
            if (polls[p].revents & POLLOUT) {
                const ssize_t n
                    = ::send(sockets[i], request.data() + sent[i], bytes - sent[i], MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    sent[i] += static_cast<size_t>(n);
            }
            if (polls[p].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(sockets[i], buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n > 0)
                    received[i] += static_cast<size_t>(n);
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    received[i] = bytes + 1; // ended early: counted below as not exchanged
                if (received[i] == bytes)
                    ++done;
            }
        }
    }
    return done;
}

RoundResult RunRound(test::EngineDriver& driver, const Options& options, uint16_t port)
{
    RoundResult result;
    // Offered at once: each opener thread opens its share of the flows, as the flow code's queues would.
    std::vector<std::shared_ptr<test::EngineFlow>> flows(static_cast<size_t>(options.flows));
    std::vector<std::thread> openers;
    for (int k = 0; k < options.openers; ++k) {
        openers.emplace_back([&, k] {
            for (int i = k; i < options.flows; i += options.openers) {
                const std::string name = options.oneApp ? "burst" : "burst" + std::to_string(i);
                const AppNameWrapper app(name, name, "", "", "/usr/bin/" + name, 10000 + i);
                flows[static_cast<size_t>(i)] = driver.Open(app, "127.0.0.1", port);
            }
        });
    }
    for (auto& opener : openers)
        opener.join();
    for (const auto& flow : flows) {
        switch (flow->Decision()) {
        case ClientProcessorWrapper::kTaken:
            ++result.taken;
            break;
        case ClientProcessorWrapper::kRefused:
            ++result.refused;
            break;
        default:
            ++result.notTaken;
            break;
        }
    }
    std::vector<int> sockets;
    for (const auto& flow : flows) {
        if (!flow->Started())
            continue;
        if (flow->WaitConnected(std::chrono::seconds(options.waitSeconds)) == std::optional<bool>(true)) {
            ++result.connected;
            sockets.push_back(flow->AppSocket());
        }
    }
    result.exchanged = ExchangeAll(sockets, options.bytes, std::chrono::seconds(options.waitSeconds));
    for (const auto& flow : flows)
        flow->CloseApp();
    for (const auto& flow : flows) {
        // A flow the engine did not take has nothing to close.
        if (flow->Started())
            flow->WaitClosed(std::chrono::seconds(options.waitSeconds));
    }
    flows.clear();
    return result;
}

int Main(int argc, char** argv)
{
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
            "usage: conn_burst [--flows N] [--rounds R] [--limit L] [--bytes B] [--apps one|many] [--wait SECONDS] "
            "[--openers T]\n");
        return 2;
    }

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(listener, 4096) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::fprintf(stderr, "conn_burst: cannot listen: %s\n", std::strerror(errno));
        return 1;
    }
    // The server lives in a child, forked before any thread starts, so that its memory is not measured.
    const pid_t server = ::fork();
    if (server == 0)
        ServeEcho(listener);
    ::close(listener);
    const uint16_t port = ntohs(address.sin_port);

    // The extension's start, as the daemon runs it, in a home of its own.
    char home[] = "/tmp/conn_burst.XXXXXX";
    if (!::mkdtemp(home)) {
        std::fprintf(stderr, "conn_burst: cannot make a home folder: %s\n", std::strerror(errno));
        return 1;
    }
    ::setenv("CORVANTIS_EXTENSION_HOME", home, 1);
    static CCorvantisAppProxy app;
    theApp = &app;
    CAppSettings settings = app.GetSettings();
    settings.ActiveProfile = "Burst";
    app.SetSettings(settings);
    std::string error;
    if (app.InitInstanceProxy(error))
        std::fprintf(stderr, "conn_burst: the start failed: %s\n", error.c_str());
    app.SetProfile(DirectProfile(), false);
    CClientProcessor::SetConnectionLimit(options->limit.value_or(
        std::max<uint64_t>(CClientProcessor::kDefaultConnectionLimit, static_cast<uint64_t>(options->flows))));
    // Error lines (the log's default screen level) go to standard error.
    std::thread([] {
        bool isError = false;
        uint64_t time = 0;
        std::string line;
        while (GetLog().PopLogRecord(true, isError, time, line))
            std::fprintf(stderr, "conn_burst: %s\n", line.c_str());
    }).detach();
    static test::EngineDriver driver(app);

    // Let the start settle (the log thread, the event loop) before the first figure.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    PrintMemory("before the first burst");
    bool allExchanged = true;
    for (int round = 1; round <= options->rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const RoundResult result = RunRound(driver, *options, port);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("round %d: %d flows, %d taken, %d refused, %d not taken, %d connected, %d exchanged, %.1f s\n",
            round, options->flows, result.taken, result.refused, result.notTaken, result.connected, result.exchanged,
            seconds);
        allExchanged = allExchanged && result.exchanged == result.connected;
        // Closed records stay listed for a few seconds; after that the next clean-up takes them. Then the engine
        // gives the burst's memory back (a second later).
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        app.RemoveClosedConnections();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const std::string when = "after burst " + std::to_string(round);
        PrintMemory(when.c_str());
    }
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    std::filesystem::remove_all(home);
    std::fflush(stdout);
    // Threads of the log and the engine still run; leave without destroying what they use.
    std::_Exit(allExchanged ? 0 : 1);
}

} // namespace
} // namespace corvantis

int main(int argc, char** argv)
{
    return corvantis::Main(argc, argv);
}
