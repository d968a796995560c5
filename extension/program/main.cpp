// The extension daemon: prepares the process, starts the service the application talks to, and leaves the
// main thread parked; everything else runs on dispatch queues and the engine's threads.

#include "core/foundation/CoreHooks.h"
#include "core/foundation/Log.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/CorvantisApp.h"
#include "extension/daemon/AppProxyProvider.h"
#include "extension/daemon/CorvantisWorker.h"
#include "extension/daemon/DNSProxyProvider.h"
#include "extension/daemon/ExtensionStartup.h"
#include "extension/daemon/FilterDataProvider.h"
#include "extension/daemon/ProviderControlServer.h"
#include "extension/daemon/XPCServerInExtension.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "ipc/GssHelperClient.h"
#include "platform/Allocator.h"
#include "platform/DefaultsStore.h"
#include "platform/ProgramHome.h"
#include "platform/SocketMark.h"
#include "platform/SystemLog.h"
#include "platform/netext/NEProvider.h"
#include "platform/netext/NEProviderHost.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <pthread.h>
#include <unistd.h>

using namespace corvantis;

namespace {

// The machine's flows for the providers. Without them (no privileges, no kernel support) the service still runs,
// and a provider's settings fail with the reason, so that nobody believes traffic is captured.
std::unique_ptr<SystemCapture> StartCapture(SystemCaptureOptions options)
{
    options.placeholderSubnet
        = [] { return static_cast<uint8_t>(CorvantisWorker::sharedWorker()->coreWrapper().getInternalSubnetNumber()); };
    auto capture = SystemCapture::open(options, NEProviderHost::shared());
    if (!capture.ok()) {
        const std::string reason = "Corvantis capture unavailable: " + capture.status().message();
        SystemLog(reason);
        const FlowError error { kPosixErrorDomain, capture.status().errnum(), reason };
        NEProviderHost::shared().setSettingsSinks(
            [error](ProviderKind, const std::optional<NETransparentProxyNetworkSettings>& settings) {
                return settings ? std::optional<FlowError>(error) : std::nullopt;
            },
            [error](const std::optional<NEFilterSettings>& settings) {
                return settings ? std::optional<FlowError>(error) : std::nullopt;
            });
        return nullptr;
    }
    // The daemon's own traffic carries the mark the capture rules let pass, so it never loops back here.
    if (!options.external)
        SetOwnSocketMark(options.capture.ownMark);
    SystemLog("Corvantis capture - TCP port " + std::to_string(capture.value()->tcpPort()) + ", UDP port "
        + std::to_string(capture.value()->udpPort()));
    return std::move(capture.value());
}

} // namespace

int main(int argc, char** argv)
{
    // Broken connections are reported by the sends themselves.
    std::signal(SIGPIPE, SIG_IGN);
    // A stop request is taken by the main thread alone (below), so that the capture is taken down first; every
    // thread started from here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    setCurrentProgram(Program::Extension);
    // One shared arena takes effect only if set before other threads allocate; the engine's bring-up sets it
    // again, too late to matter by then.
    LimitAllocatorArenas(1);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    // "--cleanup": remove what a daemon that ended left of its capture, and end.
    const auto cleanup = std::find(arguments.begin(), arguments.end(), "--cleanup");
    const bool cleanupOnly = cleanup != arguments.end();
    if (cleanupOnly)
        arguments.erase(cleanup);
    // The settings the application sends are kept in the program's own defaults file, in its home.
    const std::string home = programHomeDir(Program::Extension);
    if (!home.empty() && !cleanupOnly) {
        DefaultsStore::standard().open(DefaultsStore::fileFor(home, programName(Program::Extension)));
        // The log file, when the settings turn it on, is the extension's: the application only shows the lines.
        SetLogFolder(GetLogsDir());
    }
    DefaultsStore::standard().setArguments(arguments);
    const auto captureOptions = CaptureOptionsFromArguments();
    if (!captureOptions.ok()) {
        std::fprintf(stderr, "%s\n", captureOptions.status().message().c_str());
        return EXIT_FAILURE;
    }
    if (cleanupOnly) {
        const Status cleaned = SystemCapture::cleanup(captureOptions.value());
        if (!cleaned.ok())
            std::fprintf(stderr, "%s\n", cleaned.message().c_str());
        return cleaned.ok() ? EXIT_SUCCESS : EXIT_FAILURE;
    }

    CoreHooks hooks;
    hooks.gssGetTokenForProxyHost = &GssHelperClient::gssGetTokenForProxyHost;
    SetCoreHooks(hooks);
    theApp = &GetAppProxy();
    GetAppProxy().EnableAutoDnsModeDetection({});

    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    SystemLog("Corvantis Extension - pid " + std::to_string(::getpid()) + ", fun " + program.filename().string());
    RaiseFileLimit();
    ::srandom(static_cast<unsigned>(std::time(nullptr)));
    // The providers are made when they are first started (or, for the transparent proxy, sent a message).
    NEProviderHost::shared().setFactories(
        [](ProviderKind kind) -> std::shared_ptr<NEAppProxyProvider> {
            if (kind == ProviderKind::TransparentProxy)
                return std::make_shared<AppProxyProvider>();
            if (kind == ProviderKind::DnsProxy)
                return std::make_shared<DNSProxyProvider>();
            return nullptr;
        },
        [] { return std::make_shared<FilterDataProvider>(); });
    NEProvider::startSystemExtensionMode();
    auto capture = StartCapture(captureOptions.value());

    const auto name = ReadExtensionServiceName(program);
    if (!name.ok()) {
        SystemLog(name.status().message());
        std::fprintf(stderr, "%s\n", name.status().message().c_str());
        return EXIT_FAILURE;
    }
    SystemLog("Starting XPC listener for mach service " + name.value());
    const std::optional<uid_t> allowedUid = AllowedUidFromArguments();
    auto service = XPCServerInExtension::start(name.value(), allowedUid, CorvantisWorker::sharedWorker());
    if (!service.ok()) {
        SystemLog("Cannot start the service " + name.value() + ": " + service.status().message());
        return EXIT_FAILURE;
    }
    auto control = ProviderControlServer::start(name.value(), allowedUid, NEProviderHost::shared());
    if (!control.ok()) {
        SystemLog("Cannot start the control service of " + name.value() + ": " + control.status().message());
        return EXIT_FAILURE;
    }
    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) { }
    // The table goes with the process anyway; the routes would stay until the next start or a cleanup.
    capture.reset();
    std::signal(received, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    ::raise(received);
    return EXIT_FAILURE;
}
