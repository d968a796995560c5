// engine_relay: a loopback port forwarder whose every connection goes through the connection engine, so the
// engine's data path can be measured with ordinary tools (iperf3, a short-connection client).
//
//   engine_relay --target HOST:PORT [--socks5 HOST:PORT] [--port N] [--road flow|forwarder]
//
// Listens on 127.0.0.1 (port N, or a free one), prints "PORT <n>" on its own line once it accepts, and runs each
// accepted connection as the engine runs an intercepted one, toward the fixed target, by the profile's only
// rule (Direct, or through the SOCKS5 server given). The accepted connection stands in for the redirected flow:
//   flow       (default) the engine test driver plays the flow code: the connection facade decides, connects on
//              its connect thread and moves the bytes between the accepted socket and the remote one;
//   forwarder  the connection processor and its tunnel connect, and the port forwarder relays.
// Runs until SIGTERM or SIGINT.

#include "core/foundation/Log.h"
#include "core/foundation/LogContext.h"
#include "core/foundation/SafeSocket.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"
#include "core/proxy/PortForwarder.h"
#include "extension/engine/AppNameWrapper.h"
#include "extension/engine/ClientProcessor.h"
#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "platform/UniqueFd.h"
#include "tests/driver/EngineDriver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace corvantis {
namespace {

struct Endpoint {
    std::string host;
    uint16_t port = 0;
};

std::optional<Endpoint> ParseEndpoint(const std::string& text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    char* end = nullptr;
    const unsigned long port = std::strtoul(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port == 0 || port > 65535)
        return std::nullopt;
    return Endpoint { text.substr(0, colon), static_cast<uint16_t>(port) };
}

struct Options {
    Endpoint target;
    std::optional<Endpoint> socks5;
    uint16_t listenPort = 0;
    bool forwarder = false;
};

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    bool haveTarget = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--target") {
            auto endpoint = ParseEndpoint(value);
            if (!endpoint)
                return std::nullopt;
            options.target = *endpoint;
            haveTarget = true;
        } else if (name == "--socks5") {
            options.socks5 = ParseEndpoint(value);
            if (!options.socks5)
                return std::nullopt;
        } else if (name == "--port") {
            char* end = nullptr;
            const unsigned long port = std::strtoul(value.c_str(), &end, 10);
            if (*end != '\0' || port > 65535)
                return std::nullopt;
            options.listenPort = static_cast<uint16_t>(port);
        } else if (name == "--road" && (value == "flow" || value == "forwarder")) {
            options.forwarder = value == "forwarder";
        } else {
            return std::nullopt;
        }
    }
    if (argc % 2 == 0 || !haveTarget)
        return std::nullopt;
    return options;
}

// The profile's single rule: everything Direct (the profile handles direct connections, so the engine takes
// them), or everything through the SOCKS5 server.
CProfileData MakeProfile(const Options& options)
{
    CProfileData profile;
    CRule rule("Bench");
    if (options.socks5) {
        profile.m_Proxies = { CProxy(options.socks5->host, options.socks5->port, kProxySocks5, 1) };
        rule.m_Action = kActionProxy;
        rule.m_ProxyId = 1;
    } else {
        rule.m_Action = kActionDirect;
    }
    profile.m_Rules = { rule };
    profile.m_HandleDirectConnections = true;
    return profile;
}

CLogContext BenchIdentity()
{
    CLogContext identity;
    identity.bsdName = "bench-client";
    identity.fullPath = "/usr/bin/bench-client";
    identity.pid = ::getpid();
    return identity;
}

// The flow code's way: the driver pumps the accepted socket through the connection facade.
void RunFlow(test::EngineDriver& driver, const Options& options, int clientFd)
{
    static const AppNameWrapper client("bench-client", "bench-client", "", "", "/usr/bin/bench-client", ::getpid());
    auto flow = driver.OpenOn(UniqueFd(clientFd), client, options.target.host, options.target.port);
    if (flow->Decision() != ClientProcessorWrapper::kTaken) {
        std::fprintf(stderr, "engine_relay: connection not taken by the rule\n");
        return;
    }
    if (flow->Started())
        flow->WaitClosed(std::chrono::hours(24 * 365));
}

// The processor, the tunnel and the port forwarder, without the facade.
void RunForwarder(CCorvantisAppProxy& app, const Options& options, int clientFd)
{
    auto client = std::make_shared<CSafeSocket>(clientFd);
    const std::string port = std::to_string(options.target.port);
    CClientProcessor processor(app);
    if (processor.ProcessConnectionRequest(BenchIdentity(), nullptr, options.target.host.c_str(), port.c_str(), false)
        != CClientProcessor::kTaken) {
        std::fprintf(stderr, "engine_relay: connection not taken by the rule\n");
        return;
    }
    const auto prepared = processor.ConnectionTargetHostPrepare();
    if (prepared.kind != CTunnel::kConnectNow) {
        processor.FailConnection("the bench target must be an address");
        processor.CloseConnection();
        return;
    }
    if (!processor.ConnectTargetHost()) {
        processor.CloseConnection();
        return;
    }
    auto record = processor.GetConnection();
    record->SetClientSocket(client);
    {
        CPortForwarder forwarder(*record, std::nullopt, &app.GetStatistics());
        if (!forwarder.RelayLoop())
            std::fprintf(stderr, "engine_relay: %s\n", forwarder.GetErrorText().c_str());
    }
    processor.CloseConnection();
}

volatile std::sig_atomic_t g_stop = 0;

void OnStop(int)
{
    g_stop = 1;
}

int Main(int argc, char** argv)
{
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(
            stderr, "usage: engine_relay --target HOST:PORT [--socks5 HOST:PORT] [--port N] [--road flow|forwarder]\n");
        return 2;
    }

    static CCorvantisAppProxy app;
    theApp = &app;
    app.SetProfile(MakeProfile(*options), false);
    static test::EngineDriver driver(app);
    // The engine's error lines (the log's default screen level) go to standard error.
    std::thread([] {
        bool isError = false;
        uint64_t time = 0;
        std::string line;
        while (GetLog().PopLogRecord(true, isError, time, line))
            std::fprintf(stderr, "engine_relay: %s\n", line.c_str());
    }).detach();
    // Closed records stay listed for a few seconds; a short-connection run opens tens of thousands in that
    // time, which the default limit of open connections would turn away.
    CClientProcessor::SetConnectionLimit(UINT64_MAX);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(options->listenPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(listener, 1024) != 0) {
        std::fprintf(stderr, "engine_relay: cannot listen: %s\n", std::strerror(errno));
        return 1;
    }
    socklen_t length = sizeof(address);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("PORT %u\n", ntohs(address.sin_port));
    std::fflush(stdout);

    struct sigaction stop { };
    stop.sa_handler = OnStop;
    ::sigaction(SIGTERM, &stop, nullptr);
    ::sigaction(SIGINT, &stop, nullptr);

    while (!g_stop) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE)
                continue;
            std::fprintf(stderr, "engine_relay: accept: %s\n", std::strerror(errno));
            break;
        }
        std::thread([fd, &options] {
            if (options->forwarder)
                RunForwarder(app, *options, fd);
            else
                RunFlow(driver, *options, fd);
        }).detach();
    }
    ::close(listener);
    // Connection threads may still run; leave without destroying what they use.
    std::_Exit(0);
}

} // namespace
} // namespace corvantis

int main(int argc, char** argv)
{
    return corvantis::Main(argc, argv);
}
