// The supervisor that plays the system for the programs: it runs in the foreground as root, logs to standard
// error (the extension's lines with its own) and serves its socket in the runtime folder until SIGTERM or SIGINT.
//
//   corvantis-supervisor               serve
//   corvantis-supervisor allow USER    add USER (a login name or a numeric uid) to the allow list, and tell a
//                                      running supervisor, so that the user's waiting activation completes
//
// The state folder (allow list, configurations) is /var/lib/corvantis-supervisor, or the folder
// $CORVANTIS_SUPERVISOR_STATE_DIR names; the runtime folder is $CORVANTIS_RUNTIME_DIR, else /run/corvantis.

#include "platform/SystemLog.h"
#include "platform/sysext/SupervisorClient.h"
#include "platform/sysext/SupervisorProtocol.h"
#include "platform/xpc/XpcSocketAddress.h"
#include "supervisor/AllowList.h"
#include "supervisor/Manifest.h"
#include "supervisor/Supervisor.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvantis;

namespace {

constexpr const char* kDefaultStateFolder = "/var/lib/corvantis-supervisor";
constexpr const char* kStateFolderVariable = "CORVANTIS_SUPERVISOR_STATE_DIR";

std::filesystem::path StateFolder()
{
    const char* folder = std::getenv(kStateFolderVariable);
    return folder && *folder ? std::filesystem::path(folder) : std::filesystem::path(kDefaultStateFolder);
}

// Makes `folder` (and what is missing above it) with `mode` when it does not exist. A folder that exists is left
// as it is: whoever made it chose its mode.
bool MakeFolder(const std::filesystem::path& folder, mode_t mode)
{
    std::error_code ec;
    if (std::filesystem::is_directory(folder, ec))
        return true;
    std::filesystem::create_directories(folder, ec);
    if (ec || ::chmod(folder.c_str(), mode) != 0) {
        std::fprintf(stderr, "Cannot make %s: %s\n", folder.c_str(), ec ? ec.message().c_str() : "chmod failed");
        return false;
    }
    return true;
}

int Allow(const std::string& user)
{
    if (::geteuid() != 0) {
        std::fprintf(stderr, "Only root may allow users.\n");
        return EXIT_FAILURE;
    }
    if (!MakeFolder(StateFolder(), 0700))
        return EXIT_FAILURE;
    AllowList list(StateFolder() / AllowList::kFileName);
    const auto uid = list.add(user);
    if (!uid.ok()) {
        std::fprintf(stderr, "%s\n", uid.status().message().c_str());
        return EXIT_FAILURE;
    }
    // A running supervisor rereads the list and completes the user's waiting activation; one that is not
    // running reads the list when it starts.
    const auto socket = XpcSocketAddress::forService(kSupervisorServiceName);
    if (socket.ok() && ::access(socket.value().name().c_str(), F_OK) == 0) {
        const auto client = SupervisorClient::create();
        std::promise<std::optional<std::string>> answer;
        client->allowUser(uid.value(), [&](std::optional<std::string> error) { answer.set_value(error); });
        auto future = answer.get_future();
        if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            std::fprintf(stderr, "Allowed uid %u; the running supervisor did not answer.\n", uid.value());
            return EXIT_SUCCESS;
        }
        if (const auto error = future.get())
            std::fprintf(stderr, "Allowed uid %u; the running supervisor: %s\n", uid.value(), error->c_str());
        client->disconnect();
    }
    std::printf("Allowed uid %u\n", uid.value());
    return EXIT_SUCCESS;
}

int Serve()
{
    if (::geteuid() != 0) {
        std::fprintf(stderr, "corvantis-supervisor runs as root.\n");
        return EXIT_FAILURE;
    }
    // The stop signals are taken by the main thread alone (below); every thread started from here inherits the
    // mask, and so does nothing else: the extension's signals are reset when it starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const auto tree = ExtensionTree::ofThisProcess();
    if (!tree.ok()) {
        std::fprintf(stderr, "%s\n", tree.status().message().c_str());
        return EXIT_FAILURE;
    }
    if (!MakeFolder(StateFolder(), 0700) || !MakeFolder(XpcSocketAddress::runtimeDir(), 0755))
        return EXIT_FAILURE;
    Supervisor::Options options;
    options.tree = tree.value();
    options.stateFolder = StateFolder();
    options.serviceName = kSupervisorServiceName;
    options.trustedUid = ::geteuid();
    auto supervisor = Supervisor::start(std::move(options));
    if (!supervisor.ok()) {
        SystemLog("Cannot serve " + std::string(kSupervisorServiceName) + ": " + supervisor.status().message());
        return EXIT_FAILURE;
    }
    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) { }
    SystemLog("Stopping (signal " + std::to_string(received) + ")");
    supervisor.value()->stop();
    return EXIT_SUCCESS;
}

} // namespace

int main(int argc, char** argv)
{
    // Broken connections are reported by the sends themselves.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty())
        return Serve();
    if (arguments.size() == 2 && arguments[0] == "allow")
        return Allow(arguments[1]);
    std::fprintf(stderr, "usage: %s [allow USER]\n", argv[0]);
    return 2;
}
