// conn_rate: the two ends of a short-connection test on loopback.
//
//   conn_rate serve                                  prints "PORT <n>", answers until SIGTERM
//   conn_rate client PORT WORKERS SECONDS            prints "<connections> <seconds> <failures>"
//
// The server reads one HTTP-like request up to its empty line, answers a small fixed reply and closes. Each
// client worker connects to 127.0.0.1:PORT, sends the request, reads to the end of the reply and closes, in a
// loop, for the given time; a connection counts when the whole reply arrived.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kRequest[] = "GET / HTTP/1.0\r\nHost: bench\r\n\r\n";
const char kReply[] = "HTTP/1.0 200 OK\r\nContent-Length: 13\r\n\r\nHello, bench!";

bool SendAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

void Answer(int fd)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        request.append(buffer, static_cast<size_t>(got));
    }
    SendAll(fd, kReply, sizeof(kReply) - 1);
}

int Serve()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(listener, 1024) != 0) {
        std::perror("conn_rate: listen");
        return 1;
    }
    socklen_t length = sizeof(address);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("PORT %u\n", ntohs(address.sin_port));
    std::fflush(stdout);
    // Several acceptors so that a few client workers never queue behind one another at the server.
    std::vector<std::thread> acceptors;
    for (int i = 0; i < 8; ++i) {
        acceptors.emplace_back([listener] {
            for (;;) {
                const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    continue;
                Answer(fd);
                ::close(fd);
            }
        });
    }
    for (auto& acceptor : acceptors)
        acceptor.join();
    return 0;
}

bool OneConnection(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0
        && SendAll(fd, kRequest, sizeof(kRequest) - 1);
    size_t received = 0;
    char buffer[4096];
    while (ok) {
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ok = false;
        if (got <= 0)
            break;
        received += static_cast<size_t>(got);
    }
    ::close(fd);
    return ok && received == sizeof(kReply) - 1;
}

int Client(uint16_t port, int workers, double seconds)
{
    using Clock = std::chrono::steady_clock;
    std::atomic<uint64_t> done { 0 };
    std::atomic<uint64_t> failed { 0 };
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i) {
        threads.emplace_back([&] {
            while (Clock::now() < deadline) {
                if (OneConnection(port))
                    done.fetch_add(1, std::memory_order_relaxed);
                else
                    failed.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%llu %.3f %llu\n", static_cast<unsigned long long>(done.load()), elapsed,
        static_cast<unsigned long long>(failed.load()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "serve") == 0)
        return Serve();
    if (argc == 5 && std::strcmp(argv[1], "client") == 0) {
        const long port = std::strtol(argv[2], nullptr, 10);
        const long workers = std::strtol(argv[3], nullptr, 10);
        const double seconds = std::strtod(argv[4], nullptr);
        if (port > 0 && port < 65536 && workers > 0 && seconds > 0)
            return Client(static_cast<uint16_t>(port), static_cast<int>(workers), seconds);
    }
    std::fprintf(stderr, "usage: conn_rate serve | conn_rate client PORT WORKERS SECONDS\n");
    return 2;
}
