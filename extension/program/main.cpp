// The extension daemon: prepares the process, starts the service the application talks to, and leaves the
// main thread parked; everything else runs on dispatch queues and the engine's threads.

#include "core/foundation/CoreHooks.h"
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
#include "platform/DefaultsStore.h"
#include "platform/ProgramHome.h"
#include "platform/SystemLog.h"
#include "platform/netext/NEProvider.h"
#include "platform/netext/NEProviderHost.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <unistd.h>

using namespace corvantis;

int main(int argc, char** argv)
{
    // Broken connections are reported by the sends themselves.
    std::signal(SIGPIPE, SIG_IGN);
    setCurrentProgram(Program::Extension);
    DefaultsStore::standard().setArguments(std::vector<std::string>(argv + 1, argv + argc));

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
    for (;;)
        ::pause();
}
