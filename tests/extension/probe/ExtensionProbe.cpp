// Plays the application (or whoever runs the providers) towards the extension from a process of its own, so that a
// test can run it as another user. Prints one line on standard output:
//   extension_probe <program path> hello [seconds]          the hello's answer
//   extension_probe <service name> start <kind> [seconds]   "ok", or the start's error text
//   extension_probe <service name> message <name> [seconds] the provider reply's text, or "<none>"
//   extension_probe <program path> settings <profile file> [seconds]
//                                                          hello, then the profile with empty settings: "ok", or
//                                                          the refusal's text
//   extension_probe <program path> ticks [seconds]          one tick: its connection list, "--", its log lines
// where a message name is wake, garbage, error-kill or kill. "<no reply>" when nothing answered in time (30 s).

#include "ipc/IPCMessage.h"
#include "ipc/ProviderControl.h"
#include "ipc/XPCClientForExtension.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

using namespace corvantis;

namespace {

std::vector<uint8_t> messageNamed(const std::string& name)
{
    if (name == "garbage")
        return { 'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r', 'c', 'h', 'i', 'v', 'e' };
    IPCMessage message;
    if (name == "wake")
        message.launchStub = MessageSimpleRequest {};
    if (name == "error-kill" || name == "kill")
        message.forceQuit = MessageSimpleRequest {};
    if (name == "error-kill")
        message.error = MessageText { "from the probe" };
    auto bytes = IPCMessage::encode(message);
    return bytes.ok() ? bytes.value() : std::vector<uint8_t>();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr,
            "usage: %s <program path|service name> hello|ticks|settings <profile>|start <kind>|message <name> "
            "[seconds]\n",
            argv[0]);
        return 2;
    }
    const std::string command = argv[2];
    const bool withArgument = command != "hello" && command != "ticks";
    const int seconds = argc > (withArgument ? 4 : 3) ? std::atoi(argv[withArgument ? 4 : 3]) : 30;
    std::promise<std::string> reply;
    std::shared_ptr<XPCClientForExtension> client;
    std::unique_ptr<ProviderControlClient> control;
    if (command == "hello") {
        XPCClientForExtension::Options options;
        options.programPath = argv[1];
        client = XPCClientForExtension::create(options);
        client->connect();
        client->helloWithVersion("3.12.2", [&](std::string text) { reply.set_value(std::move(text)); });
    } else if (command == "settings" && argc >= 4) {
        std::ifstream in(argv[3]);
        std::ostringstream profile;
        profile << in.rdbuf();
        XPCClientForExtension::Options options;
        options.programPath = argv[1];
        client = XPCClientForExtension::create(options);
        client->connect();
        // One request at a time: the settings go once the hello has been answered.
        std::promise<void> hello;
        client->helloWithVersion("3.12.2", [&](std::string) { hello.set_value(); });
        if (hello.get_future().wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
            std::printf("<no reply>\n");
            return 0;
        }
        client->updateSettingWithSettings(
            {}, profile.str(), [&](std::string text) { reply.set_value(text.empty() ? std::string("ok") : text); });
    } else if (command == "ticks") {
        XPCClientForExtension::Options options;
        options.programPath = argv[1];
        client = XPCClientForExtension::create(options);
        client->connect();
        client->retriveTickDataWithReply(
            [&](std::string, std::string log, std::string connections, PlistData, PlistData,
                std::optional<std::string>) { reply.set_value(connections + "\n--\n" + log); });
    } else if (command == "start" && argc >= 4) {
        control = std::make_unique<ProviderControlClient>(argv[1]);
        control->start(std::atoi(argv[3]),
            [&](std::optional<FlowError> error) { reply.set_value(error ? error->description : std::string("ok")); });
    } else if (command == "message" && argc >= 4) {
        control = std::make_unique<ProviderControlClient>(argv[1]);
        control->sendProviderMessage(messageNamed(argv[3]), [&](std::optional<std::vector<uint8_t>> bytes) {
            std::string text = "<none>";
            if (bytes) {
                auto decoded = IPCMessage::decode(*bytes);
                if (decoded.ok() && decoded.value() && decoded.value()->error)
                    text = decoded.value()->error->text;
            }
            reply.set_value(text);
        });
    } else {
        std::fprintf(stderr, "unknown command %s\n", command.c_str());
        return 2;
    }
    auto future = reply.get_future();
    const std::string answer
        = future.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready ? future.get() : "<no reply>";
    std::printf("%s\n", answer.c_str());
    std::fflush(stdout);
    if (client)
        client->closeConnection();
    return 0;
}
