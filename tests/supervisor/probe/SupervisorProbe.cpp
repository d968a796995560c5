// Plays a program towards the supervisor from a process of its own, so that a test can run it as another user
// (setpriv). The runtime folder comes from CORVANTIS_RUNTIME_DIR. Prints one line per event on standard output:
//   supervisor_probe activate|deactivate|properties <extension id>
//        "2" (needs approval), "3 <old> <new>" (replacing; answered Replace), "properties <n>", then "0"
//        (finished) or "failed <text>"
//   supervisor_probe save-proxy <description> <enabled 0|1> [<identifier>]   "saved <identifier>" or "error <text>"
//   supervisor_probe save-dns|save-filter <enabled 0|1>                    as save-proxy
//   supervisor_probe load <kind>             "<identifier> <enabled> <description>" per configuration, then "end"
//   supervisor_probe start <identifier>      "ok" or "error <text>", then "status <n>" until 3 or 1
//   supervisor_probe stop <identifier>       "status <n>" until 1
//   supervisor_probe status <identifier>     "status <n>"
//   supervisor_probe message <identifier> wake|kill   "reply <bytes>" or "no reply data"
//   supervisor_probe hello <program path>    the extension's hello answer
// "<no reply>" when nothing answered in time (60 s).

#include "ipc/IPCMessage.h"
#include "ipc/XPCClientForExtension.h"
#include "platform/sysext/SupervisorClient.h"
#include "platform/sysext/SupervisorProtocol.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>

using namespace corvantis;

namespace {

constexpr auto kPatience = std::chrono::seconds(60);

// Lines printed in order from any thread; the main thread waits for the one that ends the run.
class Output final {
public:
    void print(const std::string& line, bool last = false)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_holding)
            m_held.emplace_back(line, last);
        else
            printLocked(line, last);
    }
    // Lines printed from now on wait until release(), which prints `first` before them: a session's states may
    // arrive before the start's own answer.
    void hold()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holding = true;
    }
    void release(const std::string& first, bool last)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holding = false;
        printLocked(first, last);
        for (const auto& [line, end] : m_held)
            printLocked(line, end);
        m_held.clear();
    }
    void waitForEnd()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, kPatience, [&] { return m_done; })) {
            std::printf("<no reply>\n");
            std::fflush(stdout);
        }
    }

private:
    void printLocked(const std::string& line, bool last)
    {
        if (m_done)
            return;
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        m_done = last;
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    bool m_holding = false;
    std::deque<std::pair<std::string, bool>> m_held;
};

class Delegate final : public SystemExtensionRequestDelegate {
public:
    explicit Delegate(Output& output)
        : m_output(output)
    {
    }
    SystemExtensionReplacementAction actionForReplacingExtension(
        const std::string& existingVersion, const std::string& newVersion) override
    {
        m_output.print("3 " + existingVersion + " " + newVersion);
        return SystemExtensionReplacementAction::Replace;
    }
    void requestNeedsUserApproval() override { m_output.print("2"); }
    void didFinishWithResult(SystemExtensionRequestResult result) override
    {
        m_output.print(std::to_string(static_cast<int>(result)), true);
    }
    void didFailWithError(const std::string& text) override { m_output.print("failed " + text, true); }
    void foundProperties(const std::vector<SystemExtensionProperties>& properties) override
    {
        m_output.print("properties " + std::to_string(properties.size()));
    }

private:
    Output& m_output;
};

std::vector<uint8_t> MessageNamed(const std::string& name)
{
    IPCMessage message;
    if (name == "wake")
        message.launchStub = MessageSimpleRequest {};
    if (name == "kill")
        message.forceQuit = MessageSimpleRequest {};
    auto bytes = IPCMessage::encode(message);
    return bytes.ok() ? bytes.value() : std::vector<uint8_t>();
}

int Usage(const char* program)
{
    std::fprintf(stderr, "usage: %s <command> <arguments> (see the source)\n", program);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return Usage(argv[0]);
    const std::string command = argv[1];
    const std::string argument = argv[2];
    Output output;
    if (command == "hello") {
        XPCClientForExtension::Options options;
        options.programPath = argument;
        const auto client = XPCClientForExtension::create(options);
        client->connect();
        client->helloWithVersion("3.12.2", [&](std::string text) { output.print(text, true); });
        output.waitForEnd();
        client->closeConnection();
        return 0;
    }
    const auto client = SupervisorClient::create();
    if (command == "activate" || command == "deactivate" || command == "properties") {
        const auto kind = command == "activate" ? SystemExtensionRequestKind::Activation
            : command == "deactivate"           ? SystemExtensionRequestKind::Deactivation
                                                : SystemExtensionRequestKind::Properties;
        client->submitRequest(kind, argument, std::make_shared<Delegate>(output));
    } else if (command == "save-proxy" || command == "save-dns" || command == "save-filter") {
        NEConfiguration configuration;
        if (command == "save-proxy") {
            if (argc < 4)
                return Usage(argv[0]);
            configuration.kind = NEConfigurationKind::TransparentProxy;
            configuration.localizedDescription = argument;
            configuration.enabled = std::string(argv[3]) == "1";
            configuration.identifier = argc > 4 ? argv[4] : "";
            configuration.tunnelProtocol = NETunnelProviderProtocol {};
            configuration.tunnelProtocol->serverAddress = "localhost";
            configuration.tunnelProtocol->providerBundleIdentifier = "com.velmar.corvantis.v3.macos.CorvantisExtension";
        } else if (command == "save-dns") {
            configuration.kind = NEConfigurationKind::DnsProxy;
            configuration.enabled = argument == "1";
            configuration.dnsProtocol
                = NEDNSProxyProviderProtocol { "com.velmar.corvantis.v3.macos.CorvantisExtension" };
        } else {
            configuration.kind = NEConfigurationKind::ContentFilter;
            configuration.enabled = argument == "1";
            configuration.filterConfiguration = NEFilterProviderConfiguration { true, false };
        }
        client->save(configuration, [&](std::optional<NEConfiguration> stored, std::optional<std::string> error) {
            output.print(stored ? "saved " + stored->identifier : "error " + error.value_or(""), true);
        });
    } else if (command == "load") {
        client->load(static_cast<NEConfigurationKind>(std::atoi(argument.c_str())),
            [&](std::vector<NEConfiguration> configurations, std::optional<std::string> error) {
                for (const auto& configuration : configurations)
                    output.print(configuration.identifier + " " + (configuration.enabled ? "1" : "0") + " "
                        + configuration.localizedDescription);
                output.print(error ? "error " + *error : "end", true);
            });
    } else if (command == "start" || command == "stop") {
        const bool starting = command == "start";
        client->addStatusObserver([&, argument, starting](const std::string& identifier, NEVPNStatus status) {
            if (identifier != argument)
                return;
            const bool final = status == NEVPNStatus::Disconnected || (starting && status == NEVPNStatus::Connected);
            output.print("status " + std::to_string(static_cast<int>(status)), final);
        });
        // Subscribes before asking, so no change is missed.
        const NEVPNStatus before = client->status(argument);
        if (starting) {
            output.hold();
            const auto error = client->startTunnel(argument);
            output.release(error ? "error " + *error : "ok", error.has_value());
        } else {
            if (before == NEVPNStatus::Disconnected || before == NEVPNStatus::Invalid)
                output.print("status " + std::to_string(static_cast<int>(before)), true);
            client->stopTunnel(argument);
        }
    } else if (command == "status") {
        output.print("status " + std::to_string(static_cast<int>(client->status(argument))), true);
    } else if (command == "message" && argc >= 4) {
        const bool sent = client->sendProviderMessage(
            argument, MessageNamed(argv[3]), [&](std::optional<std::vector<uint8_t>> response) {
                output.print(response ? "reply " + std::to_string(response->size()) : "no reply data", true);
            });
        if (!sent)
            output.print("not sent", true);
    } else {
        return Usage(argv[0]);
    }
    output.waitForEnd();
    // The client's queue may still call the observers, which use `output`: end here, with nothing torn down.
    std::fflush(stdout);
    std::_Exit(0);
}
